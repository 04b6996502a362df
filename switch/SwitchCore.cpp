#include "SwitchCore.h"

#include "AddressText.h"
#include "OperationLog.h"
#include "PortText.h"

#include <QDateTime>

#include <utility>

namespace {

constexpr std::uint8_t kC1 = 1;  // bit 0
constexpr std::uint8_t kC2 = 2;  // bit 1

std::uint8_t Mask(ControlBits bits)
{
    return static_cast<std::uint8_t>((bits.c1 ? kC1 : 0) | (bits.c2 ? kC2 : 0));
}

ControlBits BitsOf(std::uint8_t value)
{
    return {(value & kC1) != 0, (value & kC2) != 0};
}

// ISO 8601 local time with milliseconds and offset.
std::string Now()
{
    return QDateTime::currentDateTime().toOffsetFromUtc(QDateTime::currentDateTime().offsetFromUtc())
        .toString(Qt::ISODateWithMs).toStdString();
}

} // namespace

const char* SourceName(Source source)
{
    switch (source) {
    case Source::CommandLine:
        return "command-line";
    case Source::Remote:
        return "remote";
    case Source::Panel:
        break;
    }
    return "panel";
}

ControlBits BitsFor(RfPath path)
{
    switch (path) {
    case RfPath::Rf1:
        return {true, false};
    case RfPath::Rf2:
        return {false, true};
    case RfPath::Off:
        break;
    }
    return {};
}

const char* PathName(ControlBits bits)
{
    if (bits.c1 && bits.c2)
        return "forbidden";
    return bits.c1 ? "rf1" : bits.c2 ? "rf2" : "off";
}

SwitchCore::SwitchCore(PortIo& ports, QObject* parent) : QObject(parent), ports_(ports)
{
    watch_.setInterval(kWatchInterval);
    connect(&watch_, &QTimer::timeout, this, &SwitchCore::Watch);
}

SwitchCore::~SwitchCore()
{
    if (opened_)
        ports_.Close();
}

void SwitchCore::Enqueue(Source source, Operation operation, Done done)
{
    queue_.push_back({source, std::move(operation), std::move(done)});
    Drain();
}

void SwitchCore::Drain()
{
    // An operation asked for from inside another's retry wait lands in the
    // queue and runs here once that one is over.
    if (running_)
        return;
    running_ = true;
    while (!queue_.empty()) {
        Pending next = std::move(queue_.front());
        queue_.pop_front();
        OperationResult result;
        if (next.operation)
            result = next.operation();
        if (next.done)
            next.done(result);
        if (next.operation)
            emit Finished(result, next.source);
    }
    running_ = false;
    emit Idle();
}

void SwitchCore::WhenIdle(std::function<void()> then)
{
    Enqueue(Source::Panel, {}, [then = std::move(then)](const OperationResult&) { then(); });
}

void SwitchCore::Claim(std::int32_t address)
{
    address_ = address;
    if (address < 1) {
        // Below 1 lies nothing the panel may touch.
        if (opened_)
            ports_.Close();
        opened_ = false;
        status_ = {PortReach::Refused, "", "no port at address " + std::to_string(address),
                   "type the port's base address, e.g. 888 or &H378", false};
    } else {
        status_ = ports_.Open(address);
        opened_ = true;
    }
    watch_.start();
    emit StatusChanged(status_);
}

void SwitchCore::SetBits(ControlBits bits)
{
    bits_ = bits;
    emit BitsChanged(bits_);
}

OperationResult SwitchCore::Unusable() const
{
    std::string words = status_.reason;
    if (!status_.nextStep.empty())
        words += "; " + status_.nextStep;
    return {Outcome::Unusable, words};
}

void SwitchCore::TakeAddress(std::int32_t address, bool clearControl, Source source, Done done)
{
    Enqueue(source, [this, address, clearControl, source] {
        Claim(address);
        return Reset(clearControl, source);
    }, std::move(done));
}

void SwitchCore::Attach(std::int32_t address, Source source, Done done)
{
    Enqueue(source, [this, address, source] {
        Claim(address);
        if (auto refused = Refusal(source, "attach"))
            return *refused;
        try {
            SetBits(BitsOf(static_cast<std::uint8_t>(ReadPort(address_, ports_))));
        } catch (const PortError& error) {
            return OperationResult{Outcome::Unusable, error.what()};
        }
        return OperationResult{};
    }, std::move(done));
}

std::optional<OperationResult> SwitchCore::Refusal(Source source, const std::string& what)
{
    if (status_.Writable())
        return std::nullopt;
    OperationResult result = Unusable();
    LogRefusal(source, what, result);
    return result;
}

OperationResult SwitchCore::Reset(bool clearControl, Source source)
{
    // The bits never carry over to another port: the display shows the
    // cleared register, or nothing set where nothing could be written.
    OperationResult result = ClearRegisters(clearControl, source);
    SetBits({});
    return result;
}

OperationResult SwitchCore::ClearRegisters(bool clearControl, Source source)
{
    if (status_.reach == PortReach::Refused || address_ < 1)
        return Unusable();
    if (auto refused = Refusal(source, "clear"))
        return *refused;
    OperationResult result;
    if (clearControl) {
        if (const auto control = CheckedAdd(address_, 2))
            result = Write(*control, 0, source);
    }
    const OperationResult data = Write(address_, 0, source);
    return data.outcome == Outcome::Verified ? result : data;
}

void SwitchCore::Toggle(int bit, Source source, Done done)
{
    Enqueue(source, [this, bit, source] {
        const bool own = bit == 0 ? bits_.c1 : bits_.c2;
        const bool other = bit == 0 ? bits_.c2 : bits_.c1;
        if (!own && other) {
            emit WarningShown();
            return OperationResult{Outcome::Forbidden, "C1=1 with C2=1 is not available"};
        }
        if (auto refused = Refusal(source, bit == 0 ? "toggle C1" : "toggle C2"))
            return *refused;
        const auto mask = static_cast<std::uint8_t>(1u << bit);
        std::int16_t value = 0;
        try {
            const std::int16_t read = ReadPort(address_, ports_);
            // A bit is set only while the other is 0 on the display; a stale or
            // stuck read-back must not carry the other bit onto the port too.
            value = own ? static_cast<std::int16_t>(read & (0xFF - mask))
                        : static_cast<std::int16_t>((read | mask) & ~((kC1 | kC2) ^ mask));
        } catch (const PortError& error) {
            return OperationResult{Outcome::Unusable, error.what()};
        }
        OperationResult result = WriteBits(value, source);
        // As the buttons always have: the display follows the request even
        // when the write was not read back, and the status line says so.
        ControlBits bits = bits_;
        (bit == 0 ? bits.c1 : bits.c2) = !own;
        SetBits(bits);
        return result;
    }, std::move(done));
}

void SwitchCore::Select(RfPath path, Source source, Done done)
{
    Enqueue(source, [this, path, source] {
        if (auto refused = Refusal(source, std::string("select ") + PathName(BitsFor(path))))
            return *refused;
        const std::uint8_t target = Mask(BitsFor(path));
        std::uint8_t value = 0;
        try {
            value = static_cast<std::uint8_t>(ReadPort(address_, ports_));
        } catch (const PortError& error) {
            return OperationResult{Outcome::Unusable, error.what()};
        }
        // Break: clear what must go to 0, verified, before anything is set.
        const auto clear = static_cast<std::uint8_t>(value & (kC1 | kC2) & ~target);
        if (clear) {
            value = static_cast<std::uint8_t>(value & ~clear);
            OperationResult broken = WriteBits(value, source);
            SetBits(BitsOf(value));
            if (broken.outcome != Outcome::Verified)
                return broken;
        }
        // Make.
        const auto set = static_cast<std::uint8_t>(target & ~value);
        if (set) {
            value = static_cast<std::uint8_t>(value | set);
            OperationResult made = WriteBits(value, source);
            if (made.outcome != Outcome::Verified) {
                SetBits(BitsOf(value));
                return made;
            }
        }
        SetBits(BitsFor(path));
        return OperationResult{};
    }, std::move(done));
}

OperationResult SwitchCore::WriteBits(std::int16_t value, Source source)
{
    return Write(address_, static_cast<std::uint8_t>(value), source);
}

OperationResult SwitchCore::Write(std::int32_t port, std::uint8_t value, Source source)
{
    const VerifiedWrite write = WriteVerified(port, value, [this] { emit Waiting(); }, ports_);
    Log(source, port, value, write);
    if (write) {
        emit Written({});
        return {};
    }
    std::string words = "Port " + std::to_string(port) + ": wrote " + HexByte(value) + ", ";
    words += write.readBack ? "read back " + HexByte(static_cast<std::uint8_t>(write.lastRead)) : "nothing read back";
    words += " after " + std::to_string(write.attempts) + " attempts";
    if (!write.error.empty())
        words += ": " + write.error;
    const Outcome outcome = write.readBack ? Outcome::NotReadBack : Outcome::Unusable;
    // A port that stopped answering may have gone or moved: look again.
    if (!write.readBack) {
        const PortStatus status = ports_.Refresh();
        if (!(status == status_)) {
            status_ = status;
            emit StatusChanged(status_);
        }
    }
    const OperationResult result{outcome, words};
    emit Written(result);
    return result;
}

void SwitchCore::Watch()
{
    if (running_ || !opened_)
        return;
    const PortStatus status = ports_.Refresh();
    if (status == status_)
        return;
    const bool newPort = status.Writable() && (!status_.Writable() || status.device != status_.device);
    status_ = status;
    emit StatusChanged(status_);
    if (newPort) {
        // Another port now stands behind the address (freed, found, or the
        // simulated one in its place): bring it to a known state, as on entry.
        Enqueue(Source::Panel, [this] { return Reset(true, Source::Panel); }, {});
    }
}

void SwitchCore::Log(Source source, std::int32_t port, std::uint8_t value, const VerifiedWrite& write)
{
    if (!log_)
        return;
    const std::string register_ = port == address_ ? "data" : port == address_ + 2 ? "control" : "status";
    std::string line = Now() + " " + SourceName(source)
        + " port=" + std::to_string(address_) + " register=" + register_ + "(" + std::to_string(port) + ")"
        + " wrote=" + HexByte(value) + " read=" + (write.readBack ? HexByte(static_cast<std::uint8_t>(write.lastRead)) : "none")
        + " attempts=" + std::to_string(write.attempts) + " result=" + (write ? "verified" : "not-read-back");
    if (!write && !write.error.empty())
        line += " (" + write.error + ")";
    Append(line);
}

void SwitchCore::LogRefusal(Source source, const std::string& what, const OperationResult& result)
{
    if (!log_)
        return;
    Append(Now() + " " + SourceName(source) + " port=" + std::to_string(address_) + " " + what + " result=unusable ("
           + result.detail + ")");
}

void SwitchCore::Append(const std::string& line)
{
    // The log is a record, not a condition of driving the board.
    if (!log_->Append(line) && !logFailureShown_) {
        logFailureShown_ = true;
        emit LogFailed(QString::fromStdString(log_->Error()));
    }
}

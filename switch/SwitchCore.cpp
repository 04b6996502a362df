#include "SwitchCore.h"

#include "AddressText.h"
#include "OperationLog.h"
#include "PortText.h"
#include "RelayCycles.h"

#include <algorithm>
#include <utility>

SwitchCore::SwitchCore(PortIo& ports, QObject* parent) : SwitchCore(ports, Qtr7Board(), parent) {}

SwitchCore::SwitchCore(PortIo& ports, const BoardModel& model, QObject* parent)
    : QObject(parent),
      ports_(ports),
      model_(model),
      queue_({.settling = [this] { return settle_.Active(); },
              .abandoned = [this](const OperationQueue::Pending& pending,
                                  const std::string& why) {
                  Append(pending.source, LogHead(pending.source) + " " + pending.request + " result=abandoned (" + why + ")");
              },
              .finished = [this](const OperationResult& result, const Source& source) { emit Finished(result, source); },
              .idle = [this] { emit Idle(); }})
{
    watch_.setInterval(kWatchInterval);
    connect(&watch_, &QTimer::timeout, this, &SwitchCore::Watch);
    connect(&settle_, &Settling::Changed, this, &SwitchCore::Changed);
    connect(&settle_, &Settling::Over, this, [this] { queue_.Resume(); });
}

SwitchCore::~SwitchCore()
{
    if (log_)
        log_->OnFailure({});
    if (opened_)
        ports_.Close();
}

bool SwitchCore::MayDrive(const Source& source) const
{
    if (status_.reach == PortReach::Real)
        return true;
    if (status_.reach != PortReach::Simulated)
        return false;
    // Whoever sees the panel sees that it is simulated; a script must say
    // that a dry run is what it wants: a command line for itself (also when
    // another process's core does its work), a network client by the
    // server's --simulate.
    switch (source.kind) {
    case Source::Kind::Panel:
    case Source::Kind::StartUp:
    case Source::Kind::Stop:
        return true;
    case Source::Kind::CommandLine:
        return source.dryRun;
    case Source::Kind::Remote:
    case Source::Kind::PortWatch:
        break;
    }
    return allowSimulated_ || source.dryRun;
}

bool SwitchCore::Lock(const Source& holder)
{
    const bool had = lock_->Holder().has_value();
    const bool granted = lock_->Take(holder);
    if (!had && granted)
        emit Changed();
    return granted;
}

void SwitchCore::Unlock(const Source& holder)
{
    if (lock_->Release(holder))
        emit Changed();
}

void SwitchCore::Enqueue(const Source& source, std::string request, Operation operation, Done done, bool afterSettle)
{
    queue_.Add({source, std::move(request), std::move(operation), std::move(done), afterSettle});
}

void SwitchCore::WhenIdle(std::function<void()> then, bool afterSettle)
{
    Enqueue(Source{}, {}, {}, [then = std::move(then)](const OperationResult&) { then(); }, afterSettle);
}

OperationResult SwitchCore::SetSettleTime(std::chrono::milliseconds time, const Source& source)
{
    time = std::clamp(time, std::chrono::milliseconds(0), kMaxSettleTime);
    const std::string request = "settle-time=" + std::to_string(time.count()) + "ms";
    // Another client's measurement relies on it.
    if (auto refused = lock_->Refusal(source)) {
        Refused(source, request, refused->detail);
        return *refused;
    }
    const auto was = settle_.SetTime(time);
    if (was != time) {
        Append(source, LogHead(source) + " " + request + " was=" + std::to_string(was.count()) + "ms result=set");
        emit Changed();
    }
    return {};
}

void SwitchCore::SetStartSettleTime(std::chrono::milliseconds time)
{
    settle_.SetStartTime(time);
    emit Changed();
}

void SwitchCore::WhenSettled(std::function<void()> then)
{
    settle_.WhenOver(std::move(then));
}

std::optional<ControlBits> SwitchCore::State() const
{
    return KnownState(status_.Writable(), known_ ? std::optional<ControlBits>(bits_) : std::nullopt, last_.outcome);
}

void SwitchCore::Claim(const PortName& port)
{
    address_ = port.base;
    device_ = port.device;
    if (port.ByDevice()) {
        status_ = ports_.OpenDevice(port.device);
        opened_ = true;
    } else if (port.base < 1) {
        // Below 1 lies nothing the panel may touch.
        if (opened_)
            ports_.Close();
        opened_ = false;
        status_ = {PortReach::Refused, "", "no port at address " + std::to_string(port.base),
                   "type the port's base address, e.g. 888 or &H378", false};
    } else {
        status_ = ports_.Open(port.base);
        opened_ = true;
    }
    if (const int other = portHolder_ ? portHolder_(*this) : 0) {
        ports_.Close();
        opened_ = false;
        status_ = {PortReach::Refused, "", "held by board " + std::to_string(other) + " of this program", "give each board a port of its own",
                   false};
    }
    hardware_ = opened_ ? ports_.Hardware() : std::string();
    // Nothing is known of a port until it has been read.
    known_ = false;
    last_ = {};
    UseBoard();
    watch_.start();
    emit Changed();
}

void SwitchCore::SetStatus(PortStatus status)
{
    if (status == status_)
        return;
    status_ = std::move(status);
    hardware_ = ports_.Hardware();
    UseBoard();
    emit Changed();
}

void SwitchCore::SetState(std::optional<ControlBits> bits)
{
    if (bits)
        bits_ = *bits;
    known_ = bits.has_value();
    emit Changed();
}

void SwitchCore::SetLast(OperationResult result)
{
    last_ = std::move(result);
    emit Changed();
}

// Why the port in use takes no writes, for a request it cannot serve.
OperationResult SwitchCore::Unusable(const Source& source, const std::string& request)
{
    const OperationResult refused{Outcome::NotWritten, ReasonAndNextStep(status_),
                                  status_.reach == PortReach::Refused ? Cause::NoPort : Cause::Unusable};
    Refused(source, request, refused.detail);
    return refused;
}

std::optional<OperationResult> SwitchCore::Refusal(const Source& source, const std::string& request)
{
    if (auto refused = lock_->Refusal(source)) {
        Refused(source, request, refused->detail);
        return refused;
    }
    if (!status_.Writable())
        return Unusable(source, request);
    if (!MayDrive(source)) {
        const OperationResult refused{Outcome::NotWritten,
                                      "port " + PortLabel(Port()) + " is only simulated: no board is driven; --simulate allows a dry run",
                                      Cause::OnlySimulated};
        Refused(source, request, refused.detail);
        return refused;
    }
    return std::nullopt;
}

void SwitchCore::Refused(const Source& source, const std::string& request, const std::string& why)
{
    Append(source, LogHead(source) + " " + request + " result=refused (" + why + ")");
}

std::optional<std::uint8_t> SwitchCore::ReadData(const Source& source, OperationResult& failed)
{
    try {
        return static_cast<std::uint8_t>(ReadPort(address_, ports_));
    } catch (const PortError& error) {
        Append(source, LogHead(source) + " register=data(" + std::to_string(address_) + ") read=none result=unreadable ("
                           + error.what() + ")");
        failed = {Outcome::NotWritten,
                  "Port " + Register(address_) + ": nothing written, the port could not be read: " + error.what()
                      + "; the board's state is unknown",
                  Cause::Unreadable};
        SetState(std::nullopt);
        SetLast(failed);
        return std::nullopt;
    }
}

OperationResult SwitchCore::ReadState(const Source& source)
{
    OperationResult failed;
    const auto value = ReadData(source, failed);
    if (!value)
        return failed;
    Append(source, LogHead(source) + " register=data(" + std::to_string(address_) + ") read=" + HexByte(*value) + " result=read");
    SetState(model_.Lines(*value));
    SetLast({});
    return {};
}

void SwitchCore::TakeAddress(const PortName& port, bool clearControl, const Source& source, Done done)
{
    Enqueue(source, "take-address", [this, port, clearControl, source] {
        // Another client's lock keeps the port where it is.
        if (lock_->HeldAgainst(source))
            return *Refusal(source, "take-address");
        Claim(port);
        if (auto refused = Refusal(source, "take-address")) {
            // Shown as it is, where it may be read but not written.
            if (status_.Writable())
                ReadState(source);
            return *refused;
        }
        OperationResult result;
        if (clearControl) {
            if (const auto control = CheckedAdd(address_, 2))
                result = Write(*control, 0, source);
        }
        const OperationResult data = Write(address_, 0, source);
        if (!data.Ok())
            result = data;
        SetLast(result);
        return result;
    }, std::move(done));
}

void SwitchCore::Attach(const PortName& port, const Source& source, Done done)
{
    Enqueue(source, "read", [this, port, source] {
        Claim(port);
        return status_.Writable() ? ReadState(source) : Unusable(source, "read");
    }, std::move(done), false);
}

void SwitchCore::Read(const Source& source, Done done)
{
    Enqueue(source, "read", [this, source] { return status_.Writable() ? ReadState(source) : Unusable(source, "read"); },
            std::move(done), false);
}

void SwitchCore::Toggle(int bit, ControlBits seen, const Source& source, Done done)
{
    const std::string request = bit == 0 ? "toggle-C1" : "toggle-C2";
    Enqueue(source, request, [this, bit, seen, source, request] {
        const bool own = bit == 0 ? seen.c1 : seen.c2;
        const bool other = bit == 0 ? seen.c2 : seen.c1;
        if (!own && other) {
            const OperationResult forbidden{Outcome::Forbidden, "C1=1 with C2=1 is not available for the selected model"};
            Refused(source, request, forbidden.detail);
            return forbidden;
        }
        if (auto refused = Refusal(source, request))
            return *refused;
        OperationResult failed;
        const auto read = ReadData(source, failed);
        if (!read)
            return failed;
        SetState(model_.Lines(*read));
        const std::uint8_t mask = model_.Register({bit == 0, bit == 1});
        // A bit is set only while the other is seen at 0; a stale or stuck
        // read-back must not carry the other bit onto the port too.
        const auto value = own ? static_cast<std::uint8_t>(*read & ~mask)
                               : static_cast<std::uint8_t>((*read | mask) & ~(model_.Used() ^ mask));
        const OperationResult result = Write(address_, value, source);
        SetLast(result);
        return result;
    }, std::move(done));
}

void SwitchCore::Select(RfPath path, const Source& source, Done done)
{
    const std::string request = std::string("select-") + PathName(BitsFor(path));
    Enqueue(source, request, [this, path, source, request] { return SelectNow(path, source, request); }, std::move(done));
}

OperationResult SwitchCore::SelectNow(RfPath path, const Source& source, const std::string& request)
{
    if (auto refused = Refusal(source, request + LabelNote(BitsFor(path))))
        return *refused;
    OperationResult failed;
    const auto read = ReadData(source, failed);
    if (!read)
        return failed;
    std::uint8_t value = *read;
    SetState(model_.Lines(value));
    const std::uint8_t target = model_.Register(BitsFor(path));
    // Break: clear what must go to 0, verified, before anything is set.
    const auto clear = static_cast<std::uint8_t>(value & model_.Used() & ~target);
    const auto set = static_cast<std::uint8_t>(target & ~value);
    for (const std::uint8_t next : {static_cast<std::uint8_t>(value & ~clear), static_cast<std::uint8_t>((value & ~clear) | set)}) {
        if (next == value)
            continue;
        value = next;
        OperationResult step = Write(address_, value, source);
        if (!step.Ok()) {
            SetLast(step);
            return step;
        }
    }
    SetLast({});
    return OperationResult{};
}

OperationResult SwitchCore::Write(std::int32_t port, std::uint8_t value, const Source& source)
{
    const std::optional<ControlBits> before = known_ ? std::optional<ControlBits>(bits_) : std::nullopt;
    const VerifiedWrite write = WriteVerified(port, value, [this] { emit Waiting(); }, ports_);
    const bool data = port == address_;
    // A closure is what the port read back after a write that reached it.
    if (cycles_ && data && before && write.written && write.readBack)
        if (const int channel = ClosedChannel(*before, model_.Lines(static_cast<std::uint8_t>(write.lastRead))))
            cycles_->Closed(channel);
    // Whatever reached the data register may have moved the switch.
    if (data && write.written)
        settle_.Start();
    std::string line = LogHead(source) + " register=" + (data ? "data(" : "control(") + std::to_string(port) + ")"
        + " wrote=" + HexByte(value) + " read=" + (write.readBack ? HexByte(static_cast<std::uint8_t>(write.lastRead)) : "none")
        + " attempts=" + std::to_string(write.attempts);
    if (data && write.readBack)
        line += LabelNote(model_.Lines(static_cast<std::uint8_t>(write.lastRead)));
    if (write) {
        Append(source, line + " result=verified");
        if (data)
            SetState(model_.Lines(value));
        return {};
    }
    const std::string attempts = std::to_string(write.attempts);
    OperationResult result;
    if (!write.written) {
        // The port took none of them: the board holds what it held.
        result = {Outcome::NotWritten,
                  "Port " + Register(port) + ": nothing written: " + attempts + " writes of " + HexByte(value) + " failed"
                      + (write.error.empty() ? "" : ": " + write.error) + (write.readBack ? "" : "; the board's state is unknown"),
                  Cause::WriteFailed};
    } else {
        std::string words = "Port " + Register(port) + ": wrote " + HexByte(value) + ", ";
        words += write.readBack ? "read back " + HexByte(static_cast<std::uint8_t>(write.lastRead)) : "nothing read back";
        words += " after " + attempts + " attempts";
        if (!write.error.empty())
            words += ": " + write.error;
        result = {write.readBack ? Outcome::NotReadBack : Outcome::PortLost,
                  write.readBack ? words : words + "; the board's state is unknown"};
    }
    Append(source, line + " result=" + OutcomeName(result.outcome) + (write.error.empty() ? "" : " (" + write.error + ")"));
    if (write.readBack) {
        if (data)
            SetState(model_.Lines(static_cast<std::uint8_t>(write.lastRead)));
        return result;
    }
    SetState(std::nullopt);
    // A port that stopped answering may have gone or moved: look again.
    SetStatus(ports_.Refresh());
    return result;
}

void SwitchCore::Watch()
{
    if (queue_.Running() || !opened_)
        return;
    PortStatus status = ports_.Refresh();
    if (status == status_)
        return;
    const bool newPort = status.Writable() && (!status_.Writable() || status.device != status_.device);
    // What another holder does to the board is not seen from here.
    if (!status.Writable())
        known_ = false;
    SetStatus(std::move(status));
    // Another port now stands behind the address (freed, found, or the
    // simulated one in its place): show what it holds, writing nothing.
    if (newPort) {
        const Source watch{Source::Kind::PortWatch, {}, false};
        Enqueue(watch, "read", [this, watch] { return ReadState(watch); }, {}, false);
    }
}

std::string SwitchCore::LogHead(const Source& source) const
{
    std::string board = status_.reach == PortReach::Real        ? "real device=" + status_.device
                        : status_.reach == PortReach::Simulated ? "simulated"
                                                                : "none";
    return SourceName(source) + " port=" + (device_.empty() ? std::to_string(address_) : device_) + " board=" + board;
}

// "890" for the control register of the port at 888; "/dev/parport1" and
// "/dev/parport1+2" for one chosen by its device.
std::string SwitchCore::Register(std::int32_t port) const
{
    if (device_.empty())
        return std::to_string(port);
    return device_ + (port == address_ ? "" : "+" + std::to_string(port - address_));
}

void SwitchCore::SetLog(OperationLog* log)
{
    if (log_)
        log_->OnFailure({});
    log_ = log;
    if (log_)
        log_->OnFailure([this](const std::string& why) { emit LogFailed(QString::fromStdString(why)); });
}

void SwitchCore::SetCycles(RelayCycles* cycles)
{
    cycles_ = cycles;
    UseBoard();
    emit Changed();
}

void SwitchCore::UseBoard()
{
    if (cycles_)
        cycles_->UseBoard(Port(), status_.reach);
}

CycleCounts SwitchCore::Cycles() const
{
    return cycles_ ? cycles_->Counts() : CycleCounts{};
}

bool SwitchCore::Counting() const
{
    return cycles_ && !cycles_->File().isEmpty();
}

std::optional<OperationResult> SwitchCore::CyclesRefusal(const Source& source, const std::string& request)
{
    if (auto refused = lock_->Refusal(source)) {
        Refused(source, request, refused->detail);
        return refused;
    }
    if (!cycles_ || cycles_->File().isEmpty()) {
        const OperationResult refused{Outcome::NotWritten,
                                      cycles_ ? "no board at port " + PortLabel(Port()) + " to count for" : "relay cycles are not counted here",
                                      Cause::NoPort};
        Refused(source, request, refused.detail);
        return refused;
    }
    return std::nullopt;
}

OperationResult SwitchCore::ClearCycles(const std::vector<int>& channels, const Source& source)
{
    if (auto refused = CyclesRefusal(source, "clear-cycles"))
        return *refused;
    std::string counts;
    for (const int channel : channels) {
        counts += " rf" + std::to_string(channel) + "=" + std::to_string(cycles_->Counts().Of(channel));
        cycles_->Clear(channel);
    }
    // What the counts were, for the record of the board's life.
    Append(source, LogHead(source) + " clear-cycles" + counts + " result=done");
    emit Changed();
    return {};
}

OperationResult SwitchCore::SetCycleLimit(std::uint64_t limit, const Source& source)
{
    if (auto refused = CyclesRefusal(source, "cycle-limit"))
        return *refused;
    cycles_->SetLimit(limit);
    Append(source, LogHead(source) + " cycle-limit=" + std::to_string(limit) + " result=done");
    emit Changed();
    return {};
}

ChannelLabels SwitchCore::Labels() const
{
    return cycles_ ? cycles_->Labels() : ChannelLabels{};
}

int SwitchCore::ChannelNamed(std::string_view text) const
{
    if (text == "1" || text == "2")
        return text[0] - '0';
    if (text.size() == 3 && (text[0] == 'r' || text[0] == 'R') && (text[1] == 'f' || text[1] == 'F') && (text[2] == '1' || text[2] == '2'))
        return text[2] - '0';
    return cycles_ ? cycles_->Labels().ChannelOf(text) : 0;
}

std::string SwitchCore::LabelNote(ControlBits bits) const
{
    const int channel = bits.c1 == bits.c2 ? 0 : bits.c1 ? 1 : 2;
    const std::string label = channel && cycles_ ? cycles_->Labels().Of(channel) : std::string();
    return label.empty() ? label : " label=" + label;
}

OperationResult SwitchCore::SetLabel(int channel, const std::string& label, const Source& source)
{
    const std::string request = "label-rf" + std::to_string(channel) + "=" + (label.empty() ? "none" : label);
    if (auto refused = CyclesRefusal(source, request))
        return *refused;
    ChannelLabels labels = cycles_->Labels();
    OperationResult refused;
    const int other = labels.ChannelOf(label);
    if (const std::string why = LabelProblem(label); !label.empty() && !why.empty())
        refused = {Outcome::NotWritten, label + ": " + why, Cause::Conflict};
    else if (other != 0 && other != channel)
        refused = {Outcome::NotWritten, label + " labels RF" + std::to_string(other) + " already: a label names one channel", Cause::Conflict};
    if (!refused.detail.empty()) {
        Refused(source, request, refused.detail);
        return refused;
    }
    const std::string was = std::exchange(labels.Of(channel), label);
    if (was != label) {
        cycles_->SetLabels(labels);
        Append(source, LogHead(source) + " " + request + " was=" + (was.empty() ? "none" : was) + " result=set");
        emit Changed();
    }
    return {};
}

OperationResult SwitchCore::SaveSetup(int number, const Source& source)
{
    const std::string request = "save-setup=" + std::to_string(number);
    if (auto refused = CyclesRefusal(source, request))
        return *refused;
    SavedSetup setup;
    if (const auto bits = State(); bits && !(bits->c1 && bits->c2))
        setup.path = bits->c1 ? RfPath::Rf1 : bits->c2 ? RfPath::Rf2 : RfPath::Off;
    setup.settleTime = settle_.Time();
    setup.labels = cycles_->Labels();
    setup.limit = cycles_->Counts().limit;
    if (const std::string why = cycles_->SaveSetup(number, setup); !why.empty()) {
        const OperationResult failed{Outcome::NotWritten, why, Cause::Storage};
        Refused(source, request, why);
        return failed;
    }
    Append(source, LogHead(source) + " " + request + " path=" + (setup.path ? PathName(BitsFor(*setup.path)) : "none")
                       + " settle-time=" + std::to_string(setup.settleTime.count()) + "ms result=done");
    return {};
}

void SwitchCore::RecallSetup(int number, const Source& source, Done done)
{
    const std::string request = "recall-setup=" + std::to_string(number);
    Enqueue(source, request, [this, number, source, request] {
        if (auto refused = CyclesRefusal(source, request))
            return *refused;
        const SetupReading read = cycles_->LoadSetup(number);
        if (read.trouble != SetupReading::Trouble::None) {
            const Cause cause = read.trouble == SetupReading::Trouble::NotSaved ? Cause::NotSaved
                : read.trouble == SetupReading::Trouble::Corrupt                ? Cause::Corrupt
                                                                                : Cause::Storage;
            Refused(source, request, read.why);
            return OperationResult{Outcome::NotWritten, read.why, cause};
        }
        const SavedSetup& setup = read.setup;
        // Written only where they change: the file is flushed to the disk each time.
        if (!(setup.labels == cycles_->Labels()))
            cycles_->SetLabels(setup.labels);
        if (setup.limit != cycles_->Counts().limit)
            cycles_->SetLimit(setup.limit);
        settle_.SetTime(setup.settleTime);
        Append(source, LogHead(source) + " " + request + " settle-time=" + std::to_string(setup.settleTime.count()) + "ms limit="
                           + std::to_string(setup.limit) + " result=done");
        emit Changed();
        // The path last, with the settle time it was saved with.
        return setup.path ? SelectNow(*setup.path, source, request + "-" + PathName(BitsFor(*setup.path))) : OperationResult{};
    }, std::move(done));
}

std::optional<int> SwitchCore::PowerOnSetup() const
{
    return cycles_ ? cycles_->PowerOn() : std::nullopt;
}

OperationResult SwitchCore::SetPowerOnSetup(std::optional<int> number, const Source& source)
{
    const std::string request = "power-on=" + (number ? "rcl" + std::to_string(*number) : std::string("keep"));
    if (auto refused = CyclesRefusal(source, request))
        return *refused;
    if (cycles_->PowerOn() != number) {
        cycles_->SetPowerOn(number);
        Append(source, LogHead(source) + " " + request + " result=set");
    }
    return {};
}

void SwitchCore::Append(const Source& source, const std::string& line)
{
    emit Logged(line, source);
    // The log is a record, not a condition of driving the board.
    if (log_)
        log_->Append(line);
}

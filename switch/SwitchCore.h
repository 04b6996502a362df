#pragma once

#include "PortAccess.h"
#include "PortIo.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>

class OperationLog;

// Who asked for an operation; the log names it.
enum class Source
{
    Panel,
    CommandLine,
    Remote,
};

const char* SourceName(Source source);

// The switch's signal paths: all ports terminated, RF COMMON to RF1, to RF2.
enum class RfPath
{
    Off,
    Rf1,
    Rf2,
};

// The two control bits as written to the data register (C1 bit 0, C2 bit 1).
struct ControlBits
{
    bool c1 = false;
    bool c2 = false;
    friend bool operator==(const ControlBits&, const ControlBits&) = default;
};

ControlBits BitsFor(RfPath path);

// "off", "rf1", "rf2"; "forbidden" for C1=1 with C2=1.
const char* PathName(ControlBits bits);

// How an operation went.
enum class Outcome
{
    Verified,     // every write read back (or the port already held the state)
    NotReadBack,  // a write was not read back within its attempts
    Unusable,     // the port cannot be used, or no port may be at that address: nothing written
    Forbidden,    // C1=1 with C2=1 was asked for: nothing written
};

struct OperationResult
{
    Outcome outcome = Outcome::Verified;
    std::string detail;  // the system's words for what went wrong
};

// The one owner of the board's port: the address in use, the control bits as
// written and verified, and every port operation, whichever window, command
// line or remote client asks for it. Operations run one at a time in the
// order asked; one asked while another runs (from inside a retry wait) waits
// for it, and is never dropped.
class SwitchCore : public QObject
{
    Q_OBJECT

public:
    using Done = std::function<void(const OperationResult&)>;

    // How often the port is looked at again while nothing runs: a port that
    // frees up or appears is driven within about this time.
    static constexpr std::chrono::milliseconds kWatchInterval{500};

    explicit SwitchCore(PortIo& ports = Ports(), QObject* parent = nullptr);
    ~SwitchCore() override;

    // Claims the port at `address` (releasing the one before) and clears its
    // control register (when `clearControl`) and its data register; the bits
    // then read 0. An address below 1 is taken without any port access.
    void TakeAddress(std::int32_t address, bool clearControl, Source source, Done done = {});
    // Claims the port at `address` and reads the bits off its data register,
    // writing nothing: for a script that must not disturb the board.
    void Attach(std::int32_t address, Source source, Done done = {});
    // Toggles one control bit (0: C1, 1: C2) by read-modify-write; a toggle
    // that would set both is Forbidden and shows the warning.
    void Toggle(int bit, Source source, Done done = {});
    // Moves the switch to `path` break-before-make: a bit that must go to 0
    // is cleared and verified before the other is set.
    void Select(RfPath path, Source source, Done done = {});
    // Runs `then` once every operation asked before has finished.
    void WhenIdle(std::function<void()> then);

    std::int32_t Address() const { return address_; }
    ControlBits Bits() const { return bits_; }
    const PortStatus& Status() const { return status_; }
    // Whether an operation runs now (the next ones wait for it).
    bool Running() const { return running_; }

    // Every port operation is appended to `log` (may be nullptr).
    void SetLog(OperationLog* log) { log_ = log; }

signals:
    void BitsChanged(ControlBits bits);
    void WarningShown();
    // The port's status changed: a new address, a port freed, lost or found.
    void StatusChanged(const PortStatus& status);
    // A verified write ended, read back or not.
    void Written(const OperationResult& result);
    // An operation ended; failures carry the system's words.
    void Finished(const OperationResult& result, Source source);
    // A slow write is about to wait between attempts, and when all is done.
    void Waiting();
    void Idle();
    // The log could not be written (reported once).
    void LogFailed(const QString& why);

private:
    using Operation = std::function<OperationResult()>;

    void Enqueue(Source source, Operation operation, Done done);
    void Drain();
    void Watch();

    void Claim(std::int32_t address);
    void SetBits(ControlBits bits);
    OperationResult Unusable() const;
    // The refusal, logged, when the port cannot be written; else nothing.
    std::optional<OperationResult> Refusal(Source source, const std::string& what);
    // Clears the registers and shows the bits at 0, as on taking an address.
    OperationResult Reset(bool clearControl, Source source);
    OperationResult ClearRegisters(bool clearControl, Source source);
    OperationResult Write(std::int32_t port, std::uint8_t value, Source source);
    OperationResult WriteBits(std::int16_t value, Source source);
    void Log(Source source, std::int32_t port, std::uint8_t value, const VerifiedWrite& write);
    void LogRefusal(Source source, const std::string& what, const OperationResult& result);
    void Append(const std::string& line);

    struct Pending
    {
        Source source;
        Operation operation;
        Done done;
    };

    PortIo& ports_;
    std::int32_t address_ = 0;
    bool opened_ = false;
    ControlBits bits_;
    PortStatus status_;
    std::deque<Pending> queue_;
    bool running_ = false;
    QTimer watch_;
    OperationLog* log_ = nullptr;
    bool logFailureShown_ = false;
};

#pragma once

#include "OperationQueue.h"
#include "PortAccess.h"
#include "PortIo.h"
#include "Settling.h"
#include "SwitchLock.h"
#include "SwitchTypes.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class OperationLog;
class SwitchSystem;
class RelayCycles;

// The one owner of the board's port: the address in use, the control bits as
// the port last read them back, and every port operation, whichever window,
// command line or remote client asks for it. Operations run one at a time in
// the order asked; one asked while another runs (from inside a retry wait)
// waits for it, and is never dropped unasked: only one whose asker has gone,
// or whose time has run out, is not carried out when its turn comes. The
// bits change only with what the port reads back; after start-up the port is
// written only when a client asks for it. Nothing here waits for a person: a
// `done` that has something to show shows it once the core is free.
class SwitchCore : public QObject
{
    Q_OBJECT

public:
    using Done = std::function<void(const OperationResult&)>;

    // How often the port is looked at again while nothing runs: a port that
    // frees up or appears is read within about this time.
    static constexpr std::chrono::milliseconds kWatchInterval{500};
    // The longest settle time taken.
    static constexpr std::chrono::milliseconds kMaxSettleTime = ::Settling::kLongest;

    // Drives a board of `model` (the QTR7-415KM where none is named).
    explicit SwitchCore(PortIo& ports = Ports(), QObject* parent = nullptr);
    SwitchCore(PortIo& ports, const BoardModel& model, QObject* parent = nullptr);
    ~SwitchCore() override;

    // Whether every client may drive the simulated port (a dry run,
    // --simulate). The panel always may: it says it is simulated.
    void SetAllowSimulated(bool allow) { allowSimulated_ = allow; }
    // Whether `source` may write to the port in use now.
    bool MayDrive(const Source& source) const;

    // One client's exclusive use: while it holds the lock, every other
    // client's switching and change of port is refused (reading goes on).
    // True when granted: the lock was free, or is already this client's.
    bool Lock(const Source& holder);
    // Lets go of the lock if `holder` has it (a client that leaves must).
    void Unlock(const Source& holder);
    const std::optional<Source>& LockHolder() const { return lock_->Holder(); }
    // Takes its lock from now on from `lock`, which other boards' cores
    // share: a client that holds it holds them all. Set before any client
    // locks; `lock` outlives the core.
    void ShareLock(SwitchLock& lock) { lock_ = &lock; }
    // The boards it serves beside, where it is one of several; nullptr alone.
    const SwitchSystem* System() const { return system_; }
    // `holder` names the board beside it that holds a port it has just
    // opened (0: none); such a port is given up before anything is written.
    void SetSystem(const SwitchSystem* system, std::function<int(const SwitchCore&)> holder)
    {
        system_ = system;
        portHolder_ = std::move(holder);
    }
    // Another client than `asker` holds the lock.
    bool LockedAgainst(const Source& asker) const { return lock_->HeldAgainst(asker); }

    // Claims the port at `port` (releasing the one before) and clears its
    // control register (when `clearControl`), then its data register. An
    // address below 1 is taken without any port access. A port chosen by its
    // device has its registers at 0 and 2.
    void TakeAddress(const PortName& port, bool clearControl, const Source& source, Done done = {});
    // Claims the port at `port` and reads the bits off its data register,
    // writing nothing.
    void Attach(const PortName& port, const Source& source, Done done = {});
    // Reads the bits off the data register of the port in use, writing nothing.
    void Read(const Source& source, Done done = {});
    // Toggles one control bit (0: C1, 1: C2) by read-modify-write, as asked by
    // someone who saw the bits `seen`: setting one while the other is seen
    // set is Forbidden and writes nothing.
    void Toggle(int bit, ControlBits seen, const Source& source, Done done = {});
    // Moves the switch to `path` break-before-make: a bit that must go to 0
    // is cleared and verified before the other is set.
    void Select(RfPath path, const Source& source, Done done = {});
    // Records that a client refused a request of its own (nothing reaches the port).
    void Refused(const Source& source, const std::string& request, const std::string& why);
    // Runs `then` once every operation asked before has finished and, with
    // `afterSettle`, the switch has settled.
    void WhenIdle(std::function<void()> then, bool afterSettle = true);

    // How long the switch needs after its drive changed before a signal
    // through it is valid: an operation that wrote the data register is
    // complete only once this has passed, and the next switching waits for
    // it (reads do not). One value for every client, 0 at first. Refused
    // while another client holds the lock; logged.
    std::chrono::milliseconds SettleTime() const { return settle_.Time(); }
    OperationResult SetSettleTime(std::chrono::milliseconds time, const Source& source);
    // The settle time the program starts with (--settle-time), which *RST
    // and DEFault return to; set at start, not logged.
    void SetStartSettleTime(std::chrono::milliseconds time);
    std::chrono::milliseconds StartSettleTime() const { return settle_.StartTime(); }
    // The last write's settle time has not passed yet.
    bool Settling() const { return settle_.Active(); }
    // Runs `then` once the last write's settle time has passed: at once
    // where it has.
    void WhenSettled(std::function<void()> then);

    const BoardModel& Model() const { return model_; }

    // The base address in use; 0 for a port chosen by its device.
    std::int32_t Address() const { return address_; }
    // The port as the user chose it: its base address, or its device.
    PortName Port() const { return device_.empty() ? PortName(address_) : PortName(device_); }
    const PortStatus& Status() const { return status_; }
    // What the port is ("USB adapter (uss720), about 1 ms per access"), where known.
    const std::string& Hardware() const { return hardware_; }
    // The bits as the port last read them back; nullopt where nothing is
    // known of the board (KnownState's rule).
    std::optional<ControlBits> State() const;
    // The last bits read back, whether or not they still hold.
    ControlBits LastBits() const { return bits_; }
    // How the last access to the port went, until the next one.
    const OperationResult& LastAccess() const { return last_; }
    // Whether an operation runs now (the next ones wait for it).
    bool Running() const { return queue_.Running(); }
    // How many requests wait for their turn.
    std::size_t Queued() const { return queue_.Waiting(); }

    // Every port operation and refusal is appended to `log` (may be nullptr).
    void SetLog(OperationLog* log);

    // Counts each closure of a path into `cycles` (may be nullptr): a write
    // to the data register whose read-back shows the path at RF1 or RF2
    // where the read-back before showed it elsewhere. Only what the port
    // reads back counts, never what was asked; a path found closed by a
    // read alone (another program's doing) is not.
    void SetCycles(RelayCycles* cycles);
    // The counts of the board in use; all 0 without counting.
    CycleCounts Cycles() const;
    // Whether the board in use has its closures counted.
    bool Counting() const;
    // Sets the counts of `channels` (1, 2) to 0, or the limit (0: none), as
    // asked by `source`: refused, as switching is, while another client holds
    // the lock. Logged either way.
    OperationResult ClearCycles(const std::vector<int>& channels, const Source& source);
    OperationResult SetCycleLimit(std::uint64_t limit, const Source& source);

    // The labels of the board in use, kept with its counts; none without counting.
    ChannelLabels Labels() const;
    // The channel `text` names: "1", "2", "rf1", "rf2" or a label, in any
    // case; 0 for none.
    int ChannelNamed(std::string_view text) const;
    // Labels `channel` (1, 2) so; "" takes its label away. Refused while
    // another client holds the lock, for a text that is no label
    // (LabelProblem), and for the other channel's label (Conflict). Logged.
    OperationResult SetLabel(int channel, const std::string& label, const Source& source);

    // Keeps the path as read back, the settle time, the labels and the cycle
    // limit as setup `number` (0 to 9) of the board in use. Logged.
    OperationResult SaveSetup(int number, const Source& source);
    // Restores setup `number`: the settings at once, then the path as
    // Select sets it, in turn with every other switching. A setup that is
    // not there or does not read whole changes nothing (NotSaved, Storage,
    // Corrupt, with the file's name). Logged.
    void RecallSetup(int number, const Source& source, Done done = {});
    // The setup a headless server recalls at start (SYST:POS): none, KEEP.
    std::optional<int> PowerOnSetup() const;
    OperationResult SetPowerOnSetup(std::optional<int> number, const Source& source);
signals:
    // The address, the port's status, the bits, the last access or the lock changed.
    void Changed();
    // An operation ended; failures carry the system's words.
    void Finished(const OperationResult& result, const Source& source);
    // A slow write is about to wait between attempts; then all is done.
    void Waiting();
    void Idle();
    // The log could not be written, each time it stops working.
    void LogFailed(const QString& why);
    // One operation's log line, without the time, whether or not a log file
    // is kept: for views that show the last operations, and for whoever
    // asked (`source`).
    void Logged(const std::string& line, const Source& source);

private:
    using Operation = OperationQueue::Operation;

    // `afterSettle`: it may switch, so it waits for the last write to settle.
    void Enqueue(const Source& source, std::string request, Operation operation, Done done, bool afterSettle = true);
    void Watch();

    void Claim(const PortName& port);
    void SetStatus(PortStatus status);
    std::string Register(std::int32_t port) const;
    void SetState(std::optional<ControlBits> bits);
    void SetLast(OperationResult result);
    OperationResult Unusable(const Source& source, const std::string& request);
    std::optional<OperationResult> Refusal(const Source& source, const std::string& request);
    OperationResult ReadState(const Source& source);
    std::optional<std::uint8_t> ReadData(const Source& source, OperationResult& failed);
    OperationResult Write(std::int32_t port, std::uint8_t value, const Source& source);

    std::string LogHead(const Source& source) const;
    void Append(const Source& source, const std::string& line);
    void UseBoard();
    std::optional<OperationResult> CyclesRefusal(const Source& source, const std::string& request);
    OperationResult SelectNow(RfPath path, const Source& source, const std::string& request);
    // " label=ANT" where the channel `bits` close is labelled; empty otherwise.
    std::string LabelNote(ControlBits bits) const;

    PortIo& ports_;
    const BoardModel& model_;
    bool allowSimulated_ = false;
    SwitchLock ownLock_;
    SwitchLock* lock_ = &ownLock_;
    const SwitchSystem* system_ = nullptr;
    std::function<int(const SwitchCore&)> portHolder_;
    std::int32_t address_ = 0;
    std::string device_;  // chosen by device
    bool opened_ = false;
    ControlBits bits_;
    bool known_ = true;
    OperationResult last_;
    PortStatus status_;
    std::string hardware_;
    QTimer watch_;
    OperationLog* log_ = nullptr;
    RelayCycles* cycles_ = nullptr;
    ::Settling settle_;
    OperationQueue queue_;
};

#pragma once

// The SCPI command layer of one connection, free of Qt so that it can be
// fuzzed on its own: bytes in, answers and error-queue entries out, port
// operations asked of an abstract instrument.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// The switch as the command layer sees it.
enum class ScpiPath
{
    Off,
    Rf1,
    Rf2,
};

struct ScpiPortState
{
    enum class Kind
    {
        Real,       // a real port drives the board
        Simulated,  // no port at the address: the simulated one stands in
        Unusable,   // a port is there but cannot be used: nothing is written
        Refused,    // no port may be at that address: nothing is written
    };
    Kind kind = Kind::Simulated;
    std::string why;  // the system's words when not Real
    std::int32_t address = 0;
    bool known = true;  // the port could be read: c1 and c2 hold
    bool c1 = false;
    bool c2 = false;
    std::string device;  // the port's device, where it was chosen by device ("/dev/parport1")
};

struct ScpiOutcome
{
    enum class Kind
    {
        Done,         // written and read back
        NotReadBack,  // a write was not read back
        Missing,      // the port cannot be used, or may not be driven from here: nothing written
        Refused,      // no port may be at that address: nothing written
    };
    Kind kind = Kind::Done;
    std::string detail;
};

class ScpiInstrument
{
public:
    using Done = std::function<void(const ScpiOutcome&)>;
    virtual ~ScpiInstrument() = default;

    virtual ScpiPortState State() const = 0;
    // Port operations. `done` may run before they return, or later.
    virtual void Select(ScpiPath path, Done done) = 0;
    virtual void SetPort(std::int32_t address, Done done) = 0;
    // The port of a device ("/dev/parport1"); refused where there are none.
    virtual void SetPortDevice(const std::string& device, Done done)
    {
        done({ScpiOutcome::Kind::Refused, "no parallel port device " + device});
    }
    // One line per parallel port the system has.
    virtual std::vector<std::string> PortList() const { return {}; }
    // Runs `then` once every port operation asked for so far has finished.
    virtual void WhenIdle(std::function<void()> then) = 0;
    // A request the session refused by itself, for the record.
    virtual void Refused(const std::string& request, const std::string& why) = 0;
};

struct ScpiOptions
{
    std::string maker = "rfswitch-panel";
    std::string model = "QTR7-415KM";
    std::string version;
};

class ScpiSession : public std::enable_shared_from_this<ScpiSession>
{
public:
    // Longest line taken, without its terminator.
    static constexpr std::size_t kMaxLine = 4096;
    static constexpr std::size_t kErrorQueueSize = 16;

    // Owned through a shared_ptr: an operation that comes back after the
    // session is gone finds nothing to report to.
    static std::shared_ptr<ScpiSession> Create(ScpiInstrument& instrument, ScpiOptions options)
    {
        return std::make_shared<ScpiSession>(instrument, std::move(options));
    }
    ScpiSession(ScpiInstrument& instrument, ScpiOptions options);

    // Each response message: the answers of one line joined by ';', ending in LF.
    void SetOutput(std::function<void(std::string_view)> output) { output_ = std::move(output); }
    // Called when a port operation the session waited for has finished and
    // it takes input again.
    void SetResumed(std::function<void()> resumed) { resumed_ = std::move(resumed); }

    // Takes received bytes; runs every complete line, in order.
    void Feed(std::string_view bytes);
    // A port operation (or *OPC?/*WAI) is still running: later lines wait.
    bool Waiting() const { return waiting_; }
    // Nothing left to run: no operation running and no complete line buffered.
    bool Idle() const;
    // IEEE 488.2 status byte as *STB? answers it (without MAV: the answers
    // already went to the output).
    std::uint8_t StatusByte() const;
    // A device clear: input not yet run and answers not yet sent are dropped,
    // and an operation still running finishes without answering.
    void DeviceClear();

    enum class Command;

    struct Error
    {
        int number;
        std::string text;
    };
    const std::deque<Error>& Errors() const { return errors_; }

private:
    struct Unit
    {
        std::string header;  // as sent, blanks trimmed
        std::string params;
    };

    void Pump();
    bool NextLine();
    void RunUnit(const Unit& unit);
    bool Resolve(const std::string& header, Command& command);
    void Run(Command command, const std::string& params);

    void Push(int number, std::string detail = {});
    void Answer(std::string text);
    void Flush();

    // Port operations: the session waits until `done` comes back.
    void Route(ScpiPath path);
    void OpenChannels(const std::vector<int>& channels);
    void Wait(std::function<void(ScpiInstrument::Done)> start, std::function<void(const ScpiOutcome&)> after);
    void WaitIdle(std::function<void()> after);
    void Resume();
    void Report(const ScpiOutcome& outcome);
    void Unknown(const ScpiPortState& state);

    bool ChannelList(const std::string& params, std::vector<int>& channels);
    bool NoParams(const std::string& params);

    ScpiInstrument& instrument_;
    ScpiOptions options_;
    std::function<void(std::string_view)> output_;
    std::function<void()> resumed_;

    std::string inbox_;
    bool discarding_ = false;  // inside a line too long to take
    std::deque<Unit> units_;   // of the line being run
    std::vector<std::string> path_;  // of the last header, for relative ones
    std::vector<std::string> answers_;
    bool waiting_ = false;
    int depth_ = 0;  // loops over the input running now

    std::deque<Error> errors_;
    std::uint8_t esr_ = 0;
    std::uint64_t clears_ = 0;
};

#pragma once

// What the switch core and its clients (window, command line, remote
// sessions) say to each other. Free of Qt, so that the SCPI layer built on it
// can be fuzzed on its own.

#include "BoardModel.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// Whether the client that asked for a request is still there to see it done.
struct Presence
{
    bool ended = false;
    // Asked too when the request's turn comes, where given: a client whose
    // going shows only when asked (a socket that closed while this process
    // was busy and had not looked).
    std::function<bool()> stillThere;

    bool Gone() const { return ended || (stillThere && !stillThere()); }
};

// A client's hold on what it has asked for: whatever it asked for and has
// not been started when the hold ends (its connection closed, its link
// destroyed, the command line gave up) is not carried out. The client owns
// it; its requests carry a token of it.
class Lifetime
{
public:
    explicit Lifetime(std::function<bool()> stillThere = {}) { presence_->stillThere = std::move(stillThere); }
    ~Lifetime() { End(); }
    Lifetime(const Lifetime&) = delete;
    Lifetime& operator=(const Lifetime&) = delete;

    void End() { presence_->ended = true; }
    std::shared_ptr<const Presence> Token() const { return presence_; }

private:
    std::shared_ptr<Presence> presence_ = std::make_shared<Presence>();
};

// Who asked for an operation; the log names it.
struct Source
{
    using Clock = std::chrono::steady_clock;

    enum class Kind
    {
        StartUp,      // the panel's own start, or a server's
        Panel,        // a click or a key in the window
        CommandLine,  // --select or --query, here or handed over from another process
        Remote,       // a network client
        PortWatch,    // the look at the port while idle: reads only
        Stop,         // a server's --on-stop, on its way out
    };
    Kind kind = Kind::Panel;
    std::string peer;     // a network client's address and port, "127.0.0.1:50432"
    bool dryRun = false;  // this client accepts the simulated port (--simulate)
    // The asker's Lifetime; none: the request lasts as long as the program.
    std::shared_ptr<const Presence> alive{};
    // Not started by then, it is not carried out.
    std::optional<Clock::time_point> deadline{};
    // Who of the clients that share this lock holder acted, and how: the
    // log names it in the holder's place. The lock knows only the holder.
    std::string member{};

    static Source Remote(std::string peer) { return {Kind::Remote, std::move(peer), false}; }
    // The same client: one network connection, or the panel, or the command line.
    bool SameClient(const Source& other) const { return kind == other.kind && peer == other.peer; }
    // Why a request of this source is not to be carried out now; empty while it is.
    std::string Abandoned() const
    {
        if (alive && alive->Gone())
            return "the client that asked has gone";
        if (deadline && Clock::now() >= *deadline)
            return "not started in the time the client gave";
        return {};
    }
};

// "panel", "command-line", "remote:127.0.0.1:50432", "start-up", "port-watch", "stop".
std::string SourceName(const Source& source);

ControlBits BitsFor(RfPath path);

// "off", "rf1", "rf2"; "forbidden" for C1=1 with C2=1.
const char* PathName(ControlBits bits);

// How an operation went. Each outcome means one thing.
enum class Outcome
{
    Verified,     // every write read back as written, or the port already held the state
    NotReadBack,  // written; the port read back another value, which is the state now
    NotWritten,   // nothing reached the port: see the Cause
    PortLost,     // written, but nothing could be read back: the board's state is unknown
    Forbidden,    // C1=1 with C2=1 was asked for: nothing written
    Abandoned,    // not carried out: whoever asked had gone, or its time ran out
};

// Why nothing reached the port.
enum class Cause
{
    None,
    Locked,         // another client holds the lock
    NoPort,         // no port may be at the address
    Unusable,       // the port cannot be used now (held by another program, no permission)
    OnlySimulated,  // the simulated port stands in, and this client did not ask for a dry run
    Unreadable,     // the register could not be read before writing
    WriteFailed,    // every write was refused by the port
    // Settings, not the port:
    Conflict,       // a setting that clashes with another (a label the other channel has)
    NotSaved,       // no setup saved under that number
    Storage,        // a file of the state folder cannot be read or written
    Corrupt,        // a saved setup that does not read whole: nothing of it taken
};

// "verified", "not-read-back", "not-written", "port-lost", "forbidden", "abandoned".
const char* OutcomeName(Outcome outcome);

struct OperationResult
{
    Outcome outcome = Outcome::Verified;
    std::string detail;  // what happened at the port, or why nothing did, in the system's words
    Cause cause = Cause::None;

    bool Ok() const { return outcome == Outcome::Verified; }
};

// How often each path has closed, as counted for the board in use: channel
// 1 (RF1) and 2 (RF2), and the count at which the switch is due for
// replacement (0: no limit).
struct CycleCounts
{
    std::uint64_t rf1 = 0;
    std::uint64_t rf2 = 0;
    std::uint64_t limit = 0;

    std::uint64_t Of(int channel) const { return channel == 1 ? rf1 : rf2; }
    std::uint64_t& Of(int channel) { return channel == 1 ? rf1 : rf2; }
    // Either count has reached the limit, where there is one.
    bool AtLimit() const { return limit > 0 && (rf1 >= limit || rf2 >= limit); }
    friend bool operator==(const CycleCounts&, const CycleCounts&) = default;
};

// The names the user gave the board's channels: 1 (RF1) and 2 (RF2), so
// that scripts say what is connected, not where; empty: none.
struct ChannelLabels
{
    std::string rf1;
    std::string rf2;

    const std::string& Of(int channel) const { return channel == 1 ? rf1 : rf2; }
    std::string& Of(int channel) { return channel == 1 ? rf1 : rf2; }
    // The channel `text` names, in any case: 1, 2, or 0 for neither.
    int ChannelOf(std::string_view text) const;
    friend bool operator==(const ChannelLabels&, const ChannelLabels&) = default;
};

// Why `text` cannot label a channel, empty where it can: 1 to 12 letters,
// digits and '_', a letter first, and none of the names a path or a list
// has already (rf1, rf2, off, all) in any case. So a label is never taken
// for a number, a mnemonic of the path, or another label's case.
std::string LabelProblem(std::string_view text);

// What *SAV keeps and *RCL restores: the path (none where the board's state
// was unknown, or no path, when saved: the recall leaves it as it is), the
// settle time, the labels and the cycle limit.
struct SavedSetup
{
    std::optional<RfPath> path;
    std::chrono::milliseconds settleTime{0};
    ChannelLabels labels;
    std::uint64_t limit = 0;
    friend bool operator==(const SavedSetup&, const SavedSetup&) = default;
};

// The one rule every view (window, status line, SCPI, web, command line)
// tells a known state from an unknown one by: the bits the port last read
// back, while the port can be used and no access since has left the board in
// doubt; nothing otherwise.
std::optional<ControlBits> KnownState(bool usable, std::optional<ControlBits> readBack, Outcome lastAccess);

#pragma once

// What the switch core and its clients (window, command line, remote
// sessions) say to each other. Free of Qt, so that the SCPI layer built on it
// can be fuzzed on its own.

#include <string>

// Who asked for an operation; the log names it.
struct Source
{
    enum class Kind
    {
        StartUp,      // the panel's own start, or a server's
        Panel,        // a click or a key in the window
        CommandLine,  // --select or --query, here or handed over from another process
        Remote,       // a network client
        PortWatch,    // the look at the port while idle: reads only
    };
    Kind kind = Kind::Panel;
    std::string peer;     // a network client's address and port, "127.0.0.1:50432"
    bool dryRun = false;  // this client accepts the simulated port (--simulate)

    static Source Remote(std::string peer) { return {Kind::Remote, std::move(peer), false}; }
    // The same client: one network connection, or the panel, or the command line.
    bool SameClient(const Source& other) const { return kind == other.kind && peer == other.peer; }
};

// "panel", "command-line", "remote:127.0.0.1:50432", "start-up", "port-watch".
std::string SourceName(const Source& source);

// The switch's signal paths: all ports terminated, RF COMMON to RF1, to RF2.
enum class RfPath
{
    Off,
    Rf1,
    Rf2,
};

// The two control bits of the data register (C1 bit 0, C2 bit 1).
struct ControlBits
{
    bool c1 = false;
    bool c2 = false;
    friend bool operator==(const ControlBits&, const ControlBits&) = default;
};

ControlBits BitsFor(RfPath path);

// "off", "rf1", "rf2"; "forbidden" for C1=1 with C2=1.
const char* PathName(ControlBits bits);

// How an operation went. Each outcome means one thing.
enum class Outcome
{
    Verified,     // every write read back as written, or the port already held the state
    NotReadBack,  // written; the port read back another value, which is the state now
    NotWritten,   // nothing was written: the port cannot be used, may not be driven from
                  // this source, or could not be read first
    PortLost,     // written, but nothing could be read back: the board's state is unknown
    Forbidden,    // C1=1 with C2=1 was asked for: nothing written
};

// "verified", "not-read-back", "not-written", "port-lost", "forbidden".
const char* OutcomeName(Outcome outcome);

struct OperationResult
{
    Outcome outcome = Outcome::Verified;
    std::string detail;  // what happened at the port, or why nothing did, in the system's words

    bool Ok() const { return outcome == Outcome::Verified; }
};

#pragma once

#include "PortLayer.h"
#include "SwitchCore.h"

#include <QString>
#include <QStringList>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>

class OperationLog;

// What the program was asked to do.
struct Invocation
{
    enum class Mode
    {
        Panel,    // the window (and a remote server when listening)
        Headless, // a remote server without a window
        Select,   // --select: switch, print the state, exit
        Query,    // --query: print the state, exit
        Help,
        Version,
        Error,    // bad usage: `error` says what
    };
    Mode mode = Mode::Panel;
    std::optional<std::int32_t> port;  // --port, for this run only
    QString portText;                  // as typed
    RfPath path = RfPath::Off;         // --select
    bool simulate = false;             // the simulated port is good enough
    bool rawIo = false;                // raw /dev/port for a port no driver serves
    QString log;                       // --log FILE
    QString listen;                    // --listen [HOST:]PORT
    QString error;
    QString helpText;
};

// Reads the arguments (the program's name first) without needing an
// application object, so that --help works with no display.
Invocation ParseCommandLine(const QStringList& arguments);

// Exit codes of --select and --query.
enum ExitCode
{
    kExitVerified = 0,
    kExitNotReadBack = 1,
    kExitUsage = 2,        // bad usage, or an address no port may be at
    kExitNoBoard = 3,      // the port is unusable, or only simulated
};

// "port 888 (0x378) /dev/parport0: C1=1 C2=0 rf1"
QString StateLine(const SwitchCore& core);

struct CommandOutcome
{
    int exitCode = kExitVerified;
    QString output;  // the state line, for stdout
    QString error;   // what went wrong, for stderr
};

// Runs --select or --query on `core` at `address`. Needs a QCoreApplication.
CommandOutcome RunSwitchCommand(const Invocation& invocation, SwitchCore& core, std::int32_t address);

// Does what needs neither a window nor a network: --help, --version, bad
// usage, --select and --query, printing what they print. Returns the exit
// code, or nothing when the invocation is for the panel or the server.
std::optional<int> RunWithoutWindow(const Invocation& invocation, int argc, char** argv);

// The address to start from: --port, else the one last taken, else 888.
std::int32_t StartAddress(const Invocation& invocation);

// One line on `stream`, flushed at once (scripts read it as it comes).
void PrintLine(std::FILE* stream, const QString& text);

// How far the system's ports may go for this invocation (--raw-io).
PortOptions PortOptionsFor(const Invocation& invocation);

// Without a window, a log that cannot be written is said on stderr, once.
void ReportLogFailuresOnStderr(SwitchCore& core);

// Where the log goes, when asked for; a file that cannot be written is
// reported by the core once, and the program goes on.
std::unique_ptr<OperationLog> OpenLog(const Invocation& invocation, SwitchCore& core);

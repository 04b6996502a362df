#pragma once

#include "Console.h"
#include "Invocation.h"
#include "SwitchCore.h"

#include <QString>

#include <optional>

// "port 888 (0x378) /dev/parport0: C1=1 C2=0 rf1", or "port /dev/parport1,
// USB adapter (uss720), about 1 ms per access: C1=1 C2=0 rf1" for a port
// chosen by its device, from the bits the port read back; empty where they
// could not be read.
QString StateLine(const SwitchCore& core);

struct CommandOutcome
{
    int exitCode = kExitVerified;
    QString output;  // the state line, for stdout
    QString error;   // what went wrong, for stderr
};

// Runs --select or --query on `core` at `port`. Needs a QCoreApplication.
CommandOutcome RunSwitchCommand(Invocation invocation, SwitchCore& core, const PortName& port);
// Its halves, also for a core that holds the address already (a command
// handed over): where the command ends before switching, given how the port
// was read (a query's answer, or why nothing is switched)...
std::optional<CommandOutcome> CommandBeforeSwitching(const Invocation& invocation, const SwitchCore& core, const OperationResult& read);
// --select LABEL: the path of the channel the label names on `core`'s
// board, set in `invocation`; where none has it, what the command line says.
std::optional<CommandOutcome> FindLabel(Invocation& invocation, const SwitchCore& core);
// ...and what --select says once the core's Select has ended with `result`.
CommandOutcome CommandAfterSwitching(const SwitchCore& core, const OperationResult& result);

// Does what needs neither a window nor a network: --help, --version, bad
// usage, --list-ports, --select and --query, printing what they print. Returns the exit
// code, or nothing when the invocation is for the panel or the server.
std::optional<int> RunWithoutWindow(const Invocation& invocation, int argc, char** argv);
// How --port was read, where not as typed, on standard error.
void SayPortNote(const Invocation& invocation);

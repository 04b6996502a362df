#pragma once

#include <QString>

#include <cstdio>

// Exit codes of --select and --query, and of the program where it cannot start or serve.
enum ExitCode
{
    kExitVerified = 0,
    kExitNotReadBack = 1,  // a write was not read back
    kExitUsage = 2,        // bad usage, or an address no backend may touch
    kExitNoBoard = 3,      // the port is unusable, could not be read, or is only simulated
    kExitCannotServe = 4,  // a server cannot listen: its port is in use, or its address is not this machine's
};

// One line on `stream`, flushed at once (scripts read it as it comes).
void PrintLine(std::FILE* stream, const QString& text);
// "rfswitch-panel: WHAT" on stderr, and the usage hint for bad usage.
int Fail(int exitCode, const QString& what);

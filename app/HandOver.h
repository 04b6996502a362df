#pragma once

#include "CommandLine.h"

#include <QByteArray>

#include <cstdint>
#include <optional>

// --select and --query on a port that a panel or server of this program owns
// are done by that process's core: one process drives a port, and its window
// and log show what the command line did. One line each way:
//   "888 select rf1 dry-run" or "888 query" ("dry-run" for --simulate)
//   "0<TAB>port 888 (0x378) /dev/parport0: C1=1 C2=0 rf1<TAB>": the exit
//   code, the line for stdout and the line for stderr, as the command line
//   would print them itself; or "elsewhere" when that process no longer
//   holds the address.

// The command line's side: the owner's outcome, or nothing where no process
// of this program owns `address` (the command line then drives it itself).
std::optional<CommandOutcome> HandOver(const Invocation& invocation, std::int32_t address);

// The owner's side.
struct HandedCommand
{
    std::int32_t address = 0;
    Invocation invocation;  // the mode, the path and whether a dry run is meant
};
std::optional<HandedCommand> ParseHandedCommand(const QByteArray& line);
QByteArray AnswerLine(const CommandOutcome& outcome);
inline constexpr char kElsewhere[] = "elsewhere";

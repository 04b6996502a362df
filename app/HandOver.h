#pragma once

#include "OneShot.h"

#include <QByteArray>

#include <functional>
#include <optional>
#include <string>
#include <vector>

// --select and --query on a port that a panel or server of this program owns
// are done by that process's core: one process drives a port, and its window
// and log show what the command line did. One line goes to the owner:
//   "888 select rf1 dry-run board=real" or "/dev/parport1 query board=real"
//   ("select label=ANT": the channel the owner's board labels so)
//   ("dry-run" for --simulate; the board the command line would find
//   there itself: only an owner on the same kind of board takes it);
// and back come the log lines of what it did ("log<TAB>LINE"), then
//   "0<TAB>port 888 (0x378) /dev/parport0: C1=1 C2=0 rf1<TAB>": the exit
//   code, the line for stdout and the line for stderr, as the command line
//   would print them itself; or "elsewhere" when that process does not hold
//   the port on that kind of board (any more).

struct HandedOutcome
{
    CommandOutcome outcome;
    std::vector<std::string> log;  // the owner's log lines of it, without their time
};

// The command line's side: the owner's outcome, or nothing where no process
// of this program owns `port` on the board it would find (the command line
// then drives it itself). `simulated` says whether the command line would
// find only the simulated port there; asked only where an owner listens.
std::optional<HandedOutcome> HandOver(const Invocation& invocation, const PortName& port, const std::function<bool()>& simulated);

// The owner's side.
struct HandedCommand
{
    PortName port;
    Invocation invocation;   // the mode, the path and whether a dry run is meant
    bool simulated = false;  // the command line would find only the simulated port
};
std::optional<HandedCommand> ParseHandedCommand(const QByteArray& line);
QByteArray AnswerLine(const CommandOutcome& outcome);
QByteArray LogLine(const std::string& line);
inline constexpr char kElsewhere[] = "elsewhere";
// Longest request line: a device's name is at most 255 characters.
inline constexpr qint64 kLongestRequest = 320;

#pragma once

#include "PortIo.h"
#include "SwitchTypes.h"

#include <QColor>
#include <QString>

#include <cstdint>
#include <optional>

class SwitchCore;
class SwitchSystem;

// What the status line under the schematic says, and in which colour.
struct StatusText
{
    QString text;
    QColor colour;
    friend bool operator==(const StatusText&, const StatusText&) = default;
};

// Plain text on a port that drives the board; the warning colour wherever
// nothing is written or the board's state is not what was asked or is
// unknown; a colour of its own for the simulated port.
inline const QColor kStatusNormal{0, 0, 0};
inline const QColor kStatusWarning{255, 0, 0};
inline const QColor kStatusSimulated{0, 0, 192};

// The line for the port `status` at `port`, after the last access to the
// port `last` (the board's state `known` or not); `hardware` says what the
// port is, where known.
StatusText StatusLine(const PortStatus& status, const PortName& port, const OperationResult& last, bool known,
                      const std::string& hardware = {});

// The warning for counts at or over their limit; empty below it or without one.
QString CyclesWarning(const CycleCounts& counts);

// The line for the switch as `core` holds it now, the same in every view,
// with the relay cycle warning (in the warning colour) below it where due.
StatusText StatusLine(const SwitchCore& core);

// The path the bits make, in words: "RF COMMON connected to RF1", "All ports
// terminated", "Unknown: nothing read back from the port".
QString PathWords(const std::optional<ControlBits>& bits);

// Why `asker` cannot switch now, for the views to show beside the controls
// they disable: another client's lock, or the simulated port that it may not
// drive; empty where it may switch.
QString SwitchingRefused(const SwitchCore& core, const Source& asker);

// The boards served beside the first, as the window lists them in one line:
// "board 2 bench on 632 (0x278): RF1 ANT · board 3 on /dev/parport9:
// unusable"; empty with one board. Each says what its port read back.
QString OtherBoards(const SwitchSystem& system);

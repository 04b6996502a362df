#pragma once

// A switch model, described once: what it is called, which bits of the
// data register drive it, and where the schematic draws its contacts. The
// core, the SCPI layer, the window, the page, the identification and the
// metrics all take what differs between models from here. Free of Qt.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// The switch's signal paths: all ports terminated, RF COMMON to RF1, to RF2.
enum class RfPath
{
    Off,
    Rf1,
    Rf2,
};

// The board's two control lines, C1 and C2, as driven (set: 1).
struct ControlBits
{
    bool c1 = false;
    bool c2 = false;
    friend bool operator==(const ControlBits&, const ControlBits&) = default;
};

// A contact line's end points in twips, in the schematic's drawing area.
struct Segment
{
    double x1, y1, x2, y2;
    friend bool operator==(const Segment&, const Segment&) = default;
};

// Line1, Line2, Line3.
using ContactLines = std::array<Segment, 3>;

// The switch states the board offers, named by (C1, C2).
enum class SwitchState
{
    AllTerminated,  // (0, 0)
    CommonToRf1,    // (1, 0)
    CommonToRf2,    // (0, 1)
};

struct BoardModel
{
    std::string name;       // as *IDN?, the LXI document, DNS-SD and the model box give it
    int c1Bit = 0;          // the data register's bit that drives C1
    int c2Bit = 1;          // and C2
    // Where the three contacts lie in each state, in SwitchState's order;
    // the end points fall on the schematic picture's contact dots.
    std::array<ContactLines, 3> contacts{};

    // The data register's bits for the control lines `bits`.
    std::uint8_t Register(ControlBits bits) const;
    // The control lines a data register value drives.
    ControlBits Lines(std::uint8_t value) const;
    // Every bit of the data register the board uses; the others are left as read.
    std::uint8_t Used() const;
    const ContactLines& Contacts(SwitchState state) const { return contacts[static_cast<std::size_t>(state)]; }
};

// The board this program was made for: the QTR7-415KM, C1 on bit 0, C2 on bit 1.
const BoardModel& Qtr7Board();

// Every model the program drives, the first the one it starts with.
const std::vector<const BoardModel*>& KnownModels();

// The model called `name`, in any case; nullptr where none is.
const BoardModel* ModelNamed(std::string_view name);

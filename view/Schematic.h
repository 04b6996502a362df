#pragma once

#include <array>
#include <optional>

// A contact line's end points in twips, in Picture2's drawing area.
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

// Where the three contacts lie for each allowed state. The end points fall on
// the schematic picture's contact dots.
constexpr ContactLines ContactLinesFor(SwitchState state)
{
    switch (state) {
    case SwitchState::CommonToRf1:
        return {{{1900, 750, 2350, 600}, {1680, 1250, 2160, 1080}, {3250, 1230, 2880, 1320}}};
    case SwitchState::CommonToRf2:
        return {{{1680, 1250, 2160, 1350}, {1900, 750, 2350, 600}, {3360, 1250, 2760, 1080}}};
    case SwitchState::AllTerminated:
        break;
    }
    return {{{1900, 800, 2300, 800}, {1680, 1250, 2160, 1350}, {3250, 1230, 2880, 1320}}};
}

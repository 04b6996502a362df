#pragma once

#include "SwitchLock.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

class SwitchCore;

// A board and one of its paths, as a slot channel names them: 202 is
// channel 2 of board 2.
struct SlotChannel
{
    int board = 0;
    int channel = 0;
    friend bool operator==(const SlotChannel&, const SlotChannel&) = default;
};

// Several boards behind one program, each on a port of its own with its own
// core (claim, read-back, state, settle time, relay counts, status line),
// all under one lock: a client that holds it holds every board, and while
// it does no other client switches any. Board 1 is the one the program
// started with; the boards are numbered in the order added.
class SwitchSystem
{
public:
    // Adds `core` (which outlives the system) as the next board, named
    // `name` ("" for none); its number.
    int Add(SwitchCore& core, std::string name = {});
    int Count() const { return static_cast<int>(boards_.size()); }
    // Board `board`, from 1 to Count().
    SwitchCore& Core(int board) const;
    const std::string& Name(int board) const;
    // The board `text` names: its number, or its name in any case; 0 for none.
    int BoardNamed(std::string_view text) const;
    // The board and path channel `number` names: sNN is channel NN of board
    // s; 1 and 2 alone are board 1's. Nothing where no such board or path is.
    std::optional<SlotChannel> Slot(int number) const;
    const SwitchLock& Lock() const { return lock_; }
    // Another board that holds the port `core` has opened (by its address,
    // its device, or the kernel's port behind either); 0 for none. Two
    // boards on one port would each show a state the other changes.
    int BoardSharing(const SwitchCore& core) const;

private:
    struct Board
    {
        SwitchCore* core;
        std::string name;
    };

    SwitchLock lock_;
    std::vector<Board> boards_;
};

// How many boards the switch whose first board is `first` serves: 1 alone.
int BoardCount(const SwitchCore& first);
// Board `board` of that switch: `first` itself for board 1.
SwitchCore& BoardOf(SwitchCore& first, int board);

#pragma once

#include <cstdint>

// Work for one client within one turn of the event loop is bounded, so that
// a client that never pauses cannot keep the loop to itself: every other
// connection, the port watch, the hand-over and the window have their turn
// in between. A turn ends when the event loop next delivers posted events.
class TurnShare
{
public:
    // `units` messages a turn (0: no bound).
    explicit TurnShare(int units) : units_(units) {}

    // One more message in this turn: false once the share is spent.
    bool Take();
    // A fresh share, for work resumed on a later turn.
    void Renew();
    bool Bounded() const { return units_ > 0; }

private:
    int units_;
    int spent_ = 0;
    std::uint64_t turn_ = 0;
};

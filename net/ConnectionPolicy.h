#pragma once

#include "AllowList.h"

#include <chrono>
#include <cstddef>

// What every listener holds its peers to, whatever the protocol: who may
// connect, how many at once, when a silent or vanished one is given up on,
// and how much is kept for one that does not read.
struct ConnectionPolicy
{
    AllowList allow;
    // Connections of one server at once; one more is reset at once.
    int maxConnections = 8;
    // Of those, what one peer address may hold: half, so that one peer
    // cannot take every slot.
    int PerPeer() const { return maxConnections > 1 ? maxConnections / 2 : 1; }
    // A peer that neither answers keepalive probes nor acknowledges what is
    // sent to it is given up on after this long.
    std::chrono::seconds keepAlive{120};
    // A connection that sends nothing for this long is closed (0: never).
    std::chrono::seconds idleTimeout{0};
    // Output a peer has not taken yet: past this, nothing more is read from
    // it until it takes some.
    std::size_t maxUnsent = 1024 * 1024;
    // Messages (commands, requests, frames) run for one connection in one
    // turn of the event loop before every other connection, the port watch
    // and the window have had theirs (0: no bound).
    int turnShare = 64;
};

// RFSWITCH_KEEPALIVE seconds where set (tests shorten it), else about two minutes.
std::chrono::seconds KeepAliveFromEnvironment();

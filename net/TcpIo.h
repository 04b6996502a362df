#pragma once

// The few socket calls the servers make on their connections themselves, so
// that they can finish answering a client that has half-closed, give up on
// one that has vanished, turn one away with nothing to read, and keep
// accepting when the descriptor table is full. Free of Qt; one file per OS
// (TcpIo_unix.cpp, TcpIo_win.cpp).

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tcp {

using Handle = std::intptr_t;

struct Io
{
    enum class Status
    {
        Moved,       // `bytes` were received or sent
        WouldBlock,  // nothing now; the socket's notifier says when
        Closed,      // received: the client sends nothing more
        Failed,      // the connection is gone (reset, or given up on)
    };
    Status status = Status::Moved;
    std::size_t bytes = 0;
};

Io Receive(Handle socket, char* buffer, std::size_t size);
Io Send(Handle socket, const char* data, std::size_t size);
// Non-blocking, each answer sent at once, and a client that neither answers
// keepalive probes nor takes what is sent to it given up on after `giveUp`.
void Prepare(Handle socket, std::chrono::seconds giveUp);
// Closes the socket; `reset` closes it with a reset, so that the client
// reads nothing at all.
void Close(Handle socket, bool reset);
// The client's address ("127.0.0.1", "::1", "::ffff:10.0.0.2") and port.
std::string PeerAddress(Handle socket, std::uint16_t& port);
// The address the client reached, as PeerAddress names it.
std::string LocalAddress(Handle socket, std::uint16_t& port);

// A descriptor kept free for the one moment the table is full: released, a
// pending connection taken off `listener` and reset, and taken again, so
// that a listener that cannot accept does not stay readable for ever.
// False when there was none to take.
bool DropPending(Handle listener);

} // namespace tcp

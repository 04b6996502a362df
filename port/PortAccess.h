#pragma once

#include "PortIo.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

// Port access as the switch uses it: every access goes through one PortIo,
// the system's own unless another is given.

// Attempts of a verified write; the first kAttemptsWithoutPause run back to
// back (what events are pending is handled between two of them, without
// waiting), each later one pauses kRetryPause between its write and read-back.
inline constexpr std::int16_t kWriteAttempts = 110;
inline constexpr std::int16_t kAttemptsWithoutPause = 101;
inline constexpr std::chrono::milliseconds kRetryPause{50};

// How a verified write went.
struct VerifiedWrite
{
    bool verified = false;
    std::int16_t attempts = 0;  // writes issued, 1..110
    bool written = false;       // whether any write reached the port
    bool readBack = false;      // whether any read-back succeeded
    std::int16_t lastRead = 0;  // the last byte read back (0 if none could be read)
    std::string error;          // the backend's words for the last failed access, if any

    explicit operator bool() const { return verified; }
};

// Reads one byte at the port, widened without sign. Backend errors
// (PortError) pass to the caller.
std::int16_t ReadPort(std::int32_t port, PortIo& io = Ports());

// Writes `value` and reads it back until they match or the attempts run out.
// No error escapes; a value outside 0..255 is refused without touching the
// port. `beforePause` runs before each pause of the slow tail, e.g. to show
// a busy pointer.
VerifiedWrite WriteVerified(std::int32_t port, std::int16_t value,
                            const std::function<void()>& beforePause = {}, PortIo& io = Ports());

// Handles the events pending now in a nested event loop, without waiting for more.
void DispatchPending();

// Waits at least `milliseconds` on the monotonic clock in a nested event
// loop, so pending window events are dispatched meanwhile. Zero or a negative
// value returns at once, dispatching nothing.
void Delay(std::int16_t milliseconds);

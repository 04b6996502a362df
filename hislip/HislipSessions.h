#pragma once

// The pairing of HiSLIP's two channels: a client opens the synchronous
// channel with Initialize and gets a session id, then opens the asynchronous
// one with AsyncInitialize naming that id. Pure logic, free of sockets.

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <random>
#include <string>

namespace hislip {

class SessionTable
{
public:
    // At most `maxSessions`, and half of them (at least one) from one host,
    // so that one peer cannot take every session.
    explicit SessionTable(std::size_t maxSessions);

    // A new session for a synchronous channel from `host`: its id, drawn at
    // random so that no other connection can guess it, never 0, one in use
    // or one closed lately; nullopt when the table, or the host's share of
    // it, is full.
    std::optional<std::uint16_t> Open(const std::string& host);

    enum class Pairing
    {
        Paired,         // the asynchronous channel belongs to session `id` now
        Unknown,        // no such session
        AlreadyPaired,  // it has its asynchronous channel already
        OtherHost,      // opened from another host than its synchronous channel
    };
    Pairing Pair(std::uint16_t id, const std::string& host);
    void Close(std::uint16_t id);
    std::size_t Size() const { return sessions_.size(); }
    std::size_t MaxPerHost() const { return maxPerHost_; }

private:
    struct Session
    {
        std::string host;
        bool paired = false;
    };
    std::size_t maxSessions_;
    std::size_t maxPerHost_;
    std::map<std::uint16_t, Session> sessions_;
    std::deque<std::uint16_t> closed_;  // lately, oldest first
    std::random_device random_;
};

// Message ids count up by two and wrap: whether `id` came no later than
// `last`, within a window of ids a client can have in flight.
bool NotAfter(std::uint32_t id, std::uint32_t last);

} // namespace hislip

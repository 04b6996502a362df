#include "HislipSessions.h"

#include <algorithm>

namespace hislip {

namespace {

// Closed ids not given again: a late AsyncInitialize for a session that has
// gone cannot join a new one.
constexpr std::size_t kClosedRemembered = 256;

} // namespace

SessionTable::SessionTable(std::size_t maxSessions)
    : maxSessions_(maxSessions), maxPerHost_(std::max<std::size_t>(1, maxSessions / 2))
{
}

std::optional<std::uint16_t> SessionTable::Open(const std::string& host)
{
    const auto fromHost = std::count_if(sessions_.begin(), sessions_.end(), [&host](const auto& session) { return session.second.host == host; });
    if (sessions_.size() >= maxSessions_ || std::size_t(fromHost) >= maxPerHost_)
        return std::nullopt;
    std::uniform_int_distribution<unsigned> draw(1, 0xffff);
    for (;;) {
        const auto id = static_cast<std::uint16_t>(draw(random_));
        if (!sessions_.contains(id) && std::find(closed_.begin(), closed_.end(), id) == closed_.end()) {
            sessions_[id] = {host, false};
            return id;
        }
    }
}

SessionTable::Pairing SessionTable::Pair(std::uint16_t id, const std::string& host)
{
    const auto found = sessions_.find(id);
    if (found == sessions_.end())
        return Pairing::Unknown;
    if (found->second.paired)
        return Pairing::AlreadyPaired;
    if (found->second.host != host)
        return Pairing::OtherHost;
    found->second.paired = true;
    return Pairing::Paired;
}

void SessionTable::Close(std::uint16_t id)
{
    if (sessions_.erase(id) == 0)
        return;
    closed_.push_back(id);
    if (closed_.size() > kClosedRemembered)
        closed_.pop_front();
}

bool NotAfter(std::uint32_t id, std::uint32_t last)
{
    // Ahead of `last` by more than this, it is no id the client has sent:
    // taken as done, so that nothing waits for it for ever.
    constexpr std::uint32_t kInFlight = 1u << 16;
    const std::uint32_t ahead = id - last;
    return ahead == 0 || ahead > kInFlight;
}

} // namespace hislip

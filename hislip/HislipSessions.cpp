#include "HislipSessions.h"

namespace hislip {

std::optional<std::uint16_t> SessionTable::Open(const std::string& host)
{
    if (sessions_.size() >= maxSessions_)
        return std::nullopt;
    // Ids are not reused at once, so that a late AsyncInitialize for a
    // session that has gone cannot join a new one.
    for (;;) {
        const std::uint16_t id = next_++;
        if (id != 0 && !sessions_.contains(id)) {
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
    sessions_.erase(id);
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

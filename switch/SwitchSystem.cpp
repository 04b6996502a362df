#include "SwitchSystem.h"

#include "SwitchCore.h"

#include <algorithm>
#include <charconv>

int SwitchSystem::Add(SwitchCore& core, std::string name)
{
    core.ShareLock(lock_);
    core.SetSystem(this, [this](const SwitchCore& asking) { return BoardSharing(asking); });
    boards_.push_back({&core, std::move(name)});
    return Count();
}

SwitchCore& SwitchSystem::Core(int board) const
{
    return *boards_.at(static_cast<std::size_t>(board - 1)).core;
}

const std::string& SwitchSystem::Name(int board) const
{
    return boards_.at(static_cast<std::size_t>(board - 1)).name;
}

int SwitchSystem::BoardNamed(std::string_view text) const
{
    int number = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error == std::errc() && end == text.data() + text.size())
        return number >= 1 && number <= Count() ? number : 0;
    const auto upper = [](char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; };
    for (int board = 1; board <= Count(); ++board) {
        const std::string& name = Name(board);
        if (!name.empty() && name.size() == text.size()
            && std::equal(name.begin(), name.end(), text.begin(), [&](char a, char b) { return upper(a) == upper(b); }))
            return board;
    }
    return 0;
}

int SwitchSystem::BoardSharing(const SwitchCore& core) const
{
    const auto holds = [](const SwitchCore& board) {
        return board.Status().reach != PortReach::Refused && board.Status().reach != PortReach::Absent;
    };
    const auto kernelPort = [](const SwitchCore& board) {
        return board.Status().device.starts_with("/dev/parport") ? board.Status().device : std::string();
    };
    for (int board = 1; board <= Count(); ++board) {
        const SwitchCore& other = Core(board);
        if (&other == &core || !holds(other))
            continue;
        if ((core.Address() > 0 && other.Address() == core.Address()) || (core.Port().ByDevice() && other.Port() == core.Port())
            || (!kernelPort(core).empty() && kernelPort(other) == kernelPort(core)))
            return board;
    }
    return 0;
}

std::optional<SlotChannel> SwitchSystem::Slot(int number) const
{
    const SlotChannel slot = number < 100 ? SlotChannel{1, number} : SlotChannel{number / 100, number % 100};
    if (slot.board < 1 || slot.board > Count() || (slot.channel != 1 && slot.channel != 2))
        return std::nullopt;
    return slot;
}

int BoardCount(const SwitchCore& first)
{
    return first.System() ? first.System()->Count() : 1;
}

SwitchCore& BoardOf(SwitchCore& first, int board)
{
    return board == 1 ? first : first.System()->Core(board);
}

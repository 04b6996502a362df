#include "SwitchTypes.h"

#include <algorithm>
#include <cctype>

std::string SourceName(const Source& source)
{
    switch (source.kind) {
    case Source::Kind::StartUp:
        return "start-up";
    case Source::Kind::CommandLine:
        return "command-line";
    case Source::Kind::Remote:
        return "remote:" + (source.member.empty() ? source.peer : source.member);
    case Source::Kind::PortWatch:
        return "port-watch";
    case Source::Kind::Stop:
        return "stop";
    case Source::Kind::Panel:
        break;
    }
    return "panel";
}

ControlBits BitsFor(RfPath path)
{
    switch (path) {
    case RfPath::Rf1:
        return {true, false};
    case RfPath::Rf2:
        return {false, true};
    case RfPath::Off:
        break;
    }
    return {};
}

const char* PathName(ControlBits bits)
{
    if (bits.c1 && bits.c2)
        return "forbidden";
    return bits.c1 ? "rf1" : bits.c2 ? "rf2" : "off";
}

const char* OutcomeName(Outcome outcome)
{
    switch (outcome) {
    case Outcome::NotReadBack:
        return "not-read-back";
    case Outcome::NotWritten:
        return "not-written";
    case Outcome::PortLost:
        return "port-lost";
    case Outcome::Forbidden:
        return "forbidden";
    case Outcome::Abandoned:
        return "abandoned";
    case Outcome::Verified:
        break;
    }
    return "verified";
}

namespace {

bool SameLetters(std::string_view a, std::string_view b)
{
    const auto upper = [](char c) { return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c; };
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return upper(x) == upper(y); });
}

} // namespace

int ChannelLabels::ChannelOf(std::string_view text) const
{
    if (text.empty())
        return 0;
    return SameLetters(text, rf1) ? 1 : SameLetters(text, rf2) ? 2 : 0;
}

std::string LabelProblem(std::string_view text)
{
    constexpr std::size_t kLongest = 12;
    const auto letter = [](char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); };
    if (text.empty() || text.size() > kLongest)
        return "a label has 1 to 12 characters";
    if (!letter(text.front()))
        return "a label starts with a letter";
    if (!std::all_of(text.begin(), text.end(), [&](char c) { return letter(c) || (c >= '0' && c <= '9') || c == '_'; }))
        return "a label has only letters, digits and '_'";
    for (const std::string_view taken : {"rf1", "rf2", "off", "all"})
        if (SameLetters(text, taken))
            return std::string(taken) + " names a path already";
    return {};
}

std::optional<ControlBits> KnownState(bool usable, std::optional<ControlBits> readBack, Outcome lastAccess)
{
    // Another program may drive a port this one cannot use; a write whose
    // read-back failed left the board as nobody can tell.
    if (!usable || lastAccess == Outcome::PortLost)
        return std::nullopt;
    return readBack;
}

#include "Platform.h"

namespace {

// Runs a fresh query on a zero-filled record; false when it does not succeed
// or the platform is not NT.
template <typename Test>
bool NtVersionIs(const VersionQuery& query, Test test)
{
    OsVersionInfo info;
    if (!query || query(info) != 1)
        return false;
    return info.platformId == kPlatformWin32Nt && test(info.majorVersion, info.minorVersion);
}

} // namespace

bool IsWinNT4(const VersionQuery& query)
{
    return NtVersionIs(query, [](auto major, auto) { return major == 4; });
}

bool IsWinNT4OrLater(const VersionQuery& query)
{
    return NtVersionIs(query, [](auto major, auto) { return major >= 4; });
}

bool IsWin2000(const VersionQuery& query)
{
    return NtVersionIs(query, [](auto major, auto minor) { return major == 5 && minor == 0; });
}

bool IsWin5x(const VersionQuery& query)
{
    // Minor versions are unsigned, so every 5.x counts.
    return NtVersionIs(query, [](auto major, auto) { return major == 5; });
}

bool IsWinXP(const VersionQuery& query)
{
    return NtVersionIs(query, [](auto major, auto minor) { return major == 5 && minor == 1; });
}

bool IsNtPlatform(const VersionQuery& query)
{
    // Non-short-circuit on purpose: every predicate makes its own query.
    return IsWinXP(query) | IsWin5x(query) | IsWin2000(query) | IsWinNT4OrLater(query) | IsWinNT4(query);
}

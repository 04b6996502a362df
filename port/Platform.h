#pragma once

#include <cstdint>
#include <functional>

// The operating system's version record in its ANSI form, laid out as the
// Windows call expects it.
struct OsVersionInfo
{
    std::uint32_t osVersionInfoSize = 148;
    std::uint32_t majorVersion = 0;
    std::uint32_t minorVersion = 0;
    std::uint32_t buildNumber = 0;
    std::uint32_t platformId = 0;
    char csdVersion[128] = {};
};
static_assert(sizeof(OsVersionInfo) == 148);

constexpr std::uint32_t kPlatformWin32Nt = 2;

// Fills the record and returns the call's result; only 1 counts as success.
using VersionQuery = std::function<int(OsVersionInfo&)>;

// The system's own query: GetVersionExA on Windows. Other systems have none,
// so it always fails there and every predicate below answers false.
int SystemVersionQuery(OsVersionInfo& info);

// Each predicate makes its own fresh query.
bool IsWinNT4(const VersionQuery& query = SystemVersionQuery);
bool IsWinNT4OrLater(const VersionQuery& query = SystemVersionQuery);
bool IsWin2000(const VersionQuery& query = SystemVersionQuery);
bool IsWin5x(const VersionQuery& query = SystemVersionQuery);
bool IsWinXP(const VersionQuery& query = SystemVersionQuery);

// NT family, version 4 or later.
bool IsNtPlatform(const VersionQuery& query = SystemVersionQuery);

#pragma once

// One observation of a Windows test against what was expected: printed with
// "ok" or "FAIL", and counted.

#include <cstdio>
#include <string>

inline int failed = 0;

inline void Expect(const std::string& seen, const std::string& expected, const std::string& what)
{
    failed += seen != expected;
    std::printf("%s %s: %s%s\n", seen == expected ? "ok  " : "FAIL", what.c_str(), seen.c_str(),
                seen == expected ? "" : ("\n     expected: " + expected).c_str());
}

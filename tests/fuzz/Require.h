#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

// Aborts with the property a fuzzer's input broke and that input, byte by byte.
inline void Require(bool holds, const char* property, std::string_view input)
{
    if (holds)
        return;
    std::fprintf(stderr, "property violated: %s\ninput (%zu bytes):", property, input.size());
    for (unsigned char c : input)
        std::fprintf(stderr, " %02x", c);
    std::fprintf(stderr, "\n");
    std::abort();
}

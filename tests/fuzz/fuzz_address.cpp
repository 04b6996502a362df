// libFuzzer harness for the address box's conversion: any bytes are a text
// the user might type or paste. The first text that breaks a property aborts
// with the property and the text.
#include "AddressText.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>

namespace {

void Require(bool holds, const char* property, std::string_view text)
{
    if (holds)
        return;
    std::fprintf(stderr, "property violated: %s\ntext (%zu bytes):", property, text.size());
    for (unsigned char c : text)
        std::fprintf(stderr, " %02x", c);
    std::fprintf(stderr, "\n");
    std::abort();
}

// Half to even in a wider type: a second opinion on the conversion's rounding.
long double RoundHalfEven(long double x)
{
    const long double below = std::floor(x);
    const long double fraction = x - below;
    if (fraction != 0.5L)
        return fraction < 0.5L ? below : below + 1;
    return std::fmod(below, 2.0L) == 0 ? below : below + 1;
}

// The text with blanks, tabs and line feeds put in at places the text itself picks.
std::string WithBlanks(std::string_view text)
{
    std::uint64_t r = std::hash<std::string_view>{}(text) | 1;
    std::string out;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        r = r * 6364136223846793005u + 1442695040888963407u;
        if ((r >> 60) < 5)
            out += " \t\n"[(r >> 57) % 3];
        if (i < text.size())
            out += text[i];
    }
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto address = AddressFromText(text);

    // A refusal exactly when the rounded number does not fit 32 bits; else that number.
    const auto number = NumberFromText(text);
    const long double rounded = number && std::isfinite(*number) ? RoundHalfEven(*number) : NAN;
    Require(address.has_value() == (rounded >= INT32_MIN && rounded <= INT32_MAX), "refused exactly when it does not fit", text);
    Require(!address || *address == rounded, "the address is the rounded number", text);

    // Blanks, tabs and line feeds change nothing, put in or taken out.
    std::string without(text);
    std::erase_if(without, [](char c) { return c == ' ' || c == '\t' || c == '\n'; });
    Require(AddressFromText(WithBlanks(text)) == address, "blanks put in change nothing", WithBlanks(text));
    Require(AddressFromText(without) == address, "blanks taken out change nothing", without);

    // Decimal integer literals made from the first bytes convert to themselves when they fit.
    if (size >= 8) {
        std::int64_t wide;
        std::int32_t narrow;
        std::memcpy(&wide, data, sizeof wide);
        std::memcpy(&narrow, data, sizeof narrow);
        for (const std::int64_t value : {std::int64_t(narrow), wide, wide >> (data[7] & 63)}) {
            char digits[24];
            const std::string literal(digits, std::to_chars(digits, digits + sizeof digits, value).ptr);
            const bool fits = value >= INT32_MIN && value <= INT32_MAX;
            Require(AddressFromText(literal) == (fits ? std::optional<std::int32_t>(std::int32_t(value)) : std::nullopt), "a literal converts to itself", literal);
        }
    }
    return 0;
}

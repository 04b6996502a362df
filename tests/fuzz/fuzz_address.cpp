// libFuzzer harness for the address box's conversion. Every input is a text
// as the user might type or paste it; the properties below must hold for all
// of them, and the first one that does not aborts with the text.
#include "AddressText.h"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

namespace {

std::string_view current;

[[noreturn]] void Violated(const char* property, std::string_view text)
{
    std::fprintf(stderr, "property violated: %s\ntext (%zu bytes):", property, text.size());
    for (unsigned char c : text)
        std::fprintf(stderr, " %02x", c);
    std::fprintf(stderr, "\nfuzzed input (%zu bytes):", current.size());
    for (unsigned char c : current)
        std::fprintf(stderr, " %02x", c);
    std::fprintf(stderr, "\n");
    std::abort();
}

#define REQUIRE(condition, text) \
    do { \
        if (!(condition)) \
            Violated(#condition, text); \
    } while (false)

// Rounds half to even without the floating-point environment, in a wider
// type, as a second opinion on the conversion's own rounding.
long double RoundHalfEven(long double x)
{
    const long double below = std::floor(x);
    const long double fraction = x - below;
    if (fraction < 0.5L)
        return below;
    if (fraction > 0.5L)
        return below + 1;
    return std::fmod(below, 2.0L) == 0 ? below : below + 1;
}

bool SameNumber(std::optional<double> a, std::optional<double> b)
{
    return a.has_value() == b.has_value() && (!a || std::memcmp(&*a, &*b, sizeof(double)) == 0);
}

void CheckRoundingAndRange(std::string_view text)
{
    const auto number = NumberFromText(text);
    const auto address = AddressFromText(text);
    if (!number) {
        REQUIRE(!address, text);
        return;
    }
    REQUIRE(std::isfinite(*number), text);
    const long double rounded = RoundHalfEven(*number);
    const bool fits = rounded >= -2147483648.0L && rounded <= 2147483647.0L;
    REQUIRE(address.has_value() == fits, text);
    if (address)
        REQUIRE(static_cast<long double>(*address) == rounded, text);
}

std::uint64_t Hash(std::string_view text)
{
    std::uint64_t h = 1469598103934665603u;
    for (unsigned char c : text)
        h = (h ^ c) * 1099511628211u;
    return h;
}

// The same text with blanks, tabs and line feeds put in at places chosen by
// the text itself, or with all of them taken out.
std::string WithBlanks(std::string_view text)
{
    std::uint64_t r = Hash(text) | 1;
    std::string out;
    for (std::size_t i = 0; i <= text.size(); ++i) {
        r = r * 6364136223846793005u + 1442695040888963407u;
        if ((r >> 60) < 5)
            out.append((r >> 58) & 1 ? "\t" : (r >> 57) & 1 ? "\n" : " ");
        if (i < text.size())
            out.push_back(text[i]);
    }
    return out;
}

std::string WithoutBlanks(std::string_view text)
{
    std::string out;
    for (char c : text)
        if (c != ' ' && c != '\t' && c != '\n')
            out.push_back(c);
    return out;
}

void CheckBlanksIgnored(std::string_view text)
{
    const auto number = NumberFromText(text);
    const auto address = AddressFromText(text);
    for (const std::string& other : {WithBlanks(text), WithoutBlanks(text)}) {
        REQUIRE(SameNumber(NumberFromText(other), number), other);
        REQUIRE(AddressFromText(other) == address, other);
    }
}

// A decimal integer literal made from the input's first bytes converts to
// itself when it fits, and is refused when it does not; whatever follows a
// character that cannot continue a number changes nothing.
void CheckIntegerLiterals(const std::uint8_t* data, std::size_t size)
{
    if (size < 8)
        return;
    std::int64_t wide;
    std::memcpy(&wide, data, sizeof wide);
    std::int32_t narrow;
    std::memcpy(&narrow, data, sizeof narrow);
    const std::string_view rest(reinterpret_cast<const char*>(data) + 8, size - 8);

    for (const std::int64_t value : {std::int64_t(narrow), wide, wide >> (data[7] & 63)}) {
        char digits[32];
        const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
        std::string literal(digits, end);
        const std::optional<std::int32_t> expected = value >= INT32_MIN && value <= INT32_MAX
            ? std::optional<std::int32_t>(static_cast<std::int32_t>(value)) : std::nullopt;
        REQUIRE(AddressFromText(literal) == expected, literal);
        if (value >= 0) {
            const std::string signedLiteral = "+00" + literal;
            REQUIRE(AddressFromText(signedLiteral) == expected, signedLiteral);
        }
        const std::string followed = literal + ";" + std::string(rest);
        REQUIRE(AddressFromText(followed) == expected, followed);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    current = text;
    CheckRoundingAndRange(text);
    CheckBlanksIgnored(text);
    CheckIntegerLiterals(data, size);

    const auto address = AddressFromText(text);
    if (address) {
        const auto sum = CheckedAdd(*address, 2);
        REQUIRE(sum.has_value() == (*address <= INT32_MAX - 2), text);
        REQUIRE(!sum || *sum == *address + 2, text);
    }
    return 0;
}

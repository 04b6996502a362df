// libFuzzer harness for the address box's conversion: any bytes are a text
// the user might type or paste. The first text that breaks a property aborts
// with the property and the text.
#include "AddressText.h"
#include "Require.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace {

// What the text must give, worked out apart from the program's reader, for
// the texts it can decide: a plain decimal number, or a &H or &O literal,
// with blanks, tabs and line feeds anywhere. Anything else: nothing to say.
// Decided: refused. (Built from nullopt, the outer optional would be empty,
// "nothing to say", and no refusal would ever be checked.)
const std::optional<std::optional<std::int32_t>> kRefused{std::in_place};

std::optional<std::optional<std::int32_t>> Expected(std::string_view text)
{
    std::string s(text);
    std::erase_if(s, [](char c) { return c == ' ' || c == '\t' || c == '\n'; });
    const auto all = [&](std::size_t from, const char* digits) {
        return s.size() > from && s.size() - from <= 40 && s.find_first_not_of(digits, from) == std::string::npos;
    };
    if (s.size() > 2 && s[0] == '&' && (s[1] == 'H' || s[1] == 'h' || s[1] == 'O' || s[1] == 'o')) {
        const bool hex = s[1] == 'H' || s[1] == 'h';
        if (!all(2, hex ? "0123456789abcdefABCDEF" : "01234567"))
            return std::nullopt;
        const unsigned long long value = std::strtoull(s.c_str() + 2, nullptr, hex ? 16 : 8);
        // Literals are 16-bit where they fit, else 32-bit, and signed.
        if (value <= 0xFFFF)
            return std::optional<std::int32_t>(std::int16_t(std::uint16_t(value)));
        if (value <= 0xFFFFFFFF)
            return std::optional<std::int32_t>(std::int32_t(std::uint32_t(value)));
        return kRefused;
    }
    // [+-]digits[.digits]
    const std::size_t start = s.empty() || (s[0] != '+' && s[0] != '-') ? 0 : 1;
    const std::size_t point = s.find('.');
    const bool plain = point == std::string::npos ? all(start, "0123456789")
                                                  : point > start && s.size() - point <= 7 && all(start, "0123456789.")
                                                        && s.find('.', point + 1) == std::string::npos;
    if (!plain)
        return std::nullopt;
    const double rounded = std::nearbyint(std::strtod(s.c_str(), nullptr));  // ties to even
    if (rounded < INT32_MIN || rounded > INT32_MAX)
        return kRefused;
    return std::optional<std::int32_t>(std::int32_t(rounded));
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

    // The number a plain decimal or radix literal stands for, rounded half to
    // even; refused exactly when that does not fit 32 bits.
    if (const auto expected = Expected(text))
        Require(address == *expected, "a decimal or radix literal gives its own value", text);

    // Blanks, tabs and line feeds change nothing, put in or taken out.
    std::string without(text);
    std::erase_if(without, [](char c) { return c == ' ' || c == '\t' || c == '\n'; });
    Require(AddressFromText(WithBlanks(text)) == address, "blanks put in change nothing", WithBlanks(text));
    Require(AddressFromText(without) == address, "blanks taken out change nothing", without);

    return 0;
}

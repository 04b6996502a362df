#include "AddressText.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <string>

namespace {

bool IsIgnored(char c)
{
    return c == ' ' || c == '\t' || c == '\n';
}

std::string WithoutBlanks(std::string_view text)
{
    std::string kept;
    kept.reserve(text.size());
    for (char c : text)
        if (!IsIgnored(c))
            kept.push_back(c);
    return kept;
}

int DigitValue(char c, int radix)
{
    int v = -1;
    if (c >= '0' && c <= '9')
        v = c - '0';
    else if (c >= 'a' && c <= 'f')
        v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F')
        v = c - 'A' + 10;
    return v < radix ? v : -1;
}

// &H / &O literal after the prefix: 16-bit signed where it fits 16 bits,
// 32-bit signed where it fits 32, refused beyond.
std::optional<double> RadixLiteral(std::string_view digits, int radix)
{
    std::uint64_t value = 0;
    for (char c : digits) {
        const int d = DigitValue(c, radix);
        if (d < 0)
            break;
        value = value * static_cast<unsigned>(radix) + static_cast<unsigned>(d);
        if (value > 0xFFFFFFFFu)
            return std::nullopt;
    }
    if (value <= 0xFFFFu)
        return static_cast<double>(static_cast<std::int16_t>(static_cast<std::uint16_t>(value)));
    return static_cast<double>(static_cast<std::int32_t>(static_cast<std::uint32_t>(value)));
}

// Length of the longest prefix that reads as a decimal number:
// [+-] digits [. digits] [(E|D) [+-] digits]. 0 when there is none.
std::size_t DecimalPrefix(std::string_view s, std::string& normalised)
{
    std::size_t i = 0;
    auto digitsFrom = [&](std::size_t at) {
        std::size_t j = at;
        while (j < s.size() && s[j] >= '0' && s[j] <= '9')
            ++j;
        return j - at;
    };
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        ++i;
    const std::size_t intDigits = digitsFrom(i);
    i += intDigits;
    std::size_t fracDigits = 0;
    if (i < s.size() && s[i] == '.') {
        fracDigits = digitsFrom(i + 1);
        if (intDigits + fracDigits > 0)
            i += 1 + fracDigits;
    }
    if (intDigits + fracDigits == 0)
        return 0;
    normalised.assign(s.substr(0, i));
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E' || s[i] == 'd' || s[i] == 'D')) {
        std::size_t j = i + 1;
        if (j < s.size() && (s[j] == '+' || s[j] == '-'))
            ++j;
        const std::size_t expDigits = digitsFrom(j);
        if (expDigits > 0) {
            normalised.push_back('e');
            normalised.append(s.substr(i + 1, j + expDigits - (i + 1)));
            i = j + expDigits;
        }
    }
    return i;
}

// Power of ten of the leading significant digit of a normalised decimal
// literal, for telling an underflow from an overflow.
long long DecimalMagnitude(std::string_view number)
{
    long long exponent = 0;
    const auto e = number.find('e');
    if (e != std::string_view::npos) {
        bool negative = false;
        for (char c : number.substr(e + 1)) {
            if (c == '-')
                negative = true;
            else if (c >= '0' && c <= '9' && exponent < 1'000'000'000)
                exponent = exponent * 10 + (c - '0');
        }
        if (negative)
            exponent = -exponent;
        number = number.substr(0, e);
    }
    long long position = 0; // digits before the point, counted from the first significant one
    bool significant = false, afterPoint = false;
    for (char c : number) {
        if (c == '.') {
            afterPoint = true;
        } else if (c >= '0' && c <= '9') {
            if (!significant && c != '0') {
                significant = true;
                if (afterPoint)
                    return exponent + position - 1;
            }
            if (afterPoint && !significant)
                --position;
            else if (!afterPoint && significant)
                ++position;
        }
    }
    return exponent + position - 1;
}

} // namespace

std::optional<double> NumberFromText(std::string_view text)
{
    const std::string s = WithoutBlanks(text);
    if (s.size() >= 2 && s[0] == '&') {
        if (s[1] == 'h' || s[1] == 'H')
            return RadixLiteral(std::string_view(s).substr(2), 16);
        if (s[1] == 'o' || s[1] == 'O')
            return RadixLiteral(std::string_view(s).substr(2), 8);
    }
    std::string number;
    if (DecimalPrefix(s, number) == 0)
        return 0.0;
    // from_chars takes no leading '+'.
    const char* first = number.data() + (number[0] == '+' ? 1 : 0);
    double value = 0.0;
    const auto [end, ec] = std::from_chars(first, number.data() + number.size(), value);
    if (ec == std::errc::result_out_of_range)
        return DecimalMagnitude(number) < 0 ? std::optional<double>(0.0) : std::nullopt; // tiny rounds to 0
    if (ec != std::errc() || end != number.data() + number.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::optional<std::int32_t> AddressFromText(std::string_view text)
{
    const auto number = NumberFromText(text);
    if (!number)
        return std::nullopt;
    const double rounded = std::nearbyint(*number); // default rounding mode: halves to even
    if (rounded < static_cast<double>(std::numeric_limits<std::int32_t>::min())
        || rounded > static_cast<double>(std::numeric_limits<std::int32_t>::max()))
        return std::nullopt;
    return static_cast<std::int32_t>(rounded);
}

AddressReading ReadAddress(std::string_view text)
{
    const std::string typed(text);
    const std::string s = WithoutBlanks(text);
    const auto quoted = [&typed] { return "\"" + typed + "\""; };
    AddressReading reading;
    std::size_t used = 0;  // of `s`, the characters the number took
    const bool cHex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X') && DigitValue(s[2], 16) >= 0;
    if (cHex) {
        used = 2;
        while (used < s.size() && DigitValue(s[used], 16) >= 0)
            ++used;
        reading.address = AddressFromText("&H0" + s.substr(2, used - 2));
    } else {
        reading.address = AddressFromText(s);
        std::string number;
        const bool radix = s.size() > 2 && s[0] == '&' && (s[1] == 'h' || s[1] == 'H' || s[1] == 'o' || s[1] == 'O')
            && DigitValue(s[2], s[1] == 'o' || s[1] == 'O' ? 8 : 16) >= 0;
        used = radix ? 2 : DecimalPrefix(s, number);
        while (radix && used < s.size() && DigitValue(s[used], s[1] == 'o' || s[1] == 'O' ? 8 : 16) >= 0)
            ++used;
    }
    if (s.empty())
        reading.problem = "no address was given";
    else if (used == 0)
        reading.problem = quoted() + " is not a number";
    else if (reading.address && *reading.address < kFirstPortAddress)
        reading.problem = quoted() + " is below 1, the first port address";
    else if (!reading.address || *reading.address > kLastPortAddress)
        reading.problem = quoted() + " is beyond the last port address, 65533 (0xFFFD)";
    if (!reading.problem.empty())
        return reading;
    const std::string value = std::to_string(*reading.address);
    if (used < s.size()) {
        reading.note = quoted() + " reads as " + value;
    } else if (!cHex && s.size() > 1 && s[0] == '0' && s[1] >= '0' && s[1] <= '9') {
        const std::string digits = s.substr(s.find_first_not_of('0'));
        reading.note = quoted() + " reads as decimal " + value + ": addresses read decimal; 0x" + digits + " or &H" + digits
            + " reads hexadecimal";
    }
    return reading;
}

std::optional<std::int32_t> CheckedAdd(std::int32_t a, std::int32_t b)
{
    std::int32_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum))
        return std::nullopt;
    return sum;
}

std::optional<std::string> DeviceFromText(std::string_view text)
{
    while (!text.empty() && IsIgnored(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && IsIgnored(text.back()))
        text.remove_suffix(1);
    constexpr std::string_view dev = "/dev/";
    if (text.size() <= dev.size() || text.size() > 255 || text.substr(0, dev.size()) != dev)
        return std::nullopt;
    for (const char c : text) {
        const bool allowed = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-'
            || c == '.' || c == '/';
        if (!allowed)
            return std::nullopt;
    }
    if (text.find("..") != std::string_view::npos || text.back() == '/')
        return std::nullopt;
    return std::string(text);
}

#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Reads a port address typed in decimal the way the panel always has:
// blanks, tabs and line feeds are ignored wherever they stand; then an
// optional sign, digits, a decimal point and an exponent (E or D) are read,
// or a radix literal &H (hex) / &O (octal), literals that fit 16 bits being
// taken as 16-bit signed (&HFFFF is -1). Reading stops at the first character
// that cannot continue the number; a text without a number reads as 0. The
// number is rounded half to even.
//
// Returns std::nullopt when the number does not fit a signed 32-bit integer.
std::optional<std::int32_t> AddressFromText(std::string_view text);

// How a typed address reads, where the address box or --port takes it:
// as AddressFromText reads it, but that C's hexadecimal (0x378) reads as such
// too; said in the user's own words where it names no port address, and
// noted where it reads otherwise than a user may mean.
struct AddressReading
{
    // The address it reads as; nullopt where that fits no 32-bit integer.
    std::optional<std::int32_t> address;
    // Why it names no port address ("\"abc\" is not a number"); empty where it does.
    std::string problem;
    // How it was read, where not as typed ("\"0378\" reads as decimal 378: ...").
    std::string note;
};
AddressReading ReadAddress(std::string_view text);

// The first and last base address a port may have: the I/O space ends at
// 0xFFFF, and the control register sits at base + 2.
constexpr std::int32_t kFirstPortAddress = 1;
constexpr std::int32_t kLastPortAddress = 0xFFFD;

// The number the text reads as, before rounding (nullopt: not a finite double
// or a radix literal beyond 32 bits).
std::optional<double> NumberFromText(std::string_view text);

// A port's device as typed: "/dev/" and a path of letters, digits, '_', '-',
// '.' and '/', blanks around it ignored ("/dev/parport1", "/dev/usb/lp0").
// Any such text reads as 0 to AddressFromText, so no address changes
// meaning. nullopt for any other text.
std::optional<std::string> DeviceFromText(std::string_view text);

// a + b, or nullopt where it would not fit.
std::optional<std::int32_t> CheckedAdd(std::int32_t a, std::int32_t b);

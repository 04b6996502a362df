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

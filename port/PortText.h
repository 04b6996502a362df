#pragma once

#include <cstdint>
#include <string>

// Texts the backends put into their error messages.

// "0x378"; a negative number stays decimal.
std::string HexAddress(std::int32_t port);

// "0x0F": a byte as two hex digits.
std::string HexByte(std::uint8_t value);

// The C library's words for an errno value, starting in lower case so they
// read on after a device name: "/dev/port: no such device".
std::string SystemErrorWords(int error);

// True for the three bases a parallel port has on a PC: 0x278, 0x378, 0x3BC.
bool IsStandardParallelBase(std::int32_t base);

// Asked before a base that is not a standard parallel port's is used:
// "1000 (0x3E8) is not a standard parallel port address; writing to it may
// disturb another device. Use it anyway?"
std::string NonStandardAddressQuestion(std::int32_t base);

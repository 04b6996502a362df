#pragma once

#include <array>
#include <cstdint>
#include <string>

struct PortName;
struct PortStatus;

// The words the port layer and its views put together.

// "0x378"; a negative number stays decimal.
std::string HexAddress(std::int32_t port);

// "888 (0x378)": an address as the user typed it and as the system lists it.
std::string Place(std::int32_t address);

// "888 (0x378)" for a port chosen by its base address, "/dev/parport1" for
// one chosen by its device.
std::string PortLabel(const PortName& port);
// "888" or "/dev/parport1": the port as the user types it.
std::string PortTyped(const PortName& port);

// "0x0F": a byte as two hex digits.
std::string HexByte(std::uint8_t value);

// The C library's words for an errno value, starting in lower case so they
// read on after a device name: "/dev/port: no such device".
std::string SystemErrorWords(int error);

// The three bases a parallel port has on a PC, the usual LPT1 first.
inline constexpr std::array<std::int32_t, 3> kStandardBases{0x378, 0x278, 0x3BC};
bool IsStandardParallelBase(std::int32_t base);
// "888 (0x378), 632 (0x278) or 956 (0x3BC)"
std::string StandardBasesText();

// "/dev/parport0: permission denied; add your user to the lp group and log
// in again": why a port cannot be used, then what to do about it.
std::string ReasonAndNextStep(const PortStatus& status);

// What the panel and the servers do by themselves about a port held by
// another program, or not there yet: the next step ends with it.
inline constexpr const char* kTakenOnceFree = "the panel takes the port as soon as it is free";
inline constexpr const char* kTakenOnceThere = "the panel takes it as soon as it is there";
// `words` for a command line, which has ended by then: "run the command
// again once the port is free" in place of what the panel does.
std::string CommandLineWords(std::string words);

// Asked before a base that is not a standard parallel port's is used:
// "1000 (0x3E8) is not a standard parallel port address; writing to it may
// disturb another device. Use it anyway?"
std::string NonStandardAddressQuestion(std::int32_t base);

#include "SimulatedPort.h"

#include <utility>

SimulatedPort::SimulatedPort(std::string reason) : reason_(std::move(reason)) {}

std::size_t SimulatedPort::Index(std::int32_t port) const
{
    // The x86 I/O space ends at 0xFFFF; anything beyond is no port at all.
    if (port < 0 || port > kLastAddress)
        throw PortError("no I/O port at " + std::to_string(port) + " (I/O addresses run from 0 to 65535)");
    return static_cast<std::size_t>(port);
}

std::uint8_t SimulatedPort::PortIn(std::int32_t port)
{
    return registers_[Index(port)];
}

void SimulatedPort::PortOut(std::int32_t port, std::uint8_t value)
{
    registers_[Index(port)] = value;
}

std::string SimulatedPort::Describe(std::int32_t) const
{
    return "simulated \u2014 " + reason_;
}

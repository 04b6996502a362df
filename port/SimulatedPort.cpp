#include "SimulatedPort.h"
#include "PortText.h"

PortStatus SimulatedPort::Open(std::int32_t base)
{
    if (base != base_)
        registers_ = {};
    base_ = base;
    status_ = {PortReach::Absent, "simulated port", "no parallel port at " + std::to_string(base) + " (" + HexAddress(base) + ")",
               "connect the board to a parallel port and type that port's address", false};
    return status_;
}

void SimulatedPort::Close()
{
    base_ = -1;
    registers_ = {};
}

std::uint8_t& SimulatedPort::Register(std::int32_t port)
{
    if (base_ < 0 || port < base_ || port - base_ > 2)
        throw PortError(HexAddress(port) + " is not a register of the port at " + HexAddress(base_));
    return registers_[static_cast<std::size_t>(port - base_)];
}

std::uint8_t SimulatedPort::PortIn(std::int32_t port)
{
    return Register(port);
}

void SimulatedPort::PortOut(std::int32_t port, std::uint8_t value)
{
    Register(port) = value;
}

#include "SimulatedPort.h"
#include "PortText.h"

PortStatus SimulatedPort::Open(std::int32_t base)
{
    base_ = base;
    registers_.try_emplace(base);
    status_ = {PortReach::Simulated, "simulated port", "no parallel port at " + Place(base),
               "connect the board to a parallel port and type that port's address", false};
    return status_;
}

void SimulatedPort::Close()
{
    base_ = -1;
    status_ = {};
}

std::uint8_t& SimulatedPort::Register(std::int32_t port)
{
    if (base_ < 0 || port < base_ || port - base_ > 2)
        throw PortError(HexAddress(port) + " is not a register of the port at " + HexAddress(base_));
    return registers_[base_][static_cast<std::size_t>(port - base_)];
}

std::uint8_t SimulatedPort::PortIn(std::int32_t port)
{
    return Register(port);
}

void SimulatedPort::PortOut(std::int32_t port, std::uint8_t value)
{
    Register(port) = value;
}

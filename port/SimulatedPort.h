#pragma once

#include "PortIo.h"

#include <array>
#include <map>

// The three registers of a parallel port in memory, each reading back the last
// byte written (0 at first). Stands in where there is no port at all. Every
// address keeps its registers for the whole run, whatever is opened or closed
// in between, as a real port keeps its latches.
class SimulatedPort final : public PortIo
{
public:
    // The I/O space ends at 0xFFFF, and the control register sits at base + 2.
    static constexpr std::int32_t kFirstBase = 1;
    static constexpr std::int32_t kLastBase = 0xFFFD;

    PortStatus Open(std::int32_t base) override;
    PortStatus Refresh() override { return status_; }
    void Close() override;
    std::uint8_t PortIn(std::int32_t port) override;
    void PortOut(std::int32_t port, std::uint8_t value) override;

private:
    std::uint8_t& Register(std::int32_t port);

    std::int32_t base_ = -1;
    PortStatus status_;
    std::map<std::int32_t, std::array<std::uint8_t, 3>> registers_;
};

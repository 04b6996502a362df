#pragma once

#include "PortIo.h"

#include <array>

// 64 KiB of I/O registers in memory, each reading back the last byte written
// (0 before any write). Stands in for the hardware where there is none.
class SimulatedPort final : public PortIo
{
public:
    static constexpr std::int32_t kLastAddress = 0xFFFF;

    // `reason` says why no real port serves, for the status line.
    explicit SimulatedPort(std::string reason = "no parallel port found");

    std::uint8_t PortIn(std::int32_t port) override;
    void PortOut(std::int32_t port, std::uint8_t value) override;
    bool IsSimulated(std::int32_t) const override { return true; }
    std::string Describe(std::int32_t port) const override;

private:
    std::size_t Index(std::int32_t port) const;

    std::string reason_;
    std::array<std::uint8_t, kLastAddress + 1> registers_{};
};

#pragma once

#include "PortLayer.h"

#include <chrono>
#include <string>
#include <vector>

// The kernel's parallel-port devices (/dev/parportN, the ppdev driver). Each
// port owns three registers: data at its base address, status (read only) at
// base + 1 and control at base + 2. A device is opened and claimed at the
// first access to one of its registers and released when the accesses move
// to another port, or when the backend goes away.
class PpdevPort final : public PortIo
{
public:
    // `procDir` lists the ports with their base addresses, `devDir` holds the
    // device files; a claim still waiting after `claimLimit` gives up.
    explicit PpdevPort(std::string procDir = "/proc/sys/dev/parport", std::string devDir = "/dev",
                       std::chrono::milliseconds claimLimit = std::chrono::seconds(1));
    ~PpdevPort() override;
    PpdevPort(const PpdevPort&) = delete;
    PpdevPort& operator=(const PpdevPort&) = delete;

    PortStatus Open(std::int32_t base) override;
    PortStatus Refresh() override { return status_; }
    void Close() override;
    std::uint8_t PortIn(std::int32_t port) override;
    void PortOut(std::int32_t port, std::uint8_t value) override;
    // The device file, e.g. "/dev/parport0"; empty for an address of no port.
    std::string Describe(std::int32_t port) const;

    // Whether `port` is a register of one of the system's parallel ports,
    // reachable or not.
    bool Owns(std::int32_t port) const;

private:
    struct Parport
    {
        int number;
        std::int32_t base;
    };

    const Parport* Find(std::int32_t port) const;
    std::string DeviceName(int number) const;
    void Scan() const;
    const Parport& Reach(std::int32_t port);
    void Claim(const Parport& parport);
    void Control(const Parport& parport, unsigned long request, void* argument);

    std::string procDir_;
    std::string devDir_;
    std::chrono::milliseconds claimLimit_;
    mutable std::vector<Parport> ports_;
    PortStatus status_;
    int current_ = -1;     // the port last reached, open or not
    int fd_ = -1;
    std::string failure_;  // why the current port could not be opened
    bool busy_ = false;    // another holder kept it past the claim limit
};

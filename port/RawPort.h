#pragma once

#include "PortLayer.h"

#include <functional>
#include <string>

// Raw I/O through /dev/port (root or CAP_SYS_RAWIO, and no kernel lockdown):
// the last resort for a port the kernel's parallel-port driver does not know.
// Only 0x100..0xFFFF is ever touched: the system board's own devices live
// below 0x100, and a mistyped address must never reach them.
class RawPort final : public PortIo
{
public:
    static constexpr std::int32_t kFirstAddress = 0x100;
    static constexpr std::int32_t kLastAddress = 0xFFFF;

    // `ownedElsewhere` names the addresses that a better backend drives; they
    // are left alone even when that backend cannot reach them.
    explicit RawPort(std::string device = "/dev/port", std::function<bool(std::int32_t)> ownedElsewhere = {});
    ~RawPort() override;
    RawPort(const RawPort&) = delete;
    RawPort& operator=(const RawPort&) = delete;

    PortStatus Open(std::int32_t base) override;
    PortStatus Refresh() override { return status_; }
    void Close() override { base_ = -1; }
    std::uint8_t PortIn(std::int32_t port) override;
    void PortOut(std::int32_t port, std::uint8_t value) override;

private:
    void Reach(std::int32_t port);

    std::string device_;
    std::function<bool(std::int32_t)> ownedElsewhere_;
    bool opened_ = false;  // whether opening was tried
    int fd_ = -1;
    std::string failure_;
    std::int32_t base_ = -1;
    PortStatus status_;
};

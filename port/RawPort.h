#pragma once

#include "PortIo.h"

#include <functional>
#include <string>

// Where raw I/O looks: the device, the I/O ranges the drivers hold, the
// PCI devices' sysfs directories, and where the lock per port lies.
struct RawPaths
{
    std::string device = "/dev/port";
    std::string ioports = "/proc/ioports";
    std::string pciDevices = "/sys/bus/pci/devices";
    std::string lockDir = "/run/rfswitch-panel-raw-io";
};

// Raw I/O through /dev/port (root or CAP_SYS_RAWIO, and no kernel lockdown):
// the last resort for a parallel port that no driver serves, used only when
// the user asks for it (--raw-io). It serves only an address that is a
// parallel port's base:
// - a standard base (0x278, 0x378, 0x3BC), or the start of the first I/O
//   range of a PCI device of the parallel-port class (0x0701xx): any other
//   address such a card decodes is refused, naming its base;
// - that no range in /proc/ioports assigns to a driver other than the
//   parallel-port drivers (parport_pc, parportN, ppdev, lp);
// - that is no register of a port of the kernel's parallel-port driver.
// Every other address is Refused, with the reason and what to type. Only the
// three registers from the base on are ever touched. No driver's claim keeps
// two programs off one address here, so a lock file per address does
// (lockDir/port-888.lock, held while open): the second is told the port is
// busy, as ppdev tells it, and Refresh() tries again. The folder is one only
// root may write (not /run/lock, where any user could plant a lock), and not
// the service's runtime folder, which systemd hands to the service's user
// and removes when it stops.
class RawPort final : public PortIo
{
public:
    // `ownerOf(base)` names the driver's port that any of the three registers
    // from `base` on belong to ("/dev/parport0 at 888 (0x378)"), or is empty.
    explicit RawPort(RawPaths paths = RawPaths(), std::function<std::string(std::int32_t base)> ownerOf = {});
    ~RawPort() override;
    RawPort(const RawPort&) = delete;
    RawPort& operator=(const RawPort&) = delete;

    PortStatus Open(std::int32_t base) override;
    // Checks the address again (a driver may have taken it since): Absent
    // when the parallel-port driver owns it now, so that the layer moves to it.
    PortStatus Refresh() override;
    void Close() override;
    std::uint8_t PortIn(std::int32_t port) override;
    void PortOut(std::int32_t port, std::uint8_t value) override;

private:
    PortStatus Check(std::int32_t base);
    PortStatus Lock(std::int32_t base);
    std::string ParallelRanges() const;
    void Reach(std::int32_t port) const;

    RawPaths paths_;
    std::function<std::string(std::int32_t)> ownerOf_;
    int fd_ = -1;
    int lockFd_ = -1;
    std::int32_t base_ = -1;    // the opened address, -1 when none
    std::int32_t wanted_ = -1;  // the address another program holds, tried again on Refresh()
    PortStatus status_;
};

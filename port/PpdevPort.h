#pragma once

#include "LinuxPorts.h"
#include "PortIo.h"

#include <chrono>
#include <string>
#include <vector>

// The kernel's parallel-port devices (/dev/parportN, the ppdev driver). Each
// port owns three registers: data at its base address, status (read only) at
// base + 1 and control at base + 2. Open() reads the kernel's port table
// afresh and claims (shared) the port whose base address is exactly the one
// asked for; the claim is released by Close(), by an Open() of another
// address, when Refresh() finds the port renumbered or gone, and at
// destruction.
//
// A port held by another program is never waited for: a claim that has to
// wait gives up after `claimLimit` (the holder is named from the port's
// active device, /proc/sys/dev/parport/parportN/devices/active), and one that
// the kernel refuses because a program holds the port exclusively is
// reported as such.
// Refresh() tries such a port again only when something about it changed
// (its active device, its registered devices, its device file), so a claim
// that would fail is not repeated on every tick.
//
// OpenDevice() claims a port by its device file instead, a USB adapter's
// among them (it has no base address): its registers are then 0, 1 and 2,
// and a device that is not there (an adapter unplugged) is looked for again
// at each Refresh(). A USB printer cable's device is named as unusable.
class PpdevPort final : public PortIo
{
public:
    // The kernel's port table, the device files and sysfs, as `paths` says.
    explicit PpdevPort(LinuxPaths paths = LinuxPaths(), std::chrono::milliseconds claimLimit = std::chrono::milliseconds(30));
    ~PpdevPort() override;
    PpdevPort(const PpdevPort&) = delete;
    PpdevPort& operator=(const PpdevPort&) = delete;

    PortStatus Open(std::int32_t base) override;
    PortStatus OpenDevice(const std::string& device) override;
    PortStatus Refresh() override;
    void Close() override;
    std::string Hardware() const override { return hardware_; }
    std::uint8_t PortIn(std::int32_t port) override;
    void PortOut(std::int32_t port, std::uint8_t value) override;

    // The kernel's port table as it is now, by number.
    std::vector<Parport> Table() const;
    // "/dev/parport0 at 888 (0x378)" when one of the three registers from
    // `base` on is a register (standard or ECP) of a port in the table now;
    // empty otherwise.
    std::string OwnerOf(std::int32_t base) const;
    // Whether a port is claimed now (Real).
    bool Claimed() const { return fd_ >= 0; }
    // How often a claim was tried (the device file opened), for tests.
    int ClaimsTried() const { return claimsTried_; }

private:
    PortStatus Attach(const std::vector<Parport>& table);
    bool Wanted(const Parport& parport) const;
    PortStatus Claim(int number);
    void Release();
    std::string DeviceName(int number) const;
    std::string ActiveDevice(int number) const;
    std::string Fingerprint(int number) const;

    LinuxPaths paths_;
    std::chrono::milliseconds claimLimit_;
    std::int32_t base_ = -1;   // the opened address, -1 when none; 0 when opened by device
    int wanted_ = -1;          // opened by device: its number
    int number_ = -1;          // the port at that address, -1 when none
    int fd_ = -1;              // open and claimed
    std::string fingerprint_;  // the port as it was at the last failed claim
    PortStatus status_;
    std::string hardware_;  // of the port at number_
    int claimsTried_ = 0;
};

#pragma once

#include "PortLayer.h"

#include <string>

// Where Linux's backends find the system: the system's own paths unless a
// test points them at a stand-in tree.
struct LinuxPaths
{
    std::string parportProc = "/proc/sys/dev/parport";  // the kernel's port table
    std::string devDir = "/dev";                        // /dev/parportN
    std::string rawDevice = "/dev/port";
    std::string ioports = "/proc/ioports";
    std::string pciDevices = "/sys/bus/pci/devices";
    std::string rawLockDir = "/run/lock";  // raw I/O's lock per port address
};

// Linux's backends, best first: the kernel's parallel-port devices, then, only
// when `rawIo` is set, raw I/O for a parallel port that none of them owns.
// MakeSystemBackends() uses the system's own paths.
std::vector<std::unique_ptr<PortIo>> MakeLinuxBackends(const LinuxPaths& paths, bool rawIo);

#pragma once

#include "LinuxPorts.h"
#include "PortLayer.h"

// Linux's backends, best first: the kernel's parallel-port devices, then, only
// when `rawIo` is set, raw I/O for a parallel port that none of them owns.
// MakeSystemBackends() uses the system's own paths.
std::vector<std::unique_ptr<PortIo>> MakeLinuxBackends(const LinuxPaths& paths, bool rawIo);

#pragma once

#include "PortLayer.h"

#include <string>

// Linux's backends, best first: the kernel's parallel-port devices, then, only
// when `rawIo` is set, raw I/O for a parallel port that none of them owns.
// MakeSystemBackends() uses the system's own paths.
std::vector<std::unique_ptr<PortIo>> MakeLinuxBackends(const std::string& procDir, const std::string& devDir,
                                                       const std::string& rawDevice, bool rawIo);

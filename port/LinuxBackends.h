#pragma once

#include "PortLayer.h"

#include <string>

// Linux's backends, best first: the kernel's parallel-port devices, then raw
// I/O for the addresses that none of them owns. MakeSystemBackends() uses the
// system's own paths.
std::vector<std::unique_ptr<PortBackend>> MakeLinuxBackends(const std::string& procDir, const std::string& devDir,
                                                            const std::string& rawDevice);

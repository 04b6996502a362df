#include "DllPort.h"

std::vector<std::unique_ptr<PortIo>> MakeSystemBackends(const PortOptions& options)
{
    std::vector<std::unique_ptr<PortIo>> backends;
    backends.push_back(std::make_unique<DllPort>(options.confirmNonStandard));
    return backends;
}

#include "DllPort.h"

std::vector<std::unique_ptr<PortBackend>> MakeSystemBackends()
{
    std::vector<std::unique_ptr<PortBackend>> backends;
    backends.push_back(std::make_unique<DllPort>());
    return backends;
}

#include "DllPort.h"

std::vector<std::unique_ptr<PortIo>> MakeSystemBackends(const PortOptions& options)
{
    std::vector<std::unique_ptr<PortIo>> backends;
    backends.push_back(std::make_unique<DllPort>(options.confirmNonStandard));
    return backends;
}

std::vector<std::string> ListSystemPorts()
{
    return {};
}

std::vector<FoundPort> FindSystemPorts()
{
    return {};
}

std::string NoPortsFound()
{
    return "the port list is Linux's; on Windows, Device Manager shows each port under Ports (COM & LPT), and its "
           "Resources tab the port's I/O range, whose first address is the base address";
}

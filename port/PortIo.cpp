#include "PortIo.h"
#include "PortLayer.h"

#include <utility>

namespace {

PortOptions& SystemOptions()
{
    static PortOptions options;
    return options;
}

PortIo& SystemPorts()
{
    static PortLayer layer(MakeSystemBackends(SystemOptions()));
    return layer;
}

PortIo* current = nullptr;

} // namespace

PortStatus PortIo::OpenDevice(const std::string&)
{
    return {};
}

void ConfigureSystemPorts(PortOptions options)
{
    SystemOptions() = std::move(options);
}

PortIo& Ports()
{
    return current ? *current : SystemPorts();
}

PortIo* UsePorts(PortIo* layer)
{
    PortIo* previous = current;
    current = layer;
    return previous;
}

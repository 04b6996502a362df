#include "PortIo.h"
#include "PortLayer.h"

namespace {

PortIo& SystemPorts()
{
    static PortLayer layer(MakeSystemBackends());
    return layer;
}

PortIo* current = nullptr;

} // namespace

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

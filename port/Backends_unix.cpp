#include "PortLayer.h"

std::vector<std::unique_ptr<PortBackend>> MakeSystemBackends()
{
    return {};
}

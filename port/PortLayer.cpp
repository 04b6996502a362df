#include "PortLayer.h"

#include <utility>

PortLayer::PortLayer(std::vector<std::unique_ptr<PortBackend>> backends)
    : backends_(std::move(backends))
{
}

PortIo& PortLayer::Resolve(std::int32_t port, std::string* whyNot) const
{
    std::string reason;
    for (const auto& backend : backends_) {
        std::string why;
        if (backend->Serves(port, why))
            return *backend;
        if (reason.empty())
            reason = std::move(why);
    }
    if (whyNot)
        *whyNot = reason.empty() ? "no parallel port found" : reason;
    return simulated_;
}

std::uint8_t PortLayer::PortIn(std::int32_t port)
{
    return Resolve(port).PortIn(port);
}

void PortLayer::PortOut(std::int32_t port, std::uint8_t value)
{
    Resolve(port).PortOut(port, value);
}

bool PortLayer::IsSimulated(std::int32_t port) const
{
    return Resolve(port).IsSimulated(port);
}

std::string PortLayer::Describe(std::int32_t port) const
{
    std::string why;
    PortIo& io = Resolve(port, &why);
    return io.IsSimulated(port) ? "simulated \u2014 " + why : io.Describe(port);
}

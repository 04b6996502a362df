#include "LinuxBackends.h"
#include "PpdevPort.h"
#include "RawPort.h"

std::vector<std::unique_ptr<PortIo>> MakeLinuxBackends(const std::string& procDir, const std::string& devDir,
                                                       const std::string& rawDevice, bool rawIo)
{
    auto ppdev = std::make_unique<PpdevPort>(procDir, devDir);
    const PpdevPort* driver = ppdev.get();
    std::vector<std::unique_ptr<PortIo>> backends;
    backends.push_back(std::move(ppdev));
    // A port the driver owns stays the driver's even when it cannot be
    // claimed: raw I/O would write under another program's feet.
    if (rawIo)
        backends.push_back(std::make_unique<RawPort>(rawDevice, [driver](std::int32_t port) { return driver->Owns(port); }));
    return backends;
}

std::vector<std::unique_ptr<PortIo>> MakeSystemBackends(const PortOptions& options)
{
    return MakeLinuxBackends("/proc/sys/dev/parport", "/dev", "/dev/port", options.rawIo);
}

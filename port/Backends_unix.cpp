#include "LinuxBackends.h"
#include "PpdevPort.h"
#include "RawPort.h"

std::vector<std::unique_ptr<PortIo>> MakeLinuxBackends(const LinuxPaths& paths, bool rawIo)
{
    auto ppdev = std::make_unique<PpdevPort>(paths);
    const PpdevPort* driver = ppdev.get();
    std::vector<std::unique_ptr<PortIo>> backends;
    backends.push_back(std::move(ppdev));
    // A port the driver owns stays the driver's even when it cannot be
    // claimed: raw I/O would write under another program's feet.
    if (rawIo)
        backends.push_back(std::make_unique<RawPort>(RawPaths{paths.rawDevice, paths.ioports, paths.pciDevices, paths.rawLockDir},
                                                     [driver](std::int32_t base) { return driver->OwnerOf(base); }));
    return backends;
}

std::vector<std::unique_ptr<PortIo>> MakeSystemBackends(const PortOptions& options)
{
    return MakeLinuxBackends(LinuxPaths{}, options.rawIo);
}

std::vector<std::string> ListSystemPorts()
{
    return ListLinuxPorts(LinuxPaths{});
}

std::vector<FoundPort> FindSystemPorts()
{
    return FindLinuxPorts(LinuxPaths{});
}

std::string NoPortsFound()
{
    return "no parallel port found: have the parallel-port drivers loaded (modprobe parport_pc ppdev), or plug in a USS720 "
           "or MCS7715 USB adapter";
}

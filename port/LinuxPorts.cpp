#include "LinuxPorts.h"
#include "PortText.h"

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>

#include <fcntl.h>
#include <unistd.h>

namespace fs = std::filesystem;

const char* const kUsbPrinterWhy = "a USB printer cable (usblp) only passes a stream of bytes on to a printer: it has no "
                                   "register to set and read back";
const char* const kUsbPrinterStep = "use a USS720 or MCS7715 USB adapter (it shows as /dev/parportN), a PCI or PCIe "
                                    "parallel card, or the main board's port";

namespace {

// The USB drivers that make an adapter a parallel port of its own.
const char* const kUsbParallelDrivers[] = {"uss720", "mos7720"};
// Each register access is a USB request of its own.
const char* const kUsbSpeed = ", about 1 ms per access";

bool Exists(const fs::path& path)
{
    std::error_code error;
    return fs::exists(path, error);
}

// "9710" from "0x9710" (PCI) or "9710" (USB).
std::string Id(const fs::path& file)
{
    std::string text = FirstLine(file.string());
    return text.compare(0, 2, "0x") == 0 ? text.substr(2) : text;
}

std::string DriverOf(const fs::path& device)
{
    std::error_code error;
    const fs::path target = fs::read_symlink(device / "driver", error);
    return error ? std::string() : target.filename().string();
}

std::string Usb(const fs::path& device, const std::string& driver)
{
    return Id(device / "idVendor") + ":" + Id(device / "idProduct") + " (" + driver + ")";
}

// What a sysfs device directory is: a USB interface or device, a PCI
// device, or the main board's (a platform or PnP device).
std::string Describe(const fs::path& device)
{
    if (Exists(device / "bInterfaceNumber"))
        return "USB adapter " + Usb(device.parent_path(), DriverOf(device)) + kUsbSpeed;
    if (Exists(device / "idVendor")) {
        // The device's own driver is "usb"; its interface's is the adapter's.
        std::string driver;
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(device, error))
            if (driver.empty() && entry.path().filename().string().find(':') != std::string::npos)
                driver = DriverOf(entry.path());
        return "USB adapter " + Usb(device, driver) + kUsbSpeed;
    }
    const std::string driver = DriverOf(device);
    if (Exists(device / "vendor") && Exists(device / "device"))
        return "PCI card " + Id(device / "vendor") + ":" + Id(device / "device") + " (" + driver + ")";
    return "main board" + (driver.empty() ? std::string() : " (" + driver + ")");
}

fs::path Resolved(const fs::path& link)
{
    std::error_code error;
    const fs::path target = fs::canonical(link, error);
    return error ? fs::path() : target;
}

FoundPort PortFound(const LinuxPaths& paths, const Parport& port)
{
    const std::string device = paths.devDir + "/parport" + std::to_string(port.number);
    const fs::path proc = fs::path(paths.parportProc) / ("parport" + std::to_string(port.number));
    const std::string hardware = ParportHardware(paths, port.number, port.base);
    const std::string modes = FirstLine((proc / "modes").string());
    const std::string active = FirstLine((proc / "devices" / "active").string());
    std::string line = device + ": base " + (port.base > 0 ? Place(port.base) : "none: USB") + "; "
        + (hardware.empty() ? "hardware unknown" : hardware) + "; modes " + (modes.empty() ? "unknown" : modes) + "; "
        + (active == "none" ? "free" : active.empty() ? "holder unknown" : "held by " + active) + "; ";
    const std::string typed = port.base > 0 ? std::to_string(port.base) : device;
    if (!Exists(device))
        return {typed, line + "not usable: " + device + " not found: the ppdev module is not loaded; have it loaded (modprobe ppdev)"};
    // Opening the device claims nothing (ppdev registers on the port only at
    // a claim), and says what the claim would say of the rights to it.
    const int fd = ::open(device.c_str(), O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        const int error = errno;
        return {typed, line + "not usable: "
                           + (error == EACCES || error == EPERM ? "permission denied; add your user to the lp group and log in again"
                                                                : device + ": " + SystemErrorWords(error))};
    }
    ::close(fd);
    const std::string use = "--port " + typed;
    if (!active.empty() && active != "none")
        return {typed, line + "usable once " + active + " lets go of it: " + use, true};
    return {typed, line + "usable: " + use, true};
}

} // namespace

std::string FirstLine(const std::string& path)
{
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    const auto end = line.find_last_not_of(" \t\r\n");
    line.erase(end == std::string::npos ? 0 : end + 1);
    return line.substr(std::min(line.size(), line.find_first_not_of(" \t")));
}

std::vector<Parport> ParportTable(const std::string& procDir)
{
    std::vector<Parport> ports;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(procDir, error)) {
        const std::string name = entry.path().filename().string();
        if (name.size() <= 7 || name.compare(0, 7, "parport") != 0
            || name.find_first_not_of("0123456789", 7) != std::string::npos || name.size() > 12)
            continue;
        // "888\t1912": the base address, then the ECP registers' (0 if none).
        // A USB adapter has neither: "0\t0".
        std::ifstream file(entry.path() / "base-addr");
        long base = 0;
        long ecp = 0;
        if (!(file >> base) || base < 0 || base > 0xFFFF)
            continue;
        if (!(file >> ecp) || ecp <= 0 || ecp > 0xFFFF)
            ecp = 0;
        ports.push_back({std::stoi(name.substr(7)), static_cast<std::int32_t>(base), static_cast<std::int32_t>(ecp)});
    }
    std::sort(ports.begin(), ports.end(), [](const Parport& a, const Parport& b) { return a.number < b.number; });
    return ports;
}

std::string ParportHardware(const LinuxPaths& paths, int number, std::int32_t base)
{
    // ppdev's device for the port points at the hardware, where its driver
    // says which that is.
    const fs::path device = Resolved(fs::path(paths.sysDir) / "class/ppdev" / ("parport" + std::to_string(number)) / "device");
    if (!device.empty())
        return Describe(device);
    if (base > 0)
        return {};
    // A USB adapter's driver may leave that unsaid: the adapters bound to
    // the USB parallel-port drivers tell.
    std::vector<std::string> found;
    std::string drivers;
    for (const char* driver : kUsbParallelDrivers) {
        std::error_code error;
        bool bound = false;
        for (const auto& entry : fs::directory_iterator(fs::path(paths.sysDir) / "bus/usb/drivers" / driver, error)) {
            if (entry.path().filename().string().find(':') == std::string::npos)
                continue;
            found.push_back(Describe(Resolved(entry.path())));
            bound = true;
        }
        if (bound)
            drivers += (drivers.empty() ? "" : " or ") + std::string(driver);
    }
    if (found.size() == 1)
        return found.front();
    return "USB adapter" + (drivers.empty() ? std::string() : " (" + drivers + ")") + kUsbSpeed;
}

int DeviceNumber(const std::string& device, const std::string& prefix)
{
    if (device.size() <= prefix.size() || device.size() > prefix.size() + 5 || device.compare(0, prefix.size(), prefix) != 0
        || device.find_first_not_of("0123456789", prefix.size()) != std::string::npos)
        return -1;
    return std::stoi(device.substr(prefix.size()));
}

bool IsUsbPrinter(const LinuxPaths& paths, const std::string& device)
{
    return DeviceNumber(device, paths.devDir + "/usb/lp") >= 0;
}

std::vector<FoundPort> FindLinuxPorts(const LinuxPaths& paths)
{
    std::vector<FoundPort> found;
    for (const Parport& port : ParportTable(paths.parportProc))
        found.push_back(PortFound(paths, port));
    std::vector<std::string> printers;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(fs::path(paths.devDir) / "usb", error))
        if (IsUsbPrinter(paths, entry.path().string()))
            printers.push_back(entry.path().string());
    std::sort(printers.begin(), printers.end());
    for (const std::string& printer : printers) {
        const fs::path usb = Resolved(fs::path(paths.sysDir) / "class/usbmisc" / fs::path(printer).filename() / "device");
        found.push_back({printer, printer + ": base none: USB; USB printer cable"
                                      + (usb.empty() ? std::string(" (usblp)") : " " + Usb(usb.parent_path(), DriverOf(usb)))
                                      + "; no parallel-port modes; not usable: " + kUsbPrinterWhy + "; " + kUsbPrinterStep});
    }
    return found;
}

std::vector<std::string> ListLinuxPorts(const LinuxPaths& paths)
{
    std::vector<std::string> lines;
    for (const FoundPort& port : FindLinuxPorts(paths))
        lines.push_back(port.line);
    return lines;
}

#pragma once

#include "PortIo.h"

#include <cstdint>
#include <string>
#include <vector>

// Where Linux's backends and the port list find the system: the system's own
// paths unless a test points them at a stand-in tree.
struct LinuxPaths
{
    std::string parportProc = "/proc/sys/dev/parport";  // the kernel's port table
    std::string devDir = "/dev";                        // /dev/parportN, /dev/usb/lpN
    std::string rawDevice = "/dev/port";
    std::string ioports = "/proc/ioports";
    std::string pciDevices = "/sys/bus/pci/devices";
    std::string sysDir = "/sys";                        // class/ppdev, class/usbmisc, bus/usb/drivers
    std::string rawLockDir = "/run/rfswitch-panel-raw-io";  // raw I/O's lock per port address
};

// A port of the kernel's parallel-port driver.
struct Parport
{
    int number;          // N of /dev/parportN
    std::int32_t base;   // its data register; 0 for a port with no I/O address (a USB adapter)
    std::int32_t ecp;    // the ECP registers' base, or 0
};

// The kernel's port table as it is now, by number.
std::vector<Parport> ParportTable(const std::string& procDir);

// What sysfs says port N is: "USB adapter (uss720), about 1 ms per access",
// "PCI card 9710:9865 (parport_pc)", "main board (parport_pc)"; empty when
// it says nothing.
std::string ParportHardware(const LinuxPaths& paths, int number, std::int32_t base);

// The first line of a file, blanks trimmed; empty when it cannot be read.
std::string FirstLine(const std::string& path);

// N of a device named PREFIX followed by digits ("/dev/parport" and
// "/dev/parport1" give 1); -1 for any other name.
int DeviceNumber(const std::string& device, const std::string& prefix);

// Whether `device` names a USB printer cable's device (/dev/usb/lpN).
bool IsUsbPrinter(const LinuxPaths& paths, const std::string& device);
// Why such a cable cannot drive the board, and what can.
extern const char* const kUsbPrinterWhy;
extern const char* const kUsbPrinterStep;

// One line per parallel port and per USB printer cable: device, base
// address, hardware, modes, holder, and whether the panel can use it.
std::vector<std::string> ListLinuxPorts(const LinuxPaths& paths);
// The same, each with what to type to use it.
std::vector<FoundPort> FindLinuxPorts(const LinuxPaths& paths);

#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

// A failed port access. what() carries the device's own words
// ("/dev/parport0: permission denied"), which the window shows as they are.
class PortError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

// Where an address stands. Exactly one holds for the address in use.
enum class PortReach
{
    Real,       // a real port is claimed and drives the board
    Unusable,   // a port is there but cannot be used now: nothing is written
    Absent,     // this backend has no port there (never the layer's answer)
    Refused,    // no backend may touch this address: nothing is written
    Simulated,  // no port at all: the simulated port stands in, no board is driven
};

// What the panel can say about the port behind an address.
struct PortStatus
{
    PortReach reach = PortReach::Absent;
    // What serves the address: "/dev/parport0", "/dev/port", "IO.DLL",
    // "simulated port".
    std::string device;
    // The system's words for why it is not Real, e.g. "/dev/parport0:
    // permission denied"; empty when Real.
    std::string reason;
    // What the user can do about it, e.g. "add your user to the lp group and
    // log in again"; empty when Real.
    std::string nextStep;
    // Held by another program: Refresh() keeps trying in the background.
    bool busy = false;

    bool Writable() const { return reach == PortReach::Real || reach == PortReach::Simulated; }
    bool IsSimulated() const { return reach == PortReach::Simulated; }
    friend bool operator==(const PortStatus&, const PortStatus&) = default;
};

// Which port the user chose: a base address, or a device by its name. A USB
// adapter (/dev/parport1) has no base address; a port chosen by its device has
// its registers at 0, 1 and 2 whatever its base.
struct PortName
{
    PortName(std::int32_t base = 0) : base(base) {}
    PortName(std::string device) : device(std::move(device)) {}
    PortName(const char* device) : device(device) {}

    std::int32_t base = 0;  // 0 when chosen by device
    std::string device;     // empty when chosen by base address
    bool ByDevice() const { return !device.empty(); }
    friend bool operator==(const PortName&, const PortName&) = default;
};

// A port this machine has, as the port list shows it.
struct FoundPort
{
    std::string typed;     // what --port and the address box take for it: "888", "/dev/parport1"
    std::string line;      // its line in the list: device, base, hardware, modes, holder, whether usable
    bool usable = false;   // this program can use it now, or once its holder lets go
};

// The panel's way to the board's port: one port at a time, claimed while in
// use. Only its three registers (data at the base, status at +1, control at
// +2) are ever reachable.
class PortIo
{
public:
    virtual ~PortIo() = default;

    // Looks the port up afresh and claims the one whose data register is at
    // `base`, releasing whatever was claimed before. Writes no register (a
    // backend may read them to see whether a port answers) and never waits
    // for a busy port.
    virtual PortStatus Open(std::int32_t base) = 0;
    // The same for the port of a device ("/dev/parport1"), whose registers
    // are then 0 (data), 1 (status) and 2 (control). A backend that knows no
    // such device answers Absent, as this one does.
    virtual PortStatus OpenDevice(const std::string& device);
    // Brings the status of the opened port up to date, cheaply enough for a
    // timer: a busy port freed, a driver loaded or unloaded, ports
    // renumbered. May reclaim or move to another backend; writes nothing.
    virtual PortStatus Refresh() = 0;
    // Releases the claim; accesses fail until the next Open().
    virtual void Close() = 0;
    // What the opened port is, where the system says: "USB adapter (uss720),
    // about 1 ms per access", "PCI card 9710:9865 (parport_pc)"; empty when
    // it does not, or nothing is opened.
    virtual std::string Hardware() const { return {}; }

    // Reads the byte currently readable at a register of the opened port.
    // Throws PortError, also for an address outside the port's registers.
    virtual std::uint8_t PortIn(std::int32_t port) = 0;
    // Puts the byte on a register of the opened port. Throws PortError.
    virtual void PortOut(std::int32_t port, std::uint8_t value) = 0;
};

// The layer every port access goes through: the system's own unless a test or
// benchmark has put another in its place.
PortIo& Ports();

// Puts `layer` in place of the current one (nullptr: the system's own) and
// returns the one it replaced.
PortIo* UsePorts(PortIo* layer);

// Swaps the whole layer for the lifetime of the object.
class ScopedPorts
{
public:
    explicit ScopedPorts(PortIo& layer) : previous_(UsePorts(&layer)) {}
    ~ScopedPorts() { UsePorts(previous_); }
    ScopedPorts(const ScopedPorts&) = delete;
    ScopedPorts& operator=(const ScopedPorts&) = delete;

private:
    PortIo* previous_;
};

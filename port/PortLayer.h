#pragma once

#include "PortIo.h"
#include "SimulatedPort.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

// How far the system's backends may go; set once, before the first access.
struct PortOptions
{
    // Linux: raw I/O through /dev/port for a parallel port that no driver
    // serves. Off unless the user asks for it.
    bool rawIo = false;
    // Windows: asked once for a base address that is not a standard parallel
    // port's; true lets the port DLL reach it. Unset: such addresses are refused.
    std::function<bool(std::int32_t base)> confirmNonStandard;
};

// The backends this machine offers, best first (one file per OS). Each answers
// Open() with Absent for an address that is none of its ports.
std::vector<std::unique_ptr<PortIo>> MakeSystemBackends(const PortOptions& options);

// Every parallel port this machine has, one line each: device, base address,
// hardware, modes, holder, and whether the panel can use it (why not, and
// what to do). Empty where there is none.
std::vector<std::string> ListSystemPorts();
// The same ports, each with what to type to use it.
std::vector<FoundPort> FindSystemPorts();
// What to do where ListSystemPorts() finds nothing.
std::string NoPortsFound();

// Sets the options of the system's own layer. Takes effect only before its
// first use.
void ConfigureSystemPorts(PortOptions options);

// Picks the backend for the opened address: the first that knows a port
// there, usable or not; where none does, the simulated port stands in.
class PortLayer final : public PortIo
{
public:
    explicit PortLayer(std::vector<std::unique_ptr<PortIo>> backends);
    ~PortLayer() override;

    PortStatus Open(std::int32_t base) override;
    // A device no backend knows is Refused; the simulated port never stands in for one.
    PortStatus OpenDevice(const std::string& device) override;
    PortStatus Refresh() override;
    void Close() override;
    std::string Hardware() const override;
    std::uint8_t PortIn(std::int32_t port) override;
    void PortOut(std::int32_t port, std::uint8_t value) override;

private:
    PortStatus Lookup();
    PortIo& Current();

    std::vector<std::unique_ptr<PortIo>> backends_;
    SimulatedPort simulated_;
    PortIo* current_ = nullptr;  // nullptr: nothing opened, or refused
    std::int32_t base_ = 0;
    std::string device_;  // opened by device
    bool opened_ = false;
    PortStatus status_;
};

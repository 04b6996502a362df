#pragma once

// The switch as one remote connection's command layer sees it, in the
// switch core's own terms. Free of Qt: the command layer is fuzzed alone.

#include "PortIo.h"
#include "SwitchTypes.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What the switch is like now, as a connection sees it.
struct SwitchView
{
    PortReach reach = PortReach::Simulated;
    std::int32_t address = 0;
    std::string device;               // the port's device, where it was chosen by device ("/dev/parport1")
    std::optional<ControlBits> bits;  // as last read back; nullopt: unknown
    bool busy = false;                // a port operation is under way, whoever asked for it
    std::string lockHolder;           // who holds the lock ("remote:127.0.0.1:50432"), empty when free
    bool lockedByOther = false;       // held by another client: this one's switching is refused
    CycleCounts cycles;               // the board's closures per path, and their limit
    bool settling = false;            // the last write's settle time has not passed yet
    std::chrono::milliseconds settleTime{0};
    std::chrono::milliseconds startSettleTime{0};  // as the program started: *RST's and DEFault's
    ChannelLabels labels;             // the board's channel labels
    std::optional<int> powerOn;       // the setup a headless server recalls at start; none: KEEP
    std::string model;                // the board's model ("QTR7-415KM")
    std::string name;                 // the name the board was given, where several are served
};

class ScpiInstrument
{
public:
    using Done = std::function<void(const OperationResult&)>;
    virtual ~ScpiInstrument() = default;

    virtual SwitchView View() const = 0;
    // Port operations. `done` may run before they return, or later.
    virtual void Select(RfPath path, Done done) = 0;
    virtual void SetPort(std::int32_t address, Done done) = 0;
    // The port of a device ("/dev/parport1"), for a port with no address.
    virtual void SetPortDevice(const std::string& device, Done done) = 0;
    // One line per parallel port the system has.
    virtual std::vector<std::string> PortList() const = 0;
    // Runs `then` once every port operation asked for so far has finished.
    virtual void WhenIdle(std::function<void()> then) = 0;
    // The switch's settle time, for every client: refused (Locked) where
    // another client holds the lock.
    virtual OperationResult SetSettleTime(std::chrono::milliseconds time) = 0;
    // A request the session refused by itself, for the record.
    virtual void Refused(const std::string& request, const std::string& why) = 0;
    // The lock: true when granted (free, or this client's already).
    virtual bool Lock() = 0;
    virtual void Unlock() = 0;
    // The closure counts of `channels` (1, 2) back to 0, or their limit
    // (0: none); refused, as switching is, while another client holds the lock.
    virtual OperationResult ClearCycles(const std::vector<int>& channels) = 0;
    virtual OperationResult SetCycleLimit(std::uint64_t limit) = 0;
    // The channel a label names, in any case (also "1", "rf2"); 0 for none.
    virtual int ChannelNamed(std::string_view text) const = 0;
    // The board's label of `channel` ("" for none), its saved setups and the
    // one recalled at start; refused, as switching is, under another's lock.
    virtual OperationResult SetLabel(int channel, const std::string& label) = 0;
    virtual OperationResult SaveSetup(int number) = 0;
    virtual void RecallSetup(int number, Done done) = 0;
    virtual OperationResult SetPowerOn(std::optional<int> number) = 0;

    // The boards behind the instrument, numbered from 1; board 1 is this
    // one. A slot channel names a board's path: 202 is path 2 of board 2.
    virtual int Boards() const { return 1; }
    virtual ScpiInstrument& Board(int /*board*/) { return *this; }
};


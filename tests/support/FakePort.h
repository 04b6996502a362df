#pragma once

#include "PortIo.h"

#include <QString>

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

// One access that reached the port.
struct PortAccess
{
    enum class Kind { Read, Write };
    Kind kind;
    std::int32_t port;
    std::uint8_t value;
    friend bool operator==(const PortAccess&, const PortAccess&) = default;
};

// What the port layer says of the ports tests stand in for.
inline const PortStatus kRealPort{PortReach::Real, "/dev/parport0", "", "", false};
inline const PortStatus kSimulatedPort{PortReach::Simulated, "simulated port", "no parallel port at 888 (0x378)", "", false};
inline const PortStatus kDeniedPort{PortReach::Unusable, "/dev/parport0", "/dev/parport0: permission denied",
                                    "add your user to the lp group and log in again", false};

// "w888:01 r888:01": kind, address and hex value of each access, oldest first.
QString Trace(const std::vector<PortAccess>& accesses);

// A port for tests: records every access that reaches it, in order, and can
// be told to behave like troublesome hardware.
class FakePort final : public PortIo
{
public:
    PortStatus Open(std::int32_t base) override;
    // A device's port: its registers at 0, 1 and 2.
    PortStatus OpenDevice(const std::string&) override { return Open(0); }
    PortStatus Refresh() override { return status; }
    void Close() override { claimed.reset(); }
    std::string Hardware() const override { return hardware; }
    std::uint8_t PortIn(std::int32_t port) override;
    void PortOut(std::int32_t port, std::uint8_t value) override;

    // What the register holds: the last byte written (or preset).
    std::uint8_t Latched(std::int32_t port) const;
    std::vector<PortAccess> Writes() const;
    // The Trace of the accesses since the last call.
    QString Take();

    std::vector<PortAccess> accesses;
    std::map<std::int32_t, std::uint8_t> latched;

    // A written value reads back only from its n-th write in a row on;
    // before that reads give the register's previous value.
    int readBackAfter = 1;
    // Every read gives this (a register that cannot be read back).
    std::optional<std::uint8_t> stuckRead;
    // Non-empty: reads, or writes, fail with these words.
    std::string readError;
    std::string writeError;
    // The port stops answering (every access fails, as an unplugged adapter)
    // once this many accesses have reached it.
    std::optional<std::size_t> answersFor;
    // Reads alone fail ("input/output error") once this many accesses have
    // reached the port: a write goes out, and nothing comes back.
    std::optional<std::size_t> readsFor;
    // Registers whose reads fail with "input/output error" (a control
    // register that cannot be read back).
    std::set<std::int32_t> unreadable;
    // Bits that read back as 1 at a register whatever was written (unused
    // control bits on some ports): a write of 0 there never verifies.
    std::map<std::int32_t, std::uint8_t> readsHigh;
    // What Open() and Refresh() answer; a real port named "fake port" unless
    // a test says otherwise.
    PortStatus status{PortReach::Real, "fake port", "", "", false};
    // What the port is, as the system would say.
    std::string hardware;
    // The base address claimed now, if any.
    std::optional<std::int32_t> claimed;
    // Runs after each recorded access, e.g. to deliver a click mid-write.
    std::function<void(const PortAccess&)> onAccess;

private:
    void Record(PortAccess access);

    std::map<std::int32_t, int> streak_;
    std::map<std::int32_t, std::uint8_t> previous_;
};

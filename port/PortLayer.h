#pragma once

#include "PortIo.h"
#include "SimulatedPort.h"

#include <memory>
#include <vector>

// A driver for real ports: it serves the addresses of the ports it owns.
class PortBackend : public PortIo
{
public:
    bool IsSimulated(std::int32_t) const override { return false; }

    // Whether this backend serves `port`. When it owns the address but cannot
    // reach it (no permission, device gone), it answers false and says why.
    virtual bool Serves(std::int32_t port, std::string& whyNot) = 0;

protected:
    // Serves() for a backend whose way to the port throws PortError saying
    // why it is closed.
    template <typename Reach>
    static bool Reachable(Reach reach, std::string& whyNot)
    {
        try {
            reach();
            return true;
        } catch (const PortError& error) {
            whyNot = error.what();
            return false;
        }
    }
};

// The backends this machine offers, best first (one file per OS).
std::vector<std::unique_ptr<PortBackend>> MakeSystemBackends();

// Picks the backend per address: the first that serves it, else a simulated
// port, so a real port can sit behind its own registers and the rest stay
// simulated.
class PortLayer final : public PortIo
{
public:
    explicit PortLayer(std::vector<std::unique_ptr<PortBackend>> backends);

    std::uint8_t PortIn(std::int32_t port) override;
    void PortOut(std::int32_t port, std::uint8_t value) override;
    bool IsSimulated(std::int32_t port) const override;
    std::string Describe(std::int32_t port) const override;

private:
    PortIo& Resolve(std::int32_t port, std::string* whyNot = nullptr) const;

    std::vector<std::unique_ptr<PortBackend>> backends_;
    mutable SimulatedPort simulated_;
};

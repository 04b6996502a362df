#pragma once

#include "PortLayer.h"
#include "ScpiSession.h"
#include "SwitchCore.h"

// The switch core as the command layer sees it; every operation is the
// remote's, queued with the panel's and the command line's.
class SwitchInstrument final : public ScpiInstrument
{
public:
    // `list` lists the parallel ports (the system's unless a test says otherwise).
    SwitchInstrument(SwitchCore& core, Source source, std::function<std::vector<std::string>()> list = ListSystemPorts);

    ScpiPortState State() const override;
    void Select(ScpiPath path, Done done) override;
    void SetPort(std::int32_t address, Done done) override;
    void SetPortDevice(const std::string& device, Done done) override;
    std::vector<std::string> PortList() const override { return list_(); }
    void WhenIdle(std::function<void()> then) override;
    void Refused(const std::string& request, const std::string& why) override;

private:
    static ScpiOutcome Outcome(const OperationResult& result);
    void Take(const PortName& port, Done done);

    SwitchCore& core_;
    Source source_;
    std::function<std::vector<std::string>()> list_;
};

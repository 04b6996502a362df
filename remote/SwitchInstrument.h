#pragma once

#include "ScpiSession.h"
#include "SwitchCore.h"

// The switch core as the command layer sees it; every operation is the
// remote's, queued with the panel's and the command line's.
class SwitchInstrument final : public ScpiInstrument
{
public:
    SwitchInstrument(SwitchCore& core, Source source);

    ScpiPortState State() const override;
    void Select(ScpiPath path, Done done) override;
    void SetPort(std::int32_t address, Done done) override;
    void WhenIdle(std::function<void()> then) override;
    void Refused(const std::string& request, const std::string& why) override;

private:
    static ScpiOutcome Outcome(const OperationResult& result);

    SwitchCore& core_;
    Source source_;
};

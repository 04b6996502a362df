#pragma once

#include "ScpiSession.h"
#include "SwitchCore.h"

// The switch core as the command layer sees it; every operation is the
// remote's, queued with the panel's and the command line's.
class SwitchInstrument final : public ScpiInstrument
{
public:
    explicit SwitchInstrument(SwitchCore& core);

    ScpiPortState State() const override;
    void Select(ScpiPath path, Done done) override;
    void SetPort(std::int32_t address, Done done) override;
    void WhenIdle(std::function<void()> then) override;

private:
    static ScpiOutcome Outcome(const OperationResult& result);

    SwitchCore& core_;
};

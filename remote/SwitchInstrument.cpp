#include "SwitchInstrument.h"

#include <utility>

SwitchInstrument::SwitchInstrument(SwitchCore& core) : core_(core)
{
}

ScpiPortState SwitchInstrument::State() const
{
    const PortStatus& status = core_.Status();
    ScpiPortState state;
    switch (status.reach) {
    case PortReach::Real: state.kind = ScpiPortState::Kind::Real; break;
    case PortReach::Absent: state.kind = ScpiPortState::Kind::Simulated; break;
    case PortReach::Unusable: state.kind = ScpiPortState::Kind::Unusable; break;
    case PortReach::Refused: state.kind = ScpiPortState::Kind::Refused; break;
    }
    state.why = status.reason;
    if (!status.nextStep.empty())
        state.why += "; " + status.nextStep;
    state.address = core_.Address();
    state.c1 = core_.Bits().c1;
    state.c2 = core_.Bits().c2;
    return state;
}

void SwitchInstrument::Select(ScpiPath path, Done done)
{
    const RfPath rf = path == ScpiPath::Rf1 ? RfPath::Rf1 : path == ScpiPath::Rf2 ? RfPath::Rf2 : RfPath::Off;
    core_.Select(rf, Source::Remote, [done = std::move(done)](const OperationResult& result) { done(Outcome(result)); });
}

void SwitchInstrument::SetPort(std::int32_t address, Done done)
{
    core_.TakeAddress(address, true, Source::Remote, [this, done = std::move(done)](const OperationResult& result) {
        ScpiOutcome outcome = Outcome(result);
        if (core_.Status().reach == PortReach::Refused)
            outcome.kind = ScpiOutcome::Kind::Refused;
        done(outcome);
    });
}

void SwitchInstrument::WhenIdle(std::function<void()> then)
{
    core_.WhenIdle(std::move(then));
}

ScpiOutcome SwitchInstrument::Outcome(const OperationResult& result)
{
    switch (result.outcome) {
    case Outcome::Verified:
        return {};
    case Outcome::Unusable:
        return {ScpiOutcome::Kind::Missing, result.detail};
    case Outcome::NotReadBack:
    case Outcome::Forbidden:
        break;
    }
    return {ScpiOutcome::Kind::NotReadBack, result.detail};
}


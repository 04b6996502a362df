#include "SwitchInstrument.h"

#include "PortText.h"

#include <utility>

SwitchInstrument::SwitchInstrument(SwitchCore& core, Source source, std::function<std::vector<std::string>()> list)
    : core_(core), source_(std::move(source)), list_(std::move(list))
{
}

ScpiPortState SwitchInstrument::State() const
{
    const PortStatus& status = core_.Status();
    ScpiPortState state;
    switch (status.reach) {
    case PortReach::Real: state.kind = ScpiPortState::Kind::Real; break;
    case PortReach::Simulated: state.kind = ScpiPortState::Kind::Simulated; break;
    case PortReach::Absent:
    case PortReach::Unusable: state.kind = ScpiPortState::Kind::Unusable; break;
    case PortReach::Refused: state.kind = ScpiPortState::Kind::Refused; break;
    }
    state.why = ReasonAndNextStep(status);
    state.address = core_.Address();
    state.device = core_.Port().device;
    state.known = core_.State().has_value();
    state.c1 = core_.LastBits().c1;
    state.c2 = core_.LastBits().c2;
    return state;
}

void SwitchInstrument::Select(ScpiPath path, Done done)
{
    const RfPath rf = path == ScpiPath::Rf1 ? RfPath::Rf1 : path == ScpiPath::Rf2 ? RfPath::Rf2 : RfPath::Off;
    core_.Select(rf, source_, [done = std::move(done)](const OperationResult& result) { done(Outcome(result)); });
}

void SwitchInstrument::SetPort(std::int32_t address, Done done)
{
    Take(address, std::move(done));
}

void SwitchInstrument::SetPortDevice(const std::string& device, Done done)
{
    Take(device, std::move(done));
}

void SwitchInstrument::Take(const PortName& port, Done done)
{
    core_.TakeAddress(port, true, source_, [this, done = std::move(done)](const OperationResult& result) {
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

void SwitchInstrument::Refused(const std::string& request, const std::string& why)
{
    core_.Refused(source_, request, why);
}

ScpiOutcome SwitchInstrument::Outcome(const OperationResult& result)
{
    switch (result.outcome) {
    case Outcome::Verified:
        return {};
    case Outcome::NotWritten:
    case Outcome::Forbidden:
        return {ScpiOutcome::Kind::Missing, result.detail};
    case Outcome::NotReadBack:
    case Outcome::PortLost:
        break;
    }
    return {ScpiOutcome::Kind::NotReadBack, result.detail};
}

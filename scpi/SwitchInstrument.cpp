#include "SwitchInstrument.h"

#include "SwitchSystem.h"

#include <utility>

SwitchInstrument::SwitchInstrument(SwitchCore& core, Source source, std::function<std::vector<std::string>()> list)
    : core_(core), source_(std::move(source)), list_(std::move(list))
{
    source_.alive = lifetime_.Token();
    const SwitchSystem* system = core.System();
    if (!system)
        return;
    for (int board = 1; board <= system->Count(); ++board)
        if (&system->Core(board) == &core)
            board_ = board;
    if (board_ != 1)
        return;
    for (int board = 2; board <= system->Count(); ++board)
        others_.push_back(std::make_unique<SwitchInstrument>(system->Core(board), source_, list_));
}

SwitchInstrument::~SwitchInstrument()
{
    Leave();
}

void SwitchInstrument::ShareLockAs(std::optional<Source> holder)
{
    for (const auto& other : others_)
        other->ShareLockAs(holder);
    shared_ = std::move(holder);
    if (shared_)
        shared_->alive = lifetime_.Token();
}

void SwitchInstrument::Leave()
{
    lifetime_.End();
    for (const auto& other : others_)
        other->Leave();
    core_.Unlock(source_);
}

SwitchView SwitchInstrument::View() const
{
    SwitchView view;
    view.model = core_.Model().name;
    if (const SwitchSystem* system = core_.System())
        view.name = system->Name(board_);
    view.reach = core_.Status().reach;
    view.address = core_.Address();
    view.device = core_.Port().device;
    view.bits = core_.State();
    view.busy = core_.Running();
    view.cycles = core_.Cycles();
    view.settling = core_.Settling();
    view.settleTime = core_.SettleTime();
    view.startSettleTime = core_.StartSettleTime();
    view.labels = core_.Labels();
    view.powerOn = core_.PowerOnSetup();
    if (const auto& holder = core_.LockHolder()) {
        view.lockHolder = SourceName(*holder);
        view.lockedByOther = core_.LockedAgainst(Acting());
    }
    return view;
}

void SwitchInstrument::Select(RfPath path, Done done)
{
    core_.Select(path, Acting(), std::move(done));
}

void SwitchInstrument::SetPort(std::int32_t address, Done done)
{
    core_.TakeAddress(address, true, Acting(), std::move(done));
}

void SwitchInstrument::SetPortDevice(const std::string& device, Done done)
{
    core_.TakeAddress(PortName(device), true, Acting(), std::move(done));
}

void SwitchInstrument::WhenIdle(std::function<void()> then)
{
    if (others_.empty())
        return core_.WhenIdle(std::move(then));
    // Once every board is idle and settled: they settle side by side.
    auto left = std::make_shared<int>(Boards());
    auto shared = std::make_shared<std::function<void()>>(std::move(then));
    const auto one = [left, shared] {
        if (--*left == 0)
            (*shared)();
    };
    core_.WhenIdle(one);
    for (const auto& other : others_)
        other->WhenIdle(one);
}

OperationResult SwitchInstrument::SetSettleTime(std::chrono::milliseconds time)
{
    return core_.SetSettleTime(time, Acting());
}

void SwitchInstrument::Refused(const std::string& request, const std::string& why)
{
    core_.Refused(Acting(), request, why);
}

bool SwitchInstrument::Lock()
{
    return core_.Lock(Acting());
}

void SwitchInstrument::Unlock()
{
    core_.Unlock(Acting());
}

OperationResult SwitchInstrument::ClearCycles(const std::vector<int>& channels)
{
    return core_.ClearCycles(channels, Acting());
}

OperationResult SwitchInstrument::SetCycleLimit(std::uint64_t limit)
{
    return core_.SetCycleLimit(limit, Acting());
}

OperationResult SwitchInstrument::SetLabel(int channel, const std::string& label)
{
    return core_.SetLabel(channel, label, Acting());
}

OperationResult SwitchInstrument::SaveSetup(int number)
{
    return core_.SaveSetup(number, Acting());
}

void SwitchInstrument::RecallSetup(int number, Done done)
{
    core_.RecallSetup(number, Acting(), std::move(done));
}

OperationResult SwitchInstrument::SetPowerOn(std::optional<int> number)
{
    return core_.SetPowerOnSetup(number, Acting());
}

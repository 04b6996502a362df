#include "HislipLocks.h"

#include "SwitchCore.h"
#include "SwitchInstrument.h"

HislipLocks::HislipLocks(SwitchCore& core, QObject* parent) : QObject(parent), core_(core)
{
    // Whoever lets go of the core's lock (a session, SYST:LOCK OFF, a VXI-11
    // link), the next waiting request may get it now.
    connect(&core_, &SwitchCore::Changed, this, &HislipLocks::Retry);
}

HislipLocks::~HislipLocks() = default;

bool HislipLocks::ExclusiveHeld() const
{
    const auto& holder = core_.LockHolder();
    return holder && !(sharedHolder_ && holder->SameClient(*sharedHolder_));
}

std::uint32_t HislipLocks::Holders() const
{
    std::uint32_t holders = static_cast<std::uint32_t>(sharing_.size());
    const auto& holder = core_.LockHolder();
    if (holder && !(sharedHolder_ && holder->SameClient(*sharedHolder_)))
        ++holders;
    return holders;
}

std::optional<HislipLocks::Result> HislipLocks::TryGrant(std::uint16_t session, SwitchInstrument& instrument,
                                                         const std::string& name)
{
    const auto& holder = core_.LockHolder();
    const bool ownExclusive = holder && holder->SameClient(instrument.Client());
    const bool sharing = sharing_.contains(session);
    if (name.empty()) {
        // A session that shares a lock cannot take the exclusive one on top.
        if (sharing)
            return kError;
        if (ownExclusive || core_.Lock(instrument.Client())) {
            return kSuccess;
        }
        return std::nullopt;
    }
    if (sharing)
        return name == sharedName_ ? std::optional(kSuccess) : std::optional(kError);
    if (ownExclusive)
        return kError;
    if (sharedHolder_ && name != sharedName_)
        return std::nullopt;
    const Source group = sharedHolder_ ? *sharedHolder_ : Source::Remote("hislip:shared:" + name);
    if (!core_.Lock(group))
        return std::nullopt;
    sharedHolder_ = group;
    sharedName_ = name;
    sharing_[session] = &instrument;
    instrument.ShareLockAs(group);
    return kSuccess;
}

void HislipLocks::Request(std::uint16_t session, SwitchInstrument& instrument, const std::string& name, std::uint32_t timeoutMs,
                          std::function<void(Result)> answer)
{
    if (const auto result = TryGrant(session, instrument, name)) {
        answer(*result);
        return;
    }
    if (timeoutMs == 0) {
        answer(kFailure);
        return;
    }
    Waiter& waiter = waiting_.emplace_back(Waiter{session, &instrument, name, std::move(answer), std::make_unique<QTimer>()});
    waiter.timer->setSingleShot(true);
    const auto at = std::prev(waiting_.end());
    connect(waiter.timer.get(), &QTimer::timeout, this, [this, at] {
        const auto answer = std::move(at->answer);
        // The timer that fires now goes once its signal has returned.
        at->timer.release()->deleteLater();
        waiting_.erase(at);
        answer(kFailure);
    });
    waiter.timer->start(static_cast<int>(std::min<std::uint32_t>(timeoutMs, 24u * 3600 * 1000)));
}

void HislipLocks::Retry()
{
    // Taking the core's lock says Changed again: that pass is this one.
    if (retrying_)
        return;
    retrying_ = true;
    for (auto at = waiting_.begin(); at != waiting_.end();) {
        const auto result = TryGrant(at->session, *at->instrument, at->name);
        if (!result) {
            ++at;
            continue;
        }
        const auto answer = std::move(at->answer);
        at = waiting_.erase(at);
        answer(*result);
    }
    retrying_ = false;
}

HislipLocks::Result HislipLocks::Release(std::uint16_t session, SwitchInstrument& instrument)
{
    const auto& holder = core_.LockHolder();
    if (holder && holder->SameClient(instrument.Client())) {
        core_.Unlock(instrument.Client());
        return kSuccess;
    }
    if (sharing_.erase(session) > 0) {
        instrument.ShareLockAs(std::nullopt);
        if (sharing_.empty()) {
            const Source group = *std::exchange(sharedHolder_, std::nullopt);
            sharedName_.clear();
            core_.Unlock(group);
        }
        Retry();
        return kSuccessShared;
    }
    return kError;
}

void HislipLocks::Leave(std::uint16_t session, SwitchInstrument& instrument)
{
    waiting_.remove_if([session](const Waiter& waiter) { return waiter.session == session; });
    Release(session, instrument);
}

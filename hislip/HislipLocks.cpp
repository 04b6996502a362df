#include "HislipLocks.h"

#include "SwitchCore.h"
#include "SwitchInstrument.h"

#include <algorithm>

HislipLocks::HislipLocks(SwitchCore& core, QObject* parent) : QObject(parent), core_(core)
{
    // Whoever lets go of the core's lock (a session, SYST:LOCK OFF, a VXI-11
    // link), the next waiting request may get it now.
    connect(&core_, &SwitchCore::Changed, this, &HislipLocks::Retry);
    expiry_.setSingleShot(true);
    connect(&expiry_, &QTimer::timeout, this, &HislipLocks::Expire);
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
    if (ExclusiveHeld())
        ++holders;
    return holders;
}

std::size_t HislipLocks::Waiting() const
{
    return static_cast<std::size_t>(std::count_if(waiting_.begin(), waiting_.end(), [](const Waiter& waiter) { return !waiter.done; }));
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
        if (ownExclusive || core_.Lock(instrument.Client()))
            return kSuccess;
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
    // Switching under it is logged as this session's, holding the lock.
    Source acting = group;
    acting.member = instrument.Client().peer + " shared-lock=" + name;
    instrument.ShareLockAs(acting);
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
    const auto queued = std::count_if(waiting_.begin(), waiting_.end(),
                                      [session](const Waiter& waiter) { return waiter.session == session && !waiter.done; });
    if (std::size_t(queued) >= kMaxWaiting) {
        answer(kError);
        return;
    }
    const auto wait = std::min<std::chrono::milliseconds>(std::chrono::milliseconds(timeoutMs), kLongestWait);
    waiting_.push_back({session, &instrument, name, std::move(answer), Clock::now() + wait});
    Tidy();
}

void HislipLocks::Walk(const std::function<std::optional<Result>(Waiter&)>& settle)
{
    ++walking_;
    // Nothing is erased from the list while it is walked, and what an
    // answer adds is walked too.
    for (Waiter& waiter : waiting_) {
        if (waiter.done)
            continue;
        const auto result = settle(waiter);
        if (!result)
            continue;
        waiter.done = true;
        const auto answer = std::exchange(waiter.answer, {});
        answer(*result);
    }
    --walking_;
}

void HislipLocks::Retry()
{
    // Taking the core's lock, or a session ending inside an answer, says
    // Changed again: the walk under way goes round once more instead.
    if (walking_ > 0) {
        again_ = true;
        return;
    }
    do {
        again_ = false;
        Walk([this](Waiter& waiter) { return TryGrant(waiter.session, *waiter.instrument, waiter.name); });
    } while (again_);
    Tidy();
}

void HislipLocks::Expire()
{
    if (walking_ > 0) {
        expiry_.start(0);
        return;
    }
    const auto now = Clock::now();
    Walk([now](Waiter& waiter) { return waiter.deadline <= now ? std::optional(kFailure) : std::nullopt; });
    if (again_)
        Retry();
    else
        Tidy();
}

void HislipLocks::Tidy()
{
    if (walking_ > 0)
        return;
    waiting_.remove_if([](const Waiter& waiter) { return waiter.done; });
    if (waiting_.empty()) {
        expiry_.stop();
        return;
    }
    const auto first = std::min_element(waiting_.begin(), waiting_.end(),
                                        [](const Waiter& a, const Waiter& b) { return a.deadline < b.deadline; });
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(first->deadline - Clock::now());
    expiry_.start(std::max(left, std::chrono::milliseconds(0)));
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
    for (Waiter& waiter : waiting_) {
        if (waiter.session == session && !waiter.done) {
            waiter.done = true;
            waiter.answer = {};
        }
    }
    Release(session, instrument);
    Tidy();
}

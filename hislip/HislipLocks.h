#pragma once

#include "SwitchTypes.h"

#include <QObject>
#include <QTimer>

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <optional>
#include <string>

class SwitchCore;
class SwitchInstrument;

// HiSLIP's exclusive and shared locks, kept on the switch core's one lock
// (the one SYST:LOCK and VXI-11 take): an exclusive lock is the core's lock
// held by the session itself; a shared lock is the core's lock held under
// the lock's name by every session that asked for that name. A session may
// have a few requests waiting at once; whatever it sends, what is kept for
// it stays that small.
class HislipLocks : public QObject
{
    Q_OBJECT

public:
    // AsyncLockResponse's control codes.
    enum Result : std::uint8_t
    {
        kFailure = 0,          // not granted within the timeout
        kSuccess = 1,          // granted; released an exclusive lock
        kSuccessShared = 2,    // released a shared lock
        kError = 3,            // a request that cannot be, or a release of no lock
    };

    // Requests of one session waiting at once; one more is answered kError.
    static constexpr std::size_t kMaxWaiting = 4;
    // The longest a request waits, whatever timeout it names.
    static constexpr std::chrono::hours kLongestWait{24};

    HislipLocks(SwitchCore& core, QObject* parent = nullptr);
    ~HislipLocks() override;

    // `name` empty: the exclusive lock. `answer` gets the result once known:
    // at once, or when the lock frees up, or after `timeoutMs`. It may end
    // sessions (a write to a connection that has gone), this one included.
    void Request(std::uint16_t session, SwitchInstrument& instrument, const std::string& name, std::uint32_t timeoutMs,
                 std::function<void(Result)> answer);
    Result Release(std::uint16_t session, SwitchInstrument& instrument);
    // A session that ends: its requests are dropped unanswered and its locks released.
    void Leave(std::uint16_t session, SwitchInstrument& instrument);

    // For AsyncLockInfo: whether an exclusive lock is held, and by how many
    // sessions a lock is held.
    bool ExclusiveHeld() const;
    std::uint32_t Holders() const;
    // Requests waiting, of every session.
    std::size_t Waiting() const;

private:
    using Clock = std::chrono::steady_clock;
    struct Waiter
    {
        std::uint16_t session;
        SwitchInstrument* instrument;
        std::string name;
        std::function<void(Result)> answer;
        Clock::time_point deadline;
        bool done = false;  // answered or dropped: erased once no walk is under way
    };

    std::optional<Result> TryGrant(std::uint16_t session, SwitchInstrument& instrument, const std::string& name);
    // Answers the waiters that `settle` gives a result, in the order they
    // came. An answer may end sessions, whose waiters are then marked done
    // rather than erased under the walk; a change of the lock meanwhile
    // walks again.
    void Walk(const std::function<std::optional<Result>(Waiter&)>& settle);
    void Retry();
    void Expire();
    void Tidy();

    SwitchCore& core_;
    std::optional<Source> sharedHolder_;  // the core's lock, held under the shared lock's name
    std::string sharedName_;
    std::map<std::uint16_t, SwitchInstrument*> sharing_;
    std::list<Waiter> waiting_;
    int walking_ = 0;
    bool again_ = false;  // the lock changed during a walk
    QTimer expiry_;       // at the earliest deadline
};

#pragma once

#include "SwitchTypes.h"

#include <QObject>
#include <QTimer>

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>

class SwitchCore;
class SwitchInstrument;

// HiSLIP's exclusive and shared locks, kept on the switch core's one lock
// (the one SYST:LOCK and VXI-11 take): an exclusive lock is the core's lock
// held by the session itself; a shared lock is the core's lock held under
// the lock's name by every session that asked for that name.
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

    HislipLocks(SwitchCore& core, QObject* parent = nullptr);
    ~HislipLocks() override;

    // `name` empty: the exclusive lock. `answer` gets the result once known:
    // at once, or when the lock frees up, or after `timeoutMs`.
    void Request(std::uint16_t session, SwitchInstrument& instrument, const std::string& name, std::uint32_t timeoutMs,
                 std::function<void(Result)> answer);
    Result Release(std::uint16_t session, SwitchInstrument& instrument);
    // A session that ends: its requests are dropped and its locks released.
    void Leave(std::uint16_t session, SwitchInstrument& instrument);

    // For AsyncLockInfo: whether an exclusive lock is held, and by how many
    // sessions a lock is held.
    bool ExclusiveHeld() const;
    std::uint32_t Holders() const;

private:
    struct Waiter
    {
        std::uint16_t session;
        SwitchInstrument* instrument;
        std::string name;
        std::function<void(Result)> answer;
        std::unique_ptr<QTimer> timer;
    };

    std::optional<Result> TryGrant(std::uint16_t session, SwitchInstrument& instrument, const std::string& name);
    void Retry();

    SwitchCore& core_;
    std::optional<Source> sharedHolder_;  // the core's lock, held under the shared lock's name
    std::string sharedName_;
    std::map<std::uint16_t, SwitchInstrument*> sharing_;
    bool retrying_ = false;
    std::list<Waiter> waiting_;
};

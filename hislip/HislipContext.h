#pragma once

#include "HislipLocks.h"
#include "HislipServer.h"
#include "HislipSessions.h"
#include "Identity.h"

#include <functional>
#include <map>

class HislipSession;

class SwitchCore;

// What the sessions of one server share.
struct HislipServer::Context
{
    Context(SwitchCore& core, Identity identity, HislipOptions options, std::size_t maxSessions, std::function<void()> changed)
        : core(core), identity(std::move(identity)), options(std::move(options)), maxSessions(int(maxSessions)), table(maxSessions),
          locks(core),
          changed(std::move(changed))
    {
    }

    SwitchCore& core;
    Identity identity;
    HislipOptions options;
    int maxSessions;
    hislip::SessionTable table;
    HislipLocks locks;
    std::map<std::uint16_t, HislipSession*> sessions;
    // The number of sessions changed.
    std::function<void()> changed;
};

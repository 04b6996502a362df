#pragma once

#include "SwitchTypes.h"

#include <optional>
#include <string>

// One client's exclusive use of the switch, and the one rule every
// refusal follows: while a client holds it, every other client's switching,
// change of port or of a setting is refused, naming the holder; reading goes on.
class SwitchLock
{
public:
    // True when granted: it was free, or is already `holder`'s.
    bool Take(const Source& holder);
    // Lets go where `holder` has it; true where that changed anything.
    bool Release(const Source& holder);
    const std::optional<Source>& Holder() const { return holder_; }
    // Another client than `asker` holds it.
    bool HeldAgainst(const Source& asker) const { return holder_ && !holder_->SameClient(asker); }
    // Why `asker` may not change anything now ("locked by remote:…"); none while it may.
    std::optional<OperationResult> Refusal(const Source& asker) const;

private:
    std::optional<Source> holder_;
};

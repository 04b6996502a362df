#include "SwitchLock.h"

bool SwitchLock::Take(const Source& holder)
{
    if (holder_)
        return holder_->SameClient(holder);
    holder_ = holder;
    return true;
}

bool SwitchLock::Release(const Source& holder)
{
    if (!holder_ || !holder_->SameClient(holder))
        return false;
    holder_.reset();
    return true;
}

std::optional<OperationResult> SwitchLock::Refusal(const Source& asker) const
{
    if (!HeldAgainst(asker))
        return std::nullopt;
    return OperationResult{Outcome::NotWritten, "locked by " + SourceName(*holder_), Cause::Locked};
}

#include "OperationQueue.h"

#include <utility>

void OperationQueue::Add(Pending pending)
{
    queue_.push_back(std::move(pending));
    Resume();
}

void OperationQueue::Resume()
{
    // An operation asked for from inside another's retry wait lands in the
    // queue and runs here once that one is over.
    if (running_)
        return;
    running_ = true;
    while (!queue_.empty() && !(queue_.front().afterSettle && hooks_.settling && hooks_.settling())) {
        Pending next = std::move(queue_.front());
        queue_.pop_front();
        OperationResult result;
        if (next.operation) {
            // Asked for by someone who is no longer there to see it happen.
            if (std::string why = next.source.Abandoned(); !why.empty()) {
                result = {Outcome::Abandoned, "not carried out: " + why};
                if (hooks_.abandoned)
                    hooks_.abandoned(next, why);
            } else {
                result = next.operation();
            }
        }
        if (next.done)
            next.done(result);
        if (next.operation && hooks_.finished)
            hooks_.finished(result, next.source);
    }
    running_ = false;
    if (queue_.empty() && hooks_.idle)
        hooks_.idle();
}

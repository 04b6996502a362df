#pragma once

#include "SwitchTypes.h"

#include <cstddef>
#include <deque>
#include <functional>
#include <string>

// The switch's operations, one at a time in the order asked. One asked while
// another runs (from inside its retry wait) waits for it and is never
// dropped unasked: only one whose asker has gone, or whose time has run out,
// is not carried out when its turn comes. What may switch waits while the
// last write settles, and so does everything asked after it.
class OperationQueue
{
public:
    using Operation = std::function<OperationResult()>;
    using Done = std::function<void(const OperationResult&)>;

    struct Pending
    {
        Source source;
        std::string request;  // as the log names it: "select-rf1"
        Operation operation;  // none: only `done`, once all before it are over
        Done done;
        bool afterSettle = true;  // it may switch, so it waits for the settling
    };

    struct Hooks
    {
        std::function<bool()> settling;
        // A request not carried out, and why.
        std::function<void(const Pending&, const std::string& why)> abandoned;
        std::function<void(const OperationResult&, const Source&)> finished;
        // Nothing waits any more.
        std::function<void()> idle;
    };

    explicit OperationQueue(Hooks hooks) : hooks_(std::move(hooks)) {}

    // Queues `pending` and runs what may run now.
    void Add(Pending pending);
    // Runs what may run now: after a settling is over.
    void Resume();
    bool Running() const { return running_; }
    std::size_t Waiting() const { return queue_.size(); }

private:
    Hooks hooks_;
    std::deque<Pending> queue_;
    bool running_ = false;
};

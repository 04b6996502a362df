#pragma once

// The SCPI commands: one table of header patterns, each with the number of
// parameters it takes and its handler, and the resolution of a unit's
// header against it (relative to the last header of the same message).

#include "Identity.h"
#include "ScpiInstrument.h"
#include "ScpiLexer.h"
#include "ScpiStatus.h"

#include <functional>
#include <string>
#include <vector>

// What a handler may do: the session it runs in.
class ScpiContext
{
public:
    virtual ScpiInstrument& Instrument() = 0;
    virtual const ::Identity& Identification() const = 0;
    virtual ScpiStatus& Status() = 0;
    virtual void Answer(std::string text) = 0;
    // Runs a port operation started by `start`: nothing more is taken until
    // it is over, then `after` runs with how it went.
    virtual void Operate(std::function<void(ScpiInstrument::Done)> start, std::function<void(const OperationResult&)> after) = 0;
    // Runs `after` once every port operation asked for so far has finished;
    // nothing more is taken until then.
    virtual void AfterAll(std::function<void()> after) = 0;
    // The OPERation and QUEStionable conditions now.
    virtual std::uint16_t OperationCondition() const = 0;
    virtual std::uint16_t QuestionableCondition() const = 0;
    virtual bool MessageAvailable() const = 0;

protected:
    ~ScpiContext() = default;
};

using ScpiParameters = std::vector<ScpiParameter>;

// Runs the units of one message, in order, each against the command table.
class ScpiCommands
{
public:
    // A new message starts from the root of the command tree.
    void NewMessage() { path_.clear(); }
    void Run(ScpiContext& context, const ScpiUnit& unit);

private:
    std::vector<std::string> path_;  // the nodes before the last header's leaf
};

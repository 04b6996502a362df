#pragma once

#include "PortLayer.h"
#include "SwitchCore.h"

#include <QString>

#include <memory>

class OperationLog;
struct Invocation;

// The switch as every mode of the program sets it up: the system's ports as
// far as the invocation lets them go, the log, and --simulate.
class SwitchSetup
{
public:
    // nullptr, with the reason in `error`, when the log cannot be opened.
    static std::unique_ptr<SwitchSetup> Create(const Invocation& invocation, PortOptions options, QString* error);
    ~SwitchSetup();
    SwitchCore& Core() { return *core_; }
    // The operation log, nullptr without --log.
    OperationLog* Log() { return log_.get(); }
    // Without a window, a log that cannot be written is said on stderr.
    void ReportLogFailuresOnStderr();

private:
    SwitchSetup() = default;
    std::unique_ptr<OperationLog> log_;
    std::unique_ptr<SwitchCore> core_;
};

// The folder the program keeps what it makes in (the self-signed
// certificate): --state-dir, else the service's StateDirectory=
// ($STATE_DIRECTORY), else $XDG_STATE_HOME/rfswitch-panel, else
// ~/.local/state/rfswitch-panel.
QString StateFolder(const Invocation& invocation);

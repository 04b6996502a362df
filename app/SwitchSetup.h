#pragma once

#include "PortLayer.h"
#include "SwitchCore.h"
#include "SwitchSystem.h"

#include <QString>

#include <memory>

class OperationLog;
class RelayCycles;
struct Invocation;

// The switch as every mode of the program sets it up: the system's ports as
// far as the invocation lets them go, the log, --simulate, each board
// --board names (each with its own core and counts, all under one lock),
// and the relay cycle counts in the state folder (a file that cannot be read or written
// is said once on stderr and in the log; switching goes on).
class SwitchSetup
{
public:
    // nullptr, with the reason in `error`, when the log cannot be opened.
    static std::unique_ptr<SwitchSetup> Create(const Invocation& invocation, PortOptions options, QString* error);
    ~SwitchSetup();
    SwitchCore& Core() { return *core_; }
    // Every board served (--board), board 1 the Core(); nullptr where none is named.
    SwitchSystem* System() { return system_.get(); }
    // The operation log, nullptr without --log.
    OperationLog* Log() { return log_.get(); }
    // Without a window, a log that cannot be written is said on stderr.
    void ReportLogFailuresOnStderr();

private:
    SwitchSetup() = default;
    std::unique_ptr<OperationLog> log_;
    // Written last, after the core's final operations.
    std::unique_ptr<RelayCycles> cycles_;
    std::vector<std::unique_ptr<RelayCycles>> moreCycles_;
    std::vector<std::unique_ptr<PortIo>> morePorts_;
    std::unique_ptr<SwitchCore> core_;
    std::vector<std::unique_ptr<SwitchCore>> moreCores_;
    std::unique_ptr<SwitchSystem> system_;
};

// The folder the program keeps what it makes in (each board's relay cycle
// counts, the self-signed certificate): --state-dir, else the service's StateDirectory=
// ($STATE_DIRECTORY), else $XDG_STATE_HOME/rfswitch-panel, else
// ~/.local/state/rfswitch-panel.
QString StateFolder(const Invocation& invocation);

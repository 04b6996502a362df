#include "SwitchSetup.h"

#include "Console.h"
#include "Invocation.h"
#include "OperationLog.h"
#include "RelayCycles.h"

#include <QDir>

std::unique_ptr<SwitchSetup> SwitchSetup::Create(const Invocation& invocation, PortOptions options, QString* error)
{
    std::unique_ptr<SwitchSetup> setup(new SwitchSetup);
    // Before the port is touched: a log that cannot be kept is bad usage.
    if (!invocation.log.isEmpty()) {
        setup->log_ = OperationLog::Open(invocation.log, error);
        if (!setup->log_) {
            *error = QStringLiteral("--log %1").arg(*error);
            return nullptr;
        }
    }
    options.rawIo = invocation.rawIo;
    ConfigureSystemPorts(std::move(options));
    setup->cycles_ = std::make_unique<RelayCycles>(StateFolder(invocation));
    setup->cycles_->OnTrouble([log = setup->log_.get()](const std::string& why) {
        PrintLine(stderr, QStringLiteral("rfswitch-panel: warning: ") + QString::fromStdString(why));
        if (log)
            log->Append("warning: " + why);
    });
    setup->core_ = std::make_unique<SwitchCore>();
    // The setting it starts with, not a change: not logged.
    setup->core_->SetStartSettleTime(invocation.settleTime);
    setup->core_->SetLog(setup->log_.get());
    setup->core_->SetCycles(setup->cycles_.get());
    setup->core_->SetAllowSimulated(invocation.simulate);
    return setup;
}

SwitchSetup::~SwitchSetup() = default;

void SwitchSetup::ReportLogFailuresOnStderr()
{
    QObject::connect(core_.get(), &SwitchCore::LogFailed,
                     [](const QString& why) { PrintLine(stderr, QStringLiteral("rfswitch-panel: log not written: ") + why); });
}

QString StateFolder(const Invocation& invocation)
{
    if (!invocation.stateDir.isEmpty())
        return invocation.stateDir;
    // systemd's StateDirectory= may name several folders, separated by ':'.
    const QString service = qEnvironmentVariable("STATE_DIRECTORY").section(u':', 0, 0);
    if (!service.isEmpty())
        return service;
    const QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (!state.isEmpty() && QDir::isAbsolutePath(state))
        return state + QStringLiteral("/rfswitch-panel");
    return QDir::homePath() + QStringLiteral("/.local/state/rfswitch-panel");
}

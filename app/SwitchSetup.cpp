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
    // Each further board claims a port of its own through a layer of its own.
    const PortOptions boardOptions = options;
    ConfigureSystemPorts(std::move(options));
    const auto board = [&invocation, log = setup->log_.get()](PortIo& ports, std::unique_ptr<RelayCycles>& cycles) {
        cycles = std::make_unique<RelayCycles>(StateFolder(invocation));
        cycles->OnTrouble([log](const std::string& why) {
            PrintLine(stderr, QStringLiteral("rfswitch-panel: warning: ") + QString::fromStdString(why));
            if (log)
                log->Append("warning: " + why);
        });
        auto core = std::make_unique<SwitchCore>(ports);
        // The setting it starts with, not a change: not logged.
        core->SetStartSettleTime(invocation.settleTime);
        core->SetLog(log);
        core->SetCycles(cycles.get());
        core->SetAllowSimulated(invocation.simulate);
        return core;
    };
    setup->core_ = board(Ports(), setup->cycles_);
    if (!invocation.boards.empty()) {
        setup->system_ = std::make_unique<SwitchSystem>();
        setup->system_->Add(*setup->core_, invocation.boards.front().name.toStdString());
        for (std::size_t i = 1; i < invocation.boards.size(); ++i) {
            PortIo& ports = *setup->morePorts_.emplace_back(std::make_unique<PortLayer>(MakeSystemBackends(boardOptions)));
            setup->moreCores_.push_back(board(ports, setup->moreCycles_.emplace_back()));
            setup->system_->Add(*setup->moreCores_.back(), invocation.boards[i].name.toStdString());
        }
    }
    return setup;
}

SwitchSetup::~SwitchSetup() = default;

void SwitchSetup::ReportLogFailuresOnStderr()
{
    // Every board writes the one log, which tells the last board set up of a failure.
    const auto say = [](const QString& why) { PrintLine(stderr, QStringLiteral("rfswitch-panel: log not written: ") + why); };
    QObject::connect(core_.get(), &SwitchCore::LogFailed, say);
    for (const auto& core : moreCores_)
        QObject::connect(core.get(), &SwitchCore::LogFailed, say);
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

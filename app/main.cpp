#include "CommandLine.h"
#include "Messages.h"
#include "OperationLog.h"
#include "PortLayer.h"
#include "PortText.h"
#include "Settings.h"
#include "SwitchForm.h"

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>

#include <cstdio>
#include <memory>

namespace {

void Print(std::FILE* stream, const QString& text)
{
    std::fprintf(stream, "%s\n", text.toLocal8Bit().constData());
    std::fflush(stream);
}

// Qt aborts when it finds no display; a plain sentence serves better.
bool HasDisplay()
{
#if defined(Q_OS_LINUX) || defined(Q_OS_FREEBSD)
    return !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") || !qEnvironmentVariableIsEmpty("DISPLAY")
        || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
#else
    return true;
#endif
}

// The operation log, when asked for; a file that cannot be written is
// reported by the core once, and the program goes on.
std::unique_ptr<OperationLog> OpenLog(const Invocation& invocation, SwitchCore& core)
{
    if (invocation.log.isEmpty())
        return nullptr;
    auto log = std::make_unique<OperationLog>(invocation.log);
    core.SetLog(log.get());
    return log;
}

} // namespace

int main(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const Invocation invocation = ParseCommandLine(arguments);
    switch (invocation.mode) {
    case Invocation::Mode::Help:
        std::fputs(invocation.helpText.toLocal8Bit().constData(), stdout);
        return kExitVerified;
    case Invocation::Mode::Version:
        Print(stdout, QStringLiteral("rfswitch-panel " RFSWITCH_VERSION));
        return kExitVerified;
    case Invocation::Mode::Error:
        Print(stderr, QStringLiteral("rfswitch-panel: %1\nTry 'rfswitch-panel --help'.").arg(invocation.error));
        return kExitUsage;
    default:
        break;
    }

    PortOptions options;
    options.rawIo = invocation.rawIo;
    const std::int32_t address = invocation.port.value_or(RememberedAddress().value_or(888));

    if (invocation.mode == Invocation::Mode::Select || invocation.mode == Invocation::Mode::Query) {
        QCoreApplication app(argc, argv);
        // Nobody to ask here: an address that needs confirming is refused.
        ConfigureSystemPorts(options);
        SwitchCore core;
        QObject::connect(&core, &SwitchCore::LogFailed, [](const QString& why) { Print(stderr, QStringLiteral("rfswitch-panel: log not written: ") + why); });
        const auto log = OpenLog(invocation, core);
        const CommandOutcome outcome = RunSwitchCommand(invocation, core, address);
        Print(stdout, outcome.output);
        if (!outcome.error.isEmpty())
            Print(stderr, outcome.error);
        return outcome.exitCode;
    }

    if (!HasDisplay()) {
        Print(stderr, QStringLiteral("rfswitch-panel: no display to open the panel on (DISPLAY is not set); run it in a desktop "
                                     "session, or use --query, --select or --headless --listen, or "
                                     "QT_QPA_PLATFORM=offscreen for a panel nobody sees"));
        return kExitNoBoard;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Switch"));
    options.confirmNonStandard = [](std::int32_t base) {
        return QMessageBox::question(nullptr, QStringLiteral("Switch"), QString::fromStdString(NonStandardAddressQuestion(base)))
            == QMessageBox::Yes;
    };
    ConfigureSystemPorts(options);
    SwitchCore core;
    const auto log = OpenLog(invocation, core);
    SwitchForm form(SwitchFormContext{SystemVersionQuery, ShowMessageBox, &core});
    form.findChild<QLineEdit*>(QStringLiteral("ParallelText"))->setText(QString::number(address));
    QObject::connect(&form, &SwitchForm::AddressTaken, &RememberAddress);
    form.show();
    return app.exec();
}

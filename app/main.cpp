#include "CommandLine.h"
#include "Fonts.h"
#include "Messages.h"
#include "OperationLog.h"
#include "PortText.h"
#include "ScpiServer.h"
#include "SwitchForm.h"

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>

#include <chrono>
#include <cstdio>
#include <memory>

namespace {

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

// How long a vanished client keeps its slot: RFSWITCH_KEEPALIVE seconds
// (tests shorten it), else about two minutes.
std::chrono::seconds KeepAlive()
{
    bool set = false;
    const int seconds = qEnvironmentVariableIntValue("RFSWITCH_KEEPALIVE", &set);
    return std::chrono::seconds(set && seconds > 0 ? seconds : 120);
}

// The SCPI server, when --listen asks for one; nullptr with the reason
// printed when it cannot listen. Listening beyond loopback is announced on
// stderr and in the log; so is each client turned away.
std::unique_ptr<ScpiServer> Listen(const Invocation& invocation, SwitchSetup& setup)
{
    QString error;
    const auto allow = ParseAllowList(invocation.allow, &error);
    if (!allow) {
        Fail(kExitUsage, QStringLiteral("--allow ") + error);
        return nullptr;
    }
    ScpiServerOptions options;
    options.serial = invocation.serial;
    options.allow = *allow;
    options.idleTimeout = std::chrono::seconds(invocation.idleTimeout);
    options.keepAlive = KeepAlive();
    const auto where = ParseListenAddress(invocation.listen, &error);
    auto server = std::make_unique<ScpiServer>(setup.Core(), std::move(options));
    if (!where || !server->Listen(*where, &error)) {
        Fail(kExitUsage, QStringLiteral("--listen %1: %2").arg(invocation.listen, error));
        return nullptr;
    }
    PrintLine(stdout, QStringLiteral("listening on ") + server->Address());
    if (const QString warning = server->ExposureWarning(invocation.rawIo); !warning.isEmpty()) {
        PrintLine(stderr, QStringLiteral("rfswitch-panel: warning: ") + warning);
        if (OperationLog* log = setup.Log())
            log->Append("remote-server warning: " + warning.toStdString());
    }
    QObject::connect(server.get(), &ScpiServer::Refused, [](const QString& peer, const QString& why) {
        PrintLine(stderr, QStringLiteral("rfswitch-panel: refused %1: %2").arg(peer, why));
    });
    return server;
}

// Without a window: the server alone, on the address to start from. It
// shows the board as it finds it, so that a restart does not move the
// switch in the middle of a measurement; --reset clears it as the panel does.
int RunHeadless(const Invocation& invocation, int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QString error;
    const auto setup = SwitchSetup::Create(invocation, {}, &error);
    if (!setup)
        return Fail(kExitUsage, error);
    setup->ReportLogFailuresOnStderr();
    SwitchCore& core = setup->Core();
    const Source start{Source::Kind::StartUp, {}, false};
    if (invocation.reset)
        core.TakeAddress(StartAddress(invocation), true, start);
    else
        core.Attach(StartAddress(invocation), start);
    const auto server = Listen(invocation, *setup);
    if (!server)
        return kExitUsage;
    return app.exec();
}

} // namespace

int main(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const Invocation invocation = ParseCommandLine(arguments);
    if (const auto done = RunWithoutWindow(invocation, argc, argv))
        return *done;
    if (invocation.mode == Invocation::Mode::Headless)
        return RunHeadless(invocation, argc, argv);

    if (!HasDisplay())
        return Fail(kExitNoBoard, QStringLiteral("no display to open the panel on (DISPLAY is not set); run it in a desktop "
                                                 "session, or use --query, --select or --headless --listen, or "
                                                 "QT_QPA_PLATFORM=offscreen for a panel nobody sees"));

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Switch"));
    // The panel's face for every widget from the start: no other face is loaded.
    QApplication::setFont(PanelFont(8.25));
    PortOptions options;
    options.confirmNonStandard = [](std::int32_t base) {
        return QMessageBox::question(nullptr, QStringLiteral("Switch"), QString::fromStdString(NonStandardAddressQuestion(base)))
            == QMessageBox::Yes;
    };
    QString error;
    const auto setup = SwitchSetup::Create(invocation, std::move(options), &error);
    if (!setup)
        return Fail(kExitUsage, error);
    SwitchFormContext context;
    context.core = &setup->Core();
    SwitchForm form(std::move(context));
    form.findChild<QLineEdit*>(QStringLiteral("ParallelText"))->setText(QString::number(StartAddress(invocation)));
    std::unique_ptr<ScpiServer> server;
    if (!invocation.listen.isEmpty()) {
        server = Listen(invocation, *setup);
        if (!server)
            return kExitUsage;
        const QString warning = server->ExposureWarning(invocation.rawIo);
        auto refusal = std::make_shared<QString>();
        const auto show = [&form, &server, warning, refusal] {
            const int clients = server->Clients();
            QString note = QStringLiteral("Remote control on %1, %2 client%3")
                               .arg(server->Address()).arg(clients).arg(clients == 1 ? "" : "s");
            for (const QString& more : {warning.isEmpty() ? warning : QStringLiteral("Warning: ") + warning, *refusal})
                note += more.isEmpty() ? QString() : u'\n' + more;
            form.SetStatusNote(note);
        };
        QObject::connect(server.get(), &ScpiServer::ClientsChanged, &form, show);
        QObject::connect(server.get(), &ScpiServer::Refused, &form, [show, refusal](const QString& peer, const QString& why) {
            *refusal = QStringLiteral("Refused %1: %2").arg(peer, why);
            show();
        });
        show();
    }
    form.show();
    return app.exec();
}

#include "Composition.h"

#include "Console.h"
#include "Fonts.h"
#include "Invocation.h"
#include "Messages.h"
#include "OneShot.h"
#include "PortOwner.h"
#include "PortText.h"
#include "RemoteService.h"
#include "SwitchForm.h"
#include "StopSignals.h"
#include "SwitchSetup.h"

#include <QApplication>
#include <QEventLoop>

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

} // namespace

int RunPanel(const Invocation& invocation, int argc, char** argv)
{
    SayPortNote(invocation);
    if (!HasDisplay())
        return Fail(kExitNoBoard, QStringLiteral("no display to open the panel on (DISPLAY is not set): run it in a desktop "
                                                 "session, or over ssh -X from one; without a window, --query and --select "
                                                 "switch from scripts and --headless --http PORT serves the web page"));

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Switch"));
    // The panel's face for every widget from the start: no other face is loaded.
    QApplication::setFont(PanelFont(8.25));
    // The relay cycle counts are written on the way out.
    QuitOnStopSignals();
    PortOptions options;
    options.confirmNonStandard = [](std::int32_t base) {
        return AskQuestion(nullptr, QString::fromStdString(NonStandardAddressQuestion(base)));
    };
    QString error;
    const auto setup = SwitchSetup::Create(invocation, std::move(options), &error);
    if (!setup)
        return Fail(kExitUsage, error);
    PortOwner owner(setup->Core());
    SwitchFormContext context;
    context.core = &setup->Core();
    context.startPort = StartAddress(invocation);
    SwitchForm form(std::move(context));
    RemoteService::Failure failure;
    const auto remote = RemoteService::Start(invocation, *setup, &failure);
    if (!remote) {
        // Started from a menu, nobody reads standard error: the user sees why no panel opens.
        ShowMessageBox(nullptr, QMessageBox::Critical, QStringLiteral("The panel cannot start: ") + failure.words);
        return failure.code;
    }
    const auto show = [&form, &remote] { form.SetRemoteNote({remote->Clients(), remote->Lines()}); };
    QObject::connect(remote.get(), &RemoteService::Changed, &form, show);
    show();
    form.show();
    return app.exec();
}

// By default it shows the board as it finds it, so that a restart does not
// move the switch in the middle of a measurement; --power-on sets a path
// (off clears the registers as the panel does), --on-stop off terminates all
// ports on the way out. A power-on or stop write that fails is said, and
// the server goes on with the board as read back.
int RunHeadless(const Invocation& invocation, int argc, char** argv)
{
    SayPortNote(invocation);
    QCoreApplication app(argc, argv);
    QString error;
    const auto setup = SwitchSetup::Create(invocation, {}, &error);
    if (!setup)
        return Fail(kExitUsage, error);
    setup->ReportLogFailuresOnStderr();
    SwitchCore& core = setup->Core();
    const auto report = [](const char* when, RfPath path) {
        return [when, path](const OperationResult& result) {
            if (!result.Ok())
                PrintLine(stderr, QStringLiteral("rfswitch-panel: %1 %2: %3")
                                      .arg(QLatin1String(when), QLatin1String(PathName(BitsFor(path))), QString::fromStdString(result.detail)));
        };
    };
    const Source start{Source::Kind::StartUp, {}, false};
    if (invocation.powerOn == RfPath::Off) {
        core.TakeAddress(StartAddress(invocation), true, start, report("power-on", RfPath::Off));
    } else {
        core.Attach(StartAddress(invocation), start);
        // --power-on keep leaves it to the board: the setup its SYST:POS names, if any.
        const auto setup = invocation.powerOnSetup ? invocation.powerOnSetup : invocation.powerOn ? std::nullopt : core.PowerOnSetup();
        if (invocation.powerOn)
            core.Select(*invocation.powerOn, start, report("power-on", *invocation.powerOn));
        else if (setup)
            core.RecallSetup(*setup, start, [setup](const OperationResult& result) {
                if (!result.Ok())
                    PrintLine(stderr, QStringLiteral("rfswitch-panel: power-on rcl%1: %2").arg(*setup).arg(QString::fromStdString(result.detail)));
            });
    }
    // The other boards of --board: each at its port, set at start as board 1 is.
    std::vector<std::unique_ptr<PortOwner>> owners;
    for (int board = 2; setup->System() && board <= setup->System()->Count(); ++board) {
        SwitchCore& more = setup->System()->Core(board);
        const PortName& port = invocation.boards[std::size_t(board - 1)].port;
        if (invocation.powerOn == RfPath::Off) {
            more.TakeAddress(port, true, start, report("power-on", RfPath::Off));
        } else {
            more.Attach(port, start);
            if (invocation.powerOn)
                more.Select(*invocation.powerOn, start, report("power-on", *invocation.powerOn));
        }
        // --select and --query on its port are handed to this server too.
        owners.push_back(std::make_unique<PortOwner>(more));
    }
    QuitOnStopSignals();
    auto owner = std::make_unique<PortOwner>(core);
    RemoteService::Failure failure;
    auto remote = RemoteService::Start(invocation, *setup, &failure);
    if (!remote)
        return failure.code;
    const int code = app.exec();
    if (invocation.offOnStop) {
        // No client may switch after the stop's write: what they asked and
        // has not started is not carried out.
        remote.reset();
        owner.reset();
        bool done = false;
        QEventLoop stopped;
        core.Select(RfPath::Off, Source{Source::Kind::Stop, {}, false}, [&](const OperationResult& result) {
            report("on-stop", RfPath::Off)(result);
            done = true;
            stopped.quit();
        });
        // Behind a write that has not settled yet.
        if (!done)
            stopped.exec();
    }
    return code;
}

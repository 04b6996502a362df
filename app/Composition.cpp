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
#include "SwitchSystem.h"

#include <QApplication>
#include <QEventLoop>

#include <functional>
#include <memory>
#include <vector>

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

// A start-up or stop write that failed, on standard error:
// "rfswitch-panel: board 2: power-on rf1: …".
std::function<void(const OperationResult&)> SayFailure(const QString& what)
{
    return [what](const OperationResult& result) {
        if (!result.Ok())
            PrintLine(stderr, QStringLiteral("rfswitch-panel: %1: %2").arg(what, QString::fromStdString(result.detail)));
    };
}

// Sets a board at start as --power-on asks: off clears it, a path switches
// it there, keep (the default) reads it and recalls the setup its SYST:POS
// names, if any. A failure is said, `who` naming the board.
void StartBoard(SwitchCore& core, const PortName& port, const Invocation& invocation, const QString& who)
{
    const Source start{Source::Kind::StartUp, {}, false};
    if (invocation.powerOn == RfPath::Off) {
        core.TakeAddress(port, true, start, SayFailure(who + "power-on off"));
        return;
    }
    core.Attach(port, start);
    const auto recalled = invocation.powerOnSetup ? invocation.powerOnSetup : invocation.powerOn ? std::nullopt : core.PowerOnSetup();
    if (invocation.powerOn)
        core.Select(*invocation.powerOn, start, SayFailure(who + "power-on " + PathName(BitsFor(*invocation.powerOn))));
    else if (recalled)
        core.RecallSetup(*recalled, start, SayFailure(who + QStringLiteral("power-on rcl%1").arg(*recalled)));
}

// --board's boards beyond the first, each at its port and set at start;
// --select and --query on their ports are handed to this program too.
std::vector<std::unique_ptr<PortOwner>> StartOtherBoards(SwitchSetup& setup, const Invocation& invocation)
{
    std::vector<std::unique_ptr<PortOwner>> owners;
    for (int board = 2; setup.System() && board <= setup.System()->Count(); ++board) {
        SwitchCore& core = setup.System()->Core(board);
        StartBoard(core, invocation.boards[std::size_t(board - 1)].port, invocation, QStringLiteral("board %1: ").arg(board));
        owners.push_back(std::make_unique<PortOwner>(core));
    }
    return owners;
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
    // The window drives board 1; the others, served beside it, are set as a headless server's.
    const auto owners = StartOtherBoards(*setup, invocation);
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
    const int boards = BoardCount(core);
    StartBoard(core, StartAddress(invocation), invocation, boards > 1 ? QStringLiteral("board 1: ") : QString());
    auto owners = StartOtherBoards(*setup, invocation);
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
        owners.clear();
        // Every board terminated, behind writes that have not settled yet.
        int left = boards;
        QEventLoop stopped;
        for (int board = 1; board <= boards; ++board) {
            const auto said = SayFailure((boards > 1 ? QStringLiteral("board %1: ").arg(board) : QString()) + "on-stop off");
            BoardOf(core, board).Select(RfPath::Off, Source{Source::Kind::Stop, {}, false}, [&, said](const OperationResult& result) {
                said(result);
                if (--left == 0)
                    stopped.quit();
            });
        }
        if (left > 0)
            stopped.exec();
    }
    return code;
}

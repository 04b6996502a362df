#include "Composition.h"

#include "Console.h"
#include "Fonts.h"
#include "Invocation.h"
#include "Messages.h"
#include "PortOwner.h"
#include "PortText.h"
#include "RemoteControl.h"
#include "SwitchForm.h"
#include "SwitchSetup.h"

#include <QApplication>

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
    const auto remote = RemoteControl::Start(invocation, *setup);
    if (!remote)
        return kExitUsage;
    const auto show = [&form, &remote] { form.SetRemoteNote(remote->Note()); };
    QObject::connect(remote.get(), &RemoteControl::Changed, &form, show);
    show();
    form.show();
    return app.exec();
}

// It shows the board as it finds it, so that a restart does not move the
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
    PortOwner owner(core);
    const auto remote = RemoteControl::Start(invocation, *setup);
    if (!remote)
        return kExitUsage;
    return app.exec();
}

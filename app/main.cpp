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

int main(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const Invocation invocation = ParseCommandLine(arguments);
    if (const auto done = RunWithoutWindow(invocation, argc, argv))
        return *done;

    if (!HasDisplay()) {
        std::fputs("rfswitch-panel: no display to open the panel on (DISPLAY is not set); run it in a desktop session, "
                   "or use --query, --select or --headless --listen, or QT_QPA_PLATFORM=offscreen for a panel nobody sees\n",
                   stderr);
        return kExitNoBoard;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Switch"));
    PortOptions options;
    options.rawIo = invocation.rawIo;
    options.confirmNonStandard = [](std::int32_t base) {
        return QMessageBox::question(nullptr, QStringLiteral("Switch"), QString::fromStdString(NonStandardAddressQuestion(base)))
            == QMessageBox::Yes;
    };
    ConfigureSystemPorts(options);
    SwitchCore core;
    const auto log = OpenLog(invocation, core);
    SwitchForm form(SwitchFormContext{SystemVersionQuery, ShowMessageBox, &core});
    form.findChild<QLineEdit*>(QStringLiteral("ParallelText"))->setText(QString::number(StartAddress(invocation)));
    QObject::connect(&form, &SwitchForm::AddressTaken, &RememberAddress);
    form.show();
    return app.exec();
}

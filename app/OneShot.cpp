#include "OneShot.h"

#include "HandOver.h"
#include "OperationLog.h"
#include "PortText.h"
#include "SwitchSetup.h"

#include <QCoreApplication>
#include <QEventLoop>

#include <cstdio>

QString StateLine(const SwitchCore& core)
{
    const auto bits = core.State();
    if (!bits || !core.Status().Writable())
        return {};
    const PortName port = core.Port();
    const std::string& hardware = core.Hardware();
    const std::string what = port.ByDevice() ? port.device + (hardware.empty() ? "" : ", " + hardware)
                                             : Place(port.base) + " " + core.Status().device + (hardware.empty() ? "" : ", " + hardware);
    return QStringLiteral("port %1: C1=%2 C2=%3 %4")
        .arg(QString::fromStdString(what))
        .arg(int(bits->c1))
        .arg(int(bits->c2))
        .arg(QLatin1String(PathName(*bits)));
}

std::optional<CommandOutcome> CommandBeforeSwitching(const Invocation& invocation, const SwitchCore& core, const OperationResult& read)
{
    // "port 888 (0x378): why", or "port /dev/parport1: why" where the why does not start with the device already.
    const std::string label = PortLabel(core.Port());
    const auto where = [&label](const std::string& why) {
        return QString::fromStdString(why.compare(0, label.size() + 2, label + ": ") == 0 ? "port " + why : "port " + label + ": " + why);
    };
    const PortStatus& status = core.Status();
    if (status.reach == PortReach::Refused)
        return CommandOutcome{kExitUsage, {}, where(CommandLineWords(ReasonAndNextStep(status)))};
    if (!status.Writable())
        return CommandOutcome{kExitNoBoard, {}, where(CommandLineWords(ReasonAndNextStep(status)))};
    if (!read.Ok())
        return CommandOutcome{kExitNoBoard, {}, QString::fromStdString(read.detail)};
    // A script must never believe it switched, or read, a board that is not
    // driven: it says itself when a dry run is what it wants.
    if (!core.MayDrive(Source{Source::Kind::CommandLine, {}, invocation.simulate}))
        return CommandOutcome{kExitNoBoard, {}, where("only the simulated port is here: no board is driven; --simulate allows a dry run")};
    if (invocation.mode != Invocation::Mode::Select)
        return CommandOutcome{kExitVerified, StateLine(core), {}};
    return std::nullopt;
}

std::optional<CommandOutcome> FindLabel(Invocation& invocation, const SwitchCore& core)
{
    if (invocation.mode != Invocation::Mode::Select || invocation.selectLabel.isEmpty())
        return std::nullopt;
    const int channel = core.ChannelNamed(invocation.selectLabel.toStdString());
    if (channel == 0) {
        const ChannelLabels labels = core.Labels();
        QStringList named;
        for (const int c : {1, 2})
            if (!labels.Of(c).empty())
                named << QStringLiteral("RF%1 %2").arg(c).arg(QString::fromStdString(labels.Of(c)));
        return CommandOutcome{kExitUsage, {},
                              QStringLiteral("--select %1: no channel of port %2 is labelled so (%3)")
                                  .arg(invocation.selectLabel, QString::fromStdString(PortLabel(core.Port())),
                                       named.isEmpty() ? QStringLiteral("it has no labels; SCPI's ROUT:CHAN:LAB sets them")
                                                       : QStringLiteral("its labels: ") + named.join(QStringLiteral(", ")))};
    }
    invocation.path = channel == 1 ? RfPath::Rf1 : RfPath::Rf2;
    return std::nullopt;
}

CommandOutcome CommandAfterSwitching(const SwitchCore& core, const OperationResult& result)
{
    switch (result.outcome) {
    case Outcome::Verified:
        return {kExitVerified, StateLine(core), {}};
    case Outcome::NotReadBack:
    case Outcome::PortLost:
        return {kExitNotReadBack, StateLine(core), QString::fromStdString(result.detail)};
    case Outcome::NotWritten:
    case Outcome::Forbidden:
    case Outcome::Abandoned:
        break;
    }
    return {kExitNoBoard, StateLine(core), QString::fromStdString(CommandLineWords(result.detail))};
}

CommandOutcome RunSwitchCommand(Invocation invocation, SwitchCore& core, const PortName& port)
{
    const Source source{Source::Kind::CommandLine, {}, invocation.simulate};
    OperationResult read;
    core.Attach(port, source, [&](const OperationResult& result) { read = result; });
    if (auto ended = CommandBeforeSwitching(invocation, core, read))
        return *ended;
    if (auto ended = FindLabel(invocation, core))
        return *ended;
    OperationResult result;
    core.Select(invocation.path, source, [&](const OperationResult& r) { result = r; });
    // Done once the switch has settled; the wait is the event loop's, on a timer.
    if (core.Settling()) {
        QEventLoop settled;
        core.WhenSettled([&settled] { settled.quit(); });
        settled.exec();
    }
    return CommandAfterSwitching(core, result);
}

void SayPortNote(const Invocation& invocation)
{
    if (!invocation.portNote.isEmpty())
        PrintLine(stderr, QStringLiteral("rfswitch-panel: note: --port ") + invocation.portNote);
}

std::optional<int> RunWithoutWindow(const Invocation& invocation, int argc, char** argv)
{
    switch (invocation.mode) {
    case Invocation::Mode::Help:
        std::fputs(invocation.helpText.toLocal8Bit().constData(), stdout);
        return kExitVerified;
    case Invocation::Mode::Version:
        PrintLine(stdout, QStringLiteral("rfswitch-panel " RFSWITCH_VERSION));
        return kExitVerified;
    case Invocation::Mode::Error:
        return Fail(kExitUsage, invocation.error);
    case Invocation::Mode::ListPorts: {
        const std::vector<std::string> ports = ListSystemPorts();
        for (const std::string& line : ports)
            PrintLine(stdout, QString::fromStdString(line));
        return ports.empty() ? Fail(kExitNoBoard, QString::fromStdString(NoPortsFound())) : kExitVerified;
    }
    case Invocation::Mode::Select:
    case Invocation::Mode::Query:
        break;
    default:
        return std::nullopt;
    }
    SayPortNote(invocation);
    QCoreApplication app(argc, argv);
    QString error;
    // Nobody to ask here: an address that needs confirming is refused.
    const auto setup = SwitchSetup::Create(invocation, {}, &error);
    if (!setup)
        return Fail(kExitUsage, error);
    setup->ReportLogFailuresOnStderr();
    // Where a panel or server of this program owns the port, it does the
    // work, if it holds the port on the board this process would find there.
    const PortName port = StartAddress(invocation);
    const auto simulatedHere = [&port] {
        const PortStatus status = port.ByDevice() ? Ports().OpenDevice(port.device) : Ports().Open(port.base);
        Ports().Close();
        return status.IsSimulated();
    };
    const auto handedOver = HandOver(invocation, port, simulatedHere);
    // Its log lines go to this command line's log too.
    if (OperationLog* log = setup->Log(); log && handedOver)
        for (const std::string& line : handedOver->log)
            log->Append(line);
    const CommandOutcome outcome = handedOver ? handedOver->outcome : RunSwitchCommand(invocation, setup->Core(), port);
    if (!outcome.output.isEmpty())
        PrintLine(stdout, outcome.output);
    if (!outcome.error.isEmpty())
        PrintLine(stderr, QStringLiteral("rfswitch-panel: ") + outcome.error);
    return outcome.exitCode;
}

#include "CommandLine.h"

#include "AddressText.h"
#include "OperationLog.h"
#include "PortText.h"
#include "Settings.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>


namespace {

const QString kDescription = QStringLiteral(
    "Control panel for an RF switch test board on the parallel port.\n"
    "Without --select, --query or --headless it opens the panel.\n"
    "In the panel, Ctrl+1, Ctrl+2 and Ctrl+0 select RF1, RF2 and all terminated.\n"
    "Exit codes of --select and --query: 0 verified, 1 a write was not read back,\n"
    "2 bad usage or an address no port may be at, 3 the port is unusable or only\n"
    "simulated (see --simulate).");

} // namespace

void PrintLine(std::FILE* stream, const QString& text)
{
    std::fprintf(stream, "%s\n", text.toLocal8Bit().constData());
    std::fflush(stream);
}

PortOptions PortOptionsFor(const Invocation& invocation)
{
    PortOptions options;
    options.rawIo = invocation.rawIo;
    return options;
}

void ReportLogFailuresOnStderr(SwitchCore& core)
{
    QObject::connect(&core, &SwitchCore::LogFailed,
                     [](const QString& why) { PrintLine(stderr, QStringLiteral("rfswitch-panel: log not written: ") + why); });
}

Invocation ParseCommandLine(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(kDescription);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help and exit."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")}, QStringLiteral("Show the version and exit."));
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("The port's base address for this run, in decimal or as &H378 "
                                                 "(default: the address last taken, else 888)."),
                                  QStringLiteral("ADDRESS"));
    const QCommandLineOption select(QStringLiteral("select"),
                                    QStringLiteral("Without a window: connect RF COMMON to rf1 or rf2, or terminate all "
                                                   "ports (off), break-before-make; print the state and exit."),
                                    QStringLiteral("rf1|rf2|off"));
    const QCommandLineOption query(QStringLiteral("query"), QStringLiteral("Without a window: print the state the port holds and exit."));
    const QCommandLineOption simulate(QStringLiteral("simulate"),
                                      QStringLiteral("Accept the simulated port where no parallel port is (a dry run)."));
    const QCommandLineOption rawIo(QStringLiteral("raw-io"),
                                   QStringLiteral("Last resort for a parallel port that no driver serves: reach it "
                                                  "through /dev/port (standard bases and PCI parallel ports only)."));
    const QCommandLineOption log(QStringLiteral("log"), QStringLiteral("Append one line per port operation to FILE."),
                                 QStringLiteral("FILE"));
    const QCommandLineOption listen(QStringLiteral("listen"),
                                    QStringLiteral("Answer SCPI commands on TCP (port 5025 by convention; host 127.0.0.1 "
                                                   "unless given; port 0 picks a free one)."),
                                    QStringLiteral("[HOST:]PORT"));
    const QCommandLineOption headless(QStringLiteral("headless"), QStringLiteral("With --listen: serve without a window."));
    parser.addOptions({help, version, port, select, query, simulate, rawIo, log, listen, headless});

    Invocation invocation;
    // Without an application object Qt cannot name the program itself.
    invocation.helpText = parser.helpText().replace(QStringLiteral("<executable_name>"), QStringLiteral("rfswitch-panel"));
    const auto fail = [&](const QString& why) {
        invocation.mode = Invocation::Mode::Error;
        invocation.error = why;
        return invocation;
    };
    if (!parser.parse(arguments))
        return fail(parser.errorText());
    if (!parser.positionalArguments().isEmpty())
        return fail(QStringLiteral("unexpected argument \"%1\"").arg(parser.positionalArguments().first()));
    if (parser.isSet(help)) {
        invocation.mode = Invocation::Mode::Help;
        return invocation;
    }
    if (parser.isSet(version)) {
        invocation.mode = Invocation::Mode::Version;
        return invocation;
    }
    if (parser.isSet(port)) {
        invocation.portText = parser.value(port);
        const auto address = AddressFromText(invocation.portText.toStdString());
        if (!address || !CheckedAdd(*address, 2))
            return fail(QStringLiteral("\"%1\" is not a usable port address").arg(invocation.portText));
        invocation.port = *address;
    }
    invocation.simulate = parser.isSet(simulate);
    invocation.rawIo = parser.isSet(rawIo);
    invocation.log = parser.value(log);
    invocation.listen = parser.value(listen);
    const int actions = int(parser.isSet(select)) + int(parser.isSet(query)) + int(parser.isSet(headless));
    if (actions > 1)
        return fail(QStringLiteral("--select, --query and --headless do not go together"));
    if (parser.isSet(select)) {
        const QString path = parser.value(select).toLower();
        if (path == QLatin1String("rf1"))
            invocation.path = RfPath::Rf1;
        else if (path == QLatin1String("rf2"))
            invocation.path = RfPath::Rf2;
        else if (path != QLatin1String("off"))
            return fail(QStringLiteral("--select takes rf1, rf2 or off, not \"%1\"").arg(parser.value(select)));
        invocation.mode = Invocation::Mode::Select;
    } else if (parser.isSet(query)) {
        invocation.mode = Invocation::Mode::Query;
    } else if (parser.isSet(headless)) {
        if (invocation.listen.isEmpty())
            return fail(QStringLiteral("--headless needs --listen"));
        invocation.mode = Invocation::Mode::Headless;
    }
    if (!invocation.listen.isEmpty() && (invocation.mode == Invocation::Mode::Select || invocation.mode == Invocation::Mode::Query))
        return fail(QStringLiteral("--listen does not go with --select or --query"));
    return invocation;
}

QString StateLine(const SwitchCore& core)
{
    const PortStatus& status = core.Status();
    const std::int32_t address = core.Address();
    QString line = QStringLiteral("port %1").arg(address);
    if (address >= 1)
        line += QStringLiteral(" (%1)").arg(QString::fromStdString(HexAddress(address)));
    if (!status.device.empty())
        line += u' ' + QString::fromStdString(status.device);
    if (!status.Writable()) {
        line += QStringLiteral(": ") + QString::fromStdString(status.reason);
        if (!status.nextStep.empty())
            line += QStringLiteral("; ") + QString::fromStdString(status.nextStep);
        return line;
    }
    const ControlBits bits = core.Bits();
    return line + QStringLiteral(": C1=%1 C2=%2 %3").arg(int(bits.c1)).arg(int(bits.c2)).arg(QLatin1String(PathName(bits)));
}

CommandOutcome RunSwitchCommand(const Invocation& invocation, SwitchCore& core, std::int32_t address)
{
    OperationResult attached;
    core.Attach(address, Source::CommandLine, [&](const OperationResult& result) { attached = result; });
    const PortStatus& status = core.Status();
    if (status.reach == PortReach::Refused)
        return {kExitUsage, StateLine(core), {}};
    if (!status.Writable() || attached.outcome != Outcome::Verified)
        return {kExitNoBoard, StateLine(core), QString::fromStdString(attached.detail)};
    // A script must never believe it switched a board that is not driven.
    if (status.IsSimulated() && !invocation.simulate)
        return {kExitNoBoard, StateLine(core) + QStringLiteral(" (simulated: no board is driven; --simulate allows a dry run)"), {}};
    OperationResult result;
    if (invocation.mode == Invocation::Mode::Select)
        core.Select(invocation.path, Source::CommandLine, [&](const OperationResult& r) { result = r; });
    const int code = result.outcome == Outcome::Verified      ? kExitVerified
                     : result.outcome == Outcome::NotReadBack ? kExitNotReadBack
                                                              : kExitNoBoard;
    return {code, StateLine(core), QString::fromStdString(result.detail)};
}

std::int32_t StartAddress(const Invocation& invocation)
{
    return invocation.port.value_or(RememberedAddress().value_or(888));
}

std::unique_ptr<OperationLog> OpenLog(const Invocation& invocation, SwitchCore& core)
{
    if (invocation.log.isEmpty())
        return nullptr;
    auto log = std::make_unique<OperationLog>(invocation.log);
    core.SetLog(log.get());
    return log;
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
        PrintLine(stderr, QStringLiteral("rfswitch-panel: %1\nTry 'rfswitch-panel --help'.").arg(invocation.error));
        return kExitUsage;
    case Invocation::Mode::Select:
    case Invocation::Mode::Query:
        break;
    default:
        return std::nullopt;
    }
    QCoreApplication app(argc, argv);
    // Nobody to ask here: an address that needs confirming is refused.
    ConfigureSystemPorts(PortOptionsFor(invocation));
    SwitchCore core;
    ReportLogFailuresOnStderr(core);
    const auto log = OpenLog(invocation, core);
    const CommandOutcome outcome = RunSwitchCommand(invocation, core, StartAddress(invocation));
    PrintLine(stdout, outcome.output);
    if (!outcome.error.isEmpty())
        PrintLine(stderr, outcome.error);
    return outcome.exitCode;
}

#include "Invocation.h"

#include "AddressText.h"

#include <QCommandLineParser>
#include <QRegularExpression>

namespace {

const QString kDescription = QStringLiteral(
    "Control panel for an RF switch test board on the parallel port.\n"
    "Without --select, --query or --headless it opens the panel.\n"
    "In the panel, Ctrl+1, Ctrl+2 and Ctrl+0 select RF1, RF2 and all terminated,\n"
    "and a right click on the address box offers the parallel ports found.\n"
    "Exit codes of --select and --query: 0 verified, 1 a write was not read back,\n"
    "2 bad usage or an address no port may be at, 3 nothing was switched: the port\n"
    "is unusable, could not be read or written, or is only simulated (see\n"
    "--simulate). --list-ports exits 3 where it finds no port. A server exits 4\n"
    "where it cannot listen: a port in use, an address not this machine's.");

} // namespace

std::optional<std::int32_t> PortArgument(const QString& text)
{
    static const QRegularExpression decimal(QStringLiteral("^[0-9]{1,10}$")), cHex(QStringLiteral("^0[xX]([0-9A-Fa-f]{1,8})$")),
        radix(QStringLiteral("^&([hH][0-9A-Fa-f]{1,8}|[oO][0-7]{1,11})$"));
    std::optional<std::int32_t> address;
    if (decimal.match(text).hasMatch() || radix.match(text).hasMatch())
        address = AddressFromText(text.toStdString());
    else if (const auto hex = cHex.match(text); hex.hasMatch())
        address = AddressFromText("&H0" + hex.captured(1).toStdString());
    if (!address || *address < kFirstPortAddress || *address > kLastPortAddress)
        return std::nullopt;
    return address;
}

Invocation ParseCommandLine(const QStringList& arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(kDescription);
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, QStringLiteral("Show this help and exit."));
    const QCommandLineOption version({QStringLiteral("v"), QStringLiteral("version")}, QStringLiteral("Show the version and exit."));
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("The port's base address for this run: 888, 0x378 or &H378 (default 888), "
                                                 "or its device, e.g. /dev/parport1 (a USB adapter has no address)."),
                                  QStringLiteral("ADDRESS"));
    const QCommandLineOption listPorts(QStringLiteral("list-ports"),
                                       QStringLiteral("Print every parallel port: device, base address, hardware, modes, "
                                                      "holder, and whether this program can use it; then exit."));
    const QCommandLineOption select(QStringLiteral("select"),
                                    QStringLiteral("Without a window: connect RF COMMON to rf1 or rf2 (or the channel "
                                                   "the board's label names), or terminate all ports (off), "
                                                   "break-before-make; print the state and exit."),
                                    QStringLiteral("rf1|rf2|off|LABEL"));
    const QCommandLineOption query(QStringLiteral("query"),
                                   QStringLiteral("Without a window: print the state the port holds and exit; writes nothing."));
    const QCommandLineOption simulate(QStringLiteral("simulate"),
                                      QStringLiteral("Accept the simulated port where no parallel port is (a dry run)."));
    const QCommandLineOption rawIo(QStringLiteral("raw-io"),
                                   QStringLiteral("Last resort for a parallel port that no driver serves: reach it "
                                                  "through /dev/port (standard bases and PCI parallel ports only)."));
    const QCommandLineOption log(QStringLiteral("log"),
                                 QStringLiteral("Append one line per port operation to FILE (- for standard output)."),
                                 QStringLiteral("FILE"));
    const QCommandLineOption listen(QStringLiteral("listen"),
                                    QStringLiteral("Answer SCPI commands on TCP (port 5025 by convention; host 127.0.0.1 "
                                                   "unless given, a name serves each of its addresses; port 0 picks a free one)."),
                                    QStringLiteral("[HOST:]PORT"));
    const QCommandLineOption http(QStringLiteral("http"),
                                  QStringLiteral("Serve the switch's web page, its LXI identification and an HTTP API "
                                                 "(host 127.0.0.1 unless given; port 0 picks a free one)."),
                                  QStringLiteral("[HOST:]PORT"));
    const QCommandLineOption rawSocket(QStringLiteral("raw-socket"),
                                       QStringLiteral("With --listen (the default, but with --tls-required): answer SCPI in "
                                                      "plain text at --listen's address, as VISA's TCPIP0::HOST::PORT::SOCKET."));
    const QCommandLineOption vxi11(QStringLiteral("vxi11"),
                                   QStringLiteral("With --listen (the default, but with --tls-required): answer VXI-11 too, "
                                                  "in plain text, as VISA's TCPIP0::HOST::inst0::INSTR, found through the port mapper."));
    const QCommandLineOption noVxi11(QStringLiteral("no-vxi11"), QStringLiteral("With --listen: no VXI-11."));
    const QCommandLineOption hislip(QStringLiteral("hislip"),
                                    QStringLiteral("With --listen: answer HiSLIP here, as VISA's TCPIP0::HOST::hislip0::INSTR "
                                                   "(default: on, --listen's host, port 4880; port 0 where --listen's is 0)."),
                                    QStringLiteral("[HOST:]PORT"));
    const QCommandLineOption noHislip(QStringLiteral("no-hislip"), QStringLiteral("With --listen: no HiSLIP."));
    const QCommandLineOption https(QStringLiteral("https"),
                                   QStringLiteral("Serve the web page and its API over TLS (host 127.0.0.1 unless given)."),
                                   QStringLiteral("[HOST:]PORT"));
    const QCommandLineOption tlsCert(QStringLiteral("tls-cert"),
                                     QStringLiteral("The certificate (PEM) for HiSLIP's TLS and HTTPS, with --tls-key "
                                                    "(default: a self-signed one made at first start in the state folder)."),
                                     QStringLiteral("FILE"));
    const QCommandLineOption tlsKey(QStringLiteral("tls-key"), QStringLiteral("The certificate's private key (PEM)."),
                                    QStringLiteral("FILE"));
    const QCommandLineOption tlsRequired(QStringLiteral("tls-required"),
                                         QStringLiteral("Encrypted control only: refuse HiSLIP sessions that do not encrypt, "
                                                        "serve the web page only over HTTPS, and open the raw socket and "
                                                        "VXI-11 only where --raw-socket and --vxi11 ask for them."));
    const QCommandLineOption stateDir(QStringLiteral("state-dir"),
                                      QStringLiteral("Where to keep what the program keeps across runs: each board's relay "
                                                     "cycle counts and limit, and the server's certificate (default: "
                                                     "$XDG_STATE_HOME/rfswitch-panel)."),
                                      QStringLiteral("DIR"));
    const QCommandLineOption headless(QStringLiteral("headless"),
                                      QStringLiteral("With --listen, --http or --https: serve without a window, starting "
                                                     "from the state the board is in (see --power-on)."));
    const QCommandLineOption reset(QStringLiteral("reset"), QStringLiteral("With --headless: the same as --power-on off."));
    const QCommandLineOption powerOn(QStringLiteral("power-on"),
                                     QStringLiteral("With --headless: the path to set at start, break-before-make; keep (the "
                                                    "default) reads the board and writes nothing, or recalls the setup "
                                                    "SYST:POS names; off also clears the control register; rcl0 to rcl9 "
                                                    "recall a saved setup (*SAV)."),
                                     QStringLiteral("keep|off|rf1|rf2|rclN"));
    const QCommandLineOption onStop(QStringLiteral("on-stop"),
                                    QStringLiteral("With --headless: off terminates all ports when the server stops (SIGTERM, "
                                                   "SIGINT); keep (the default) leaves the path as it is."),
                                    QStringLiteral("keep|off"));
    const QCommandLineOption settleTime(QStringLiteral("settle-time"),
                                        QStringLiteral("How long the switch needs to settle after a write: an operation is "
                                                       "complete, and the next switching starts, only after it (0 to 60000, "
                                                       "default 0)."),
                                        QStringLiteral("MS"));
    const QCommandLineOption allow(QStringLiteral("allow"),
                                   QStringLiteral("With --listen, --http or --https: let in only clients from this "
                                                  "subnet (repeatable; without it, any client that reaches the address)."),
                                   QStringLiteral("ADDRESS/PREFIX"));
    const QCommandLineOption idleTimeout(QStringLiteral("idle-timeout"),
                                         QStringLiteral("With --listen: close a connection that sends no command for this long."),
                                         QStringLiteral("SECONDS"));
    const QCommandLineOption serial(QStringLiteral("serial"),
                                    QStringLiteral("With --listen, --http or --https: the serial number *IDN? and the "
                                                  "LXI identification report (default 0)."), QStringLiteral("TEXT"));
    const QCommandLineOption board(QStringLiteral("board"),
                                   QStringLiteral("Once for each board served, the panel's window showing board 1: its port as --port reads it, "
                                                  "a name for it before '=' where wanted (bench=0x278); boards are numbered 1, 2, … "
                                                  "in order, and channel 202 is RF2 of board 2."),
                                   QStringLiteral("[NAME=]PORT"));
    parser.addOption(board);
    parser.addOptions({help, version, port, listPorts, select, query, simulate, rawIo, log, listen, rawSocket, vxi11, noVxi11, hislip, noHislip,
                       http, https, tlsCert, tlsKey, tlsRequired, stateDir, headless, reset, powerOn, onStop, settleTime, allow,
                       idleTimeout, serial});

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
        if (const auto device = DeviceFromText(parser.value(port).toStdString()))
            invocation.port = PortName(*device);
        else if (const auto address = PortArgument(parser.value(port)))
            invocation.port = PortName(*address);
        // In the user's own words, as the address box says it.
        const AddressReading reading = ReadAddress(parser.value(port).toStdString());
        if (!invocation.port) {
            const QString why = reading.problem.empty() ? QStringLiteral("\"%1\" is not a port address").arg(parser.value(port))
                                                        : QString::fromStdString(reading.problem);
            return fail(QStringLiteral("--port: %1: type it as 888, 0x378 or &H378, between 1 and 65533, or a device such "
                                       "as /dev/parport1").arg(why));
        }
        invocation.portNote = QString::fromStdString(reading.note);
    }
    for (const QString& given : parser.values(board)) {
        const qsizetype equals = given.indexOf(u'=');
        const QString name = equals < 0 ? QString() : given.left(equals);
        const QString where = given.mid(equals + 1);
        std::optional<PortName> at;
        if (const auto device = DeviceFromText(where.toStdString()))
            at = PortName(*device);
        else if (const auto address = PortArgument(where))
            at = PortName(*address);
        if (!at)
            return fail(QStringLiteral("--board %1: \"%2\" is not a port: type it as 888, 0x378 or &H378, or a device such as /dev/parport1")
                            .arg(given, where));
        if (equals >= 0 && !LabelProblem(name.toStdString()).empty())
            return fail(QStringLiteral("--board %1: a board's name is a letter, then letters, digits or '_', 12 at most").arg(given));
        for (std::size_t board = 0; board < invocation.boards.size(); ++board)
            if (invocation.boards[board].port == *at)
                return fail(QStringLiteral("--board %1: \"%2\" is board %3's already: give each board a port of its own")
                                .arg(given, where).arg(board + 1));
        invocation.boards.push_back({name, *at});
    }
    if (!invocation.boards.empty()) {
        if (parser.isSet(port))
            return fail(QStringLiteral("--port and --board do not go together: the first --board is board 1"));
        invocation.port = invocation.boards.front().port;
    }
    invocation.simulate = parser.isSet(simulate);
    invocation.rawIo = parser.isSet(rawIo);
    if (parser.isSet(settleTime)) {
        bool number = false;
        const int milliseconds = parser.value(settleTime).toInt(&number);
        if (!number || milliseconds < 0 || milliseconds > 60000)
            return fail(QStringLiteral("--settle-time takes a number of milliseconds from 0 to 60000, not \"%1\"").arg(parser.value(settleTime)));
        invocation.settleTime = std::chrono::milliseconds(milliseconds);
    }
    if (parser.isSet(reset) && parser.isSet(powerOn))
        return fail(QStringLiteral("--reset is --power-on off: give one of them"));
    if (parser.isSet(reset))
        invocation.powerOn = RfPath::Off;
    if (parser.isSet(powerOn)) {
        const QString path = parser.value(powerOn).toLower();
        if (path == QLatin1String("off"))
            invocation.powerOn = RfPath::Off;
        else if (path == QLatin1String("rf1"))
            invocation.powerOn = RfPath::Rf1;
        else if (path == QLatin1String("rf2"))
            invocation.powerOn = RfPath::Rf2;
        else if (static const QRegularExpression setup(QStringLiteral("^rcl([0-9])$")); setup.match(path).hasMatch())
            invocation.powerOnSetup = path.back().digitValue();
        else if (path != QLatin1String("keep"))
            return fail(QStringLiteral("--power-on takes keep, off, rf1, rf2 or rcl0 to rcl9, not \"%1\"").arg(parser.value(powerOn)));
    }
    if (parser.isSet(onStop)) {
        const QString what = parser.value(onStop).toLower();
        if (what != QLatin1String("keep") && what != QLatin1String("off"))
            return fail(QStringLiteral("--on-stop takes keep or off, not \"%1\"").arg(parser.value(onStop)));
        invocation.offOnStop = what == QLatin1String("off");
    }
    invocation.log = parser.value(log);
    invocation.listen = parser.value(listen);
    invocation.http = parser.value(http);
    invocation.https = parser.value(https);
    invocation.hislipAddress = parser.value(hislip);
    invocation.tlsCertificate = parser.value(tlsCert);
    invocation.tlsKey = parser.value(tlsKey);
    invocation.tlsRequired = parser.isSet(tlsRequired);
    invocation.stateDir = parser.value(stateDir);
    invocation.allow = parser.values(allow);
    if (parser.isSet(idleTimeout)) {
        bool number = false;
        invocation.idleTimeout = parser.value(idleTimeout).toInt(&number);
        if (!number || invocation.idleTimeout < 1)
            return fail(QStringLiteral("--idle-timeout takes a number of seconds from 1 on, not \"%1\"").arg(parser.value(idleTimeout)));
    }
    if (parser.isSet(serial)) {
        // *IDN? separates its fields with commas and its answers with ';'.
        static const QRegularExpression field(QStringLiteral("^[!-+\\--:<-~]{1,64}$"));
        invocation.serial = parser.value(serial);
        if (!field.match(invocation.serial).hasMatch())
            return fail(QStringLiteral("--serial takes 1 to 64 printable characters without blanks, ',' or ';', not \"%1\"")
                            .arg(invocation.serial));
    }
    const bool serving = !invocation.listen.isEmpty() || !invocation.http.isEmpty() || !invocation.https.isEmpty();
    if (!serving && (parser.isSet(allow) || parser.isSet(serial)))
        return fail(QStringLiteral("--allow and --serial go with --listen, --http or --https"));
    if (invocation.listen.isEmpty() && parser.isSet(idleTimeout))
        return fail(QStringLiteral("--idle-timeout goes with --listen"));
    const int actions = int(parser.isSet(select)) + int(parser.isSet(query)) + int(parser.isSet(headless))
        + int(parser.isSet(listPorts));
    if (actions > 1)
        return fail(QStringLiteral("--select, --query, --headless and --list-ports do not go together"));
    if (!invocation.boards.empty() && (parser.isSet(select) || parser.isSet(query) || parser.isSet(listPorts)))
        return fail(QStringLiteral("--board goes with the panel or --headless: --select and --query reach a board by its --port"));
    if (parser.isSet(listPorts)) {
        invocation.mode = Invocation::Mode::ListPorts;
        return invocation;
    }
    if (parser.isSet(select)) {
        const QString path = parser.value(select).toLower();
        if (path == QLatin1String("rf1"))
            invocation.path = RfPath::Rf1;
        else if (path == QLatin1String("rf2"))
            invocation.path = RfPath::Rf2;
        else if (LabelProblem(parser.value(select).toStdString()).empty())
            invocation.selectLabel = parser.value(select);
        else if (path != QLatin1String("off"))
            return fail(QStringLiteral("--select takes rf1, rf2, off or a channel's label (a letter, then letters, digits or '_', "
                                       "12 at most), not \"%1\"").arg(parser.value(select)));
        invocation.mode = Invocation::Mode::Select;
    } else if (parser.isSet(query)) {
        invocation.mode = Invocation::Mode::Query;
    } else if (parser.isSet(headless)) {
        if (!serving)
            return fail(QStringLiteral("--headless needs --listen, --http or --https"));
        invocation.mode = Invocation::Mode::Headless;
    }
    if (serving && (invocation.mode == Invocation::Mode::Select || invocation.mode == Invocation::Mode::Query))
        return fail(QStringLiteral("--listen, --http and --https do not go with --select or --query"));
    if (parser.isSet(vxi11) && parser.isSet(noVxi11))
        return fail(QStringLiteral("--vxi11 and --no-vxi11 do not go together"));
    if ((parser.isSet(vxi11) || parser.isSet(noVxi11)) && invocation.listen.isEmpty())
        return fail(QStringLiteral("--vxi11 and --no-vxi11 go with --listen"));
    // Encrypted control only: what runs in plain text is opened by name alone.
    invocation.vxi11 = invocation.tlsRequired ? parser.isSet(vxi11) : !parser.isSet(noVxi11);
    invocation.rawSocket = !invocation.tlsRequired || parser.isSet(rawSocket);
    if (parser.isSet(rawSocket) && invocation.listen.isEmpty())
        return fail(QStringLiteral("--raw-socket goes with --listen"));
    if (!invocation.listen.isEmpty() && !invocation.rawSocket && !invocation.vxi11 && parser.isSet(noHislip))
        return fail(QStringLiteral("--listen with --tls-required and --no-hislip serves nothing: name --raw-socket or --vxi11 to serve plain text"));
    if (parser.isSet(hislip) && parser.isSet(noHislip))
        return fail(QStringLiteral("--hislip and --no-hislip do not go together"));
    if ((parser.isSet(hislip) || parser.isSet(noHislip)) && invocation.listen.isEmpty())
        return fail(QStringLiteral("--hislip and --no-hislip go with --listen"));
    invocation.hislip = !parser.isSet(noHislip);
    if (invocation.tlsCertificate.isEmpty() != invocation.tlsKey.isEmpty())
        return fail(QStringLiteral("--tls-cert and --tls-key go together"));
    if (!serving && (parser.isSet(tlsCert) || parser.isSet(tlsRequired)))
        return fail(QStringLiteral("--tls-cert, --tls-key and --tls-required go with --listen, --http or --https"));
    if (invocation.tlsRequired && !invocation.http.isEmpty())
        return fail(QStringLiteral("--tls-required serves the web page over HTTPS only: use --https in place of --http"));
    if ((parser.isSet(reset) || parser.isSet(powerOn) || parser.isSet(onStop)) && invocation.mode != Invocation::Mode::Headless)
        return fail(QStringLiteral("--reset, --power-on and --on-stop go with --headless (the panel always clears the board at start)"));
    return invocation;
}

PortName StartAddress(const Invocation& invocation)
{
    return invocation.port.value_or(PortName(888));
}

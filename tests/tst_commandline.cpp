#include "OneShot.h"
#include "FakePort.h"
#include "Invocation.h"
#include "PortOwner.h"
#include "Program.h"
#include "Table.h"

#include <QDateTime>
#include <QDir>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <QStandardPaths>

#include <csignal>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {

// The lines of a log file that hold `part`, without their time.
QString LogLines(const QString& path, const QString& part = {})
{
    QString lines;
    for (const QString& line : ReadText(path).split(u'\n', Qt::SkipEmptyParts))
        if (line.contains(part))
            lines += line.mid(line.indexOf(u' ') + 1) + u'\n';
    return lines;
}

// The options a run was given, as the test reads them back from the parsed
// invocation: only what differs from a plain start shows.
QString Described(const Invocation& invocation)
{
    static const char* const modes[] = {"panel", "headless", "select", "query", "list-ports", "help", "version", "error"};
    QStringList said{QString::fromLatin1(modes[int(invocation.mode)])};
    if (invocation.mode == Invocation::Mode::Error)
        return said.first() + u' ' + invocation.error;
    const PortName start = StartAddress(invocation);
    said << (start.ByDevice() ? QString::fromStdString(start.device) : QString::number(start.base));
    if (invocation.mode == Invocation::Mode::Select)
        said << (invocation.path == RfPath::Rf1 ? u"rf1"_s : invocation.path == RfPath::Rf2 ? u"rf2"_s : u"off"_s);
    const std::pair<bool, const char*> flags[] = {{invocation.simulate, "simulate"}, {invocation.rawIo, "raw-io"},
        {!invocation.rawSocket, "no-raw-socket"}, {!invocation.vxi11, "no-vxi11"}, {!invocation.hislip, "no-hislip"},
        {invocation.tlsRequired, "tls-required"},
        {invocation.offOnStop, "on-stop=off"}};
    for (const auto& [set, name] : flags)
        if (set)
            said << QString::fromLatin1(name);
    const std::pair<QString, const char*> values[] = {{invocation.log, "log"}, {invocation.listen, "listen"},
        {invocation.http, "http"}, {invocation.https, "https"}, {invocation.hislipAddress, "hislip"},
        {invocation.tlsCertificate, "tls-cert"}, {invocation.tlsKey, "tls-key"}, {invocation.stateDir, "state-dir"},
        {invocation.allow.join(u','), "allow"}, {invocation.serial == u"0" ? QString() : invocation.serial, "serial"},
        {invocation.idleTimeout ? QString::number(invocation.idleTimeout) : QString(), "idle-timeout"},
        {invocation.powerOn ? QString::fromLatin1(PathName(BitsFor(*invocation.powerOn)))
                            : invocation.powerOnSetup ? u"rcl%1"_s.arg(*invocation.powerOnSetup) : QString(), "power-on"},
        {invocation.selectLabel, "label"},
        {invocation.settleTime.count() ? QString::number(invocation.settleTime.count()) : QString(), "settle-time"}};
    for (const auto& [value, name] : values)
        if (!value.isEmpty())
            said << QString::fromLatin1(name) + u'=' + value;
    return said.join(u' ');
}

} // namespace

class CommandLineTest : public QObject
{
    Q_OBJECT

    QTemporaryDir config, runtime;
    QProcessEnvironment Environment() const { return NoDisplay(config.path(), runtime.path()); }

private slots:
    // The options alone, read without running anything (those that need
    // another, each alone, run in tst_manpage).
    void parsed_data()
    {
        AddColumns<QStringList, QString>("arguments", "invocation");
        QTest::newRow("nothing") << QStringList{} << "panel 888";
        QTest::newRow("device") << QStringList{"--port", "/dev/parport1"} << "panel /dev/parport1";
        QTest::newRow("select, any case") << QStringList{"--select", "RF2", "--simulate"} << "select 888 rf2 simulate";
        QTest::newRow("select off") << QStringList{"--select", "off", "--raw-io"} << "select 888 off raw-io";
        QTest::newRow("query with a log") << QStringList{"--query", "--log", "-"} << "query 888 log=-";
        // Every mode that switches counts the board's relay cycles there.
        QTest::newRow("select with a state folder") << QStringList{"--select", "rf1", "--state-dir", "/tmp/s"} << "select 888 rf1 state-dir=/tmp/s";
        QTest::newRow("list ports") << QStringList{"--list-ports"} << "list-ports 888";
        QTest::newRow("headless service")
            << QStringList{"--headless", "--reset", "--listen", "[::]:5025", "--http", "[::]:80", "--allow", "10.0.0.0/8",
                           "--allow", "fd00::/8", "--serial", "SN-7", "--idle-timeout", "600", "--no-vxi11"}
            << "headless 888 no-vxi11 listen=[::]:5025 http=[::]:80 allow=10.0.0.0/8,fd00::/8 serial=SN-7 idle-timeout=600 power-on=off";
        QTest::newRow("power-on and stop")
            << QStringList{"--headless", "--listen", "5025", "--power-on", "RF2", "--on-stop", "off", "--settle-time", "20"}
            << "headless 888 on-stop=off listen=5025 power-on=rf2 settle-time=20";
        QTest::newRow("power-on keep") << QStringList{"--headless", "--http", "80", "--power-on", "keep", "--on-stop", "keep"}
                                       << "headless 888 http=80";
        QTest::newRow("settle time with select") << QStringList{"--select", "rf1", "--settle-time", "60000"} << "select 888 rf1 settle-time=60000";
        const QString settle = u"error --settle-time takes a number of milliseconds from 0 to 60000, not "_s;
        QTest::newRow("settle time too long") << QStringList{"--settle-time", "60001"} << settle + "\"60001\"";
        QTest::newRow("settle time in seconds") << QStringList{"--settle-time", "0.05"} << settle + "\"0.05\"";
        const QStringList server{"--headless", "--listen", "5025"};
        QTest::newRow("power-on elsewhere") << server + QStringList{"--power-on", "rf3"}
                                            << "error --power-on takes keep, off, rf1, rf2 or rcl0 to rcl9, not \"rf3\"";
        QTest::newRow("power-on a saved setup") << server + QStringList{"--power-on", "RCL7"} << "headless 888 listen=5025 power-on=rcl7";
        QTest::newRow("select by label") << QStringList{"--select", "Ant_2"} << "select 888 off label=Ant_2";
        QTest::newRow("on-stop rf1") << server + QStringList{"--on-stop", "rf1"} << "error --on-stop takes keep or off, not \"rf1\"";
        QTest::newRow("reset and power-on") << server + QStringList{"--reset", "--power-on", "off"}
                                            << "error --reset is --power-on off: give one of them";
        QTest::newRow("HiSLIP and TLS")
            << QStringList{"--listen", "0", "--hislip", "4881", "--https", "8443", "--tls-cert", "c.pem", "--tls-key", "k.pem",
                           "--tls-required", "--state-dir", "/tmp/s"}
            << "panel 888 no-raw-socket no-vxi11 tls-required listen=0 https=8443 hislip=4881 tls-cert=c.pem tls-key=k.pem state-dir=/tmp/s";
        // Encrypted control only: what runs in plain text is opened by name.
        QTest::newRow("TLS required, plain doors named") << QStringList{"--listen", "0", "--tls-required", "--raw-socket", "--vxi11"}
                                                         << "panel 888 tls-required listen=0";
        QTest::newRow("no HiSLIP") << QStringList{"--listen", "0", "--no-hislip"} << "panel 888 no-hislip listen=0";
        QTest::newRow("help wins") << QStringList{"--help", "--select", "rf9"} << "help 888";
        QTest::newRow("unknown option") << QStringList{"--colour"} << "error Unknown option 'colour'.";
    }

    void parsed()
    {
        QFETCH(QStringList, arguments);
        QTEST(Described(ParseCommandLine(QStringList{"rfswitch-panel"} + arguments)), "invocation");
    }

    // The program itself, on this machine's ports (no parallel port here).
    void programRunsWithoutDisplay_data()
    {
        // out, err: regular expressions for all of stdout and stderr. An option without the one it goes with is tst_manpage's.
        AddColumns<QStringList, int, QString, QString>("arguments", "code", "out", "err");
        const QString usage = u"\nTry 'rfswitch-panel --help'\\.\n"_s;
        QTest::newRow("help") << QStringList{"--help"} << 0 << "Usage: rfswitch-panel \\[options\\]\\n(.|\\n)*--select <rf1\\|rf2\\|off\\|LABEL>(.|\\n)*" << "";
        QTest::newRow("version") << QStringList{"--version"} << 0 << "rfswitch-panel 1\\.0\\.0\\n" << "";
        QTest::newRow("dry run") << QStringList{"--select", "rf1", "--simulate"} << 0 << "port 888 \\(0x378\\) simulated port: C1=1 C2=0 rf1\\n" << "";
        QTest::newRow("C hex address") << QStringList{"--port", "0x278", "--query", "--simulate"} << 0
                                       << "port 632 \\(0x278\\) simulated port: C1=0 C2=0 off\\n" << "";
        QTest::newRow("radix address") << QStringList{"--port", "&H3BC", "--query", "--simulate"} << 0
                                       << "port 956 \\(0x3BC\\) simulated port: C1=0 C2=0 off\\n" << "";
        // Nothing on stdout; on stderr the program's name, then `err`, then for code 2 the hint to --help.
        const auto refused = [&usage](const char* name, const QStringList& arguments, int code, const QString& err) {
            QTest::newRow(name) << arguments << code << "" << u"rfswitch-panel: "_s + err + (code == 2 ? usage : u""_s);
        };
        refused("simulated only", {"--select", "rf2"}, 3,
                "port 888 \\(0x378\\): only the simulated port is here: no board is driven; --simulate allows a dry run\\n");
        // Devices: no port of that name here, a printer cable, no parallel port's device, and none here to list.
        refused("device not there", {"--port", "/dev/parport9", "--query"}, 3,
                "port /dev/parport9: no such parallel port now \\(an adapter unplugged, or its driver not loaded\\); plug the adapter in, or "
                "type a port that rfswitch-panel --list-ports lists; run the command again once it is there\n");
        refused("printer cable", {"--port", "/dev/usb/lp0", "--select", "rf1", "--simulate"}, 3,
                "port /dev/usb/lp0: a USB printer cable \\(usblp\\) only passes .*\n");
        QTest::newRow("not a port's device") << QStringList{"--port", "/dev/sda", "--query"} << 2 << ""
                                             << "rfswitch-panel: port /dev/sda: no parallel port device /dev/sda; .*\n";
        refused("no port to list", {"--list-ports"}, 3, "no parallel port found: have the parallel-port drivers loaded .*\n");
        // Said as the address box says it, in the words typed.
        const std::pair<const char*, const char*> addresses[] = {
            {"0", "\"0\" is below 1, the first port address"}, {"70000", "\"70000\" is beyond the last port address, 65533 \\(0xFFFD\\)"},
            {"garbage", "\"garbage\" is not a number"}, {"888abc", "\"888abc\" is not a port address"},
            {"2147483648", "\"2147483648\" is beyond the last port address, 65533 \\(0xFFFD\\)"}, {"", "no address was given"},
            {"/dev/../etc/passwd", "\"/dev/../etc/passwd\" is not a number"}};
        for (const auto& [address, why] : addresses)
            QTest::addRow("address \"%s\"", address) << QStringList{"--port", address, "--query"} << 2 << ""
                                                     << u"rfswitch-panel: --port: %1: type it as 888, 0x378 or &H378, .*"_s.arg(why) + usage;
        QTest::newRow("a leading zero") << QStringList{"--port", "0378", "--query", "--simulate"} << 0
                                        << "port 378 \\(0x17A\\) simulated port: C1=0 C2=0 off\\n"
                                        << "rfswitch-panel: note: --port \"0378\" reads as decimal 378: addresses read decimal; 0x378 or &H378 "
                                           "reads hexadecimal\\n";
        refused("bad path", {"--select", "rf-3"}, 2, "--select takes rf1, rf2, off or a channel's label \\(a letter, then letters, digits or '_', "
                                                    "12 at most\\), not \"rf-3\"");
        refused("two actions", {"--select", "rf1", "--query"}, 2, "--select, --query, .*");
        refused("VXI-11 on and off", {"--listen", "0", "--vxi11", "--no-vxi11"}, 2, "--vxi11 and --no-vxi11 do not go together");
        refused("log to a FIFO", {"--select", "rf1", "--simulate", "--log", "FIFO"}, 2, "--log .*/fifo: not a regular file");
        refused("log through a link", {"--select", "rf1", "--simulate", "--log", "LINK"}, 2,
                "--log .*/link: a symbolic link, not a regular file");
        refused("serial with a comma", {"--serial", "a,b", "--listen", "0"}, 2,
                "--serial takes 1 to 64 printable characters without blanks, ',' or ';', not \"a,b\"");
        refused("idle timeout 0", {"--idle-timeout", "0", "--listen", "0"}, 2, "--idle-timeout takes a number of seconds from 1 on, not \"0\"");
        refused("HiSLIP on and off", {"--listen", "0", "--hislip", "0", "--no-hislip"}, 2, "--hislip and --no-hislip do not go together");
        refused("certificate without key", {"--listen", "0", "--tls-cert", "c.pem"}, 2, "--tls-cert and --tls-key go together");
        refused("TLS without a server", {"--tls-required", "--query"}, 2, "--tls-cert, --tls-key and --tls-required go with .*");
        refused("nothing to listen for", {"--listen", "0", "--tls-required", "--no-hislip"}, 2,
                "--listen with --tls-required and --no-hislip serves nothing: .*");
        refused("TLS required, plain page", {"--listen", "0", "--http", "0", "--tls-required"}, 2,
                "--tls-required serves the web page over HTTPS only: .*");
        refused("allow no subnet", {"--allow", "10.0.0.0/33", "--headless", "--listen", "0"}, 2,
                "--allow 10\\.0\\.0\\.0/33: not an ADDRESS/PREFIX .*");
        // Something else listens there (BUSY: a port this test holds).
        refused("port in use", {"--headless", "--http", "127.0.0.1:BUSY", "--simulate", "--port", "4096"}, 4,
                "port BUSY on 127.0.0.1 is in use by another program: stop it or choose another port with --http HOST:PORT\n");
        refused("no display", {}, 3,
                "no display to open the panel on \\(DISPLAY is not set\\): run it in a desktop session, or over ssh -X from one; without a "
                "window, .*\\n");
    }

    void programRunsWithoutDisplay()
    {
        auto [arguments, out, err] = Fetch<QStringList, QString, QString>("arguments", "out", "err");
        QTcpServer busy;
        QVERIFY(busy.listen(QHostAddress::LocalHost));
        arguments.replaceInStrings(u"BUSY"_s, QString::number(busy.serverPort()));
        err.replace(u"BUSY"_s, QString::number(busy.serverPort()));
        const QString fifo = config.filePath(u"../fifo"_s);
        mkfifo(qPrintable(fifo), 0600);
        arguments.replaceInStrings(u"FIFO"_s, fifo);
        // A link to a file that may be written: still no log.
        const QString link = runtime.filePath(u"link"_s);
        QFile::link(runtime.filePath(u"ops.log"_s), link);
        arguments.replaceInStrings(u"LINK"_s, link);
        const Run run = Program(arguments, Environment());
        QTEST(run.code, "code");
        QVERIFY2(QRegularExpression(u'^' + out + u'$').match(run.out).hasMatch(), qPrintable(run.out));
        QVERIFY2(QRegularExpression(u'^' + err + u'$').match(run.err).hasMatch(), qPrintable(run.err));
        // Nothing is kept between runs.
        QCOMPARE(QDir(config.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
    }

    // What a script sees when the port misbehaves, and what reached the port.
    void outcomes_data()
    {
        AddColumns<QString, QString, int, QString, QString, QString>("action", "port", "code", "out", "err", "accesses");
        const QString at = u"port 888 (0x378) /dev/parport0: "_s, unknown = u"; the board's state is unknown"_s, twice = u"r888:00 r888:00"_s;
        QTest::newRow("verified") << "rf1" << "" << 0 << at + "C1=1 C2=0 rf1" << "" << twice + " w888:01 r888:01";
        // The state line says what the port read back, not what was asked.
        QTest::newRow("not read back") << "rf1" << "stuck" << 1 << at + "C1=0 C2=0 off"
                                       << "Port 888: wrote 0x01, read back 0x00 after 110 attempts"
                                       << twice + u" w888:01 r888:00"_s.repeated(110);
        QTest::newRow("port gone mid-write") << "rf1" << "dies" << 3 << ""
                                             << "Port 888: nothing written: 110 writes of 0x01 failed: /dev/parport0: no such device" + unknown
                                             << twice;
        QTest::newRow("read-back lost") << "rf1" << "reads die" << 1 << ""
                                        << "Port 888: wrote 0x01, nothing read back after 110 attempts: /dev/parport0: input/output error"
                                               + unknown
                                        << twice + u" w888:01"_s.repeated(110);
        QTest::newRow("writes refused") << "rf1" << "writes refused" << 3 << at + "C1=0 C2=0 off"
                                        << "Port 888: nothing written: 110 writes of 0x01 failed: /dev/port: no space left on device"
                                        << twice + u" r888:00"_s.repeated(110);
        QTest::newRow("read fails") << "off" << "read error" << 3 << ""
                                    << "Port 888: nothing written, the port could not be read: /dev/parport0: input/output error" + unknown
                                    << "";
        QTest::newRow("unusable") << "rf1" << "unusable" << 3 << ""
                                  << "port 888 (0x378): /dev/parport0: permission denied; add your user to the lp group and log in again" << "";
        // What the panel would do once the port is free is no use to a command line.
        QTest::newRow("held") << "query" << "held" << 3 << ""
                              << "port 888 (0x378): /dev/parport0: in use by another program (lp0); close it; run the command again once the "
                                 "port is free" << "";
        QTest::newRow("by device") << "rf1" << "device" << 0 << "port /dev/parport1, USB adapter (uss720), about 1 ms per access: C1=1 C2=0 rf1"
                                   << "" << "r0:00 r0:00 w0:01 r0:01";
        QTest::newRow("query writes nothing") << "query" << "" << 0 << at + "C1=0 C2=1 rf2" << "" << "r888:02";
    }

    void outcomes()
    {
        const auto [action, port] = Fetch<QString, QString>("action", "port");
        FakePort fake;
        fake.latched[888] = action == "query"_L1 ? 0x02 : 0x00;
        fake.status = port == "unusable"_L1 ? kDeniedPort : kRealPort;
        if (port == "held"_L1)
            fake.status = {PortReach::Unusable, "/dev/parport0", "/dev/parport0: in use by another program (lp0)",
                           "close it; the panel takes the port as soon as it is free", true};
        fake.stuckRead = port == "stuck"_L1 ? std::optional<std::uint8_t>(0) : std::nullopt;
        fake.answersFor = port == "dies"_L1 ? std::optional<std::size_t>(2) : std::nullopt;
        fake.readsFor = port == "reads die"_L1 ? std::optional<std::size_t>(2) : std::nullopt;
        fake.writeError = port == "writes refused"_L1 ? "/dev/port: no space left on device" : "";
        fake.readError = port == "read error"_L1 ? "/dev/parport0: input/output error" : "";
        fake.hardware = port == "device"_L1 ? "USB adapter (uss720), about 1 ms per access" : "";
        SwitchCore core(fake);
        const QStringList arguments = action == "query"_L1 ? QStringList{"rfswitch-panel", "--query"}
                                                            : QStringList{"rfswitch-panel", "--select", action};
        const CommandOutcome outcome = RunSwitchCommand(ParseCommandLine(arguments), core,
                                                        port == "device"_L1 ? PortName("/dev/parport1") : PortName(888));
        QTEST(outcome.exitCode, "code");
        QTEST(outcome.output, "out");
        QTEST(outcome.error, "err");
        QTEST(fake.Take(), "accesses");
    }

    // A port that a server or panel of this program owns: the command line's
    // operation is done there, the owner's state and log show it, and the
    // command line prints what it would print driving the port itself.
    void handedOver_data()
    {
        // owner "nobody": the headless server, and the command line run as nobody; before: SCPI to the owner first; state: the
        // owner's answer to ROUT:CLOS:STAT?;SYST:PORT? afterwards; log: the owner's log lines from the command line, without their time
        AddColumns<QString, QByteArray, QStringList, int, QString, QString, QByteArray, QString>("owner", "before", "arguments", "code", "out",
                                                                                              "err", "state", "log");
        const QString simulatedOnly = u"port 4096 (0x1000): only the simulated port is here: no board is driven; --simulate allows a dry run"_s;
        const QString at = u"port 4096 (0x1000) simulated port: "_s, head = u"command-line port=4096 board=simulated "_s;
        const QString wrote = head + "register=data(4096) wrote=0x0%1 read=0x0%1 attempts=1 result=verified\n";
        QTest::newRow("select") << "headless" << QByteArray() << QStringList{"--select", "rf1", "--simulate"} << 0
                                << at + "C1=1 C2=0 rf1\n" << ""
                                << QByteArray("(@1);4096") << wrote.arg(1);
        QTest::newRow("query: the owner's state") << "headless" << QByteArray("ROUT:CLOS (@2)") << QStringList{"--query", "--simulate"} << 0
                                                  << at + "C1=0 C2=1 rf2\n" << "" << QByteArray("(@2);4096") << "";
        QTest::newRow("no dry run") << "headless" << QByteArray() << QStringList{"--select", "rf2"} << 3 << "" << "rfswitch-panel: " + simulatedOnly + "\n"
                                    << QByteArray("(@);4096") << head + "select-rf2 result=refused (" + simulatedOnly + ")\n";
        QTest::newRow("owner moved") << "headless" << QByteArray("SYST:PORT 4097") << QStringList{"--select", "rf2", "--simulate", "--port", "4097"} << 0
                                     << "port 4097 (0x1001) simulated port: C1=0 C2=1 rf2\n" << "" << QByteArray("(@2);4097")
                                     << "command-line port=4097 board=simulated register=data(4097) wrote=0x02 read=0x02 attempts=1 result=verified\n";
        QTest::newRow("no owner there") << "headless" << QByteArray() << QStringList{"--select", "rf1", "--simulate", "--port", "4097"} << 0
                                        << "port 4097 (0x1001) simulated port: C1=1 C2=0 rf1\n" << "" << QByteArray("(@);4096") << "";
        QTest::newRow("panel") << "panel" << QByteArray() << QStringList{"--select", "rf2", "--simulate"} << 0
                               << at + "C1=0 C2=1 rf2\n" << ""
                               << QByteArray("(@2);4096") << wrote.arg(2);
        // A label is the owner's board's: found there.
        QTest::newRow("select by label") << "headless" << QByteArray("ROUT:CHAN:LAB \"DUT\",(@2)") << QStringList{"--select", "dut", "--simulate"} << 0
                                         << at + "C1=0 C2=1 rf2\n" << "" << QByteArray("(@2);4096")
                                         << head + "register=data(4096) wrote=0x02 read=0x02 attempts=1 label=DUT result=verified\n";
        const QString unlabelled = u"--select dut: no channel of port 4096 (0x1000) is labelled so (it has no labels; SCPI's ROUT:CHAN:LAB sets them)"_s;
        QTest::newRow("a label the board has not") << "headless" << QByteArray() << QStringList{"--select", "dut", "--simulate"} << 2 << ""
                                                   << "rfswitch-panel: " + unlabelled + "\n" << QByteArray("(@);4096")
                                                   << head + "select-label=dut result=refused (" + unlabelled + ")\n";
        const QString notServed = u"port 4096 (0x1000): held by a process of this program that takes operations only from its own user and root"_s;
        QTest::newRow("another user") << "nobody" << QByteArray() << QStringList{"--select", "rf1", "--simulate"} << 3 << "" << "rfswitch-panel: " + notServed + "\n"
                                      << QByteArray("(@);4096") << head + "hand-over result=refused (" + notServed + ")\n";
    }

    // A panel of this process's own on a recording port owns it: what the
    // command line gets, what reaches the owner's port, and what the command
    // line's own log says. This machine has no parallel port: a command line
    // for 888 finds the simulated port there, one for a device a board.
    void handedToThisProcess_data()
    {
        // accesses: at the owner's port, once the command line has ended; log: the command line's own --log, without the times
        AddColumns<QString, QStringList, int, QString, QString, QString, QString>("owner", "arguments", "code", "out", "err", "accesses", "log");
        const QStringList query{"--query", "--simulate"}, rf2{"--select", "rf2", "--simulate"};
        const QString at = u"port 888 (0x378) simulated port: "_s, head = u"command-line port=888 board=simulated register=data(888) "_s;
        const QString read0 = head + "read=0x00 result=read\n", wrote = head + "wrote=0x0%1 read=0x0%1 attempts=1 result=verified\n";
        // Nothing known after a failed read; the port works again: the owner reads for it.
        QTest::newRow("query after recovery") << "unknown" << query << 0 << at + "C1=0 C2=1 rf2\n" << "" << "r888:02"
                                              << head + "read=0x02 result=read\n";
        QTest::newRow("select after recovery") << "unknown" << QStringList{"--select", "rf1", "--simulate"} << 0
                                               << at + "C1=1 C2=0 rf1\n" << ""
                                               << "r888:02 r888:02 w888:00 r888:00 w888:01 r888:01"
                                               << head + "read=0x02 result=read\n" + wrote.arg(0) + wrote.arg(1);
        const QString unreadable = u"Port 888: nothing written, the port could not be read: /dev/parport0: input/output error; "
                                   "the board's state is unknown"_s;
        QTest::newRow("still unreadable") << "unreadable" << rf2 << 3 << "" << "rfswitch-panel: " + unreadable + "\n" << ""
                                          << head + "read=none result=unreadable (/dev/parport0: input/output error)\n";
        // The owner drives a board at 888; this command line would find only the simulation there.
        QTest::newRow("a board at the owner") << "board" << rf2 << 0 << at + "C1=0 C2=1 rf2\n" << "" << "" << read0 + wrote.arg(2);
        QTest::newRow("by device") << "device" << QStringList{"--query", "--port", "/dev/parport1"} << 0 << "port /dev/parport1: C1=0 C2=1 rf2\n"
                                   << "" << "" << "";
        QTest::newRow("by the owner's device") << "board" << QStringList{"--query", "--port", "/dev/parport0"} << 0
                                               << "port 888 (0x378) /dev/parport0: C1=0 C2=1 rf2\n" << "" << "" << "";
        // The owner takes another port before the command line's turn: it drives its own.
        QTest::newRow("owner moved meanwhile") << "moving" << rf2 << 0 << at + "C1=0 C2=1 rf2\n" << "" << "w634:00 r634:00 w632:00 r632:00"
                                               << read0 + wrote.arg(2);
        // Reads do not wait for a settle: the new path, before the settle time is up.
        QTest::newRow("owner settling") << "settling" << query << 0 << at + "C1=1 C2=0 rf1\n" << "" << "" << "";
        // Stopped while its request waits: that request is never carried out.
        QTest::newRow("stopped while waiting") << "stopped" << rf2 << -1 << "" << "" << "" << "";
    }

    void handedToThisProcess()
    {
        auto [owner, arguments] = Fetch<QString, QStringList>("owner", "arguments");
        QTemporaryDir folder;
        const QString log = folder.filePath(u"command-line.log"_s);
        qputenv("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit());
        FakePort port;
        port.status = owner == "board"_L1 ? kRealPort : owner == "device"_L1 ? PortStatus{PortReach::Real, "/dev/parport1", "", "", false} : kSimulatedPort;
        port.latched = {{888, 0x02}, {0, 0x02}};
        SwitchCore core{port};
        core.SetAllowSimulated(true);
        core.Attach(owner == "device"_L1 ? PortName("/dev/parport1") : PortName(888), Source{});
        if (owner == "unknown"_L1 || owner == "unreadable"_L1) {
            port.readError = "/dev/parport0: input/output error";
            core.Read(Source{});
            port.readError = owner == "unknown"_L1 ? "" : port.readError;
        }
        QVERIFY(owner == "unknown"_L1 || owner == "unreadable"_L1 || core.State());
        if (owner == "settling"_L1) {
            core.SetSettleTime(std::chrono::seconds(20), Source{});
            core.Select(RfPath::Rf1, Source{});
        }
        PortOwner portOwner{core};
        QStringList ownerLog;
        connect(&core, &SwitchCore::Logged, this, [&ownerLog](const std::string& line) { ownerLog << QString::fromStdString(line); });
        port.accesses.clear();

        QProcess process;
        Start(process, arguments << u"--log"_s << log, Environment());
        if (owner == "moving"_L1 || owner == "stopped"_L1) {
            // The owner is busy when the request comes; what is asked meanwhile waits its turn.
            port.onAccess = [&, once = false](const PortAccess& access) mutable {
                if (access.kind != PortAccess::Kind::Write || std::exchange(once, true))
                    return;
                if (owner == "moving"_L1)
                    core.TakeAddress(632, true, Source::Remote("10.0.0.7:5025"));
                QTRY_COMPARE_WITH_TIMEOUT(core.Queued(), owner == "moving"_L1 ? 2u : 1u, 30000);
                // Gone before its turn, and before this process has looked.
                if (owner == "stopped"_L1) {
                    process.kill();
                    process.waitForFinished();
                }
            };
            core.Select(RfPath::Rf1, Source{});
            port.onAccess = {};
            port.accesses.erase(port.accesses.begin(), std::find_if(port.accesses.begin(), port.accesses.end(), [](const PortAccess& a) { return a.port != 888; }));
        }
        const Run command = Finished(process);
        QTEST(command.code, "code");
        QTEST(command.out, "out");
        QTEST(command.err, "err");
        QTEST(port.Take(), "accesses");
        QTEST(LogLines(log), "log");
        QVERIFY2(owner != "settling"_L1 || core.Settling(), "the query waited for the settle time");
        if (owner == "stopped"_L1) {
            // What the owner did with it: nothing, and the board stays as it was.
            QCOMPARE(ownerLog.last(), u"command-line port=888 board=simulated select-rf2 result=abandoned (the client that asked has gone)"_s);
            QCOMPARE(port.Latched(888), std::uint8_t(0x01));
        }
    }

    void handedOver()
    {
        auto [owner, before, arguments] = Fetch<QString, QByteArray, QStringList>("owner", "before", "arguments");
        const bool nobody = owner == "nobody"_L1;
        if (nobody && geteuid() != 0)
            QSKIP("only root may run the command line as another user");
        // The owner's log, and the runtime folder; for nobody, its own, which
        // the owner serves from as the system service would.
        QTemporaryDir folder;
        const QString run = folder.filePath(u"run"_s), served = run + u"/rfswitch-panel"_s, log = folder.filePath(u"owner.log"_s);
        QVERIFY(mkdir(qPrintable(run), 0700) == 0);
        if (nobody)
            QVERIFY(mkdir(qPrintable(served), 0700) == 0 && chown(qPrintable(run), 65534, 65534) == 0
                    && chown(qPrintable(served), 65534, 65534) == 0 && chmod(qPrintable(folder.path()), 0711) == 0);
        QProcess server;
        QProcessEnvironment environment = NoDisplay(config.path(), run);
        environment.insert(nobody ? u"RUNTIME_DIRECTORY"_s : u"QT_QPA_PLATFORM"_s, nobody ? served : u"offscreen"_s);
        server.setProcessEnvironment(environment);
        server.start(QStringLiteral(RFSWITCH_BINARY), QStringList{"--listen", "127.0.0.1:0", "--simulate", "--port", "4096", "--log", log,
                                                                  "--state-dir", folder.filePath(u"state"_s)}
                                                          + (owner == "panel"_L1 ? QStringList() : QStringList{"--headless"}));
        QVERIFY(server.waitForReadyRead(30000));
        QTcpSocket scpi;
        scpi.connectToHost(QHostAddress::LocalHost, server.readLine().trimmed().split(':').last().toUShort());
        const auto ask = [&scpi](const QByteArray& line) {
            scpi.write(line + '\n');
            return scpi.waitForReadyRead(30000) ? scpi.readLine().trimmed() : QByteArray("(no answer)");
        };
        // Once it answers, it owns the port.
        QCOMPARE(ask(before + (before.isEmpty() ? "*OPC?" : ";*OPC?")), QByteArray("1"));
        // A socket that anyone may open still serves only its own user and root.
        if (nobody)
            QVERIFY(chmod(qPrintable(served + u"/port-4096"_s), 0666) == 0);
        if (!arguments.contains(u"--port"_s))
            arguments << u"--port"_s << u"4096"_s;
        const QStringList asNobody{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        const Run command = Execute((nobody ? asNobody : QStringList()) + QStringList{RFSWITCH_BINARY} + arguments, NoDisplay(config.path(), run));
        QTEST(command.code, "code");
        QTEST(command.out, "out");
        QTEST(command.err, "err");
        QTEST(ask("ROUT:CLOS:STAT?;SYST:PORT?"), "state");
        QTEST(LogLines(log, u" command-line "_s), "log");
        server.terminate();
        server.waitForFinished();
    }

    // --select ends only once the switch has settled after its write: by
    // itself, and where a server that owns the port does the work with the
    // settle time it was given. Measured from the write's time in the log of
    // the process that wrote.
    void selectReturnsSettled_data()
    {
        AddColumns<QStringList, QStringList, int>("server", "select", "settle");  // server empty: none; settle in ms
        QTest::newRow("by itself") << QStringList{} << QStringList{"--settle-time", "700"} << 700;
        QTest::newRow("handed over") << QStringList{"--settle-time", "700"} << QStringList{} << 700;
    }

    void selectReturnsSettled()
    {
        const auto [server, select, settle] = Fetch<QStringList, QStringList, int>("server", "select", "settle");
        QTemporaryDir folder;
        const QString serverLog = folder.filePath(u"server.log"_s), commandLog = folder.filePath(u"command.log"_s);
        QProcess owner;
        if (!server.isEmpty()) {
            Start(owner, QStringList{"--headless", "--listen", "127.0.0.1:0", "--no-vxi11", "--no-hislip", "--simulate", "--port", "4096",
                                     "--log", serverLog} + server, Environment());
            QVERIFY(owner.waitForReadyRead(30000));
        }
        QProcess command;
        Start(command, QStringList{"--select", "rf1", "--simulate", "--port", "4096", "--log", commandLog} + select, Environment());
        const Run run = Finished(command);
        const QDateTime ended = QDateTime::currentDateTime();
        QCOMPARE(run.out, u"port 4096 (0x1000) simulated port: C1=1 C2=0 rf1\n"_s);
        QCOMPARE(run.code, 0);
        QDateTime written;
        for (const QString& line : ReadText(server.isEmpty() ? commandLog : serverLog).split(u'\n'))
            if (line.contains(u" wrote=0x01 "_s))
                written = QDateTime::fromString(line.left(line.indexOf(u' ')), Qt::ISODateWithMs);
        QVERIFY(written.isValid());
        QVERIFY2(written.msecsTo(ended) >= settle, qPrintable(u"ended %1 ms after the write"_s.arg(written.msecsTo(ended))));
        if (!server.isEmpty()) {
            owner.terminate();
            QVERIFY(owner.waitForFinished(30000));
        }
    }

    // The headless server's power-on and stop policy on the simulated port:
    // what it wrote at start and on its way out, as its log has it, and what
    // it said where it could not.
    void powerOnAndStop_data()
    {
        // writes: the log's lines that wrote, without their time; err: a regular expression for a line of stderr, empty: nothing there
        AddColumns<QStringList, int, QString, QString>("arguments", "signal", "writes", "err");
        // start-up or stop wrote `value` to data(4096), or control(4098), and read it back
        const auto wrote = [](const char* when, const char* value, const char* where = "data(4096)") {
            return u"%1 port=4096 board=simulated register=%2 wrote=%3 read=%3 attempts=1 result=verified\n"_s.arg(when, where, value);
        };
        QTest::newRow("keep, keep, said") << QStringList{"--power-on", "keep", "--on-stop", "keep"} << SIGINT << "" << "";
        QTest::newRow("rf1, off") << QStringList{"--power-on", "rf1", "--on-stop", "off"} << SIGTERM
                                  << wrote("start-up", "0x01") + wrote("stop", "0x00") << "";
        QTest::newRow("rf2, off, interrupted") << QStringList{"--power-on", "rf2", "--on-stop", "off"} << SIGINT
                                               << wrote("start-up", "0x02") + wrote("stop", "0x00") << "";
        QTest::newRow("rf2, keep") << QStringList{"--power-on", "rf2"} << SIGTERM << wrote("start-up", "0x02") << "";
        // Off clears the control register too, as the panel's start does.
        for (const auto& [name, option] : {std::pair{"off", QStringList{"--power-on", "off"}}, std::pair{"reset", QStringList{"--reset"}}})
            QTest::newRow(name) << option << SIGTERM << wrote("start-up", "0x00", "control(4098)") + wrote("start-up", "0x00") << "";
        // Already off: a stop that finds the path off writes nothing.
        QTest::newRow("keep, off") << QStringList{"--on-stop", "off"} << SIGTERM << "" << "";
        QTest::newRow("no port there") << QStringList{"--power-on", "rf1", "--port", "/dev/parport9"} << SIGTERM << ""
                                       << "rfswitch-panel: power-on rf1: /dev/parport9: no such parallel port now .*";
    }

    void powerOnAndStop()
    {
        auto [arguments, signal, err] = Fetch<QStringList, int, QString>("arguments", "signal", "err");
        QTemporaryDir folder;
        const QString log = folder.filePath(u"server.log"_s);
        if (!arguments.contains(u"--port"_s))
            arguments << u"--port"_s << u"4096"_s;
        QProcess server;
        Start(server, QStringList{"--headless", "--listen", "127.0.0.1:0", "--no-vxi11", "--no-hislip", "--simulate", "--log", log} + arguments,
              Environment());
        // It serves, whatever became of the power-on.
        QVERIFY2(server.waitForReadyRead(30000) && server.readLine().startsWith("listening on 127.0.0.1:"), "not listening");
        ::kill(pid_t(server.processId()), signal);
        const Run run = Finished(server);
        QCOMPARE(run.code, 0);
        QTEST(LogLines(log, u" wrote="_s), "writes");
        QVERIFY2(err.isEmpty() ? run.err.isEmpty() : QRegularExpression(u"(^|\n)"_s + err + u"\n"_s).match(run.err).hasMatch(),
                 qPrintable(run.err));
    }

    // What a server says as it starts, stopped once it has said it all, and
    // that it answers on each address it names. Beyond loopback only in
    // namespaces of its own, where the machine is bench-pc and no Avahi runs.
    void serving_data()
    {
        // out, err: all of stdout and stderr; PORT stands for the port taken
        AddColumns<QStringList, QString, QString>("arguments", "out", "err");
        const QStringList lan{"--listen", "0.0.0.0:5025", "--http", "0.0.0.0:8080"};
        const QString out = u"listening on 0.0.0.0:5025\nraw socket: TCPIP0::bench-pc::5025::SOCKET\nweb page on 0.0.0.0:8080: "
                            "http://bench-pc:8080/\nDNS-SD: Avahi is not running: the switch is not announced\n"_s;
        const QString warned = u"rfswitch-panel: warning: listening on 0.0.0.0:5025: %1\nrfswitch-panel: warning: web page on "
                               "http://bench-pc:8080/: %1\n"_s;
        QTest::newRow("every address") << lan << out
                                       << warned.arg(u"anyone who can reach this address can switch the board; --allow limits who may connect"_s);
        QTest::newRow("allowed subnets") << lan + QStringList{"--allow", "192.168.1.0/24", "--allow", "10.0.0.0/8"} << out
                                         << warned.arg(u"clients from 192.168.1.0/24 or 10.0.0.0/8 can switch the board"_s);
        QTest::newRow("localhost") << QStringList{"--listen", "localhost:0"}
                                   << "listening on 127.0.0.1:PORT and [::1]:PORT\nraw socket: TCPIP0::localhost::PORT::SOCKET\n"
                                      "DNS-SD: not announced: 127.0.0.1 and [::1] are reached from this machine only\n" << "";
    }

    void serving()
    {
        auto [arguments, out, err] = Fetch<QStringList, QString, QString>("arguments", "out", "err");
        const bool lan = !arguments.contains(u"localhost:0"_s);
        arguments = QStringList{"--headless", "--no-vxi11", "--no-hislip", "--simulate", "--port", "4096"} + arguments;
        QProcess server;
        if (lan)
            arguments = QStringList{"-rnum", "sh", "-c", "mount -t tmpfs tmpfs /run && hostname bench-pc && exec \"$0\" \"$@\"", RFSWITCH_BINARY}
                        + arguments;
        server.setProcessEnvironment(Environment());
        server.start(lan ? u"unshare"_s : QStringLiteral(RFSWITCH_BINARY), arguments);
        QByteArray said;
        while (!said.contains("DNS-SD") && server.waitForReadyRead(30000))
            said += server.readAllStandardOutput();
        if (lan && said.isEmpty() && server.waitForFinished(30000) && server.readAllStandardError().startsWith("unshare:"))
            QSKIP("no namespaces may be made here");
        const QString port = QRegularExpression(u":(\\d+)"_s).match(QString::fromLatin1(said)).captured(1);
        for (const QString& host : lan ? QStringList() : QStringList{"127.0.0.1", "::1"}) {
            QTcpSocket client;
            client.connectToHost(QHostAddress(host), port.toUShort());
            client.write("ROUT:CLOS:STAT?\n");
            QVERIFY2(client.waitForReadyRead(30000), qPrintable(host));
            QCOMPARE(client.readLine(), QByteArray("(@)\n"));
        }
        server.terminate();
        const Run run = Finished(server);
        QCOMPARE(QString::fromLatin1(said) + run.out, out.replace(u"PORT"_s, port));
        QCOMPARE(run.err, err);
    }

    // --log - wherever standard output goes: the lines, then the state, in
    // order, written through; a device that takes nothing is told in the
    // system's words.
    void logToStandardOutput_data()
    {
        AddColumns<QString, QString, QString>("target", "out", "err");  // out, err: regular expressions, as above
        const QString time = uR"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}(Z|[+-]\d\d:\d\d) )"_s;
        const QString lines = time + uR"(command-line port=888 board=simulated register=data\(888\) read=0x00 result=read\n)"_s + time
            + uR"(command-line port=888 board=simulated register=data\(888\) wrote=0x01 read=0x01 attempts=1 result=verified\n)"_s
            + uR"(port 888 \(0x378\) simulated port: C1=1 C2=0 rf1\n)"_s;
        for (const char* target : {"file", "pipe", "terminal", "socket pair"})
            QTest::newRow(target) << target << lines << "";
        QTest::newRow("full device") << "/dev/full" << "" << "rfswitch-panel: log not written: standard output: No space left on device\n";
    }

    void logToStandardOutput()
    {
        const auto [target, out, err] = Fetch<QString, QString, QString>("target", "out", "err");
        const QStringList arguments{"--select", "rf1", "--simulate", "--log", "-"};
        QProcess process;
        process.setProcessEnvironment(Environment());
        QString said;
        int socketEnds[2] = {-1, -1};
        if (target == u"terminal") {
            // script(1) gives it a terminal of its own and passes on what it writes there.
            const QString script = QStandardPaths::findExecutable(u"script"_s);
            if (script.isEmpty())
                QSKIP("script(1) is not installed (package bsdutils)");
            process.start(script, {u"-qec"_s, QStringLiteral(RFSWITCH_BINARY " ") + arguments.join(u' '), u"/dev/null"_s});
        } else {
            if (target == u"file")
                process.setStandardOutputFile(runtime.filePath(u"out.txt"_s));
            else if (target.startsWith(u'/'))
                process.setStandardOutputFile(target);
            else if (target == u"socket pair") {
                // A stream socket, as journald gives a service.
                QVERIFY(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, socketEnds) == 0);
                process.setChildProcessModifier([end = socketEnds[1]] { dup2(end, STDOUT_FILENO); });
            }
            process.start(QStringLiteral(RFSWITCH_BINARY), arguments);
        }
        QVERIFY(process.waitForFinished(30000));
        if (socketEnds[1] >= 0) {
            close(socketEnds[1]);
            char buffer[4096];
            for (ssize_t n; (n = read(socketEnds[0], buffer, sizeof buffer)) > 0;)
                said += QString::fromLocal8Bit(buffer, int(n));
            close(socketEnds[0]);
        }
        if (target == u"file") {
            said = ReadText(runtime.filePath(u"out.txt"_s));
            QFile::remove(runtime.filePath(u"out.txt"_s));
        }
        said += QString::fromLocal8Bit(process.readAllStandardOutput()).remove(u'\r');
        const QString complaint = QString::fromLocal8Bit(process.readAllStandardError());
        QCOMPARE(process.exitCode(), 0);
        QVERIFY2(QRegularExpression(u'^' + out + u'$').match(said).hasMatch(), qPrintable(said));
        QVERIFY2(QRegularExpression(u'^' + err + u'$').match(complaint).hasMatch(), qPrintable(complaint));
    }
};

QTEST_MAIN(CommandLineTest)
#include "tst_commandline.moc"

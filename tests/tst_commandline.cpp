#include "CommandLine.h"
#include "FakePort.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {

// What the program printed and how it ended, run with no display and its
// settings folder in `config`.
struct Run { int code = -1; QString out, err; };

Run Program(const QStringList& arguments, const QString& config)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QString::fromLatin1(name));
    environment.insert(u"XDG_CONFIG_HOME"_s, config);
    process.setProcessEnvironment(environment);
    process.start(QStringLiteral(RFSWITCH_BINARY), arguments);
    if (!process.waitForFinished(30000))
        return {};
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromLocal8Bit(process.readAllStandardOutput()), QString::fromLocal8Bit(process.readAllStandardError())};
}

const PortStatus kReal{PortReach::Real, "/dev/parport0", "", "", false};

} // namespace

class CommandLineTest : public QObject
{
    Q_OBJECT

    QTemporaryDir config;

private slots:
    // The program itself, on this machine's ports (no parallel port here).
    void programRunsWithoutDisplay_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("out");  // regular expressions for the whole of stdout and stderr
        QTest::addColumn<QString>("err");
        const QString usage = u"\nTry 'rfswitch-panel --help'\\.\n"_s;
        QTest::newRow("help") << QStringList{"--help"} << 0 << "Usage: rfswitch-panel \\[options\\]\\n(.|\\n)*--select <rf1\\|rf2\\|off>(.|\\n)*" << "";
        QTest::newRow("version") << QStringList{"--version"} << 0 << "rfswitch-panel 1\\.0\\.0\\n" << "";
        QTest::newRow("dry run") << QStringList{"--select", "rf1", "--simulate"} << 0 << "port 888 \\(0x378\\) simulated port: C1=1 C2=0 rf1\\n" << "";
        QTest::newRow("C hex address") << QStringList{"--port", "0x278", "--query", "--simulate"} << 0
                                       << "port 632 \\(0x278\\) simulated port: C1=0 C2=0 off\\n" << "";
        QTest::newRow("radix address") << QStringList{"--port", "&H3BC", "--query", "--simulate"} << 0
                                       << "port 956 \\(0x3BC\\) simulated port: C1=0 C2=0 off\\n" << "";
        QTest::newRow("simulated only") << QStringList{"--select", "rf2"} << 3 << ""
                                        << "rfswitch-panel: port 888 \\(0x378\\): only the simulated port is here: no board is driven; "
                                           "--simulate allows a dry run\\n";
        for (const char* address : {"0", "70000", "garbage", "888abc", "2147483648", ""})
            QTest::addRow("address \"%s\"", address) << QStringList{"--port", address, "--query"} << 2 << ""
                                                     << u"rfswitch-panel: --port \"%1\" is not a port address: .*"_s.arg(address) + usage;
        QTest::newRow("bad path") << QStringList{"--select", "rf3"} << 2 << "" << "rfswitch-panel: --select takes rf1, rf2 or off, not \"rf3\"" + usage;
        QTest::newRow("two actions") << QStringList{"--select", "rf1", "--query"} << 2 << "" << "rfswitch-panel: --select, --query .*" + usage;
        QTest::newRow("log to a FIFO") << QStringList{"--select", "rf1", "--simulate", "--log", "FIFO"} << 2 << ""
                                       << "rfswitch-panel: --log .*/fifo: not a regular file" + usage;
        QTest::newRow("serial with a comma") << QStringList{"--serial", "a,b", "--listen", "0"} << 2 << ""
                                             << "rfswitch-panel: --serial takes 1 to 64 printable characters without blanks, ',' or ';', not \"a,b\"" + usage;
        QTest::newRow("idle timeout 0") << QStringList{"--idle-timeout", "0", "--listen", "0"} << 2 << ""
                                        << "rfswitch-panel: --idle-timeout takes a number of seconds from 1 on, not \"0\"" + usage;
        QTest::newRow("allow without listen") << QStringList{"--allow", "10.0.0.0/8"} << 2 << ""
                                              << "rfswitch-panel: --allow, --idle-timeout and --serial go with --listen" + usage;
        QTest::newRow("allow no subnet") << QStringList{"--allow", "10.0.0.0/33", "--headless", "--listen", "0"} << 2 << ""
                                         << "rfswitch-panel: --allow 10\\.0\\.0\\.0/33: not an ADDRESS/PREFIX .*" + usage;
        QTest::newRow("no display") << QStringList{} << 3 << "" << "rfswitch-panel: no display to open the panel on .*\\n";
    }

    void programRunsWithoutDisplay()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, out);
        QFETCH(QString, err);
        const QString fifo = config.filePath(u"../fifo"_s);
        mkfifo(qPrintable(fifo), 0600);
        arguments.replaceInStrings(u"FIFO"_s, fifo);
        const Run run = Program(arguments, config.path());
        QTEST(run.code, "code");
        QVERIFY2(QRegularExpression(u'^' + out + u'$').match(run.out).hasMatch(), qPrintable(run.out));
        QVERIFY2(QRegularExpression(u'^' + err + u'$').match(run.err).hasMatch(), qPrintable(run.err));
        // Nothing is kept between runs.
        QCOMPARE(QDir(config.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
    }

    // What a script sees when the port misbehaves, and what reached the port.
    void outcomes_data()
    {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("port");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");
        QTest::addColumn<QString>("accesses");
        QTest::newRow("verified") << "rf1" << "" << 0 << "port 888 (0x378) /dev/parport0: C1=1 C2=0 rf1" << "" << "r888:00 r888:00 w888:01 r888:01";
        // The state line says what the port read back, not what was asked.
        QTest::newRow("not read back") << "rf1" << "stuck" << 1 << "port 888 (0x378) /dev/parport0: C1=0 C2=0 off"
                                       << "Port 888: wrote 0x01, read back 0x00 after 110 attempts" << "-";
        QTest::newRow("port gone mid-write") << "rf1" << "dies" << 1 << ""
                                             << "Port 888: wrote 0x01, nothing read back after 110 attempts: /dev/parport0: no such device; "
                                                "the board's state is unknown" << "r888:00 r888:00";
        QTest::newRow("unusable") << "rf1" << "unusable" << 3 << ""
                                  << "port 888 (0x378): /dev/parport0: permission denied; add your user to the lp group and log in again" << "";
        QTest::newRow("query writes nothing") << "query" << "" << 0 << "port 888 (0x378) /dev/parport0: C1=0 C2=1 rf2" << "" << "r888:02";
    }

    void outcomes()
    {
        QFETCH(QString, action);
        QFETCH(QString, port);
        FakePort fake;
        fake.latched[888] = action == "query"_L1 ? 0x02 : 0x00;
        fake.status = port == "unusable"_L1 ? PortStatus{PortReach::Unusable, "/dev/parport0", "/dev/parport0: permission denied",
                                                          "add your user to the lp group and log in again", false}
                                            : kReal;
        fake.stuckRead = port == "stuck"_L1 ? std::optional<std::uint8_t>(0) : std::nullopt;
        fake.answersFor = port == "dies"_L1 ? std::optional<std::size_t>(2) : std::nullopt;
        SwitchCore core(fake);
        const QStringList arguments = action == "query"_L1 ? QStringList{"rfswitch-panel", "--query"}
                                                            : QStringList{"rfswitch-panel", "--select", action};
        const CommandOutcome outcome = RunSwitchCommand(ParseCommandLine(arguments), core, 888);
        QTEST(outcome.exitCode, "code");
        QTEST(outcome.output, "out");
        QTEST(outcome.error, "err");
        QFETCH(QString, accesses);
        if (accesses != "-"_L1)
            QCOMPARE(fake.Take(), accesses);
    }
};

QTEST_MAIN(CommandLineTest)
#include "tst_commandline.moc"

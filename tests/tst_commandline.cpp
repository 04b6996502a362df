#include "CommandLine.h"
#include "FakePort.h"

#include <QProcess>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

// What the program printed and how it ended, run with no display and its
// settings in `config`.
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
        QTest::addColumn<QString>("out");  // a regular expression for the whole of stdout
        QTest::newRow("help") << QStringList{"--help"} << 0 << "Usage: rfswitch-panel \\[options\\]\\n(.|\\n)*--select <rf1\\|rf2\\|off>(.|\\n)*";
        QTest::newRow("version") << QStringList{"--version"} << 0 << "rfswitch-panel 1\\.0\\.0\\n";
        QTest::newRow("dry run") << QStringList{"--select", "rf1", "--simulate"} << 0
                                 << "port 888 \\(0x378\\) simulated port: C1=1 C2=0 rf1\\n";
        QTest::newRow("hex address") << QStringList{"--port", "&H278", "--query", "--simulate"} << 0
                                     << "port 632 \\(0x278\\) simulated port: C1=0 C2=0 off\\n";
        QTest::newRow("simulated only") << QStringList{"--select", "rf2"} << 3
                                        << "port 888 \\(0x378\\) simulated port: C1=0 C2=0 off \\(simulated: no board is driven; --simulate allows a dry run\\)\\n";
        QTest::newRow("address 0") << QStringList{"--port", "0", "--query"} << 2 << "port 0: no port at address 0; .*\\n";
        QTest::newRow("beyond the I/O space") << QStringList{"--port", "70000", "--query"} << 2 << "port 70000 \\(0x11170\\): no I/O port at 70000; .*\\n";
        QTest::newRow("bad path") << QStringList{"--select", "rf3"} << 2 << "";
        QTest::newRow("bad address") << QStringList{"--port", "2147483648", "--query"} << 2 << "";
        QTest::newRow("two actions") << QStringList{"--select", "rf1", "--query"} << 2 << "";
        QTest::newRow("no display") << QStringList{} << 3 << "";
    }

    void programRunsWithoutDisplay()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, out);
        const Run run = Program(arguments, config.path());
        QTEST(run.code, "code");
        QVERIFY2(QRegularExpression(u'^' + out + u'$').match(run.out).hasMatch(), qPrintable(run.out));
        // Errors and the missing display are one line, never Qt's abort.
        QVERIFY2(run.code == 0 || !run.out.isEmpty() || (run.err.startsWith(u"rfswitch-panel: "_s) && run.err.count(u'\n') <= 2), qPrintable(run.err));
    }

    // The address last taken is the default and --port overrides it; --log records each write.
    void rememberedAddressAndLog()
    {
        QTemporaryDir home;
        QSettings(home.filePath(u"rfswitch-panel/rfswitch-panel.conf"_s), QSettings::IniFormat).setValue(u"port/address"_s, 956);
        const QString log = home.filePath(u"ops.log"_s);
        QCOMPARE(Program({"--select", "rf2", "--simulate", "--log", log}, home.path()).out,
                 u"port 956 (0x3BC) simulated port: C1=0 C2=1 rf2\n"_s);
        QCOMPARE(Program({"--port", "888", "--query", "--simulate"}, home.path()).out, u"port 888 (0x378) simulated port: C1=0 C2=0 off\n"_s);
        QFile written(log);
        QVERIFY(written.open(QIODevice::ReadOnly));
        const QString lines = QString::fromUtf8(written.readAll());
        QVERIFY2(lines.count(u'\n') == 1 && lines.endsWith(u" command-line port=956 register=data(956) wrote=0x02 read=0x02 attempts=1 result=verified\n"_s),
                 qPrintable(lines));
    }

    // Exit codes for the ports this machine does not have.
    void exitCodes_data()
    {
        QTest::addColumn<bool>("usable");
        QTest::addColumn<bool>("stuck");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("line");
        QTest::newRow("verified") << true << false << 0 << "port 888 (0x378) /dev/parport0: C1=1 C2=0 rf1";
        QTest::newRow("not read back") << true << true << 1 << "port 888 (0x378) /dev/parport0: C1=1 C2=0 rf1";
        QTest::newRow("unusable") << false << false << 3
                                  << "port 888 (0x378) /dev/parport0: /dev/parport0: permission denied; add your user to the lp group and log in again";
    }

    void exitCodes()
    {
        QFETCH(bool, usable);
        QFETCH(bool, stuck);
        FakePort port;
        port.status = usable ? PortStatus{PortReach::Real, "/dev/parport0", "", "", false}
                             : PortStatus{PortReach::Unusable, "/dev/parport0", "/dev/parport0: permission denied",
                                          "add your user to the lp group and log in again", false};
        if (stuck)
            port.stuckRead = 0;
        SwitchCore core(port);
        const CommandOutcome outcome = RunSwitchCommand(ParseCommandLine({"rfswitch-panel", "--select", "rf1"}), core, 888);
        QTEST(outcome.exitCode, "code");
        QTEST(outcome.output, "line");
        QCOMPARE(port.Writes().empty(), !usable);
    }
};

QTEST_MAIN(CommandLineTest)
#include "tst_commandline.moc"

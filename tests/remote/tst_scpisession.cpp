// The SCPI command layer on the real switch core and a recording port: what a
// script reads back, what lands in the error queue, what reaches the port.
#include "FakePort.h"
#include "ScpiSession.h"
#include "SwitchInstrument.h"

#include <QTest>

namespace {

struct Rig
{
    FakePort port;
    SwitchCore core{port};
    SwitchInstrument instrument{core};
    std::shared_ptr<ScpiSession> session;
    QByteArray answers;

    explicit Rig(const QString& setup)
    {
        if (setup.startsWith(QLatin1String("simulated")))
            port.status = {PortReach::Absent, "simulated port", "no port at 888", "", false};
        else if (setup == QLatin1String("unusable"))
            port.status = {PortReach::Unusable, "/dev/parport0", "/dev/parport0: permission denied", "add your user to the lp group", false};
        else if (setup == QLatin1String("stuck"))
            port.stuckRead = 0;
        core.TakeAddress(888, true, Source::Panel);
        port.accesses.clear();
        session = ScpiSession::Create(instrument, {setup == QLatin1String("simulated-allowed"), "rfswitch-panel", "QTR7-415KM", "1.0.0"});
        session->SetOutput([this](std::string_view text) { answers.append(text.data(), static_cast<qsizetype>(text.size())); });
    }

    void Feed(const QByteArray& bytes) { session->Feed(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size()))); }

    QString ErrorNumbers() const
    {
        QStringList numbers;
        for (const auto& error : session->Errors())
            numbers << QString::number(error.number);
        return numbers.join(QLatin1Char(' '));
    }
};

} // namespace

class TestScpiSession : public QObject
{
    Q_OBJECT

private slots:
    void commands_data();
    void commands();
    void errorQueueOverflows();
};

void TestScpiSession::commands_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("answers");
    QTest::addColumn<QString>("errors");
    QTest::addColumn<QString>("writes");  // "-": not compared

    const QString none;
    QTest::newRow("identity") << "real" << QByteArray("*IDN?\n") << QByteArray("rfswitch-panel,QTR7-415KM,888,1.0.0\n") << none << none;
    QTest::newRow("lower case, CR LF") << "real" << QByteArray("*idn?\r\n") << QByteArray("rfswitch-panel,QTR7-415KM,888,1.0.0\n") << none << none;
    QTest::newRow("close 1, short form") << "real" << QByteArray("ROUT:CLOS (@1)\n") << QByteArray() << none << "w888:01";
    QTest::newRow("close 2, long form") << "real" << QByteArray("route:close (@2)\n") << QByteArray() << none << "w888:02";
    QTest::newRow("1 to 2 breaks first") << "real" << QByteArray("ROUTe:CLOSe (@1)\nROUT:CLOS (@2)\n") << QByteArray() << none << "w888:01 w888:00 w888:02";
    QTest::newRow("queries joined") << "real" << QByteArray("ROUT:CLOS (@1);ROUT:CLOS? (@1,2);ROUT:CLOS:STAT?\n") << QByteArray("1,0;(@1)\n") << none << "w888:01";
    QTest::newRow("relative header") << "real" << QByteArray("ROUT:CLOS (@1);OPEN (@1);:ROUT:CLOS:STAT?\n") << QByteArray("(@)\n") << none << "w888:01 w888:00";
    QTest::newRow("relative within a line only") << "real" << QByteArray("ROUT:CLOS (@1)\nOPEN (@1);ROUT:CLOS:STAT?\n") << QByteArray("(@1)\n") << "-113" << "w888:01";
    QTest::newRow("open of an open path") << "real" << QByteArray("ROUT:CLOS (@1);ROUT:OPEN (@2);ROUT:CLOS:STAT?\n") << QByteArray("(@1)\n") << none << "w888:01";
    QTest::newRow("open all") << "real" << QByteArray("ROUT:CLOS (@2);ROUT:OPEN:ALL;ROUT:OPEN? (@1,2)\n") << QByteArray("1,1\n") << none << "w888:02 w888:00";
    QTest::newRow("reset") << "real" << QByteArray("ROUT:CLOS (@2);*RST;ROUT:CLOS:STAT?\n") << QByteArray("(@)\n") << none << "w888:02 w888:00";
    QTest::newRow("both paths") << "real" << QByteArray("ROUT:CLOS (@1,2)\nROUT:CLOS (@1:2)\n") << QByteArray() << "-221 -221" << "";
    QTest::newRow("channel 3") << "real" << QByteArray("ROUT:CLOS (@3)\nROUT:CLOS? (@0)\n") << QByteArray() << "-222 -222" << "";
    QTest::newRow("parameters") << "real" << QByteArray("ROUT:CLOS\nROUT:CLOS 1\nROUT:CLOS (@1\nROUT:CLOS (@1),(@2)\n*IDN? 1\n")
                                << QByteArray() << "-109 -104 -102 -108 -108" << "";
    QTest::newRow("headers") << "real" << QByteArray("ROUT:SHUT (@1)\nROUT:CLOS\x01 (@1)\n123\nROUT::CLOS (@1)\n*RST?\n")
                             << QByteArray() << "-113 -101 -100 -102 -113" << "";
    QTest::newRow("self-test, real") << "real" << QByteArray("*TST?\n") << QByteArray("0\n") << none << none;
    QTest::newRow("self-test, simulated") << "simulated-allowed" << QByteArray("*TST?;SYST:PORT:SIM?\n") << QByteArray("1;1\n") << none << none;
    QTest::newRow("version, empty queue") << "real" << QByteArray("SYST:VERS?;SYSTEM:ERROR:NEXT?\n") << QByteArray("1999.0;0,\"No error\"\n") << none << none;
    QTest::newRow("error read once") << "real" << QByteArray("FOO;SYST:ERR?;SYST:ERR?\n") << QByteArray("-113,\"Undefined header\";0,\"No error\"\n") << none << none;
    QTest::newRow("status bytes") << "real" << QByteArray("FOO;*STB?;*ESR?;*ESR?;*CLS;*STB?\n") << QByteArray("4;32;0;0\n") << none << none;
    QTest::newRow("port") << "real" << QByteArray("SYST:PORT 632;SYST:PORT?;*IDN?\n") << QByteArray("632;rfswitch-panel,QTR7-415KM,632,1.0.0\n") << none << "w634:00 w632:00";
    QTest::newRow("port in hex") << "real" << QByteArray("SYST:PORT &H278;SYST:PORT?\n") << QByteArray("632\n") << none << "w634:00 w632:00";
    QTest::newRow("no port there") << "real" << QByteArray("SYST:PORT 0\nSYST:PORT\nSYST:PORT (@1)\n") << QByteArray() << "-222 -109 -104" << "";
    QTest::newRow("simulated refuses") << "simulated" << QByteArray("ROUT:CLOS (@1);*RST;ROUT:CLOS:STAT?;SYST:PORT:SIM?\n") << QByteArray("(@);1\n") << "-241 -241" << "";
    QTest::newRow("simulated allowed") << "simulated-allowed" << QByteArray("ROUT:CLOS (@1);*RST\n") << QByteArray() << none << "w888:01 w888:00";
    QTest::newRow("unusable port") << "unusable" << QByteArray("ROUT:CLOS (@1);SYST:ERR?\n")
                                   << QByteArray("-241,\"Hardware missing; /dev/parport0: permission denied; add your user to the lp group\"\n") << none << "";
    QTest::newRow("not read back") << "stuck" << QByteArray("ROUT:CLOS (@1)\n") << QByteArray() << "-240" << "-";
    QTest::newRow("line too long") << "real" << QByteArray("ROUT:CLOS (@1)" + QByteArray(4083, ' ') + "\nROUT:CLOS:STAT?\n")
                                   << QByteArray("(@)\n") << "-102" << "";
    QTest::newRow("longest line") << "real" << QByteArray("ROUT:CLOS (@1)" + QByteArray(4082, ' ') + "\r\nROUT:CLOS:STAT?\n")
                                  << QByteArray("(@1)\n") << none << "w888:01";
}

void TestScpiSession::commands()
{
    QFETCH(QString, setup);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, answers);
    QFETCH(QString, errors);
    QFETCH(QString, writes);

    Rig rig(setup);
    // Bytes arrive as the network hands them over: here one at a time.
    for (const char byte : input)
        rig.Feed(QByteArray(1, byte));
    QCOMPARE(rig.answers, answers);
    QCOMPARE(rig.ErrorNumbers(), errors);
    if (writes != QLatin1String("-"))
        QCOMPARE(Trace(rig.port.Writes()), writes);
    QVERIFY(rig.session->Idle());
}

void TestScpiSession::errorQueueOverflows()
{
    Rig rig(QStringLiteral("real"));
    rig.Feed(QByteArray("FOO\n").repeated(17));
    rig.Feed(QByteArray("SYST:ERR?\n").repeated(17));
    QCOMPARE(rig.answers, QByteArray("-113,\"Undefined header\"\n").repeated(15) + "-350,\"Queue overflow\"\n0,\"No error\"\n");
}

QTEST_GUILESS_MAIN(TestScpiSession)
#include "tst_scpisession.moc"

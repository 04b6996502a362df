// Remote control on the real switch core and a recording port: the SCPI
// command layer (what a script reads back, what lands in the error queue,
// what reaches the port) and the server over loopback with QTcpSocket clients.
#include "FakePort.h"
#include "ScpiServer.h"
#include "SwitchInstrument.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

#include <memory>
#include <utility>

namespace {

constexpr int kTimeout = 30000;

struct Board
{
    FakePort port;
    SwitchCore core{port};
    ScpiServer server{core};
    QSignalSpy listening{&server, &ScpiServer::Listening};

    // A write reads back only from its n-th attempt on: n > 101 reaches the
    // paused tail, so that commands from everyone arrive while one is under way.
    explicit Board(int readBackAfter = 1)
    {
        core.TakeAddress(888, true, Source{});
        port.accesses.clear();
        port.readBackAfter = readBackAfter;
        server.Listen({QHostAddress::LocalHost, 0});
    }

    std::unique_ptr<QTcpSocket> Connect() const
    {
        auto socket = std::make_unique<QTcpSocket>();
        socket->connectToHost(QHostAddress::LocalHost, server.Port());
        return socket;
    }

    // Runs `then` when the first write reaches the port, before it is read back.
    void OnFirstWrite(std::function<void()> then)
    {
        port.onAccess = [then = std::move(then), done = false](const PortAccess& access) mutable {
            if (access.kind == PortAccess::Kind::Write && !std::exchange(done, true))
                then();
        };
    }
};

// The next line the server sends, read while the server's own events run.
QByteArray ReadLine(QTcpSocket& socket)
{
    return QTest::qWaitFor([&socket] { return socket.canReadLine(); }, kTimeout) ? socket.readLine() : "(no answer)";
}

} // namespace

class TestScpi : public QObject
{
    Q_OBJECT

private slots:
    void commands_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("input");
        QTest::addColumn<QString>("answers");
        QTest::addColumn<QString>("errors");
        QTest::addColumn<QString>("writes");  // "-": not compared

        const QString none;
        QTest::newRow("1 to 2 breaks first") << "real" << "ROUTe:CLOSe (@1)\nROUT:CLOS (@2)\n" << none << none << "w888:01 w888:00 w888:02";
        QTest::newRow("relative header") << "real" << "ROUT:CLOS (@1);OPEN (@1);:ROUT:CLOS:STAT?\n" << "(@)\n" << none << "w888:01 w888:00";
        QTest::newRow("relative within a line only") << "real" << "ROUT:CLOS (@1)\nOPEN (@1);ROUT:CLOS:STAT?\n" << "(@1)\n" << "-113" << "w888:01";
        QTest::newRow("open of an open path") << "real" << "ROUT:CLOS (@1);ROUT:OPEN (@2);ROUT:CLOS:STAT?\n" << "(@1)\n" << none << "w888:01";
        QTest::newRow("open all, self-test") << "real" << "ROUT:CLOS (@2);ROUT:OPEN:ALL;ROUT:OPEN? (@1,2);*TST?\n" << "1,1;0\n" << none << "w888:02 w888:00";
        QTest::newRow("both paths as a range") << "real" << "ROUT:CLOS (@1:2)\n" << none << "-221" << "";
        QTest::newRow("channel 3") << "real" << "ROUT:CLOS (@3)\nROUT:CLOS? (@0)\n" << none << "-222 -222" << "";
        QTest::newRow("parameters") << "real" << "ROUT:CLOS\nROUT:CLOS 1\nROUT:CLOS (@1\nROUT:CLOS (@1),(@2)\n*IDN? 1\n" << none << "-109 -104 -102 -108 -108" << "";
        QTest::newRow("headers") << "real" << "ROUT:SHUT (@1)\nROUT:CLOS\x01 (@1)\n123\nROUT::CLOS (@1)\n*RST?\n" << none << "-113 -101 -100 -102 -113" << "";
        QTest::newRow("port in hex") << "real" << "SYST:PORT &H278;SYST:PORT?;*IDN?\n" << "632;rfswitch-panel,QTR7-415KM,632,1.0.0\n" << none << "w634:00 w632:00";
        QTest::newRow("no port there") << "real" << "SYST:PORT 0\nSYST:PORT\nSYST:PORT (@1)\n" << none << "-222 -109 -104" << "";
        // A USB adapter has no address: its device, as a string, names it; its registers are 0 to 2.
        QTest::newRow("port by device") << "real" << "SYST:PORT \"/dev/parport1\";SYST:PORT?;*IDN?\n"
                                        << "\"/dev/parport1\";rfswitch-panel,QTR7-415KM,/dev/parport1,1.0.0\n" << none << "w2:00 w0:00";
        QTest::newRow("not a port device") << "real" << "SYST:PORT \"COM1\"\nSYST:PORT '/dev/parport1\n" << none << "-222 -102" << "";
        QTest::newRow("port list") << "real" << "SYST:PORT:LIST?\n"
                                   << "\"/dev/parport0: base 888 (0x378); usable: --port 888\",\"/dev/usb/lp0: base none: USB; not usable\"\n"
                                   << none << "";
        // However long a verified write takes, *OPC? answers after it.
        QTest::newRow("complete after a write") << "stuck" << "ROUT:CLOS (@1);*OPC?\n" << "1\n" << "-240" << "-";
        QTest::newRow("simulated refuses") << "simulated" << "ROUT:CLOS (@1);*RST;ROUT:CLOS:STAT?;SYST:PORT:SIM?\n" << "(@);1\n" << "-241 -241" << "";
        QTest::newRow("unusable port") << "unusable" << "ROUT:CLOS (@1);SYST:ERR?\n"
                                       << "-241,\"Hardware missing; /dev/parport0: permission denied; add your user to the lp group\"\n" << none << "";
        QTest::newRow("not read back") << "stuck" << "ROUT:CLOS (@1)\n" << none << "-240" << "-";
        QTest::newRow("line too long") << "real" << "ROUT:CLOS (@1)" + QString(4083, ' ') + "\nSYST:ERR?;ROUT:CLOS:STAT?\n"
                                       << "-102,\"Syntax error; line longer than 4096 bytes discarded\";(@)\n" << none << "";
        QTest::newRow("longest line, CR LF") << "real" << "ROUT:CLOS (@1)" + QString(4082, ' ') + "\r\nROUT:CLOS:STAT?\n" << "(@1)\n" << none << "w888:01";
        QTest::newRow("error queue overflows") << "real" << QString("FOO\n").repeated(17) + QString("SYST:ERR?\n").repeated(17)
                                               << QString("-113,\"Undefined header\"\n").repeated(15) + "-350,\"Queue overflow\"\n0,\"No error\"\n" << none << "";
    }

    void commands()
    {
        QFETCH(QString, setup);
        QFETCH(QString, input);
        QFETCH(QString, answers);
        QFETCH(QString, errors);
        QFETCH(QString, writes);

        FakePort port;
        if (setup == QLatin1String("simulated"))
            port.status = {PortReach::Simulated, "simulated port", "no port at 888", "", false};
        else if (setup == QLatin1String("unusable"))
            port.status = {PortReach::Unusable, "/dev/parport0", "/dev/parport0: permission denied", "add your user to the lp group", false};
        else if (setup == QLatin1String("stuck"))
            port.stuckRead = 0;
        SwitchCore core{port};
        core.TakeAddress(888, true, Source{});
        port.accesses.clear();
        SwitchInstrument instrument{core, Source::Remote("127.0.0.1:5000"), [] {
                                        return std::vector<std::string>{"/dev/parport0: base 888 (0x378); usable: --port 888",
                                                                        "/dev/usb/lp0: base none: USB; not usable"};
                                    }};
        const auto session = ScpiSession::Create(instrument, {"rfswitch-panel", "QTR7-415KM", "1.0.0"});
        QString said;
        session->SetOutput([&said](std::string_view text) { said += QString::fromLatin1(text.data(), qsizetype(text.size())); });
        // Bytes arrive as the network hands them over: here one at a time.
        for (const char byte : input.toLatin1())
            session->Feed(std::string_view(&byte, 1));

        QStringList queued;
        for (const auto& error : session->Errors())
            queued << QString::number(error.number);
        QCOMPARE(said, answers);
        QCOMPARE(queued.join(QLatin1Char(' ')), errors);
        if (writes != QLatin1String("-"))
            QCOMPARE(Trace(port.Writes()), writes);
    }

    void listenAddress_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("address");  // empty: refused

        QTest::newRow("port only") << "5025" << "127.0.0.1 5025";
        QTest::newRow("all interfaces") << "0.0.0.0:5025" << "0.0.0.0 5025";
        QTest::newRow("IPv6") << "[::1]:5025" << "::1 5025";
        QTest::newRow("IPv6 without brackets") << "::1:5025" << "";
        QTest::newRow("host name") << "bench-pc:5025" << "";
        QTest::newRow("port too big") << "65536" << "";
        QTest::newRow("no port") << "127.0.0.1:" << "";
        QTest::newRow("letters") << "50x5" << "";
    }

    void listenAddress()
    {
        QFETCH(QString, text);
        QFETCH(QString, address);

        QString error;
        if (const auto parsed = ParseListenAddress(text, &error))
            QCOMPARE(parsed->host.toString() + QLatin1Char(' ') + QString::number(parsed->port), address);
        else
            QVERIFY2(address.isEmpty() && error.startsWith(text + QLatin1String(": ")), qPrintable(error));
    }

    void twoClientsAndAPanelClick()
    {
        Board board(103);
        QCOMPARE(board.listening.value(0).value(0).toString(), QStringLiteral("127.0.0.1:%1").arg(board.server.Port()));
        auto a = board.Connect();
        auto b = board.Connect();
        QTRY_COMPARE_WITH_TIMEOUT(board.server.Clients(), 2, kTimeout);

        // A's selection is on its way to the port when the panel's click
        // arrives, and B's selection after both.
        board.OnFirstWrite([&] {
            board.core.Toggle(0, board.core.LastBits(), Source{});
            b->write("ROUT:CLOS (@2);ROUT:CLOS:STAT?\n");
        });
        a->write("ROUT:CLOS (@1);ROUT:CLOS:STAT?\n");
        QCOMPARE(ReadLine(*a), QByteArray("(@1)\n"));
        QCOMPARE(ReadLine(*b), QByteArray("(@2)\n"));
        a->write("*OPC?;ROUT:CLOS? (@1,2);SYST:ERR?\n");
        QCOMPARE(ReadLine(*a), QByteArray("1;0,1;0,\"No error\"\n"));

        // A's make, the click's C1 off, B's make, each repeated until read back.
        const QString writes = Trace(board.port.Writes()).replace(QRegularExpression(QStringLiteral("(w888:..)( \\1)+")), QStringLiteral("\\1"));
        QCOMPARE(writes, QStringLiteral("w888:01 w888:00 w888:02"));
    }

    void ninthClientRefused()
    {
        Board board;
        std::vector<std::unique_ptr<QTcpSocket>> clients;
        for (int i = 0; i < 8; ++i)
            clients.push_back(board.Connect());
        QTRY_COMPARE_WITH_TIMEOUT(board.server.Clients(), 8, kTimeout);
        auto ninth = board.Connect();
        QCOMPARE(ReadLine(*ninth), QByteArray("refused: this switch serves at most 8 clients at a time; close another connection first\n"));
        QTRY_COMPARE_WITH_TIMEOUT(ninth->state(), QAbstractSocket::UnconnectedState, kTimeout);

        // One leaves: a newcomer is served, and the panel hears of both.
        QSignalSpy changed(&board.server, &ScpiServer::ClientsChanged);
        clients.front()->disconnectFromHost();
        QTRY_COMPARE_WITH_TIMEOUT(board.server.Clients(), 7, kTimeout);
        auto newcomer = board.Connect();
        newcomer->write("SYST:VERS?\n");
        QCOMPARE(ReadLine(*newcomer), QByteArray("1999.0\n"));
        QCOMPARE(changed.size(), 2);
        QCOMPARE(changed.last().first().toInt(), 8);
    }

    void clientGoneMidCommand()
    {
        Board board(103);
        auto leaver = board.Connect();
        auto stayer = board.Connect();
        QTRY_COMPARE_WITH_TIMEOUT(board.server.Clients(), 2, kTimeout);

        // Two lines sent, then gone while the first is still being written: the
        // other client is served meanwhile, and the second line still runs.
        board.OnFirstWrite([&] {
            leaver->abort();
            stayer->write("SYST:VERS?\n");
        });
        leaver->write("ROUT:CLOS (@1)\nROUT:CLOS (@2)\n");
        QCOMPARE(ReadLine(*stayer), QByteArray("1999.0\n"));
        QTRY_COMPARE_WITH_TIMEOUT(board.port.Latched(888), std::uint8_t(2), kTimeout);
        stayer->write("ROUT:CLOS:STAT?\n");
        QCOMPARE(ReadLine(*stayer), QByteArray("(@2)\n"));
    }
};

QTEST_GUILESS_MAIN(TestScpi)
#include "tst_scpi.moc"

// The SCPI server over loopback with QTcpSocket clients, on the real switch
// core and a recording port.
#include "FakePort.h"
#include "ScpiServer.h"
#include "SwitchCore.h"

#include <QSignalSpy>
#include <QTcpSocket>
#include <QTest>

#include <memory>
#include <vector>

namespace {

constexpr int kTimeout = 30000;

struct Rig
{
    FakePort port;
    SwitchCore core{port};
    ScpiServer server{core};
    // Every byte written to the data register with both control bits set.
    std::vector<std::uint8_t> forbidden;

    Rig()
    {
        core.TakeAddress(888, true, Source::Panel);
        port.accesses.clear();
        port.onAccess = [this](const PortAccess& access) {
            if (access.kind == PortAccess::Kind::Write && access.port == 888 && (access.value & 3) == 3)
                forbidden.push_back(access.value);
        };
    }
};

std::unique_ptr<QTcpSocket> Connect(const ScpiServer& server)
{
    auto socket = std::make_unique<QTcpSocket>();
    socket->connectToHost(QHostAddress::LocalHost, server.Port());
    return socket;
}

// The next line the server sends, read while the server's own events run.
QByteArray ReadLine(QTcpSocket& socket)
{
    if (!QTest::qWaitFor([&socket] { return socket.canReadLine(); }, kTimeout))
        return "(no answer)";
    return socket.readLine();
}

} // namespace

class TestScpiServer : public QObject
{
    Q_OBJECT

private slots:
    void listenAddress_data();
    void listenAddress();
    void twoClientsAndAPanelClick();
    void ninthClientRefused();
    void longLineKeepsConnection();
    void clientGoneMidCommand();
};

void TestScpiServer::listenAddress_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("host");  // empty: refused
    QTest::addColumn<int>("port");

    QTest::newRow("port only") << "5025" << "127.0.0.1" << 5025;
    QTest::newRow("any free port") << "0" << "127.0.0.1" << 0;
    QTest::newRow("all interfaces") << "0.0.0.0:5025" << "0.0.0.0" << 5025;
    QTest::newRow("IPv6") << "[::1]:5025" << "::1" << 5025;
    QTest::newRow("IPv6 without brackets") << "::1:5025" << "" << 0;
    QTest::newRow("host name") << "bench-pc:5025" << "" << 0;
    QTest::newRow("port too big") << "65536" << "" << 0;
    QTest::newRow("no port") << "127.0.0.1:" << "" << 0;
    QTest::newRow("letters") << "50x5" << "" << 0;
}

void TestScpiServer::listenAddress()
{
    QFETCH(QString, text);
    QFETCH(QString, host);
    QFETCH(int, port);

    QString error;
    const auto address = ParseListenAddress(text, &error);
    QCOMPARE(address.has_value(), !host.isEmpty());
    if (address) {
        QCOMPARE(address->host.toString(), host);
        QCOMPARE(address->port, port);
    } else {
        QVERIFY(error.startsWith(text + QLatin1String(": ")));
    }
}

void TestScpiServer::twoClientsAndAPanelClick()
{
    Rig rig;
    // Each write reads back only after the slow tail has begun, so that
    // commands from everyone arrive while one is under way.
    rig.port.readBackAfter = 103;
    QSignalSpy listening(&rig.server, &ScpiServer::Listening);
    QVERIFY(rig.server.Listen({QHostAddress::LocalHost, 0}));
    QCOMPARE(listening.value(0).value(0).toString(), QStringLiteral("127.0.0.1:%1").arg(rig.server.Port()));

    auto a = Connect(rig.server);
    auto b = Connect(rig.server);
    QTRY_COMPARE_WITH_TIMEOUT(rig.server.Clients(), 2, kTimeout);

    // A's selection is on its way to the port when the panel's click
    // arrives, and B's selection after both.
    bool clicked = false;
    auto watch = rig.port.onAccess;
    rig.port.onAccess = [&](const PortAccess& access) {
        watch(access);
        if (access.kind == PortAccess::Kind::Write && !clicked) {
            clicked = true;
            rig.core.Toggle(0, Source::Panel);
            b->write("ROUT:CLOS (@2);ROUT:CLOS:STAT?\n");
        }
    };
    a->write("ROUT:CLOS (@1);ROUT:CLOS:STAT?\n");
    QCOMPARE(ReadLine(*a), QByteArray("(@1)\n"));
    QCOMPARE(ReadLine(*b), QByteArray("(@2)\n"));
    a->write("*OPC?;ROUT:CLOS? (@1,2);SYST:ERR?\n");
    b->write("*OPC?;ROUT:CLOS:STAT?\n");
    QCOMPARE(ReadLine(*a), QByteArray("1;0,1;0,\"No error\"\n"));
    QCOMPARE(ReadLine(*b), QByteArray("1;(@2)\n"));

    QStringList values;
    for (const PortAccess& write : rig.port.Writes()) {
        const QString value = QString::number(write.value);
        if (values.isEmpty() || values.back() != value)
            values << value;
    }
    // A's make, the click's C1 off, B's make: the remote ones read back.
    QCOMPARE(values.join(QLatin1Char(' ')), QStringLiteral("1 0 2"));
    QCOMPARE(rig.forbidden.size(), std::size_t(0));
    QCOMPARE(rig.core.Bits(), BitsFor(RfPath::Rf2));
    QCOMPARE(rig.port.Latched(888), std::uint8_t(2));
}

void TestScpiServer::ninthClientRefused()
{
    Rig rig;
    QVERIFY(rig.server.Listen({QHostAddress::LocalHost, 0}));
    std::vector<std::unique_ptr<QTcpSocket>> clients;
    for (int i = 0; i < 8; ++i)
        clients.push_back(Connect(rig.server));
    QTRY_COMPARE_WITH_TIMEOUT(rig.server.Clients(), 8, kTimeout);

    auto ninth = Connect(rig.server);
    QCOMPARE(ReadLine(*ninth), QByteArray("refused: this switch serves at most 8 clients at a time; close another connection first\n"));
    QTRY_COMPARE_WITH_TIMEOUT(ninth->state(), QAbstractSocket::UnconnectedState, kTimeout);
    QCOMPARE(rig.server.Clients(), 8);

    // One leaves: a newcomer is served.
    QSignalSpy changed(&rig.server, &ScpiServer::ClientsChanged);
    clients.front()->disconnectFromHost();
    QTRY_COMPARE_WITH_TIMEOUT(rig.server.Clients(), 7, kTimeout);
    auto newcomer = Connect(rig.server);
    newcomer->write("SYST:VERS?\n");
    QCOMPARE(ReadLine(*newcomer), QByteArray("1999.0\n"));
    QCOMPARE(changed.value(changed.size() - 1).value(0).toInt(), 8);
}

void TestScpiServer::longLineKeepsConnection()
{
    Rig rig;
    QVERIFY(rig.server.Listen({QHostAddress::LocalHost, 0}));
    auto client = Connect(rig.server);
    client->write("ROUT:CLOS (@1)" + QByteArray(100000, ' ') + "\nSYST:ERR?;ROUT:CLOS:STAT?\n");
    QCOMPARE(ReadLine(*client), QByteArray("-102,\"Syntax error; line longer than 4096 bytes discarded\";(@)\n"));
    QCOMPARE(Trace(rig.port.Writes()), QString());
    client->write("ROUT:CLOS (@1);*OPC?\n");
    QCOMPARE(ReadLine(*client), QByteArray("1\n"));
    QCOMPARE(rig.port.Latched(888), std::uint8_t(1));
}

void TestScpiServer::clientGoneMidCommand()
{
    Rig rig;
    rig.port.readBackAfter = 103;
    QVERIFY(rig.server.Listen({QHostAddress::LocalHost, 0}));
    auto leaver = Connect(rig.server);
    auto stayer = Connect(rig.server);
    QTRY_COMPARE_WITH_TIMEOUT(rig.server.Clients(), 2, kTimeout);

    // Two lines sent, then gone while the first is still being written;
    // the other client is served meanwhile.
    bool left = false;
    auto watch = rig.port.onAccess;
    rig.port.onAccess = [&](const PortAccess& access) {
        watch(access);
        if (access.kind == PortAccess::Kind::Write && !left) {
            left = true;
            leaver->abort();
            stayer->write("SYST:VERS?\n");
        }
    };
    leaver->write("ROUT:CLOS (@1)\nROUT:CLOS (@2)\n");
    QCOMPARE(ReadLine(*stayer), QByteArray("1999.0\n"));
    QTRY_COMPARE_WITH_TIMEOUT(rig.server.Clients(), 1, kTimeout);
    stayer->write("*OPC?;ROUT:CLOS:STAT?\n");
    // The *OPC? may come before the gone client's second line was read.
    QTRY_COMPARE_WITH_TIMEOUT(rig.port.Latched(888), std::uint8_t(2), kTimeout);
    stayer->write("ROUT:CLOS:STAT?\n");
    QVERIFY(ReadLine(*stayer).startsWith("1;(@"));
    QCOMPARE(ReadLine(*stayer), QByteArray("(@2)\n"));
    QCOMPARE(Trace(rig.port.Writes()).count(QStringLiteral("w888:03")), 0);
    QCOMPARE(rig.forbidden.size(), std::size_t(0));
}

QTEST_GUILESS_MAIN(TestScpiServer)
#include "tst_scpiserver.moc"

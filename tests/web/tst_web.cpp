// The web server on the real switch core and a recording port, over
// loopback: what a request gets back, what reaches the port and in which
// order, and what the log says of it.
#include "FakePort.h"
#include "SwitchCore.h"
#include "WebServer.h"

#include <QTcpSocket>
#include <QTest>

namespace {

constexpr int kTimeout = 30000;

// The answer's status line and body; empty when the server closed without one.
QByteArray Exchange(quint16 port, const QByteArray& request)
{
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    socket.write(request);
    QByteArray got;
    // A server that closes without an answer ends the wait too.
    (void)QTest::qWaitFor([&] {
        got += socket.readAll();
        const qsizetype end = got.indexOf("\r\n\r\n");
        if (end < 0)
            return socket.state() == QAbstractSocket::UnconnectedState;
        const qsizetype length = got.mid(got.indexOf("Content-Length: ") + 16).split('\r').first().toInt();
        return got.size() >= end + 4 + length;
    }, kTimeout);
    const qsizetype end = got.indexOf("\r\n\r\n");
    return end < 0 ? got : got.left(got.indexOf("\r\n")) + ' ' + got.mid(end + 4);
}

} // namespace

class TestWeb : public QObject
{
    Q_OBJECT

private slots:
    void requests_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QByteArray>("request");  // HOST stands for the server's address
        QTest::addColumn<QByteArray>("answer");   // the status line and a part of the body
        QTest::addColumn<QString>("writes");
        QTest::addColumn<QString>("logged");      // a part of the last log line

        const QByteArray post = "POST /api/select HTTP/1.1\r\nHost: HOST\r\nContent-Length: 3\r\n";
        const QString verified = "attempts=1 result=verified";
        QTest::newRow("off to rf2") << "real" << post + "\r\nrf2" << QByteArray("HTTP/1.1 200 OK {\"bits\":{\"c1\":false,\"c2\":true}")
                                    << "w888:02" << "remote:http:127.0.0.1:";
        QTest::newRow("rf1 to rf2 breaks first") << "rf1" << post + "\r\nRF2" << QByteArray("\"path\":\"rf2\"") << "w888:00 w888:02" << verified;
        QTest::newRow("the page's own") << "real" << post + "Origin: http://HOST\r\nSec-Fetch-Site: same-origin\r\n\r\nrf1"
                                        << QByteArray("HTTP/1.1 200 OK") << "w888:01" << verified;
        QTest::newRow("GET changes nothing") << "real" << QByteArray("GET /api/select?rf1 HTTP/1.1\r\nHost: HOST\r\n\r\n")
                                             << QByteArray("HTTP/1.1 405 Method Not Allowed {\"error\"") << "" << "";
        QTest::newRow("another site's page") << "real" << post + "Origin: http://evil.example\r\n\r\nrf1"
                                             << QByteArray("HTTP/1.1 403 Forbidden") << "" << "select result=refused (sent from another site's page";
        QTest::newRow("another site's form") << "real" << post + "Sec-Fetch-Site: cross-site\r\n\r\nrf1"
                                             << QByteArray("HTTP/1.1 403 Forbidden") << "" << "select result=refused (sent from another site's page";
        QTest::newRow("a name rebound to here") << "real" << QByteArray(post).replace("HOST", "evil.example:80") + "Origin: http://evil.example:80\r\n\r\nrf1"
                                                << QByteArray("HTTP/1.1 403 Forbidden") << "" << "which does not name this machine";
        QTest::newRow("no such path") << "real" << post + "\r\nrf3" << QByteArray("HTTP/1.1 400 Bad Request")
                                      << "" << "select result=refused (\"rf3\" is not rf1, rf2 or off)";
        QTest::newRow("locked by another") << "locked" << post + "\r\nrf1"
                                           << QByteArray("HTTP/1.1 409 Conflict {\"bits\":{\"c1\":false,\"c2\":false},\"colour\":\"#000000\",\"contacts\":"
                                                         "[[1900,800,2300,800],[1680,1250,2160,1350],[3250,1230,2880,1320]],\"device\":\"fake port\","
                                                         "\"error\":{\"code\":-203,\"detail\":\"locked by remote:192.0.2.7:5025\",\"message\":\"Command "
                                                         "protected; locked by remote:192.0.2.7:5025\"},\"lock\":\"remote:192.0.2.7:5025\"")
                                           << "" << "select-rf1 result=refused (locked by remote:192.0.2.7:5025)";
        QTest::newRow("simulated") << "simulated" << post + "\r\nrf1"
                                   << QByteArray("HTTP/1.1 409 Conflict {\"bits\":{\"c1\":false,\"c2\":false},\"colour\":\"#0000c0\"") << ""
                                   << "port 888 (0x378) is only simulated: no board is driven; --simulate allows a dry run";
        QTest::newRow("simulated, a dry run") << "dry run" << post + "\r\nrf1" << QByteArray("HTTP/1.1 200 OK") << "w888:01" << verified;
        QTest::newRow("not read back") << "stuck" << post + "\r\nrf2"
                                       << QByteArray("HTTP/1.1 500 Internal Server Error {\"bits\":{\"c1\":false,\"c2\":false},\"colour\":\"#ff0000\"")
                                       << "-" << "result=not-read-back";
        QTest::newRow("state") << "locked" << QByteArray("GET /api/state HTTP/1.1\r\nHost: HOST\r\n\r\n")
                               << QByteArray("HTTP/1.1 200 OK {\"bits\":{\"c1\":false,\"c2\":false},\"colour\":\"#000000\"") << "" << "";
    }

    void requests()
    {
        QFETCH(QString, setup);
        QFETCH(QByteArray, request);
        QFETCH(QByteArray, answer);
        QFETCH(QString, writes);
        QFETCH(QString, logged);

        FakePort port;
        if (setup == QLatin1String("simulated") || setup == QLatin1String("dry run"))
            port.status = {PortReach::Simulated, "simulated port", "no port at 888", "", false};
        SwitchCore core{port};
        core.SetAllowSimulated(setup == QLatin1String("dry run"));
        core.TakeAddress(888, true, Source{});
        if (setup == QLatin1String("rf1"))
            core.Select(RfPath::Rf1, Source{});
        if (setup == QLatin1String("locked"))
            core.Lock(Source::Remote("192.0.2.7:5025"));
        if (setup == QLatin1String("stuck"))
            port.stuckRead = 0;
        WebServerOptions options;
        if (setup == QLatin1String("allow 10/8"))
            options.policy.allow = *AllowList::Parse({QStringLiteral("10.0.0.0/8")});
        WebServer server{core, options};
        QVERIFY(server.Listen({QHostAddress::LocalHost, 0}));
        QString last;
        connect(&core, &SwitchCore::Logged, this, [&last](const std::string& line) { last = QString::fromStdString(line); });
        port.accesses.clear();

        const QByteArray host = "127.0.0.1:" + QByteArray::number(server.Port());
        const QByteArray got = Exchange(server.Port(), QByteArray(request).replace("HOST", host));
        QVERIFY2(answer.isEmpty() ? got.isEmpty() : got.contains(answer), got.constData());
        if (writes != QLatin1String("-"))
            QCOMPARE(Trace(port.Writes()), writes);
        QVERIFY2(last.contains(logged), qPrintable(last));
    }

    // A client that hangs up before its turn (another client's slow write
    // comes first) has it switch nothing later.
    void clientGoneBeforeItsTurn()
    {
        FakePort port;
        SwitchCore core{port};
        core.TakeAddress(888, true, Source{});
        WebServer server{core};
        QVERIFY(server.Listen({QHostAddress::LocalHost, 0}));
        QString last;
        connect(&core, &SwitchCore::Logged, this, [&last](const std::string& line) { last = QString::fromStdString(line); });
        port.accesses.clear();
        QTcpSocket client;
        port.onAccess = [&, once = false](const PortAccess& access) mutable {
            if (access.kind != PortAccess::Kind::Write || std::exchange(once, true))
                return;
            client.connectToHost(QHostAddress::LocalHost, server.Port());
            client.write("POST /api/select HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(server.Port()) + "\r\nContent-Length: 3\r\n\r\nrf2");
            QTRY_COMPARE_WITH_TIMEOUT(core.Queued(), 1u, kTimeout);
            // Gone before its turn, and before the server has looked.
            client.abort();
        };
        core.Select(RfPath::Rf1, Source::Remote("10.0.0.7:5025"));
        QCOMPARE(Trace(port.Writes()), QStringLiteral("w888:01"));
        QVERIFY2(last.endsWith(QStringLiteral(" select-rf2 result=abandoned (the client that asked has gone)")), qPrintable(last));
    }
};

QTEST_GUILESS_MAIN(TestWeb)
#include "tst_web.moc"

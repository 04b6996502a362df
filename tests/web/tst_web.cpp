// The web server on the real switch core and a recording port, over
// loopback: what a request gets back, what reaches the port and in which
// order, and what the log says of it; the limits every client is held to,
// the names that may switch, HEAD, and the page's WebSocket.
#include "FakePort.h"
#include "Metrics.h"
#include "SwitchCore.h"
#include "WebDocuments.h"
#include "WebServer.h"

#include <QElapsedTimer>
#include <QHostInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <QXmlStreamReader>

#include <functional>

#include <sys/socket.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

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

// The length of the first whole answer in `got`, or 0 while it is not all there.
qsizetype AnswerLength(const QByteArray& got, bool head = false)
{
    const qsizetype end = got.indexOf("\r\n\r\n");
    if (end < 0)
        return 0;
    const qsizetype field = got.left(end).indexOf("\r\nContent-Length: ");
    const qsizetype length = head || field < 0 ? 0 : got.mid(field + 18, end - field - 18).split('\r').first().toLongLong();
    return got.size() >= end + 4 + length ? end + 4 + length : 0;
}

// A client on a connection of its own, reading what comes as it comes.
class Peer
{
public:
    explicit Peer(quint16 port, QHostAddress host = QHostAddress::LocalHost)
    {
        QObject::connect(&socket_, &QTcpSocket::readyRead, [this] { got += socket_.readAll(); });
        socket_.connectToHost(host, port);
    }

    void Send(const QByteArray& bytes) { socket_.write(bytes); }
    // Sends nothing more, as a client does once it has read why it is closed.
    void HalfClose()
    {
        socket_.flush();
        ::shutdown(int(socket_.socketDescriptor()), SHUT_WR);
    }
    // Until `enough` holds for what came, or the server has closed.
    void WaitFor(const std::function<bool(const QByteArray&)>& enough)
    {
        (void)QTest::qWaitFor([&] { return enough(got) || Closed(); }, kTimeout);
    }
    bool WaitForClose() { return QTest::qWaitFor([this] { return Closed(); }, kTimeout); }
    bool Closed() const { return socket_.state() == QAbstractSocket::UnconnectedState; }
    QTcpSocket& Socket() { return socket_; }

    QByteArray got;

private:
    QTcpSocket socket_;
};

// The switch on a recording port at 888, served on loopback.
struct Served
{
    explicit Served(WebServerOptions options = {}) : server(core, std::move(options))
    {
        core.TakeAddress(888, true, Source{});
        port.accesses.clear();
        listening = server.Listen({QHostAddress::LocalHost, 0});
        QObject::connect(&server, &WebServer::Refused, [this](const QString&, const QString& why) { refusals << why; });
    }
    QByteArray Host() const { return "127.0.0.1:" + QByteArray::number(server.Port()); }

    FakePort port;
    SwitchCore core{port};
    WebServer server;
    bool listening = false;
    QStringList refusals;
};

// The frames the server sent, as "text", "ping:PAYLOAD", "pong:PAYLOAD" or
// "close:CODE", and the bytes of a frame not whole yet left in `bytes`.
QStringList ServerFrames(QByteArray& bytes)
{
    QStringList frames;
    for (;;) {
        if (bytes.size() < 2)
            return frames;
        const int opcode = bytes[0] & 0x0F;
        qsizetype length = bytes[1] & 0x7F;
        qsizetype header = 2;
        if (length == 126) {
            if (bytes.size() < 4)
                return frames;
            length = (quint8(bytes[2]) << 8) | quint8(bytes[3]);
            header = 4;
        }
        if (bytes.size() < header + length)
            return frames;
        const QByteArray payload = bytes.mid(header, length);
        bytes.remove(0, header + length);
        if (opcode == 0x1)
            frames << "text";
        else if (opcode == 0x8)
            frames << "close:" + QString::number(payload.size() < 2 ? 1005 : (quint8(payload[0]) << 8) | quint8(payload[1]));
        else
            frames << (opcode == 0x9 ? "ping:" : "pong:") + QString::fromLatin1(payload);
    }
}

// A client's frame, masked.
QByteArray ClientFrame(int first, const QByteArray& payload, qint64 declared = -1)
{
    const qint64 length = declared < 0 ? payload.size() : declared;
    QByteArray frame(1, char(first));
    if (length < 126) {
        frame += char(0x80 | length);
    } else {
        frame += char(0x80 | 126);
        frame += char(length >> 8);
        frame += char(length & 0xFF);
    }
    const char key[4] = {0x11, 0x22, 0x33, 0x44};
    frame.append(key, 4);
    for (qsizetype i = 0; i < payload.size(); ++i)
        frame += char(payload[i] ^ key[i % 4]);
    return frame;
}

const QByteArray kFollow = "GET /api/events HTTP/1.1\r\nHost: HOST\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";

// Each element of an XML document by its path ("LXIDevice/Interface/Gateway",
// attributes as "LXIDevice/Interface@InterfaceType"), in document order.
QList<QPair<QString, QString>> Elements(const QByteArray& document)
{
    QList<QPair<QString, QString>> elements;
    QStringList path;
    QXmlStreamReader xml(document);
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement()) {
            path << xml.name().toString();
            for (const QXmlStreamAttribute& attribute : xml.attributes())
                elements.append({path.join(u'/') + u'@' + attribute.name().toString(), attribute.value().toString()});
            elements.append({path.join(u'/'), QString()});
        } else if (xml.isCharacters() && !xml.isWhitespace() && !elements.isEmpty()) {
            elements.back().second += xml.text();
        } else if (xml.isEndElement()) {
            path.removeLast();
        }
    }
    return xml.hasError() ? QList<QPair<QString, QString>>{{"error", xml.errorString()}} : elements;
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
        QTest::newRow("the page's own, over TLS") << "real" << post + "Origin: https://HOST\r\nSec-Fetch-Site: same-origin\r\n\r\nrf1"
                                                  << QByteArray("HTTP/1.1 200 OK") << "w888:01" << verified;
        QTest::newRow("GET changes nothing") << "real" << QByteArray("GET /api/select?rf1 HTTP/1.1\r\nHost: HOST\r\n\r\n")
                                             << QByteArray("HTTP/1.1 405 Method Not Allowed {\"error\"") << "" << "";
        QTest::newRow("another site's page") << "real" << post + "Origin: http://evil.example\r\n\r\nrf1"
                                             << QByteArray("HTTP/1.1 403 Forbidden") << "" << "select result=refused (sent from another site's page";
        QTest::newRow("another site's form") << "real" << post + "Sec-Fetch-Site: cross-site\r\n\r\nrf1"
                                             << QByteArray("HTTP/1.1 403 Forbidden") << "" << "select result=refused (sent from another site's page";
        QTest::newRow("a page of the same site") << "real" << post + "Origin: http://HOST\r\nSec-Fetch-Site: same-site\r\n\r\nrf1"
                                                 << QByteArray("HTTP/1.1 403 Forbidden") << "" << "select result=refused (sent from another site's page";
        QTest::newRow("a sandboxed page") << "real" << post + "Origin: null\r\n\r\nrf1" << QByteArray("HTTP/1.1 403 Forbidden") << ""
                                          << "select result=refused (sent from another site's page";
        QTest::newRow("a name rebound to here") << "real" << QByteArray(post).replace("HOST", "evil.example:80") + "Origin: http://evil.example:80\r\n\r\nrf1"
                                                << QByteArray("HTTP/1.1 403 Forbidden") << "" << "which does not name this machine";
        QTest::newRow("no such path") << "real" << post + "\r\nrf3" << QByteArray("HTTP/1.1 400 Bad Request")
                                      << "" << "select result=refused (\"rf3\" is not rf1, rf2 or off)";
        QTest::newRow("locked by another") << "locked" << post + "\r\nrf1"
                                           << QByteArray("HTTP/1.1 409 Conflict {\"bits\":{\"c1\":false,\"c2\":false},\"colour\":\"#000000\",\"contacts\":"
                                                         "[[1900,800,2300,800],[1680,1250,2160,1350],[3250,1230,2880,1320]],\"cycles\":{\"limit\":null,\"rf1\":0,"
                                                         "\"rf2\":0,\"warning\":null},\"device\":\"fake port\","
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

    // A POST is answered once the switch has settled, with the path it
    // moved to; reading the state meanwhile is not held up.
    void selectAnsweredSettled()
    {
        Served served;
        served.core.SetSettleTime(std::chrono::milliseconds(400), Source{});
        QElapsedTimer clock;
        clock.start();
        qint64 written = -1;
        served.port.onAccess = [&](const PortAccess& access) {
            if (access.kind == PortAccess::Kind::Write)
                written = clock.elapsed();
        };
        Peer select(served.server.Port());
        select.Send("POST /api/select HTTP/1.1\r\nHost: " + served.Host() + "\r\nContent-Length: 3\r\n\r\nrf1");
        QTRY_VERIFY_WITH_TIMEOUT(written >= 0, kTimeout);
        const QByteArray state = Exchange(served.server.Port(), "GET /api/state HTTP/1.1\r\nHost: " + served.Host() + "\r\n\r\n");
        QVERIFY2(state.contains("\"path\":\"rf1\""), state.constData());
        select.WaitFor([](const QByteArray& got) { return got.contains("\"result\":\"verified\""); });
        const qint64 answered = clock.elapsed();
        QVERIFY2(select.got.startsWith("HTTP/1.1 200 OK") && select.got.contains("\"path\":\"rf1\""), select.got.constData());
        QVERIFY2(answered - written >= 400, qPrintable(QStringLiteral("answered %1 ms after the write").arg(answered - written)));
    }

    // Only a name that is this machine's, exactly, or an address may switch.
    void hosts_data()
    {
        QTest::addColumn<QString>("host");  // NAME: this machine's name; PORT: the server's
        QTest::addColumn<bool>("switches");
        QTest::newRow("localhost") << "localhost:PORT" << true;
        QTest::newRow("localhost without a port") << "localhost" << true;
        QTest::newRow("its name") << "NAME:PORT" << true;
        QTest::newRow("its name in capitals") << "NAME:PORT" << true;
        QTest::newRow("its name in .local") << "NAME.local:PORT" << true;
        QTest::newRow("IPv4 loopback") << "127.0.0.1:PORT" << true;
        QTest::newRow("IPv6 loopback") << "[::1]:PORT" << true;
        QTest::newRow("another address") << "192.0.2.7" << true;
        QTest::newRow("vm.evil.example") << "NAME.evil.example:PORT" << false;
        QTest::newRow("vm.local.evil.example") << "NAME.local.evil.example" << false;
        QTest::newRow("its name and more") << "NAMEx:PORT" << false;
        QTest::newRow("localhost.evil.example") << "localhost.evil.example" << false;
        QTest::newRow("an address and more") << "127.0.0.1.evil.example" << false;
        QTest::newRow("another name") << "evil.example:PORT" << false;
        QTest::newRow("a port that is none") << "localhost:80x" << false;
        QTest::newRow("an unclosed bracket") << "[::1:PORT" << false;
    }

    void hosts()
    {
        QFETCH(QString, host);
        QFETCH(bool, switches);
        const QString name = QHostInfo::localHostName();
        if (name.isEmpty() && host.contains("NAME"))
            QSKIP("this machine has no name");
        Served served;
        QVERIFY(served.listening);
        host.replace("NAME", QTest::currentDataTag() == QLatin1String("its name in capitals") ? name.toUpper() : name);
        host.replace("PORT", QString::number(served.server.Port()));
        const QByteArray request = "POST /api/select HTTP/1.1\r\nHost: " + host.toLatin1() + "\r\nContent-Length: 3\r\n\r\nrf1";
        const QByteArray got = Exchange(served.server.Port(), request);
        QVERIFY2(got.startsWith(switches ? "HTTP/1.1 200 OK" : "HTTP/1.1 403 Forbidden"), got.constData());
        QCOMPARE(Trace(served.port.Writes()), switches ? QString("w888:01") : QString());
    }

    // Each request within its limits, answered before more of it is read.
    void limits_data()
    {
        QTest::addColumn<QByteArray>("request");  // HOST: the server's address; PAD: filled to `size` bytes of head
        QTest::addColumn<int>("size");
        QTest::addColumn<QByteArray>("answer");      // the status line
        QTest::addColumn<QByteArray>("connection");  // its Connection header: "close" where the server closes after it
        QTest::addColumn<QString>("writes");

        const QByteArray padded = "GET /api/state HTTP/1.1\r\nHost: HOST\r\nX-Pad: PAD\r\n\r\n";
        QTest::newRow("a head of 16 KiB") << padded << 16384 << QByteArray("HTTP/1.1 200 OK") << QByteArray() << "";
        QTest::newRow("a head over 16 KiB") << padded << 16385 << QByteArray("HTTP/1.1 431 Request Header Fields Too Large") << QByteArray("close") << "";
        QTest::newRow("a body of 64 KiB") << "POST /api/select HTTP/1.1\r\nHost: HOST\r\nContent-Length: 65536\r\n\r\nrf1" + QByteArray(65533, ' ')
                                          << 0 << QByteArray("HTTP/1.1 200 OK") << QByteArray() << "w888:01";
        // Answered while the client still holds all but 1 KiB of it.
        QTest::newRow("a body over 64 KiB, refused on its head")
            << "POST /api/select HTTP/1.1\r\nHost: HOST\r\nContent-Length: 1048576\r\n\r\nrf1" + QByteArray(1021, ' ') << 0
            << QByteArray("HTTP/1.1 413 Content Too Large") << QByteArray("close") << "";
        QTest::newRow("a chunked body") << QByteArray("POST /api/select HTTP/1.1\r\nHost: HOST\r\nTransfer-Encoding: chunked\r\n\r\n3\r\nrf1\r\n")
                                        << 0 << QByteArray("HTTP/1.1 411 Length Required") << QByteArray("close") << "";
        QTest::newRow("HTTP/1.0") << QByteArray("GET /api/state HTTP/1.0\r\n\r\n") << 0 << QByteArray("HTTP/1.1 200 OK") << QByteArray("close") << "";
        QTest::newRow("HTTP/1.0, kept alive") << QByteArray("GET /api/state HTTP/1.0\r\nConnection: keep-alive\r\n\r\n") << 0
                                              << QByteArray("HTTP/1.1 200 OK") << QByteArray("keep-alive") << "";
        QTest::newRow("a method it does not know") << QByteArray("BREW /pot HTTP/1.1\r\nHost: HOST\r\n\r\n") << 0
                                                   << QByteArray("HTTP/1.1 501 Not Implemented") << QByteArray() << "";
        QTest::newRow("PUT on the page") << QByteArray("PUT / HTTP/1.1\r\nHost: HOST\r\nContent-Length: 0\r\n\r\n") << 0
                                         << QByteArray("HTTP/1.1 405 Method Not Allowed") << QByteArray() << "";
        QTest::newRow("nothing there") << QByteArray("GET /index.html HTTP/1.1\r\nHost: HOST\r\n\r\n") << 0
                                       << QByteArray("HTTP/1.1 404 Not Found") << QByteArray() << "";
        QTest::newRow("the events without an upgrade") << QByteArray("GET /api/events HTTP/1.1\r\nHost: HOST\r\n\r\n") << 0
                                                       << QByteArray("HTTP/1.1 426 Upgrade Required") << QByteArray("Upgrade") << "";
        QTest::newRow("a WebSocket from another site") << QByteArray(kFollow).replace("Upgrade\r\n", "Upgrade\r\nOrigin: http://evil.example\r\n")
                                                       << 0 << QByteArray("HTTP/1.1 403 Forbidden") << QByteArray() << "";
        QTest::newRow("a WebSocket of version 8") << QByteArray(kFollow).replace("Version: 13", "Version: 8") << 0
                                                  << QByteArray("HTTP/1.1 426 Upgrade Required") << QByteArray() << "";
    }

    void limits()
    {
        QFETCH(QByteArray, request);
        QFETCH(int, size);
        QFETCH(QByteArray, answer);
        QFETCH(QByteArray, connection);
        QFETCH(QString, writes);

        Served served;
        QVERIFY(served.listening);
        request.replace("HOST", served.Host());
        if (size > 0)
            request.replace("PAD", QByteArray(size - request.size() + 3, 'a'));
        Peer peer(served.server.Port());
        // A request for the state follows on the same connection.
        peer.Send(request + "GET /api/state HTTP/1.1\r\nHost: " + served.Host() + "\r\n\r\n");
        peer.WaitFor([](const QByteArray& got) { return AnswerLength(got) > 0; });
        QVERIFY2(peer.got.startsWith(answer + "\r\n"), peer.got.left(200).constData());
        const qsizetype first = AnswerLength(peer.got);
        const QByteArray head = peer.got.left(peer.got.indexOf("\r\n\r\n") + 2);
        const qsizetype field = head.indexOf("\r\nConnection: ");
        QCOMPARE(field < 0 ? QByteArray() : head.mid(field + 14, head.indexOf('\r', field + 2) - field - 14), connection);
        if (connection == "close") {
            peer.HalfClose();
            QVERIFY(peer.WaitForClose());
            QCOMPARE(peer.got.size(), first);
        } else {
            peer.WaitFor([first](const QByteArray& got) { return AnswerLength(got.mid(first)) > 0; });
            QVERIFY2(peer.got.mid(first).startsWith("HTTP/1.1 200 OK\r\n"), peer.got.mid(first, 200).constData());
        }
        QCOMPARE(Trace(served.port.Writes()), writes);
    }

    // A request must be in whole soon after the connection is ready for it;
    // a connection that starts none is closed without a word.
    void deadline_data()
    {
        QTest::addColumn<QByteArray>("sent");
        QTest::addColumn<bool>("answered");
        QTest::addColumn<QString>("reported");

        const QByteArray state = "GET /api/state HTTP/1.1\r\nHost: h\r\n\r\n";
        QTest::newRow("half a head") << QByteArray("GET /api/state HTTP/1.1\r\nHo") << false << "no whole request within 0.3 s";
        QTest::newRow("half a body") << QByteArray("POST /api/select HTTP/1.1\r\nHost: h\r\nContent-Length: 3\r\n\r\nrf") << false
                                     << "no whole request within 0.3 s";
        QTest::newRow("a request, then half of one") << state + "GET /api/st" << true << "no whole request within 0.3 s";
        QTest::newRow("nothing") << QByteArray() << false << "";
        QTest::newRow("a request, then nothing") << state << true << "";
    }

    void deadline()
    {
        QFETCH(QByteArray, sent);
        QFETCH(bool, answered);
        QFETCH(QString, reported);

        WebServerOptions options;
        options.deadline = std::chrono::milliseconds(300);
        Served served(options);
        QVERIFY(served.listening);
        Peer peer(served.server.Port());
        peer.Send(sent);
        QVERIFY(peer.WaitForClose());
        QCOMPARE(peer.got.startsWith("HTTP/1.1 200 OK\r\n"), answered);
        QCOMPARE(served.refusals.join(u'|'), reported);
    }

    // The 33rd connection is reset before it is read; the others are served.
    void connectionCap()
    {
        Served served;
        QVERIFY(served.listening);
        std::vector<std::unique_ptr<Peer>> peers;
        for (int i = 0; i < 32; ++i)
            peers.push_back(std::make_unique<Peer>(served.server.Port()));
        QVERIFY(QTest::qWaitFor([&] { return served.server.Connections() == 32; }, kTimeout));
        Peer over(served.server.Port());
        // Connected before the server takes it up: Qt would try again on a reset while connecting.
        QVERIFY(over.Socket().waitForConnected(kTimeout));
        over.Send("GET /api/state HTTP/1.1\r\nHost: h\r\n\r\n");
        QVERIFY(over.WaitForClose());
        QCOMPARE(over.got, QByteArray());
        QCOMPARE(served.refusals, QStringList{"32 clients are connected already"});

        const QByteArray state = "GET /api/state HTTP/1.1\r\nHost: h\r\n\r\n";
        peers.back()->Send(state);
        peers.back()->WaitFor([](const QByteArray& got) { return AnswerLength(got) > 0; });
        QVERIFY(peers.back()->got.startsWith("HTTP/1.1 200 OK\r\n"));
        // One goes; another comes in its place.
        peers.front().reset();
        QVERIFY(QTest::qWaitFor([&] { return served.server.Connections() == 31; }, kTimeout));
        Peer next(served.server.Port());
        next.Send(state);
        next.WaitFor([](const QByteArray& got) { return AnswerLength(got) > 0; });
        QVERIFY(next.got.startsWith("HTTP/1.1 200 OK\r\n"));
    }

    // A client that sends request after request and reads none of the
    // answers makes the server hold one answer and a little read ahead, and
    // is given up on once its answer has waited past the deadline.
    void pipelinedFlood()
    {
        WebServerOptions options;
        options.deadline = std::chrono::milliseconds(500);
        Served served(options);
        QVERIFY(served.listening);
        std::size_t held = 0;
        QTimer sample;
        connect(&sample, &QTimer::timeout, this, [&] { held = std::max(held, served.server.Buffered()); });
        sample.start(1);

        Peer peer(served.server.Port());
        peer.Socket().setReadBufferSize(1);  // reads nothing
        qint64 written = 0;
        connect(&peer.Socket(), &QTcpSocket::bytesWritten, this, [&written](qint64 bytes) { written += bytes; });
        QByteArray flood;
        for (int i = 0; i < 800000; ++i)
            flood += "GET /schematic.svg HTTP/1.1\r\nHost: h\r\n\r\n";
        peer.Send(flood);
        constexpr std::size_t kBound = 256 * 1024;
        QVERIFY(QTest::qWaitFor([&] { return peer.Closed() || held > kBound; }, kTimeout));
        QVERIFY2(held > 0 && held <= kBound, qPrintable(QString::number(held)));
        QCOMPARE(served.refusals, QStringList{"an answer not taken within 0.5 s"});
        QVERIFY2(written < flood.size() / 2, qPrintable(QString::number(written)));  // most of the flood was never taken
        QVERIFY(QTest::qWaitFor([&] { return served.server.Buffered() == 0; }, kTimeout));
    }

    // Every element the LXI identification schema requires of a device and
    // of a network interface, with the value the system has for loopback.
    void identification_data()
    {
        QTest::addColumn<QString>("element");
        QTest::addColumn<QString>("value");  // a regular expression for the whole text
        const QString device = "LXIDevice/";
        const QString card = "LXIDevice/Interface";
        QTest::newRow("Manufacturer") << device + "Manufacturer" << "rfswitch-panel";
        QTest::newRow("Model") << device + "Model" << "QTR7-415KM";
        QTest::newRow("SerialNumber") << device + "SerialNumber" << "SN-4711";
        QTest::newRow("FirmwareRevision") << device + "FirmwareRevision" << "\\d+\\.\\d+\\.\\d+";
        QTest::newRow("ManufacturerDescription") << device + "ManufacturerDescription" << ".+";
        QTest::newRow("HomepageURL") << device + "HomepageURL" << "http://127\\.0\\.0\\.1:\\d+/";
        QTest::newRow("UserDescription") << device + "UserDescription" << "QTR7-415KM on .+";
        QTest::newRow("IdentificationURL") << device + "IdentificationURL" << "http://127\\.0\\.0\\.1:\\d+/lxi/identification";
        QTest::newRow("Interface") << card << "";
        QTest::newRow("Interface type") << card + "@type" << "NetworkInformation";
        QTest::newRow("InterfaceType") << card + "@InterfaceType" << "LXI";
        QTest::newRow("IPType") << card + "@IPType" << "IPv4";
        QTest::newRow("InstrumentAddressString") << card + "/InstrumentAddressString" << "TCPIP0::127\\.0\\.0\\.1::5025::SOCKET";
        QTest::newRow("Hostname") << card + "/Hostname" << ".+";
        QTest::newRow("IPAddress") << card + "/IPAddress" << "127\\.0\\.0\\.1";
        QTest::newRow("SubnetMask") << card + "/SubnetMask" << "255\\.0\\.0\\.0";
        QTest::newRow("MACAddress") << card + "/MACAddress" << "00:00:00:00:00:00";
        QTest::newRow("Gateway") << card + "/Gateway" << "0\\.0\\.0\\.0";
        QTest::newRow("DHCPEnabled") << card + "/DHCPEnabled" << "false";
        QTest::newRow("AutoIPEnabled") << card + "/AutoIPEnabled" << "false";
        QTest::newRow("LXIVersion") << device + "LXIVersion" << "1\\.[0-9]+";
    }

    void identification()
    {
        QFETCH(QString, element);
        QFETCH(QString, value);
        WebServerOptions options;
        options.identity = ProgramIdentity("SN-4711");
        options.resources << "TCPIP0::%1::5025::SOCKET";
        Served served{options};
        const QByteArray got = Exchange(served.server.Port(), "GET /lxi/identification HTTP/1.1\r\nHost: " + served.Host() + "\r\n\r\n");
        const auto elements = Elements(got.mid(got.indexOf("<?xml")));
        const auto found = std::find_if(elements.begin(), elements.end(), [&](const auto& e) { return e.first == element; });
        QVERIFY2(found != elements.end(), got.constData());
        QVERIFY2(QRegularExpression("^" + value + "$").match(found->second.trimmed()).hasMatch(), qPrintable(found->second));
    }

    // The schema's elements come in its order.
    void identificationOrder()
    {
        Served served;
        const QByteArray got = Exchange(served.server.Port(), "GET /lxi/identification HTTP/1.1\r\nHost: " + served.Host() + "\r\n\r\n");
        QStringList device, card;
        for (const auto& [path, value] : Elements(got.mid(got.indexOf("<?xml")))) {
            if (path.count(u'/') == 1 && !path.contains(u'@'))
                device << path.section(u'/', 1);
            if (path.startsWith("LXIDevice/Interface/"))
                card << path.section(u'/', 2);
        }
        QCOMPARE(device.join(' '), "Manufacturer Model SerialNumber FirmwareRevision ManufacturerDescription HomepageURL "
                                   "UserDescription IdentificationURL Interface LXIVersion");
        QCOMPARE(card.join(' '), "Hostname IPAddress SubnetMask MACAddress Gateway DHCPEnabled AutoIPEnabled");
    }

    // The default route's next hop through an interface, from the kernel's tables.
    void gateway_data()
    {
        QTest::addColumn<QByteArray>("table");
        QTest::addColumn<QString>("interface");
        QTest::addColumn<QString>("gateway");
        const QByteArray head = "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
        const QByteArray lan = "eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n";
        QTest::newRow("through eth0") << head + "eth0\t00000000\t010200C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n" + lan << "eth0" << "192.0.2.1";
        QTest::newRow("the lower metric") << head + "eth0\t00000000\t010200C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
                                                    "eth0\t00000000\tFE0200C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n" << "eth0" << "192.0.2.254";
        QTest::newRow("through another interface") << head + "wlan0\t00000000\t010200C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n" + lan << "eth0" << "";
        QTest::newRow("a route that is down") << head + "eth0\t00000000\t010200C0\t0002\t0\t0\t100\t00000000\t0\t0\t0\n" << "eth0" << "";
        QTest::newRow("no default route") << head + lan << "eth0" << "";
        QTest::newRow("nothing readable") << QByteArray() << "eth0" << "";
        const QByteArray zero(32, '0');
        QTest::newRow("IPv6 through eth0") << "fd000000000000000000000000000000 40 " + zero + " 00 " + zero + " 00000100 00000001 00000000 00000001 eth0\n"
                                              + zero + " 00 " + zero + " 00 fd000000000000000000000000000001 00000400 00000003 00000000 00000003 eth0\n"
                                           << "eth0" << "fd00::1";
        QTest::newRow("IPv6 without a next hop") << zero + " 00 " + zero + " 00 " + zero + " 00000400 00000003 00000000 00000001 eth0\n" << "eth0" << "";
    }

    void gateway()
    {
        QFETCH(QByteArray, table);
        QFETCH(QString, interface);
        QFETCH(QString, gateway);
        QCOMPARE(DefaultGateway(table, interface).toString(), gateway);
    }

    // Who switched, as the metrics count it.
    void sourceLabels_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("peer");
        QTest::addColumn<QString>("label");
        const int remote = int(Source::Kind::Remote);
        QTest::newRow("raw socket") << remote << "127.0.0.1:50432" << "scpi-raw";
        QTest::newRow("raw socket, IPv6") << remote << "[::1]:50432" << "scpi-raw";
        QTest::newRow("raw socket, bare IPv6") << remote << "fe80::1" << "scpi-raw";
        QTest::newRow("VXI-11") << remote << "vxi11:127.0.0.1:812/link3" << "vxi-11";
        QTest::newRow("web") << remote << "http:[::1]:50432" << "http";
        QTest::newRow("HiSLIP") << remote << "hislip:127.0.0.1:50432" << "hislip";
        QTest::newRow("panel") << int(Source::Kind::Panel) << "" << "panel";
        QTest::newRow("command line") << int(Source::Kind::CommandLine) << "" << "command-line";
        QTest::newRow("start-up") << int(Source::Kind::StartUp) << "" << "start-up";
        QTest::newRow("port watch") << int(Source::Kind::PortWatch) << "" << "port-watch";
    }

    void sourceLabels()
    {
        QFETCH(int, kind);
        QFETCH(QString, peer);
        QFETCH(QString, label);
        QCOMPARE(QString::fromStdString(SourceLabel({Source::Kind(kind), peer.toStdString(), false})), label);
    }

    // Samples as the exposition format writes them.
    void metricsText_data()
    {
        QTest::addColumn<QString>("label");
        QTest::addColumn<double>("value");
        QTest::addColumn<QString>("line");
        QTest::newRow("plain") << "rf1" << 1.0 << "m{l=\"rf1\"} 1";
        QTest::newRow("quote, backslash, line feed") << "a\"b\\c\nd" << 0.0 << "m{l=\"a\\\"b\\\\c\\nd\"} 0";
        QTest::newRow("a large count") << "x" << 123456789012.0 << "m{l=\"x\"} 123456789012";
        QTest::newRow("seconds") << "x" << 0.02 << "m{l=\"x\"} 0.02";
    }

    void metricsText()
    {
        QFETCH(QString, label);
        QFETCH(double, value);
        QFETCH(QString, line);
        MetricsText text;
        text.Family("m", "gauge", "help\ntext").Sample({{"l", label.toStdString()}}, value);
        QCOMPARE(QString::fromStdString(text.Text()), "# HELP m help text\n# TYPE m gauge\n" + line + "\n");
    }

    // GET /metrics over loopback: the samples for what the core did and is.
    void metrics_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QStringList>("samples");
        QTest::newRow("off") << "real" << QStringList{"rfswitch_path{path=\"off\"} 1", "rfswitch_path{path=\"rf1\"} 0",
                                                       "rfswitch_path{path=\"unknown\"} 0", "rfswitch_lock_held 0",
                                                       "rfswitch_clients{server=\"http\"} 1", "rfswitch_port_simulated 0",
                                                       "rfswitch_settle_time_seconds 0"};
        QTest::newRow("settle time") << "settle" << QStringList{"rfswitch_settle_time_seconds 1.5"};
        QTest::newRow("unreadable") << "unreadable" << QStringList{"rfswitch_path{path=\"off\"} 0", "rfswitch_path{path=\"unknown\"} 1"};
        QTest::newRow("locked") << "locked" << QStringList{"rfswitch_lock_held 1", "rfswitch_lock_holder{holder=\"remote:192.0.2.7:5025\"} 1"};
        QTest::newRow("counted") << "switched" << QStringList{"rfswitch_operations_total{source=\"vxi-11\",result=\"verified\"} 2",
                                                              "rfswitch_operations_total{source=\"panel\",result=\"forbidden\"} 1",
                                                              "rfswitch_path{path=\"rf2\"} 1", "rfswitch_path{path=\"off\"} 0"};
        QTest::newRow("other servers") << "servers" << QStringList{"rfswitch_clients{server=\"scpi-raw\"} 3", "rfswitch_errors_queued{server=\"scpi-raw\"} 5",
                                                                  "rfswitch_clients{server=\"http\"} 1"};
    }

    void metrics()
    {
        QFETCH(QString, setup);
        QFETCH(QStringList, samples);
        WebServerOptions options;
        if (setup == "servers")
            options.servers = [] { return std::vector<ServerLoad>{{"scpi-raw", 3, 5}}; };
        Served served{options};
        if (setup == "unreadable") {
            served.port.readError = "/dev/parport0: input/output error";
            served.core.Attach(888, Source{});
        }
        if (setup == "locked")
            served.core.Lock(Source::Remote("192.0.2.7:5025"));
        if (setup == "settle")
            served.core.SetSettleTime(std::chrono::milliseconds(1500), Source{});
        if (setup == "switched") {
            const Source vxi11 = Source::Remote("vxi11:127.0.0.1:812/link1");
            served.core.Select(RfPath::Rf1, vxi11);
            served.core.Toggle(1, {true, false}, Source{});
            served.core.Select(RfPath::Rf2, vxi11);
        }
        const QByteArray got = Exchange(served.server.Port(), "GET /metrics HTTP/1.1\r\nHost: " + served.Host() + "\r\n\r\n");
        const QStringList lines = QString::fromUtf8(got).split(u'\n');
        for (const QString& sample : samples)
            QVERIFY2(lines.contains(sample), qPrintable(sample + " not in:\n" + got));
    }

    // What the page says of the path, and why its buttons cannot switch:
    // /api/state's "words" and "refused" as the page shows them.
    void pageSaysWhy_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<QString>("words");
        QTest::addColumn<QString>("refused");  // empty: null, the buttons switch
        QTest::newRow("free") << "real" << "All ports terminated" << "";
        QTest::newRow("RF1") << "rf1" << "RF COMMON connected to RF1" << "";
        QTest::newRow("unknown") << "unreadable" << "Unknown: nothing read back from the port" << "";
        QTest::newRow("locked") << "locked" << "All ports terminated"
                                << "Locked by remote:192.0.2.7:5025: switching from here is refused until it lets go.";
        QTest::newRow("simulated") << "simulated" << "All ports terminated"
                                   << "Only the simulated port is here: no board is driven, so switching from here is refused "
                                      "(the server's --simulate allows a dry run).";
        QTest::newRow("simulated, dry run allowed") << "dry run" << "All ports terminated" << "";
    }

    void pageSaysWhy()
    {
        QFETCH(QString, setup);
        Served served;
        if (setup == "rf1")
            served.core.Select(RfPath::Rf1, Source{});
        if (setup == "unreadable") {
            served.port.readError = "/dev/parport0: input/output error";
            served.core.Attach(888, Source{});
        }
        if (setup == "locked")
            served.core.Lock(Source::Remote("192.0.2.7:5025"));
        if (setup == "simulated" || setup == "dry run") {
            served.port.status = {PortReach::Simulated, "simulated port", "no parallel port at 888 (0x378)", "", false};
            served.core.SetAllowSimulated(setup == "dry run");
            served.core.TakeAddress(888, true, Source{});
        }
        const QByteArray got = Exchange(served.server.Port(), "GET /api/state HTTP/1.1\r\nHost: " + served.Host() + "\r\n\r\n");
        const QJsonObject state = QJsonDocument::fromJson(got.mid(got.indexOf('{'))).object();
        QTEST(state[u"words"_s].toString(), "words");
        QTEST(state[u"refused"_s].isNull() ? QString() : state[u"refused"_s].toString(), "refused");
    }

    // Its title names the machine, for the tab and the bookmark.
    void pageTitle()
    {
        Served served;
        char name[256] = {};
        QVERIFY(gethostname(name, sizeof name - 1) == 0);
        const QByteArray got = Exchange(served.server.Port(), "GET / HTTP/1.1\r\nHost: " + served.Host() + "\r\n\r\n");
        QVERIFY2(got.contains("<title>RF switch on " + QByteArray(name) + "</title>"), got.left(400).constData());
    }

    // HEAD gives what GET gives but the body, and the next answer follows at once.
    void head_data()
    {
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QByteArray>("status");
        QTest::newRow("the page") << QByteArray("/") << QByteArray("HTTP/1.1 200 OK");
        QTest::newRow("its script") << QByteArray("/page.js") << QByteArray("HTTP/1.1 200 OK");
        QTest::newRow("its style") << QByteArray("/page.css") << QByteArray("HTTP/1.1 200 OK");
        QTest::newRow("the schematic") << QByteArray("/schematic.svg") << QByteArray("HTTP/1.1 200 OK");
        QTest::newRow("the state") << QByteArray("/api/state") << QByteArray("HTTP/1.1 200 OK");
        QTest::newRow("the identification") << QByteArray("/lxi/identification") << QByteArray("HTTP/1.1 200 OK");
        QTest::newRow("the metrics") << QByteArray("/metrics") << QByteArray("HTTP/1.1 200 OK");
        QTest::newRow("the events") << QByteArray("/api/events") << QByteArray("HTTP/1.1 426 Upgrade Required");
        QTest::newRow("the selection") << QByteArray("/api/select") << QByteArray("HTTP/1.1 405 Method Not Allowed");
        QTest::newRow("nothing there") << QByteArray("/nothing") << QByteArray("HTTP/1.1 404 Not Found");
    }

    void head()
    {
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, status);
        Served served;
        QVERIFY(served.listening);
        Peer peer(served.server.Port());
        const QByteArray host = "\r\nHost: " + served.Host() + "\r\n\r\n";
        peer.Send("GET " + path + " HTTP/1.1" + host + "HEAD " + path + " HTTP/1.1" + host + "GET /api/state HTTP/1.1" + host);
        peer.WaitFor([](const QByteArray& got) {
            const qsizetype get = AnswerLength(got);
            const qsizetype head = get > 0 ? AnswerLength(got.mid(get), true) : 0;
            return head > 0 && AnswerLength(got.mid(get + head)) > 0;
        });
        QVERIFY2(peer.got.startsWith(status + "\r\n"), peer.got.left(200).constData());
        const qsizetype get = AnswerLength(peer.got);
        const QByteArray headers = peer.got.left(peer.got.indexOf("\r\n\r\n") + 4);
        QCOMPARE(peer.got.mid(get, headers.size()), headers);
        QVERIFY2(peer.got.mid(get + headers.size()).startsWith("HTTP/1.1 200 OK\r\n"), peer.got.mid(get + headers.size(), 100).constData());
    }

    // The page's WebSocket: pings answered, protocol errors and oversized
    // messages closed with RFC 6455's codes.
    void webSocket_data()
    {
        QTest::addColumn<QByteArray>("frames");
        QTest::addColumn<int>("idle");         // --idle-timeout, s
        QTest::addColumn<QString>("answer");   // the server's next frame
        QTest::addColumn<bool>("closes");      // else a ping is still answered

        QTest::newRow("ping") << ClientFrame(0x89, "hi") << 0 << "pong:hi" << false;
        QTest::newRow("a frame not masked") << QByteArray("\x81\x02hi") << 0 << "close:1002" << true;
        // Refused on its header, while the client still holds all but 100 bytes.
        QTest::newRow("a message of 5 KiB") << ClientFrame(0x81, QByteArray(100, 'a'), 5 * 1024) << 0 << "close:1009" << true;
        QTest::newRow("a message of 4 KiB, then a ping") << ClientFrame(0x81, QByteArray(4096, 'a')) + ClientFrame(0x89, "p") << 0 << "pong:p"
                                                         << false;
        QTest::newRow("a ping in parts") << ClientFrame(0x09, "p") << 0 << "close:1002" << true;
        QTest::newRow("opcode 3") << ClientFrame(0x83, "p") << 0 << "close:1002" << true;
        QTest::newRow("text not UTF-8") << ClientFrame(0x81, "\xff") << 0 << "close:1007" << true;
        QTest::newRow("the page closes") << ClientFrame(0x88, QByteArray("\x03\xe8", 2)) << 0 << "close:1000" << true;
        QTest::newRow("pinged within --idle-timeout") << QByteArray() << 1 << "ping:" << false;
    }

    void webSocket()
    {
        QFETCH(QByteArray, frames);
        QFETCH(int, idle);
        QFETCH(QString, answer);
        QFETCH(bool, closes);

        WebServerOptions options;
        options.policy.idleTimeout = std::chrono::seconds(idle);
        Served served(options);
        QVERIFY(served.listening);
        Peer peer(served.server.Port());
        peer.Send(QByteArray(kFollow).replace("HOST", served.Host()));
        peer.WaitFor([](const QByteArray& got) { return got.contains("\r\n\r\n"); });
        QVERIFY2(peer.got.startsWith("HTTP/1.1 101 Switching Protocols\r\n"), peer.got.constData());
        QVERIFY(peer.got.contains("\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"));
        QByteArray bytes = peer.got.mid(peer.got.indexOf("\r\n\r\n") + 4);
        peer.got.clear();
        QStringList said;
        const auto next = [&] {
            peer.WaitFor([&](const QByteArray& got) {
                bytes += got;
                peer.got.clear();
                said << ServerFrames(bytes);
                return said.size() >= 2;
            });
        };
        peer.Send(frames);
        next();
        QCOMPARE(said.value(0), QString("text"));  // the state, at once
        QCOMPARE(said.value(1), answer);
        if (closes) {
            peer.HalfClose();
            QVERIFY(peer.WaitForClose());
            return;
        }
        said.clear();
        peer.Send(ClientFrame(0x89, "still"));
        peer.WaitFor([&](const QByteArray& got) {
            bytes += got;
            peer.got.clear();
            said << ServerFrames(bytes);
            return said.contains("pong:still");
        });
        QVERIFY2(said.contains("pong:still"), qPrintable(said.join(u' ')));
    }

    // A client that hangs up before its turn (another client's slow write
    // comes first) has it switch nothing later.
    void clientGoneBeforeItsTurn()
    {
        Served served;
        QVERIFY(served.listening);
        QString last;
        connect(&served.core, &SwitchCore::Logged, this, [&last](const std::string& line) { last = QString::fromStdString(line); });
        QTcpSocket client;
        served.port.onAccess = [&, once = false](const PortAccess& access) mutable {
            if (access.kind != PortAccess::Kind::Write || std::exchange(once, true))
                return;
            client.connectToHost(QHostAddress::LocalHost, served.server.Port());
            client.write("POST /api/select HTTP/1.1\r\nHost: " + served.Host() + "\r\nContent-Length: 3\r\n\r\nrf2");
            QTRY_COMPARE_WITH_TIMEOUT(served.core.Queued(), 1u, kTimeout);
            // Gone for good: a reset, not a client that only stopped sending.
            const linger now{1, 0};
            ::setsockopt(int(client.socketDescriptor()), SOL_SOCKET, SO_LINGER, &now, sizeof now);
            client.abort();
            QTRY_COMPARE_WITH_TIMEOUT(served.server.Connections(), 0, kTimeout);
        };
        served.core.Select(RfPath::Rf1, Source::Remote("10.0.0.7:5025"));
        QCOMPARE(Trace(served.port.Writes()), QStringLiteral("w888:01"));
        QVERIFY2(last.endsWith(QStringLiteral(" select-rf2 result=abandoned (the client that asked has gone)")), qPrintable(last));
    }
};

QTEST_GUILESS_MAIN(TestWeb)
#include "tst_web.moc"

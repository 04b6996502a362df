// The web server: its protocol layers over bytes alone (HTTP requests read
// within their limits, answers on the wire, WebSocket frames and handshakes
// as RFC 6455 has them), and the server on the real switch core and a
// recording port, over loopback: what a request gets back, what reaches the
// port and in which order, and what the log says of it; the names that are
// served, HEAD, the deadlines, and the page's WebSocket. The program itself is read by
// api_client.py, metrics_client.py and the browser test (the page's own
// POST among them); the caps, oversized requests and peers that never read
// are the hostile suite's.
#include "FakePort.h"
#include "HttpAnswer.h"
#include "HttpRequest.h"
#include "Metrics.h"
#include "SwitchCore.h"
#include "Table.h"
#include "WebDocuments.h"
#include "WebServer.h"
#include "WebSocket.h"

#include <QElapsedTimer>
#include <QHostInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTest>

#include <functional>
#include <map>

#include <sys/socket.h>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;

namespace {

constexpr int kTimeout = 30000;

// A client's WebSocket frame, masked with a fixed key; `declared` claims a
// payload length other than the payload's own.
QByteArray MaskedFrame(int first, const QByteArray& payload, qint64 declared = -1)
{
    const quint64 length = declared < 0 ? quint64(payload.size()) : quint64(declared);
    const int extended = length < 126 ? 0 : length <= 0xFFFF ? 2 : 8;
    QByteArray frame = QByteArray(1, char(first)) + char(0x80 | (extended == 0 ? length : extended == 2 ? 126 : 127));
    for (int shift = 8 * extended - 8; shift >= 0; shift -= 8)
        frame += char((length >> shift) & 0xFF);
    const char key[4] = {0x37, char(0xfa), 0x21, 0x3d};
    frame.append(key, 4);
    for (qsizetype i = 0; i < payload.size(); ++i)
        frame += char(payload[i] ^ key[i % 4]);
    return frame;
}

QByteArray Close(int code, const QByteArray& reason = {})
{
    return MaskedFrame(0x88, QByteArray(1, char(code >> 8)) + char(code & 0xFF) + reason);
}

using State = HttpRequestReader::State;

// What the reader made of a request: "idle", "partial", "refused STATUS",
// "head PATH AUTHORITY" or "complete PATH AUTHORITY BODY keep|close", a
// body over 16 bytes by its size.
QString ReaderSaid(const HttpRequestReader& reader, State state)
{
    const HttpRequest& request = reader.Request();
    const auto text = [](std::string_view view) { return QString::fromLatin1(view.data(), qsizetype(view.size())); };
    const QString read = text(request.Path()) + u' ' + text(request.Authority());
    const QString body = request.body.size() > 16 ? QStringLiteral("%1 bytes").arg(request.body.size()) : text(request.body);
    switch (state) {
    case State::Refused: return QStringLiteral("refused %1").arg(reader.Refusal().status);
    case State::Head: return "head " + read;
    case State::Complete:
        return QStringLiteral("complete %1 %2 %3").arg(read, body, QLatin1String(request.KeepAlive() ? "keep" : "close"));
    default: return state == State::Idle ? "idle" : "partial";
    }
}

// "kind:payload" for each event ("close:CODE:reason", "fail:CODE"),
// payloads over 32 bytes by their size.
QString Events(websocket::FrameReader& reader)
{
    using Kind = websocket::Event::Kind;
    QStringList said;
    while (const auto event = reader.Next()) {
        const QString payload = event->payload.size() > 32 ? QStringLiteral("%1 bytes").arg(event->payload.size())
                                                           : QString::fromStdString(event->payload);
        switch (event->kind) {
        case Kind::Message: said << (event->opcode == websocket::Opcode::Text ? "text:" : "binary:") + payload; break;
        case Kind::Ping: said << "ping:" + payload; break;
        case Kind::Pong: said << "pong"; break;
        case Kind::Close: said << QStringLiteral("close:%1:%2").arg(event->code).arg(payload); break;
        case Kind::Fail: said << QStringLiteral("fail:%1").arg(event->code); break;
        }
    }
    return said.join(u' ');
}

// The length of the first whole answer in `got`, or 0 while it is not all there.
qsizetype AnswerLength(const QByteArray& got)
{
    const qsizetype end = got.indexOf("\r\n\r\n");
    const qsizetype field = got.left(end).indexOf("\r\nContent-Length: ");
    const qsizetype length = field < 0 ? 0 : got.mid(field + 18, end - field - 18).split('\r').first().toLongLong();
    return end >= 0 && got.size() >= end + 4 + length ? end + 4 + length : 0;
}

// A client on a connection of its own, reading what comes as it comes.
class Peer
{
public:
    // From `from`, another address of loopback standing for another peer.
    explicit Peer(quint16 port, const QByteArray& bytes = {}, const QString& from = QStringLiteral("127.0.0.1"))
    {
        QObject::connect(&socket_, &QTcpSocket::readyRead, [this] { got += socket_.readAll(); });
        socket_.bind(QHostAddress(from));
        socket_.connectToHost(QHostAddress::LocalHost, port);
        Send(bytes);
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
    void WaitForAnswer() { WaitFor([](const QByteArray& got) { return AnswerLength(got) > 0; }); }
    QByteArray Answer()
    {
        WaitForAnswer();
        return got;
    }
    bool WaitForClose() { return QTest::qWaitFor([this] { return Closed(); }, kTimeout); }
    bool Closed() const { return socket_.state() == QAbstractSocket::UnconnectedState; }
    QTcpSocket& Socket() { return socket_; }

    QByteArray got;

private:
    QTcpSocket socket_;
};

// The answer's status line and body; what came when the server closed without one.
QByteArray Exchange(quint16 port, const QByteArray& request)
{
    Peer peer(port, request);
    peer.WaitForAnswer();
    const qsizetype end = peer.got.indexOf("\r\n\r\n");
    return end < 0 ? peer.got : peer.got.left(peer.got.indexOf("\r\n")) + ' ' + peer.got.mid(end + 4);
}

WebServerOptions Options(std::chrono::milliseconds deadline, std::chrono::seconds idle = {})
{
    WebServerOptions options;
    options.deadline = deadline;
    options.policy.idleTimeout = idle;
    return options;
}

// The switch on a recording port at 888, served on loopback.
struct Served
{
    explicit Served(WebServerOptions options = {}, const QString& setup = {}) : server(core, std::move(options))
    {
        core.TakeAddress(888, true, Source{});
        server.Listen({QHostAddress::LocalHost, 0});
        QObject::connect(&server, &WebServer::Refused, [this](const QString&, const QString& why) { refusals << why; });
        QObject::connect(&core, &SwitchCore::Logged, [this](const std::string& line) { last = QString::fromStdString(line); });
        // The switch and its port as a row of a table names them.
        const std::map<QString, std::function<void()>> setups{
            {"", [] {}},
            {"rf1", [this] { core.Select(RfPath::Rf1, Source{}); }},
            {"locked", [this] { core.Lock(Source::Remote("192.0.2.7:5025")); }},
            {"stuck", [this] { port.stuckRead = 0; }},
            {"settle", [this] { core.SetSettleTime(1500ms, Source{}); }},
            {"unreadable", [this] { port.readError = "/dev/parport0: input/output error"; core.Attach(888, Source{}); }},
        };
        setups.at(setup)();
        port.accesses.clear();
    }
    QByteArray Host() const { return "127.0.0.1:" + QByteArray::number(server.Port()); }
    QByteArray Request(const QByteArray& head) const { return head + " HTTP/1.1\r\nHost: " + Host() + "\r\n\r\n"; }
    QByteArray Get(const QByteArray& path) { return Exchange(server.Port(), Request("GET " + path)); }

    FakePort port;
    SwitchCore core{port};
    WebServer server;
    QStringList refusals;
    QString last;  // the last log line
};

// The whole frames the server sent, as "text", "ping:PAYLOAD",
// "pong:PAYLOAD" or "close:CODE".
QStringList ServerFrames(const QByteArray& bytes)
{
    QStringList frames;
    for (qsizetype at = 0; bytes.size() >= at + 2;) {
        const int opcode = bytes[at] & 0x0F;
        const bool extended = (bytes[at + 1] & 0x7F) == 126;
        const qsizetype header = extended ? 4 : 2;
        const qsizetype length = !extended ? bytes[at + 1] & 0x7F
                                 : bytes.size() < at + 4 ? 0xFFFF + 1 : (quint8(bytes[at + 2]) << 8) | quint8(bytes[at + 3]);
        if (bytes.size() < at + header + length)
            break;
        const QByteArray payload = bytes.mid(at + header, length);
        at += header + length;
        const int code = payload.size() < 2 ? 1005 : (quint8(payload[0]) << 8) | quint8(payload[1]);
        frames << (opcode == 0x1 ? "text" : opcode == 0x8 ? "close:" + QString::number(code)
                                          : (opcode == 0x9 ? "ping:" : "pong:") + QString::fromLatin1(payload));
    }
    return frames;
}

const QByteArray kFollow = "GET /api/events HTTP/1.1\r\nHost: HOST\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";

} // namespace

class TestWeb : public QObject
{
    Q_OBJECT

private slots:
    void readRequest_data()
    {
        AddColumns<QByteArray, QString>("bytes", "outcome");
        const QByteArray get = "GET /api/state HTTP/1.1\r\nHost: vm:8080\r\n";
        const QByteArray post = "POST /api/select HTTP/1.1\r\nHost: vm\r\n";
        QTest::newRow("nothing yet") << QByteArray() << "idle";
        QTest::newRow("blank lines before a request") << "\r\n\r\n" + get + "\r\n" << "complete /api/state vm:8080  keep";
        QTest::newRow("some of the head") << "GET /api/state HTTP/1.1\r\nHo"_ba << "partial";
        QTest::newRow("some of the body") << post + "Content-Length: 5\r\n\r\nrf" << "head /api/select vm";
        QTest::newRow("lines ended by LF alone") << "GET /page.js?v=2 HTTP/1.1\nHost: vm\n\n"_ba << "complete /page.js vm  keep";
        QTest::newRow("absolute form") << "GET http://vm.local:80/api/state?x HTTP/1.1\r\nHost: other\r\n\r\n"_ba
                                       << "complete /api/state vm.local:80  keep";
        QTest::newRow("HTTP/1.0, keep-alive") << "GET / HTTP/1.0\r\nConnection: TE, Keep-Alive\r\n\r\n"_ba << "complete /   keep";
        QTest::newRow("HTTP/1.1, close") << get + "Connection: Close\r\n\r\n" << "complete /api/state vm:8080  close";
        QTest::newRow("the same length twice") << post + "Content-Length: 3\r\nContent-Length: 3\r\n\r\nrf2"
                                               << "complete /api/select vm rf2 keep";
        QTest::newRow("waits for 100 Continue") << post + "Content-Length: 3\r\nExpect: 100-continue\r\n\r\n" << "head /api/select vm";

        // The head: 16 KiB at most, line ends included.
        const QByteArray start = "GET / HTTP/1.1\r\nHost: vm\r\nX-Pad: ";
        QTest::newRow("a head of 16385 bytes") << start + QByteArray(16385 - start.size() - 4, 'a') + "\r\n\r\n" << "refused 431";
        QTest::newRow("16385 bytes and no end") << start + QByteArray(16385 - start.size(), 'a') << "refused 431";
        QTest::newRow("a request line over 16 KiB") << "GET /" + QByteArray(17000, 'a') << "refused 431";
        // The body: 64 KiB at most, refused on its head.
        QTest::newRow("a body of 65537 bytes, none sent") << post + "Content-Length: 65537\r\n\r\n" << "refused 413";
        QTest::newRow("a length past any number") << post + "Content-Length: 99999999999999999999999\r\n\r\n" << "refused 413";
        QTest::newRow("a chunked body") << post + "Transfer-Encoding: chunked\r\n\r\n3\r\nrf1\r\n0\r\n\r\n" << "refused 411";
        QTest::newRow("compressed, then chunked") << post + "Transfer-Encoding: gzip, chunked\r\n\r\n" << "refused 411";
        QTest::newRow("another coding") << post + "Transfer-Encoding: gzip\r\n\r\n" << "refused 501";
        QTest::newRow("two lengths") << post + "Content-Length: 3\r\nContent-Length: 4\r\n\r\nrf1" << "refused 400";
        QTest::newRow("a negative length") << post + "Content-Length: -3\r\n\r\n" << "refused 400";
        QTest::newRow("another expectation") << post + "Content-Length: 3\r\nExpect: 200-ok\r\n\r\n" << "refused 417";
        QTest::newRow("HTTP/2.0") << "GET / HTTP/2.0\r\nHost: vm\r\n\r\n"_ba << "refused 505";
        QTest::newRow("no version") << "GET /\r\nHost: vm\r\n\r\n"_ba << "refused 400";
        QTest::newRow("two blanks") << "GET  / HTTP/1.1\r\nHost: vm\r\n\r\n"_ba << "refused 400";
        QTest::newRow("no Host") << "GET / HTTP/1.1\r\n\r\n"_ba << "refused 400";
        QTest::newRow("two Hosts") << get + "Host: evil.example\r\n\r\n" << "refused 400";
        QTest::newRow("a blank before the colon") << "GET / HTTP/1.1\r\nHost : vm\r\n\r\n"_ba << "refused 400";
        QTest::newRow("a folded line") << get + "X-A: 1\r\n 2\r\n\r\n" << "refused 400";
        QTest::newRow("a control byte in a value") << get + "X-A: 1\x01\r\n\r\n" << "refused 400";
    }

    void readRequest()
    {
        QFETCH(QByteArray, bytes);
        // All at once, and a byte at a time.
        for (const qsizetype step : {std::max(bytes.size(), qsizetype(1)), qsizetype(1)}) {
            HttpRequestReader reader;
            State got = reader.Current();
            for (qsizetype at = 0; at < bytes.size(); at += step)
                got = reader.Add(std::string_view(bytes.constData() + at, std::size_t(std::min(step, bytes.size() - at))));
            QTEST(ReaderSaid(reader, got), "outcome");
            // Nothing of a refused request is kept.
            QCOMPARE(got == State::Refused ? reader.Buffered() : 0u, 0u);
        }
    }

    // What the layers below the server write, against what it must be:
    // answers on the wire the server's own requests do not show (HEAD,
    // Connection: close and the common statuses are requests'), the frames
    // the server sends, the default route's next hop through eth0 from the
    // kernel's tables, who switched as the metrics count it
    // (metrics_client.py counts the raw socket's and the web's), and samples
    // as the exposition format writes them.
    void written_data()
    {
        AddColumns<QByteArray, QByteArray>("written", "expected");
        const auto answer = [](int status, bool head) {
            return QByteArray::fromStdString(AnswerBytes({status, {{"Content-Type", "text/plain"}}, "rf1"}, head));
        };
        QTest::newRow("431") << answer(431, true)
                             << "HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Type: text/plain\r\nContent-Length: 3\r\n\r\n"_ba;
        QTest::newRow("101 has no length") << answer(101, false) << "HTTP/1.1 101 Switching Protocols\r\nContent-Type: text/plain\r\n\r\nrf1"_ba;

        // The first `head` bytes of a frame, or all of it.
        const auto frame = [](const std::string& bytes, std::size_t head = std::string::npos) {
            return QByteArray::fromStdString(bytes.substr(0, head));
        };
        QTest::newRow("125 bytes") << frame(websocket::Frame(websocket::Opcode::Binary, std::string(125, 'a')), 2) << "\x82\x7d"_ba;
        QTest::newRow("65536 bytes") << frame(websocket::Frame(websocket::Opcode::Text, std::string(65536, 'a')), 10)
                                     << "\x81\x7f\0\0\0\0\0\x01\0\0"_ba;
        QTest::newRow("close 1009") << frame(websocket::CloseFrame(1009, "big")) << "\x88\x05\x03\xf1" "big"_ba;
        QTest::newRow("close, no code") << frame(websocket::CloseFrame(1005)) << "\x88\x00"_ba;
        QTest::newRow("a long reason cut between characters")
            << frame(websocket::CloseFrame(1002, std::string(122, 'a') + "\xc3\xa9"), 2) << "\x88\x7c"_ba;

        const auto gateway = [](const QByteArray& table) { return DefaultGateway(table, "eth0").toString().toLatin1(); };
        const QByteArray head = "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
        const auto route = [](const char* interface, const char* gateway, const char* flags, const char* metric) {
            return QByteArray(interface) + "\t00000000\t" + gateway + '\t' + flags + "\t0\t0\t" + metric + "\t00000000\t0\t0\t0\n";
        };
        const QByteArray lan = "eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n";
        QTest::newRow("through eth0") << gateway(head + route("eth0", "010200C0", "0003", "100") + lan) << "192.0.2.1"_ba;
        QTest::newRow("the lower metric") << gateway(head + route("eth0", "010200C0", "0003", "600") + route("eth0", "FE0200C0", "0003", "100"))
                                          << "192.0.2.254"_ba;
        QTest::newRow("through another interface") << gateway(head + route("wlan0", "010200C0", "0003", "100") + lan) << ""_ba;
        QTest::newRow("a route that is down") << gateway(head + route("eth0", "010200C0", "0002", "100")) << ""_ba;
        QTest::newRow("no default route") << gateway(head + lan) << ""_ba;
        QTest::newRow("nothing readable") << gateway({}) << ""_ba;
        const QByteArray zero(32, '0');
        QTest::newRow("IPv6 through eth0") << gateway("fd000000000000000000000000000000 40 " + zero + " 00 " + zero + " 00000100 00000001 00000000 00000001 eth0\n"
                                                      + zero + " 00 " + zero + " 00 fd000000000000000000000000000001 00000400 00000003 00000000 00000003 eth0\n")
                                           << "fd00::1"_ba;
        QTest::newRow("IPv6 without a next hop") << gateway(zero + " 00 " + zero + " 00 " + zero + " 00000400 00000003 00000000 00000001 eth0\n") << ""_ba;

        const auto label = [](Source::Kind kind, const char* peer = "") { return QByteArray::fromStdString(SourceLabel({kind, peer, false})); };
        QTest::newRow("raw socket, IPv6") << label(Source::Kind::Remote, "[::1]:50432") << "scpi-raw"_ba;
        QTest::newRow("raw socket, bare IPv6") << label(Source::Kind::Remote, "fe80::1") << "scpi-raw"_ba;
        QTest::newRow("VXI-11") << label(Source::Kind::Remote, "vxi11:127.0.0.1:812/link3") << "vxi-11"_ba;
        QTest::newRow("HiSLIP") << label(Source::Kind::Remote, "hislip:127.0.0.1:50432") << "hislip"_ba;
        QTest::newRow("panel") << label(Source::Kind::Panel) << "panel"_ba;
        QTest::newRow("command line") << label(Source::Kind::CommandLine) << "command-line"_ba;
        QTest::newRow("start-up") << label(Source::Kind::StartUp) << "start-up"_ba;
        QTest::newRow("port watch") << label(Source::Kind::PortWatch) << "port-watch"_ba;

        const auto sample = [](const char* label, double value) {
            return QByteArray::fromStdString(MetricsText().Family("m", "gauge", "help\ntext").Sample({{"l", label}}, value).Text());
        };
        const QByteArray family = "# HELP m help text\n# TYPE m gauge\n";
        QTest::newRow("quote, backslash, line feed") << sample("a\"b\\c\nd", 0) << family + "m{l=\"a\\\"b\\\\c\\nd\"} 0\n";
        QTest::newRow("a large count") << sample("x", 123456789012.0) << family + "m{l=\"x\"} 123456789012\n";
    }

    void written()
    {
        QFETCH(QByteArray, written);
        QTEST(written, "expected");
    }

    void readFrames_data()
    {
        AddColumns<QByteArray, QString>("bytes", "events");
        QTest::newRow("a text message") << MaskedFrame(0x81, "hello") << "text:hello";
        QTest::newRow("binary, not UTF-8") << MaskedFrame(0x82, "caf\xe9") << "binary:caf\xe9";
        QTest::newRow("in two parts, a ping between") << MaskedFrame(0x01, "hel") + MaskedFrame(0x89, "p") + MaskedFrame(0x80, "lo")
                                                      << "ping:p text:hello";
        QTest::newRow("a pong") << MaskedFrame(0x8A, "x") << "pong";
        QTest::newRow("4096 bytes in parts") << MaskedFrame(0x02, QByteArray(4000, 'a')) + MaskedFrame(0x80, QByteArray(96, 'a'))
                                             << "binary:4096 bytes";
        QTest::newRow("a length in 8 bytes") << MaskedFrame(0x81, "ab").replace(1, 1, "\xff\0\0\0\0\0\0\0\x02"_ba) << "text:ab";
        QTest::newRow("close with a reason") << Close(1000, "bye") << "close:1000:bye";
        QTest::newRow("close without a code") << MaskedFrame(0x88, {}) << "close:1005:";
        QTest::newRow("an application's close code") << Close(4000) << "close:4000:";
        QTest::newRow("nothing after close") << Close(1001) + MaskedFrame(0x81, "late") << "close:1001:";

        QTest::newRow("a reserved bit") << MaskedFrame(0xC1, "hi") << "fail:1002";
        QTest::newRow("opcode 3") << MaskedFrame(0x83, "hi") << "fail:1002";
        QTest::newRow("opcode 11") << MaskedFrame(0x8B, "hi") << "fail:1002";
        QTest::newRow("a ping in parts") << MaskedFrame(0x09, "p") << "fail:1002";
        QTest::newRow("a ping of 126 bytes") << MaskedFrame(0x89, QByteArray(126, 'p')) << "fail:1002";
        QTest::newRow("a continuation first") << MaskedFrame(0x80, "lo") << "fail:1002";
        QTest::newRow("a message inside another") << MaskedFrame(0x01, "hel") + MaskedFrame(0x81, "lo") << "fail:1002";
        QTest::newRow("a length with the top bit") << "\x82\xff\x80\0\0\0\0\0\0\0"_ba << "fail:1002";
        QTest::newRow("a close of 1 byte") << MaskedFrame(0x88, "\x03") << "fail:1002";
        QTest::newRow("close code 999") << Close(999) << "fail:1002";
        QTest::newRow("close code 1005") << Close(1005) << "fail:1002";
        QTest::newRow("close code 2000") << Close(2000) << "fail:1002";
        QTest::newRow("4097 bytes, on the header alone") << MaskedFrame(0x82, {}, 4097) << "fail:1009";
        QTest::newRow("4097 bytes in parts") << MaskedFrame(0x02, QByteArray(4000, 'a')) + MaskedFrame(0x80, QByteArray(97, 'a'))
                                             << "fail:1009";
        QTest::newRow("text not UTF-8") << MaskedFrame(0x81, "caf\xe9") << "fail:1007";
        QTest::newRow("an overlong form") << MaskedFrame(0x81, "\xc0\xaf") << "fail:1007";
        QTest::newRow("a surrogate") << MaskedFrame(0x81, "\xed\xa0\x80") << "fail:1007";
        QTest::newRow("cut inside a character") << MaskedFrame(0x81, "\xe2\x82") << "fail:1007";
        QTest::newRow("UTF-8 in parts") << MaskedFrame(0x01, "\xe2\x82") + MaskedFrame(0x80, "\xac") << "text:\xe2\x82\xac";
        QTest::newRow("a close reason not UTF-8") << Close(1000, "\xff") << "fail:1007";
        QTest::newRow("nothing after a failure") << "\x81\x02hi"_ba + MaskedFrame(0x89, "p") << "fail:1002";
    }

    void readFrames()
    {
        QFETCH(QByteArray, bytes);
        // All at once, and a byte at a time.
        for (const qsizetype step : {bytes.size(), qsizetype(1)}) {
            websocket::FrameReader reader(4096);
            QStringList said;
            for (qsizetype at = 0; at < bytes.size(); at += step) {
                reader.Add(std::string_view(bytes.constData() + at, std::size_t(std::min(step, bytes.size() - at))));
                if (const QString now = Events(reader); !now.isEmpty())
                    said << now;
            }
            QTEST(said.join(u' '), "events");
        }
    }

    // Upgrades refused (the one taken, with RFC 6455's key and answer, is
    // tst_web's).
    void handshakes_data()
    {
        AddColumns<QByteArray, int>("head", "status");
        const QByteArray upgrade = "GET /api/events HTTP/1.1\r\nHost: vm\r\nUpgrade: websocket\r\nConnection: keep-alive, Upgrade\r\n";
        const QByteArray key = "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
        const QByteArray v13 = "Sec-WebSocket-Version: 13\r\n\r\n";
        QTest::newRow("version 8") << upgrade + key + "Sec-WebSocket-Version: 8\r\n\r\n" << 426;
        QTest::newRow("no key") << upgrade + v13 << 400;
        QTest::newRow("a key of 15 bytes") << upgrade + "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25j\r\n" + v13 << 400;
        QTest::newRow("no Connection: Upgrade") << QByteArray(upgrade).replace("keep-alive, Upgrade", "keep-alive") + key + v13 << 400;
        QTest::newRow("HTTP/1.0") << QByteArray(upgrade).replace("HTTP/1.1", "HTTP/1.0") + key + v13 << 400;
    }

    void handshakes()
    {
        const auto [head, status] = Fetch<QByteArray, int>("head", "status");
        HttpRequestReader reader;
        QVERIFY(reader.Add(head.toStdString()) == State::Complete && websocket::AsksUpgrade(reader.Request()));
        const HttpAnswer answer = websocket::Handshake(reader.Request());
        QCOMPARE(answer.status, status);
        // The version this server speaks, for the client to try again with.
        QVERIFY(status != 426 || QByteArray::fromStdString(AnswerBytes(answer)).contains("\r\nSec-WebSocket-Version: 13\r\n"));
    }

    void requests_data()
    {
        // HOST stands for the server's address, PORT for its port, NAME for
        // this machine's name and CAPS for it in capitals; the answer is its
        // status line and a part of the body, logged a part of the last log line.
        AddColumns<QString, QByteArray, QByteArray, QString, QString>("setup", "request", "answer", "writes", "logged");
        const QByteArray post = "POST /api/select HTTP/1.1\r\nHost: HOST\r\nContent-Length: 3\r\n";
        const QString verified = "attempts=1 result=verified";
        const QString crossSite = "select result=refused (sent from another site's page";
        const QByteArray forbidden = "HTTP/1.1 403 Forbidden";
        const QByteArray misdirected = "HTTP/1.1 421 Misdirected Request";
        const QByteArray ok = "HTTP/1.1 200 OK";
        const QString elsewhere = "which does not name this machine";
        // Nothing at all is served to a name rebound to this machine, and
        // everything to its own names and addresses.
        for (const char* path : {"/", "/page.js", "/page.css", "/schematic.svg", "/favicon.ico", "/api/state", "/api/events", "/lxi/identification",
                                 "/metrics"}) {
            const bool events = path == "/api/events"_ba;
            const QByteArray get = events ? kFollow : "GET " + QByteArray(path) + " HTTP/1.1\r\nHost: HOST\r\n\r\n";
            for (const char* host : {"127.0.0.1:PORT", "localhost", "NAME:PORT"})
                QTest::addRow("%s to %s", path, host) << "" << QByteArray(get).replace("HOST", host)
                                                      << (events ? "HTTP/1.1 101 Switching Protocols"_ba : ok) << "" << "";
            QTest::addRow("%s to evil.example", path)
                << "" << QByteArray(get).replace("HOST", "evil.example")
                << misdirected + " {\"error\":{\"message\":\"sent to \\\"evil.example\\\", which does not name this machine\"}}" << "" << "";
        }
        QTest::newRow("HEAD to evil.example") << "" << "HEAD /api/state HTTP/1.1\r\nHost: evil.example\r\nConnection: close\r\n\r\n"_ba
                                              << misdirected << "" << "";
        // Only a name that is this machine's, exactly, or an address may switch.
        const auto to = [](const char* host) { return "POST /api/select HTTP/1.1\r\nHost: " + QByteArray(host) + "\r\nContent-Length: 3\r\n\r\nrf1"; };
        QTest::newRow("localhost") << "" << to("localhost:PORT") << ok << "w888:01" << verified;
        QTest::newRow("localhost without a port") << "" << to("localhost") << ok << "w888:01" << verified;
        QTest::newRow("its name") << "" << to("NAME:PORT") << ok << "w888:01" << verified;
        QTest::newRow("its name in capitals") << "" << to("CAPS:PORT") << ok << "w888:01" << verified;
        QTest::newRow("its name in .local") << "" << to("NAME.local:PORT") << ok << "w888:01" << verified;
        QTest::newRow("the name it listens on") << "" << to("Switch.Lab.example:PORT") << ok << "w888:01" << verified;
        QTest::newRow("that name and more") << "" << to("switch.lab.example.evil.example") << misdirected << "" << elsewhere;
        QTest::newRow("IPv6 loopback") << "" << to("[::1]:PORT") << ok << "w888:01" << verified;
        QTest::newRow("another address") << "" << to("192.0.2.7") << ok << "w888:01" << verified;
        QTest::newRow("vm.evil.example") << "" << to("NAME.evil.example:PORT") << misdirected << "" << elsewhere;
        QTest::newRow("vm.local.evil.example") << "" << to("NAME.local.evil.example") << misdirected << "" << elsewhere;
        QTest::newRow("its name and more") << "" << to("NAMEx:PORT") << misdirected << "" << elsewhere;
        QTest::newRow("localhost.evil.example") << "" << to("localhost.evil.example") << misdirected << "" << elsewhere;
        QTest::newRow("an address and more") << "" << to("127.0.0.1.evil.example") << misdirected << "" << elsewhere;
        QTest::newRow("a port that is none") << "" << to("localhost:80x") << misdirected << "" << elsewhere;
        QTest::newRow("an unclosed bracket") << "" << to("[::1:PORT") << misdirected << "" << elsewhere;
        QTest::newRow("rf1 to rf2 breaks first") << "rf1" << post + "\r\nRF2" << "\"path\":\"rf2\""_ba << "w888:00 w888:02" << verified;
        QTest::newRow("the page's own, over TLS") << "" << post + "Origin: https://HOST\r\nSec-Fetch-Site: same-origin\r\n\r\nrf1" << ok
                                                  << "w888:01" << verified;
        QTest::newRow("GET changes nothing") << "" << "GET /api/select?rf1 HTTP/1.1\r\nHost: HOST\r\n\r\n"_ba
                                             << "HTTP/1.1 405 Method Not Allowed {\"error\""_ba << "" << "";
        QTest::newRow("another site's page") << "" << post + "Origin: http://evil.example\r\n\r\nrf1" << forbidden << "" << crossSite;
        QTest::newRow("another site's form") << "" << post + "Sec-Fetch-Site: cross-site\r\n\r\nrf1" << forbidden << "" << crossSite;
        QTest::newRow("a page of the same site") << "" << post + "Origin: http://HOST\r\nSec-Fetch-Site: same-site\r\n\r\nrf1" << forbidden
                                                 << "" << crossSite;
        QTest::newRow("a sandboxed page") << "" << post + "Origin: null\r\n\r\nrf1" << forbidden << "" << crossSite;
        QTest::newRow("a name rebound to here")
            << "" << QByteArray(post).replace("HOST", "evil.example:80") + "Origin: http://evil.example:80\r\n\r\nrf1" << misdirected << ""
            << elsewhere;
        QTest::newRow("no such path") << "" << post + "\r\nrf3" << "HTTP/1.1 400 Bad Request"_ba << ""
                                      << "select result=refused (\"rf3\" is not rf1, rf2, off or a channel's label)";
        // A JSON body: an object naming the path, or the path alone.
        const auto json = [](const QByteArray& type, const QByteArray& body) {
            return "POST /api/select HTTP/1.1\r\nHost: HOST\r\nContent-Type: " + type + "\r\nContent-Length: "
                + QByteArray::number(body.size()) + "\r\n\r\n" + body;
        };
        QTest::newRow("JSON") << "" << json("application/json", "{\"path\":\"rf2\"}") << ok << "w888:02" << verified;
        QTest::newRow("JSON, a charset") << "" << json("application/json; charset=utf-8", " { \"path\" : \"RF1\" } ") << ok << "w888:01"
                                         << verified;
        QTest::newRow("a JSON string") << "" << json("application/json", "\"rf1\"") << ok << "w888:01" << verified;
        QTest::newRow("JSON naming no path") << "" << json("application/json", "{\"path\":2}") << "HTTP/1.1 400 Bad Request"_ba << ""
                                             << "select result=refused (\"{\"path\":2}\" is not rf1, rf2, off or a channel's label)";
        QTest::newRow("locked by another")
            << "locked" << post + "\r\nrf1"
            << "HTTP/1.1 409 Conflict {\"bits\":{\"c1\":false,\"c2\":false},\"colour\":\"#000000\",\"contacts\":[[1900,800,2300,800],"
               "[1680,1250,2160,1350],[3250,1230,2880,1320]],\"cycles\":{\"limit\":null,\"rf1\":0,\"rf2\":0,\"warning\":null},"
               "\"device\":\"fake port\",\"error\":{\"code\":-203,\"detail\":\"locked by remote:192.0.2.7:5025\",\"message\":\"Command "
               "protected; locked by remote:192.0.2.7:5025\"},\"labels\":{\"rf1\":null,\"rf2\":null},\"lock\":\"remote:192.0.2.7:5025\""_ba
            << "" << "select-rf1 result=refused (locked by remote:192.0.2.7:5025)";
        QTest::newRow("not read back") << "stuck" << post + "\r\nrf2"
                                       << "HTTP/1.1 500 Internal Server Error {\"bits\":{\"c1\":false,\"c2\":false},\"colour\":\"#ff0000\""_ba
                                       << "-" << "result=not-read-back";
    }

    void requests()
    {
        auto [setup, request, answer, writes, logged] =
            Fetch<QString, QByteArray, QByteArray, QString, QString>("setup", "request", "answer", "writes", "logged");
        const QByteArray name = QHostInfo::localHostName().toLatin1();
        if (name.isEmpty() && (request.contains("NAME") || request.contains("CAPS")))
            QSKIP("this machine has no name");
        WebServerOptions options;
        options.name = u"switch.lab.example"_s;  // as --http switch.lab.example:8080 gives it
        Served served(options, setup);
        request.replace("HOST", served.Host()).replace("PORT", QByteArray::number(served.server.Port()));
        const QByteArray got = Exchange(served.server.Port(), request.replace("NAME", name).replace("CAPS", name.toUpper()));
        QVERIFY2(got.contains(answer), got.constData());
        if (writes != "-")
            QCOMPARE(Trace(served.port.Writes()), writes);
        QVERIFY2(served.last.contains(logged), qPrintable(served.last));
    }

    // A POST is answered once the switch has settled, with the path it
    // moved to; reading the state meanwhile is not held up.
    void selectAnsweredSettled()
    {
        Served served;
        served.core.SetSettleTime(400ms, Source{});
        QElapsedTimer clock;
        clock.start();
        qint64 written = -1;
        served.port.onAccess = [&](const PortAccess& access) {
            if (access.kind == PortAccess::Kind::Write)
                written = clock.elapsed();
        };
        Peer select(served.server.Port(), "POST /api/select HTTP/1.1\r\nHost: " + served.Host() + "\r\nContent-Length: 3\r\n\r\nrf1");
        QTRY_VERIFY_WITH_TIMEOUT(written >= 0, kTimeout);
        const QByteArray state = served.Get("/api/state");
        QVERIFY2(state.contains("\"path\":\"rf1\""), state.constData());
        select.WaitFor([](const QByteArray& got) { return got.contains("\"result\":\"verified\""); });
        const qint64 answered = clock.elapsed();
        QVERIFY2(select.got.startsWith("HTTP/1.1 200 OK") && select.got.contains("\"path\":\"rf1\""), select.got.constData());
        QVERIFY2(answered - written >= 400, qPrintable(QStringLiteral("answered %1 ms after the write").arg(answered - written)));
    }

    // Each request answered before more of it is read, with a request for
    // the state after it on the same connection.
    void limits_data()
    {
        // HOST: the server's address; the answer's status line and its
        // Connection header ("close" where the server closes after it).
        AddColumns<QByteArray, QByteArray, QByteArray, QString>("request", "answer", "connection", "writes");
        const QByteArray ok = "HTTP/1.1 200 OK";
        // The limits the server sets, not less (more is the hostile suite's).
        const QByteArray padded = "GET /api/state HTTP/1.1\r\nHost: localhost\r\nX-Pad: ";
        QTest::newRow("a head of 16 KiB") << padded + QByteArray(16384 - padded.size() - 4, 'a') + "\r\n\r\n" << ok << ""_ba << "";
        QTest::newRow("a body of 64 KiB") << "POST /api/select HTTP/1.1\r\nHost: HOST\r\nContent-Length: 65536\r\n\r\nrf1" + QByteArray(65533, ' ')
                                          << ok << ""_ba << "w888:01";
        // Answered while the client still holds all but 1 KiB of it.
        QTest::newRow("a body over 64 KiB, refused on its head")
            << "POST /api/select HTTP/1.1\r\nHost: HOST\r\nContent-Length: 1048576\r\n\r\nrf1" + QByteArray(1021, ' ')
            << "HTTP/1.1 413 Content Too Large"_ba << "close"_ba << "";
        QTest::newRow("HTTP/1.0") << "GET /api/state HTTP/1.0\r\n\r\n"_ba << ok << "close"_ba << "";
        QTest::newRow("HTTP/1.0, kept alive") << "GET /api/state HTTP/1.0\r\nConnection: keep-alive\r\n\r\n"_ba << ok << "keep-alive"_ba << "";
        QTest::newRow("a method it does not know") << "BREW /pot HTTP/1.1\r\nHost: HOST\r\n\r\n"_ba << "HTTP/1.1 501 Not Implemented"_ba
                                                   << ""_ba << "";
        QTest::newRow("PUT on the page") << "PUT / HTTP/1.1\r\nHost: HOST\r\nContent-Length: 0\r\n\r\n"_ba
                                         << "HTTP/1.1 405 Method Not Allowed"_ba << ""_ba << "";
        QTest::newRow("the events without an upgrade") << "GET /api/events HTTP/1.1\r\nHost: HOST\r\n\r\n"_ba
                                                       << "HTTP/1.1 426 Upgrade Required"_ba << "Upgrade"_ba << "";
        QTest::newRow("a WebSocket from another site") << QByteArray(kFollow).replace("Upgrade\r\n", "Upgrade\r\nOrigin: http://evil.example\r\n")
                                                       << "HTTP/1.1 403 Forbidden"_ba << ""_ba << "";
    }

    void limits()
    {
        auto [request, answer, connection] = Fetch<QByteArray, QByteArray, QByteArray>("request", "answer", "connection");
        Served served;
        Peer peer(served.server.Port(), request.replace("HOST", served.Host()) + served.Request("GET /api/state"));
        peer.WaitForAnswer();
        const qsizetype first = AnswerLength(peer.got);
        const QByteArray head = peer.got.left(peer.got.indexOf("\r\n\r\n") + 2);
        QVERIFY2(head.startsWith(answer + "\r\n")
                     && (connection.isEmpty() ? !head.contains("\r\nConnection: ") : head.contains("\r\nConnection: " + connection + "\r\n")),
                 peer.got.left(300).constData());
        // The state after it, or nothing more once the client has read why it is closed.
        if (connection == "close")
            peer.HalfClose();
        peer.WaitFor([first](const QByteArray& got) { return AnswerLength(got.mid(first)) > 0; });
        const QByteArray next = peer.got.mid(first, 17);
        QCOMPARE(peer.Closed() ? "closed " + next : next, connection == "close" ? "closed "_ba : "HTTP/1.1 200 OK\r\n"_ba);
        QTEST(Trace(served.port.Writes()), "writes");
    }

    // A request must be in whole soon after the connection is ready for it;
    // a connection that starts none is closed without a word. (Half a body
    // is on the same clock as half a head.)
    void deadline_data()
    {
        AddColumns<QByteArray, bool, QString>("sent", "answered", "reported");
        const QString late = "no whole request within 0.3 s";
        QTest::newRow("half a head") << "GET /api/state HTTP/1.1\r\nHo"_ba << false << late;
        QTest::newRow("a request, then half of one") << "GET /api/state HTTP/1.1\r\nHost: localhost\r\n\r\nGET /api/st"_ba << true << late;
        QTest::newRow("nothing") << QByteArray() << false << "";
        QTest::newRow("a request, then nothing") << "GET /api/state HTTP/1.1\r\nHost: localhost\r\n\r\n"_ba << true << "";
    }

    void deadline()
    {
        Served served(Options(300ms));
        QFETCH(QByteArray, sent);
        Peer peer(served.server.Port(), sent);
        QVERIFY(peer.WaitForClose());
        QTEST(peer.got.startsWith("HTTP/1.1 200 OK\r\n"), "answered");
        QTEST(served.refusals.join(u'|'), "reported");
    }

    // A browser opens several connections for one page: 32 are served at
    // once, 16 from one peer. Once all are taken, kept alive, a newcomer
    // takes the place of the one that has waited longest for its next
    // request: of its own peer's where it holds its share already.
    void thirtyTwoClients_data()
    {
        AddColumns<QString, QString>("newcomer", "givenUp");
        QTest::newRow("a third peer") << "127.0.0.3" << "127.0.0.1";
        QTest::newRow("a peer with its share") << "127.0.0.2" << "127.0.0.2";
    }

    void thirtyTwoClients()
    {
        Served served;
        std::vector<std::unique_ptr<Peer>> peers;
        for (int i = 0; i < 32; ++i) {
            peers.push_back(std::make_unique<Peer>(served.server.Port(), served.Request("GET /api/state"), i < 16 ? "127.0.0.1" : "127.0.0.2"));
            peers.back()->WaitForAnswer();
            QVERIFY2(peers.back()->got.startsWith("HTTP/1.1 200 OK\r\n"), peers.back()->got.left(100).constData());
        }
        QCOMPARE(served.refusals, QStringList());  // none of them turned away first
        QFETCH(QString, newcomer);
        QCOMPARE(Peer(served.server.Port(), served.Request("GET /api/state"), newcomer).Answer().left(15), "HTTP/1.1 200 OK"_ba);
        QFETCH(QString, givenUp);
        const auto closed = std::find_if(peers.begin(), peers.end(), [](const auto& peer) { return peer->Closed(); });
        QCOMPARE(closed - peers.begin(), givenUp == "127.0.0.1" ? 0 : 16);
    }

    // A client that sends request after request and reads none of the
    // answers is given up on once its answer has waited past the deadline,
    // and what was held for it is let go. (The bound on what is held is the
    // hostile suite's.)
    void pipelinedFlood()
    {
        Served served(Options(500ms));
        Peer peer(served.server.Port());
        peer.Socket().setReadBufferSize(1);  // reads nothing
        peer.Send("GET /schematic.svg HTTP/1.1\r\nHost: localhost\r\n\r\n"_ba.repeated(800000));
        QVERIFY(peer.WaitForClose());
        QCOMPARE(served.refusals, QStringList{"an answer not taken within 0.5 s"});
        QVERIFY(QTest::qWaitFor([&] { return served.server.Buffered() == 0; }, kTimeout));
    }

    // /metrics and /api/state where the program's clients cannot bring the
    // switch (api_client.py, metrics_client.py and the browser test read the
    // rest): the state's words as the page shows them, and why its buttons
    // do not switch (empty: they do).
    void stateAndMetrics_data()
    {
        AddColumns<QString, QString, QString, QStringList>("setup", "words", "refused", "samples");
        QTest::newRow("unknown") << "unreadable" << "Unknown: nothing read back from the port" << ""
                                 << QStringList{"rfswitch_path{path=\"off\"} 0", "rfswitch_path{path=\"unknown\"} 1"};
        QTest::newRow("settling") << "settle" << "All ports terminated" << "" << QStringList{"rfswitch_settle_time_seconds 1.5"};
    }

    void stateAndMetrics()
    {
        const auto [setup, samples] = Fetch<QString, QStringList>("setup", "samples");
        Served served({}, setup);
        const QByteArray got = served.Get("/api/state");
        const QJsonObject state = QJsonDocument::fromJson(got.mid(got.indexOf('{'))).object();
        QTEST(state[u"words"_s].toString(), "words");
        QTEST(state[u"refused"_s].toString(), "refused");
        const QString metrics = QString::fromUtf8(served.Get("/metrics"));
        for (const QString& sample : samples)
            QVERIFY2(metrics.split(u'\n').contains(sample), qPrintable(sample + " not in:\n" + metrics));
    }

    // HEAD gives what GET gives but the body, and the next answer follows at
    // once. The type is what a browser takes it as (nosniff).
    void head_data()
    {
        AddColumns<QByteArray, QByteArray, QByteArray>("path", "status", "type");
        QTest::newRow("the page") << "/"_ba << "HTTP/1.1 200 OK"_ba << "text/html; charset=utf-8"_ba;
        QTest::newRow("the icon a browser asks for") << "/favicon.ico"_ba << "HTTP/1.1 200 OK"_ba << "image/svg+xml"_ba;
        QTest::newRow("nothing there") << "/nothing"_ba << "HTTP/1.1 404 Not Found"_ba << "application/json"_ba;
    }

    void head()
    {
        const auto [path, status, type] = Fetch<QByteArray, QByteArray, QByteArray>("path", "status", "type");
        Served served;
        Peer peer(served.server.Port(), served.Request("GET " + path) + served.Request("HEAD " + path) + served.Request("GET /api/state"));
        peer.WaitFor([](const QByteArray& got) { return AnswerLength(got) > 0 && got.mid(AnswerLength(got)).contains("\r\n\r\nHTTP/1.1 200 OK\r\n"); });
        const QByteArray headers = peer.got.left(peer.got.indexOf("\r\n\r\n") + 4);
        QVERIFY2(headers.startsWith(status + "\r\n") && headers.contains("\r\nContent-Type: " + type + "\r\n")
                     && peer.got.mid(AnswerLength(peer.got)).startsWith(headers + "HTTP/1.1 200 OK\r\n"),
                 peer.got.left(400).constData());
    }

    // The page's WebSocket: pings answered, protocol errors closed with
    // RFC 6455's codes (each kind of frame is readFrames'; a message over
    // the limit is the hostile suite's). The server's next frame after the
    // state; where it does not close, a ping is still answered after it.
    void webSocket_data()
    {
        AddColumns<QByteArray, int, QString, bool>("frames", "idle", "answer", "closes");  // idle: --idle-timeout, s
        QTest::newRow("a frame not masked") << "\x81\x02hi"_ba << 0 << "close:1002" << true;
        QTest::newRow("a message of 4 KiB, then a ping") << MaskedFrame(0x81, QByteArray(4096, 'a')) + MaskedFrame(0x89, "p") << 0 << "pong:p"
                                                         << false;
        QTest::newRow("the page closes") << MaskedFrame(0x88, "\x03\xe8"_ba) << 0 << "close:1000" << true;
        QTest::newRow("pinged within --idle-timeout") << QByteArray() << 1 << "ping:" << false;
    }

    void webSocket()
    {
        const auto [frames, idle, answer, closes] = Fetch<QByteArray, int, QString, bool>("frames", "idle", "answer", "closes");
        Served served(Options(10s, std::chrono::seconds(idle)));
        Peer peer(served.server.Port(), QByteArray(kFollow).replace("HOST", served.Host()));
        peer.WaitFor([](const QByteArray& got) { return got.contains("\r\n\r\n"); });
        QVERIFY2(peer.got.startsWith("HTTP/1.1 101 Switching Protocols\r\n")
                     && peer.got.contains("\r\nSec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n"), peer.got.constData());
        const auto said = [&peer, start = peer.got.indexOf("\r\n\r\n") + 4] { return ServerFrames(peer.got.mid(start)); };
        peer.Send(frames);
        peer.WaitFor([&](const QByteArray&) { return said().size() >= 2; });
        QCOMPARE(said().mid(0, 2), (QStringList{"text", answer}));  // the state at once, then the answer
        peer.Send(closes ? QByteArray() : MaskedFrame(0x89, "still"));
        if (closes)
            peer.HalfClose();
        peer.WaitFor([&](const QByteArray&) { return said().contains("pong:still"); });
        QVERIFY2(closes ? peer.Closed() : said().contains("pong:still"), qPrintable(said().join(u' ')));
    }

    // A client that hangs up before its turn (another client's slow write
    // comes first) has it switch nothing later.
    void clientGoneBeforeItsTurn()
    {
        Served served;
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
        QVERIFY2(served.last.endsWith(" select-rf2 result=abandoned (the client that asked has gone)"), qPrintable(served.last));
    }
};

QTEST_GUILESS_MAIN(TestWeb)
#include "tst_web.moc"

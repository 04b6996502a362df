// The web server's protocol layers over bytes alone: HTTP requests read
// within their limits, answers as they go on the wire, and WebSocket frames
// and handshakes as RFC 6455 has them.
#include "HttpAnswer.h"
#include "HttpRequest.h"
#include "MaskedFrame.h"
#include "WebSocket.h"

#include <QTest>

namespace {

using State = HttpRequestReader::State;

// What the reader made of a request: "idle", "partial", "refused STATUS",
// "head PATH AUTHORITY" or "complete PATH AUTHORITY BODY keep|close", a
// body over 16 bytes by its size.
QString Outcome(const HttpRequestReader& reader, State state)
{
    const HttpRequest& request = reader.Request();
    const auto text = [](std::string_view view) { return QString::fromLatin1(view.data(), qsizetype(view.size())); };
    const QString read = text(request.Path()) + u' ' + text(request.Authority());
    switch (state) {
    case State::Idle:
        return "idle";
    case State::Partial:
        return "partial";
    case State::Refused:
        return QStringLiteral("refused %1").arg(reader.Refusal().status);
    case State::Head:
        return "head " + read;
    case State::Complete:
        return QStringLiteral("complete %1 %2 %3")
            .arg(read, request.body.size() > 16 ? QStringLiteral("%1 bytes").arg(request.body.size()) : text(request.body),
                 QLatin1String(request.KeepAlive() ? "keep" : "close"));
    }
    return {};
}

QByteArray Close(int code, const QByteArray& reason = {})
{
    return MaskedFrame(0x88, QByteArray(1, char(code >> 8)) + char(code & 0xFF) + reason);
}

// "kind:payload" for each event, payloads over 32 bytes by their size.
QString Events(websocket::FrameReader& reader)
{
    using Kind = websocket::Event::Kind;
    QStringList said;
    while (const auto event = reader.Next()) {
        const QString payload = event->payload.size() > 32 ? QStringLiteral("%1 bytes").arg(event->payload.size())
                                                           : QString::fromStdString(event->payload);
        if (event->kind == Kind::Message)
            said << (event->opcode == websocket::Opcode::Text ? "text:" : "binary:") + payload;
        else if (event->kind == Kind::Ping)
            said << "ping:" + payload;
        else if (event->kind == Kind::Pong)
            said << "pong";
        else if (event->kind == Kind::Close)
            said << QStringLiteral("close:%1:%2").arg(event->code).arg(payload);
        else
            said << QStringLiteral("fail:%1").arg(event->code);
    }
    return said.join(u' ');
}

} // namespace

class TestHttp : public QObject
{
    Q_OBJECT

private slots:
    void requests_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("outcome");

        const QByteArray get = "GET /api/state HTTP/1.1\r\nHost: vm:8080\r\n";
        const QByteArray post = "POST /api/select HTTP/1.1\r\nHost: vm\r\n";
        QTest::newRow("nothing yet") << QByteArray() << "idle";
        QTest::newRow("blank lines before a request") << "\r\n\r\n" + get + "\r\n" << "complete /api/state vm:8080  keep";
        QTest::newRow("some of the head") << QByteArray("GET /api/state HTTP/1.1\r\nHo") << "partial";
        QTest::newRow("some of the body") << post + "Content-Length: 5\r\n\r\nrf" << "head /api/select vm";
        QTest::newRow("lines ended by LF alone") << QByteArray("GET /page.js?v=2 HTTP/1.1\nHost: vm\n\n") << "complete /page.js vm  keep";
        QTest::newRow("absolute form") << QByteArray("GET http://vm.local:80/api/state?x HTTP/1.1\r\nHost: other\r\n\r\n")
                                       << "complete /api/state vm.local:80  keep";
        QTest::newRow("HTTP/1.0, keep-alive") << QByteArray("GET / HTTP/1.0\r\nConnection: TE, Keep-Alive\r\n\r\n") << "complete /   keep";
        QTest::newRow("HTTP/1.1, close") << get + "Connection: Close\r\n\r\n" << "complete /api/state vm:8080  close";
        QTest::newRow("the same length twice") << post + "Content-Length: 3\r\nContent-Length: 3\r\n\r\nrf2" << "complete /api/select vm rf2 keep";
        QTest::newRow("waits for 100 Continue") << post + "Content-Length: 3\r\nExpect: 100-continue\r\n\r\n" << "head /api/select vm";

        // The head: 16 KiB at most, line ends included.
        const QByteArray start = "GET / HTTP/1.1\r\nHost: vm\r\nX-Pad: ";
        QTest::newRow("a head of 16384 bytes") << start + QByteArray(16384 - start.size() - 4, 'a') + "\r\n\r\n" << "complete / vm  keep";
        QTest::newRow("a head of 16385 bytes") << start + QByteArray(16385 - start.size() - 4, 'a') + "\r\n\r\n" << "refused 431";
        QTest::newRow("16385 bytes and no end") << start + QByteArray(16385 - start.size(), 'a') << "refused 431";
        QTest::newRow("a request line over 16 KiB") << "GET /" + QByteArray(17000, 'a') << "refused 431";
        // The body: 64 KiB at most, refused on its head.
        QTest::newRow("a body of 65536 bytes") << post + "Content-Length: 65536\r\n\r\n" + QByteArray(65536, ' ')
                                               << "complete /api/select vm 65536 bytes keep";
        QTest::newRow("a body of 65537 bytes, none sent") << post + "Content-Length: 65537\r\n\r\n" << "refused 413";
        QTest::newRow("a length past any number") << post + "Content-Length: 99999999999999999999999\r\n\r\n" << "refused 413";
        QTest::newRow("a chunked body") << post + "Transfer-Encoding: chunked\r\n\r\n3\r\nrf1\r\n0\r\n\r\n" << "refused 411";
        QTest::newRow("compressed, then chunked") << post + "Transfer-Encoding: gzip, chunked\r\n\r\n" << "refused 411";
        QTest::newRow("another coding") << post + "Transfer-Encoding: gzip\r\n\r\n" << "refused 501";
        QTest::newRow("two lengths") << post + "Content-Length: 3\r\nContent-Length: 4\r\n\r\nrf1" << "refused 400";
        QTest::newRow("a negative length") << post + "Content-Length: -3\r\n\r\n" << "refused 400";
        QTest::newRow("another expectation") << post + "Content-Length: 3\r\nExpect: 200-ok\r\n\r\n" << "refused 417";
        QTest::newRow("HTTP/2.0") << QByteArray("GET / HTTP/2.0\r\nHost: vm\r\n\r\n") << "refused 505";
        QTest::newRow("no version") << QByteArray("GET /\r\nHost: vm\r\n\r\n") << "refused 400";
        QTest::newRow("two blanks") << QByteArray("GET  / HTTP/1.1\r\nHost: vm\r\n\r\n") << "refused 400";
        QTest::newRow("no Host") << QByteArray("GET / HTTP/1.1\r\n\r\n") << "refused 400";
        QTest::newRow("two Hosts") << get + "Host: evil.example\r\n\r\n" << "refused 400";
        QTest::newRow("a blank before the colon") << QByteArray("GET / HTTP/1.1\r\nHost : vm\r\n\r\n") << "refused 400";
        QTest::newRow("a folded line") << get + "X-A: 1\r\n 2\r\n\r\n" << "refused 400";
        QTest::newRow("a control byte in a value") << get + "X-A: 1\x01\r\n\r\n" << "refused 400";
    }

    void requests()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, outcome);
        // All at once, and a byte at a time.
        for (const bool whole : {true, false}) {
            HttpRequestReader reader;
            State got = reader.Current();
            if (whole)
                got = reader.Add(bytes.toStdString());
            for (qsizetype i = 0; !whole && i < bytes.size(); ++i)
                got = reader.Add(std::string_view(bytes.constData() + i, 1));
            QCOMPARE(Outcome(reader, got), outcome);
            // Nothing of a refused request is kept.
            if (got == State::Refused)
                QCOMPARE(reader.Buffered(), std::size_t(0));
        }
    }

    // Answers on the wire the web server's own requests do not show (HEAD,
    // Connection: close and the common statuses are tst_web's).
    void answers_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("head");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("431") << 431 << true
                             << QByteArray("HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Type: text/plain\r\nContent-Length: 3\r\n\r\n");
        QTest::newRow("101 has no length") << 101 << false
                                           << QByteArray("HTTP/1.1 101 Switching Protocols\r\nContent-Type: text/plain\r\n\r\nrf1");
    }

    void answers()
    {
        QFETCH(int, status);
        QFETCH(bool, head);
        const HttpAnswer answer{status, {{"Content-Type", "text/plain"}}, "rf1"};
        QTEST(QByteArray::fromStdString(AnswerBytes(answer, head)), "bytes");
    }

    void frames_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("events");

        QTest::newRow("a text message") << MaskedFrame(0x81, "hello") << "text:hello";
        QTest::newRow("binary, not UTF-8") << MaskedFrame(0x82, "caf\xe9") << "binary:caf\xe9";
        QTest::newRow("in two parts, a ping between") << MaskedFrame(0x01, "hel") + MaskedFrame(0x89, "p") + MaskedFrame(0x80, "lo") << "ping:p text:hello";
        QTest::newRow("a pong") << MaskedFrame(0x8A, "x") << "pong";
        QTest::newRow("4096 bytes") << MaskedFrame(0x82, QByteArray(4096, 'a')) << "binary:4096 bytes";
        QTest::newRow("4096 bytes in parts") << MaskedFrame(0x02, QByteArray(4000, 'a')) + MaskedFrame(0x80, QByteArray(96, 'a')) << "binary:4096 bytes";
        QTest::newRow("a length in 8 bytes") << MaskedFrame(0x81, "ab").replace(1, 1, QByteArray("\xff\0\0\0\0\0\0\0\x02", 9)) << "text:ab";
        QTest::newRow("close with a reason") << Close(1000, "bye") << "close:1000:bye";
        QTest::newRow("close without a code") << MaskedFrame(0x88, {}) << "close:1005:";
        QTest::newRow("an application's close code") << Close(4000) << "close:4000:";
        QTest::newRow("nothing after close") << Close(1001) + MaskedFrame(0x81, "late") << "close:1001:";

        QTest::newRow("not masked") << QByteArray("\x81\x02hi") << "fail:1002";
        QTest::newRow("a reserved bit") << MaskedFrame(0xC1, "hi") << "fail:1002";
        QTest::newRow("opcode 3") << MaskedFrame(0x83, "hi") << "fail:1002";
        QTest::newRow("opcode 11") << MaskedFrame(0x8B, "hi") << "fail:1002";
        QTest::newRow("a ping in parts") << MaskedFrame(0x09, "p") << "fail:1002";
        QTest::newRow("a ping of 126 bytes") << MaskedFrame(0x89, QByteArray(126, 'p')) << "fail:1002";
        QTest::newRow("a continuation first") << MaskedFrame(0x80, "lo") << "fail:1002";
        QTest::newRow("a message inside another") << MaskedFrame(0x01, "hel") + MaskedFrame(0x81, "lo") << "fail:1002";
        QTest::newRow("a length with the top bit") << QByteArray("\x82\xff\x80\0\0\0\0\0\0\0", 10) << "fail:1002";
        QTest::newRow("a close of 1 byte") << MaskedFrame(0x88, "\x03") << "fail:1002";
        QTest::newRow("close code 999") << Close(999) << "fail:1002";
        QTest::newRow("close code 1005") << Close(1005) << "fail:1002";
        QTest::newRow("close code 2000") << Close(2000) << "fail:1002";
        QTest::newRow("4097 bytes, on the header alone") << MaskedFrame(0x82, {}, 4097) << "fail:1009";
        QTest::newRow("4097 bytes in parts") << MaskedFrame(0x02, QByteArray(4000, 'a')) + MaskedFrame(0x80, QByteArray(97, 'a')) << "fail:1009";
        QTest::newRow("text not UTF-8") << MaskedFrame(0x81, "caf\xe9") << "fail:1007";
        QTest::newRow("an overlong form") << MaskedFrame(0x81, "\xc0\xaf") << "fail:1007";
        QTest::newRow("a surrogate") << MaskedFrame(0x81, "\xed\xa0\x80") << "fail:1007";
        QTest::newRow("cut inside a character") << MaskedFrame(0x81, "\xe2\x82") << "fail:1007";
        QTest::newRow("UTF-8 in parts") << MaskedFrame(0x01, "\xe2\x82") + MaskedFrame(0x80, "\xac") << "text:\xe2\x82\xac";
        QTest::newRow("a close reason not UTF-8") << Close(1000, "\xff") << "fail:1007";
        QTest::newRow("nothing after a failure") << QByteArray("\x81\x02hi") + MaskedFrame(0x89, "p") << "fail:1002";
    }

    void frames()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, events);
        for (const bool whole : {true, false}) {
            websocket::FrameReader reader(4096);
            QStringList said;
            if (whole)
                reader.Add(bytes.toStdString());
            for (qsizetype i = 0; !whole && i < bytes.size(); ++i) {
                reader.Add(std::string_view(bytes.constData() + i, 1));
                if (const QString now = Events(reader); !now.isEmpty())
                    said << now;
            }
            if (whole)
                said << Events(reader);
            QCOMPARE(said.join(u' '), events);
        }
    }

    void serverFrames_data()
    {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("125 bytes") << QByteArray::fromStdString(websocket::Frame(websocket::Opcode::Binary, std::string(125, 'a'))).left(2)
                                   << QByteArray("\x82\x7d");
        QTest::newRow("65536 bytes") << QByteArray::fromStdString(websocket::Frame(websocket::Opcode::Text, std::string(65536, 'a'))).left(10)
                                     << QByteArray("\x81\x7f\0\0\0\0\0\x01\0\0", 10);
        QTest::newRow("close 1009") << QByteArray::fromStdString(websocket::CloseFrame(1009, "big")) << QByteArray("\x88\x05\x03\xf1" "big");
        QTest::newRow("close, no code") << QByteArray::fromStdString(websocket::CloseFrame(1005)) << QByteArray("\x88\x00", 2);
        QTest::newRow("a long reason cut between characters")
            << QByteArray::fromStdString(websocket::CloseFrame(1002, std::string(122, 'a') + "\xc3\xa9")).left(2) << QByteArray("\x88\x7c");
    }

    void serverFrames()
    {
        QFETCH(QByteArray, frame);
        QTEST(frame, "bytes");
    }

    // Upgrades refused (the one taken, with RFC 6455's key and answer, is
    // tst_web's).
    void handshakes_data()
    {
        QTest::addColumn<QByteArray>("head");
        QTest::addColumn<int>("status");
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
        QFETCH(QByteArray, head);
        QFETCH(int, status);
        HttpRequestReader reader;
        QVERIFY(reader.Add(head.toStdString()) == State::Complete);
        QVERIFY(websocket::AsksUpgrade(reader.Request()));
        const HttpAnswer answer = websocket::Handshake(reader.Request());
        QCOMPARE(answer.status, status);
        // The version this server speaks, for the client to try again with.
        QVERIFY(status != 426 || QByteArray::fromStdString(AnswerBytes(answer)).contains("\r\nSec-WebSocket-Version: 13\r\n"));
    }
};

QTEST_APPLESS_MAIN(TestHttp)
#include "tst_http.moc"

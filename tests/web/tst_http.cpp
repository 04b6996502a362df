// The web server's protocol layers over bytes alone: HTTP requests read
// within their limits, answers as they go on the wire, and WebSocket frames
// and handshakes as RFC 6455 has them.
#include "HttpAnswer.h"
#include "HttpRequest.h"
#include "WebSocket.h"

#include <QTest>

namespace {

using State = HttpRequestReader::State;

QString StateName(State state)
{
    switch (state) {
    case State::Idle:
        return "idle";
    case State::Partial:
        return "partial";
    case State::Head:
        return "head";
    case State::Complete:
        return "complete";
    case State::Refused:
        return "refused";
    }
    return {};
}

// A client's frame: masked with a fixed key.
QByteArray Masked(int first, const QByteArray& payload, qint64 declared = -1)
{
    const quint64 length = declared < 0 ? quint64(payload.size()) : quint64(declared);
    QByteArray frame(1, char(first));
    if (length < 126) {
        frame += char(0x80 | length);
    } else if (length <= 0xFFFF) {
        frame += char(0x80 | 126);
        frame += char(length >> 8);
        frame += char(length & 0xFF);
    } else {
        frame += char(0x80 | 127);
        for (int shift = 56; shift >= 0; shift -= 8)
            frame += char((length >> shift) & 0xFF);
    }
    const char key[4] = {0x37, char(0xfa), 0x21, 0x3d};
    frame.append(key, 4);
    for (qsizetype i = 0; i < payload.size(); ++i)
        frame += char(payload[i] ^ key[i % 4]);
    return frame;
}

QByteArray Close(int code, const QByteArray& reason = {})
{
    return Masked(0x88, QByteArray(1, char(code >> 8)) + char(code & 0xFF) + reason);
}

// "kind:payload" for each event, payloads over 32 bytes by their size.
QString Events(websocket::FrameReader& reader)
{
    QStringList said;
    while (const auto event = reader.Next()) {
        const QString payload = event->payload.size() > 32 ? QStringLiteral("%1 bytes").arg(event->payload.size())
                                                           : QString::fromStdString(event->payload);
        switch (event->kind) {
        case websocket::Event::Kind::Message:
            said << QStringLiteral("%1:%2").arg(event->opcode == websocket::Opcode::Text ? "text" : "binary", payload);
            break;
        case websocket::Event::Kind::Ping:
            said << "ping:" + payload;
            break;
        case websocket::Event::Kind::Pong:
            said << "pong";
            break;
        case websocket::Event::Kind::Close:
            said << QStringLiteral("close:%1:%2").arg(event->code).arg(payload);
            break;
        case websocket::Event::Kind::Fail:
            said << QStringLiteral("fail:%1").arg(event->code);
            break;
        }
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
        QTest::addColumn<QString>("state");
        QTest::addColumn<int>("status");          // refused: the answer's status
        QTest::addColumn<QByteArray>("path");
        QTest::addColumn<QByteArray>("authority");
        QTest::addColumn<QByteArray>("body");

        const QByteArray get = "GET /api/state HTTP/1.1\r\nHost: vm:8080\r\n";
        const QByteArray post = "POST /api/select HTTP/1.1\r\nHost: vm\r\n";
        QTest::newRow("a GET") << get + "\r\n" << "complete" << 0 << QByteArray("/api/state") << QByteArray("vm:8080") << QByteArray();
        QTest::newRow("a POST with its body") << post + "Content-Length: 3\r\n\r\nrf1" << "complete" << 0 << QByteArray("/api/select")
                                              << QByteArray("vm") << QByteArray("rf1");
        QTest::newRow("nothing yet") << QByteArray() << "idle" << 0 << QByteArray() << QByteArray() << QByteArray();
        QTest::newRow("blank lines before a request") << "\r\n\r\n" + get + "\r\n" << "complete" << 0 << QByteArray("/api/state")
                                                      << QByteArray("vm:8080") << QByteArray();
        QTest::newRow("some of the head") << QByteArray("GET /api/state HTTP/1.1\r\nHo") << "partial" << 0 << QByteArray() << QByteArray()
                                          << QByteArray();
        QTest::newRow("some of the body") << post + "Content-Length: 5\r\n\r\nrf" << "head" << 0 << QByteArray("/api/select") << QByteArray("vm")
                                          << QByteArray();
        QTest::newRow("lines ended by LF alone") << QByteArray("GET /page.js?v=2 HTTP/1.1\nHost: vm\n\n") << "complete" << 0
                                                 << QByteArray("/page.js") << QByteArray("vm") << QByteArray();
        QTest::newRow("absolute form") << QByteArray("GET http://vm.local:80/api/state?x HTTP/1.1\r\nHost: other\r\n\r\n") << "complete" << 0
                                       << QByteArray("/api/state") << QByteArray("vm.local:80") << QByteArray();
        QTest::newRow("HTTP/1.0 needs no Host") << QByteArray("GET / HTTP/1.0\r\n\r\n") << "complete" << 0 << QByteArray("/") << QByteArray()
                                                << QByteArray();
        QTest::newRow("a method of its own") << QByteArray("BREW /pot HTTP/1.1\r\nHost: vm\r\n\r\n") << "complete" << 0 << QByteArray("/pot")
                                             << QByteArray("vm") << QByteArray();
        QTest::newRow("the same length twice") << post + "Content-Length: 3\r\nContent-Length: 3\r\n\r\nrf2" << "complete" << 0
                                               << QByteArray("/api/select") << QByteArray("vm") << QByteArray("rf2");
        QTest::newRow("waits for 100 Continue") << post + "Content-Length: 3\r\nExpect: 100-continue\r\n\r\n" << "head" << 0
                                                << QByteArray("/api/select") << QByteArray("vm") << QByteArray();

        // The head: 16 KiB at most, line ends included.
        const QByteArray start = "GET / HTTP/1.1\r\nHost: vm\r\nX-Pad: ";
        QTest::newRow("a head of 16384 bytes") << start + QByteArray(16384 - start.size() - 4, 'a') + "\r\n\r\n" << "complete" << 0
                                               << QByteArray("/") << QByteArray("vm") << QByteArray();
        QTest::newRow("a head of 16385 bytes") << start + QByteArray(16385 - start.size() - 4, 'a') + "\r\n\r\n" << "refused" << 431
                                               << QByteArray() << QByteArray() << QByteArray();
        QTest::newRow("16385 bytes and no end") << start + QByteArray(16385 - start.size(), 'a') << "refused" << 431 << QByteArray()
                                                << QByteArray() << QByteArray();
        QTest::newRow("a request line over 16 KiB") << "GET /" + QByteArray(17000, 'a') << "refused" << 431 << QByteArray() << QByteArray()
                                                    << QByteArray();
        // The body: 64 KiB at most, refused on its head.
        QTest::newRow("a body of 65536 bytes") << post + "Content-Length: 65536\r\n\r\n" + QByteArray(65536, ' ') << "complete" << 0
                                               << QByteArray("/api/select") << QByteArray("vm") << QByteArray(65536, ' ');
        QTest::newRow("a body of 65537 bytes, none sent") << post + "Content-Length: 65537\r\n\r\n" << "refused" << 413 << QByteArray()
                                                          << QByteArray() << QByteArray();
        QTest::newRow("a length past any number") << post + "Content-Length: 99999999999999999999999\r\n\r\n" << "refused" << 413
                                                  << QByteArray() << QByteArray() << QByteArray();
        QTest::newRow("a chunked body") << post + "Transfer-Encoding: chunked\r\n\r\n3\r\nrf1\r\n0\r\n\r\n" << "refused" << 411 << QByteArray()
                                        << QByteArray() << QByteArray();
        QTest::newRow("compressed, then chunked") << post + "Transfer-Encoding: gzip, chunked\r\n\r\n" << "refused" << 411 << QByteArray()
                                                  << QByteArray() << QByteArray();
        QTest::newRow("another coding") << post + "Transfer-Encoding: gzip\r\n\r\n" << "refused" << 501 << QByteArray() << QByteArray()
                                        << QByteArray();
        QTest::newRow("two lengths") << post + "Content-Length: 3\r\nContent-Length: 4\r\n\r\nrf1" << "refused" << 400 << QByteArray()
                                     << QByteArray() << QByteArray();
        QTest::newRow("a negative length") << post + "Content-Length: -3\r\n\r\n" << "refused" << 400 << QByteArray() << QByteArray()
                                           << QByteArray();
        QTest::newRow("another expectation") << post + "Content-Length: 3\r\nExpect: 200-ok\r\n\r\n" << "refused" << 417 << QByteArray()
                                             << QByteArray() << QByteArray();
        QTest::newRow("HTTP/2.0") << QByteArray("GET / HTTP/2.0\r\nHost: vm\r\n\r\n") << "refused" << 505 << QByteArray() << QByteArray()
                                  << QByteArray();
        QTest::newRow("no version") << QByteArray("GET /\r\nHost: vm\r\n\r\n") << "refused" << 400 << QByteArray() << QByteArray()
                                    << QByteArray();
        QTest::newRow("two blanks") << QByteArray("GET  / HTTP/1.1\r\nHost: vm\r\n\r\n") << "refused" << 400 << QByteArray() << QByteArray()
                                    << QByteArray();
        QTest::newRow("no Host") << QByteArray("GET / HTTP/1.1\r\n\r\n") << "refused" << 400 << QByteArray() << QByteArray() << QByteArray();
        QTest::newRow("two Hosts") << get + "Host: evil.example\r\n\r\n" << "refused" << 400 << QByteArray() << QByteArray() << QByteArray();
        QTest::newRow("a blank before the colon") << QByteArray("GET / HTTP/1.1\r\nHost : vm\r\n\r\n") << "refused" << 400 << QByteArray()
                                                  << QByteArray() << QByteArray();
        QTest::newRow("a folded line") << get + "X-A: 1\r\n 2\r\n\r\n" << "refused" << 400 << QByteArray() << QByteArray() << QByteArray();
        QTest::newRow("a control byte in a value") << get + "X-A: 1\x01\r\n\r\n" << "refused" << 400 << QByteArray() << QByteArray()
                                                   << QByteArray();
    }

    void requests()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, state);
        QFETCH(int, status);
        QFETCH(QByteArray, path);
        QFETCH(QByteArray, authority);
        QFETCH(QByteArray, body);

        // All at once, and a byte at a time.
        for (const bool whole : {true, false}) {
            HttpRequestReader reader;
            State got = reader.Current();
            if (whole)
                got = reader.Add(bytes.toStdString());
            for (qsizetype i = 0; !whole && i < bytes.size(); ++i)
                got = reader.Add(std::string_view(bytes.constData() + i, 1));
            QCOMPARE(StateName(got), state);
            QCOMPARE(reader.Refusal().status, status);
            if (got == State::Head || got == State::Complete) {
                QCOMPARE(QByteArray::fromStdString(std::string(reader.Request().Path())), path);
                QCOMPARE(QByteArray::fromStdString(std::string(reader.Request().Authority())), authority);
                QCOMPARE(QByteArray::fromStdString(reader.Request().body), body);
            }
            // Nothing of a refused request is kept.
            if (got == State::Refused)
                QCOMPARE(reader.Buffered(), std::size_t(0));
        }
    }

    void pipelined()
    {
        HttpRequestReader reader;
        const std::string two = "POST /api/select HTTP/1.1\r\nHost: vm\r\nContent-Length: 3\r\n\r\nrf1"
                                "GET /api/state HTTP/1.0\r\nConnection: keep-alive\r\n\r\nGET /";
        QCOMPARE(StateName(reader.Add(two)), QString("complete"));
        QCOMPARE(reader.Request().body, std::string("rf1"));
        QVERIFY(reader.Request().KeepAlive());
        QCOMPARE(StateName(reader.Next()), QString("complete"));
        QCOMPARE(reader.Request().target, std::string("/api/state"));
        QVERIFY(reader.Request().KeepAlive());
        QCOMPARE(reader.TakeFollowing(), std::string("GET /"));
        QCOMPARE(reader.Buffered(), std::size_t(0));
    }

    void keepAlive_data()
    {
        QTest::addColumn<QByteArray>("head");
        QTest::addColumn<bool>("keepAlive");
        QTest::newRow("HTTP/1.1") << QByteArray("GET / HTTP/1.1\r\nHost: vm\r\n\r\n") << true;
        QTest::newRow("HTTP/1.1, close") << QByteArray("GET / HTTP/1.1\r\nHost: vm\r\nConnection: Close\r\n\r\n") << false;
        QTest::newRow("HTTP/1.0") << QByteArray("GET / HTTP/1.0\r\n\r\n") << false;
        QTest::newRow("HTTP/1.0, keep-alive") << QByteArray("GET / HTTP/1.0\r\nConnection: TE, Keep-Alive\r\n\r\n") << true;
    }

    void keepAlive()
    {
        QFETCH(QByteArray, head);
        QFETCH(bool, keepAlive);
        HttpRequestReader reader;
        QCOMPARE(StateName(reader.Add(head.toStdString())), QString("complete"));
        QCOMPARE(reader.Request().KeepAlive(), keepAlive);
    }

    void answers_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("head");
        QTest::addColumn<bool>("close");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("200") << 200 << false << false
                             << QByteArray("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 3\r\n\r\nrf1");
        QTest::newRow("to HEAD") << 200 << true << false << QByteArray("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 3\r\n\r\n");
        QTest::newRow("closing") << 413 << false << true
                                 << QByteArray("HTTP/1.1 413 Content Too Large\r\nContent-Type: text/plain\r\nContent-Length: 3\r\n"
                                               "Connection: close\r\n\r\nrf1");
        QTest::newRow("431") << 431 << true << false
                             << QByteArray("HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Type: text/plain\r\nContent-Length: 3\r\n\r\n");
        QTest::newRow("101 has no length") << 101 << false << false
                                           << QByteArray("HTTP/1.1 101 Switching Protocols\r\nContent-Type: text/plain\r\n\r\nrf1");
    }

    void answers()
    {
        QFETCH(int, status);
        QFETCH(bool, head);
        QFETCH(bool, close);
        QFETCH(QByteArray, bytes);
        const HttpAnswer answer{status, {{"Content-Type", "text/plain"}}, "rf1"};
        QCOMPARE(QByteArray::fromStdString(AnswerBytes(answer, head, close)), bytes);
    }

    void frames_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("events");

        QTest::newRow("a text message") << Masked(0x81, "hello") << "text:hello";
        QTest::newRow("binary, not UTF-8") << Masked(0x82, "caf\xe9") << "binary:caf\xe9";
        QTest::newRow("in two parts, a ping between") << Masked(0x01, "hel") + Masked(0x89, "p") + Masked(0x80, "lo") << "ping:p text:hello";
        QTest::newRow("a pong") << Masked(0x8A, "x") << "pong";
        QTest::newRow("4096 bytes") << Masked(0x82, QByteArray(4096, 'a')) << "binary:4096 bytes";
        QTest::newRow("4096 bytes in parts") << Masked(0x02, QByteArray(4000, 'a')) + Masked(0x80, QByteArray(96, 'a')) << "binary:4096 bytes";
        QTest::newRow("a length in 8 bytes") << Masked(0x81, "ab").replace(1, 1, QByteArray("\xff\0\0\0\0\0\0\0\x02", 9)) << "text:ab";
        QTest::newRow("close with a reason") << Close(1000, "bye") << "close:1000:bye";
        QTest::newRow("close without a code") << Masked(0x88, {}) << "close:1005:";
        QTest::newRow("an application's close code") << Close(4000) << "close:4000:";
        QTest::newRow("nothing after close") << Close(1001) + Masked(0x81, "late") << "close:1001:";

        QTest::newRow("not masked") << QByteArray("\x81\x02hi") << "fail:1002";
        QTest::newRow("a reserved bit") << Masked(0xC1, "hi") << "fail:1002";
        QTest::newRow("opcode 3") << Masked(0x83, "hi") << "fail:1002";
        QTest::newRow("opcode 11") << Masked(0x8B, "hi") << "fail:1002";
        QTest::newRow("a ping in parts") << Masked(0x09, "p") << "fail:1002";
        QTest::newRow("a ping of 126 bytes") << Masked(0x89, QByteArray(126, 'p')) << "fail:1002";
        QTest::newRow("a continuation first") << Masked(0x80, "lo") << "fail:1002";
        QTest::newRow("a message inside another") << Masked(0x01, "hel") + Masked(0x81, "lo") << "fail:1002";
        QTest::newRow("a length with the top bit") << QByteArray("\x82\xff\x80\0\0\0\0\0\0\0", 10) << "fail:1002";
        QTest::newRow("a close of 1 byte") << Masked(0x88, "\x03") << "fail:1002";
        QTest::newRow("close code 999") << Close(999) << "fail:1002";
        QTest::newRow("close code 1005") << Close(1005) << "fail:1002";
        QTest::newRow("close code 2000") << Close(2000) << "fail:1002";
        QTest::newRow("4097 bytes, on the header alone") << Masked(0x82, {}, 4097) << "fail:1009";
        QTest::newRow("128 MiB, on the header alone") << Masked(0x81, {}, 128 << 20) << "fail:1009";
        QTest::newRow("4097 bytes in parts") << Masked(0x02, QByteArray(4000, 'a')) + Masked(0x80, QByteArray(97, 'a')) << "fail:1009";
        QTest::newRow("text not UTF-8") << Masked(0x81, "caf\xe9") << "fail:1007";
        QTest::newRow("an overlong form") << Masked(0x81, "\xc0\xaf") << "fail:1007";
        QTest::newRow("a surrogate") << Masked(0x81, "\xed\xa0\x80") << "fail:1007";
        QTest::newRow("cut inside a character") << Masked(0x81, "\xe2\x82") << "fail:1007";
        QTest::newRow("UTF-8 in parts") << Masked(0x01, "\xe2\x82") + Masked(0x80, "\xac") << "text:\xe2\x82\xac";
        QTest::newRow("a close reason not UTF-8") << Close(1000, "\xff") << "fail:1007";
        QTest::newRow("nothing after a failure") << QByteArray("\x81\x02hi") + Masked(0x89, "p") << "fail:1002";
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
        QTest::newRow("text") << QByteArray::fromStdString(websocket::Frame(websocket::Opcode::Text, "hi")) << QByteArray("\x81\x02hi");
        QTest::newRow("125 bytes") << QByteArray::fromStdString(websocket::Frame(websocket::Opcode::Binary, std::string(125, 'a'))).left(2)
                                   << QByteArray("\x82\x7d");
        QTest::newRow("126 bytes") << QByteArray::fromStdString(websocket::Frame(websocket::Opcode::Text, std::string(126, 'a'))).left(4)
                                   << QByteArray("\x81\x7e\x00\x7e", 4);
        QTest::newRow("65536 bytes") << QByteArray::fromStdString(websocket::Frame(websocket::Opcode::Text, std::string(65536, 'a'))).left(10)
                                     << QByteArray("\x81\x7f\0\0\0\0\0\x01\0\0", 10);
        QTest::newRow("pong") << QByteArray::fromStdString(websocket::Frame(websocket::Opcode::Pong, "p")) << QByteArray("\x8a\x01p");
        QTest::newRow("close 1009") << QByteArray::fromStdString(websocket::CloseFrame(1009, "big")) << QByteArray("\x88\x05\x03\xf1" "big");
        QTest::newRow("close, no code") << QByteArray::fromStdString(websocket::CloseFrame(1005)) << QByteArray("\x88\x00", 2);
        QTest::newRow("a long reason cut between characters")
            << QByteArray::fromStdString(websocket::CloseFrame(1002, std::string(122, 'a') + "\xc3\xa9")).left(2) << QByteArray("\x88\x7c");
    }

    void serverFrames()
    {
        QFETCH(QByteArray, frame);
        QFETCH(QByteArray, bytes);
        QCOMPARE(frame, bytes);
    }

    void handshakes_data()
    {
        QTest::addColumn<QByteArray>("head");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("accept");

        const QByteArray upgrade = "GET /api/events HTTP/1.1\r\nHost: vm\r\nUpgrade: websocket\r\nConnection: keep-alive, Upgrade\r\n";
        // The key and its answer as RFC 6455 gives them.
        const QByteArray key = "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n";
        QTest::newRow("version 13") << upgrade + key + "Sec-WebSocket-Version: 13\r\n\r\n" << 101 << QByteArray("s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
        QTest::newRow("version 8") << upgrade + key + "Sec-WebSocket-Version: 8\r\n\r\n" << 426 << QByteArray();
        QTest::newRow("no key") << upgrade + "Sec-WebSocket-Version: 13\r\n\r\n" << 400 << QByteArray();
        QTest::newRow("a key of 15 bytes") << upgrade + "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25j\r\nSec-WebSocket-Version: 13\r\n\r\n" << 400
                                           << QByteArray();
        QTest::newRow("no Connection: Upgrade") << QByteArray(upgrade).replace("keep-alive, Upgrade", "keep-alive") + key
                                                       + "Sec-WebSocket-Version: 13\r\n\r\n"
                                                << 400 << QByteArray();
        QTest::newRow("HTTP/1.0") << QByteArray(upgrade).replace("HTTP/1.1", "HTTP/1.0") + key + "Sec-WebSocket-Version: 13\r\n\r\n" << 400
                                  << QByteArray();
    }

    void handshakes()
    {
        QFETCH(QByteArray, head);
        QFETCH(int, status);
        QFETCH(QByteArray, accept);
        HttpRequestReader reader;
        QCOMPARE(StateName(reader.Add(head.toStdString())), QString("complete"));
        QVERIFY(websocket::AsksUpgrade(reader.Request()));
        const HttpAnswer answer = websocket::Handshake(reader.Request());
        QCOMPARE(answer.status, status);
        QByteArray got;
        for (const auto& [name, value] : answer.headers)
            if (name == "Sec-WebSocket-Accept")
                got = QByteArray::fromStdString(value);
        QCOMPARE(got, accept);
        if (status == 426)
            QCOMPARE(QByteArray::fromStdString(AnswerBytes(answer)).contains("\r\nSec-WebSocket-Version: 13\r\n"), true);
    }
};

QTEST_APPLESS_MAIN(TestHttp)
#include "tst_http.moc"

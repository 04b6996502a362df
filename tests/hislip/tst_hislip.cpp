// HiSLIP: the message framing and the pairing of a session's channels as
// tables, and the server in-process on the real switch core and a recording
// port, driven over loopback by QTcpSocket clients.
#include "FakePort.h"
#include "HislipMessage.h"
#include "HislipServer.h"
#include "HislipSessions.h"
#include "SwitchCore.h"

#include <QRegularExpression>
#include <QTcpSocket>
#include <QTest>

#include <memory>

using namespace hislip;

namespace {

constexpr int kTimeout = 30000;

QByteArray Hex(const std::string& bytes)
{
    return QByteArray::fromStdString(bytes).toHex(' ');
}

std::string Bytes(const QString& hex)
{
    return QByteArray::fromHex(hex.toLatin1()).toStdString();
}

struct Message
{
    int type = -1;
    int control = 0;
    quint32 parameter = 0;
    QByteArray payload;
};

// One channel of a client: whole messages in and out, the server's events
// running while it waits.
class Channel
{
public:
    explicit Channel(quint16 port) { socket_.connectToHost(QHostAddress::LocalHost, port); }

    void Send(Type type, quint8 control, quint32 parameter, const QByteArray& payload = {})
    {
        socket_.write(QByteArray::fromStdString(Encode(type, control, parameter, payload.toStdString())));
    }

    void Raw(const QByteArray& bytes) { socket_.write(bytes); }

    // The next message; type -1 when none came.
    Message Next(int within = kTimeout)
    {
        const auto whole = [this] {
            if (socket_.bytesAvailable() < 16)
                return false;
            const auto header = DecodeHeader(socket_.peek(16).toStdString());
            return header && socket_.bytesAvailable() >= qint64(16 + header->length);
        };
        if (!QTest::qWaitFor(whole, within))
            return {};
        const auto header = DecodeHeader(socket_.read(16).toStdString());
        return {int(header->type), header->control, header->parameter, socket_.read(qint64(header->length))};
    }

    bool Closed() { return QTest::qWaitFor([this] { return socket_.state() == QAbstractSocket::UnconnectedState; }, kTimeout); }

private:
    QTcpSocket socket_;
};

struct Session
{
    Channel sync;
    std::unique_ptr<Channel> async;
    quint16 id = 0;

    explicit Session(quint16 port, bool pair = true) : sync(port)
    {
        sync.Send(Type::Initialize, 0, Pack(kVersion2_0, 0x5459), "hislip0");
        id = Low(sync.Next().parameter);
        if (pair)
            Pair(port);
    }

    void Pair(quint16 port)
    {
        async = std::make_unique<Channel>(port);
        async->Send(Type::AsyncInitialize, 0, id);
        async->Next();
    }
};

struct Board
{
    FakePort port;
    SwitchCore core{port};
    HislipServer server{core, ProgramIdentity("7"), ConnectionPolicy{}};

    explicit Board(int readBackAfter = 1)
    {
        core.TakeAddress(888, true, Source{});
        port.accesses.clear();
        port.readBackAfter = readBackAfter;
        server.Listen({QHostAddress::LocalHost, 0});
    }
};

} // namespace

class TestHislip : public QObject
{
    Q_OBJECT

private slots:
    void encode_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("control");
        QTest::addColumn<quint32>("parameter");
        QTest::addColumn<QByteArray>("payload");
        QTest::addColumn<QByteArray>("bytes");

        QTest::newRow("Initialize") << 0 << 0 << 0x02005059u << QByteArray("hislip0")
                                    << QByteArray("48 53 00 00 02 00 50 59 00 00 00 00 00 00 00 07 68 69 73 6c 69 70 30");
        QTest::newRow("DataEnd, RMT delivered") << 7 << 1 << 0xffffff02u << QByteArray("*IDN?\n")
                                                << QByteArray("48 53 07 01 ff ff ff 02 00 00 00 00 00 00 00 06 2a 49 44 4e 3f 0a");
        QTest::newRow("status response") << 22 << 0x50 << 0u << QByteArray()
                                         << QByteArray("48 53 16 50 00 00 00 00 00 00 00 00 00 00 00 00");
        QTest::newRow("vendor-defined") << 200 << 255 << 0x01020304u << QByteArray("x")
                                        << QByteArray("48 53 c8 ff 01 02 03 04 00 00 00 00 00 00 00 01 78");
    }

    void encode()
    {
        QFETCH(int, type);
        QFETCH(int, control);
        QFETCH(quint32, parameter);
        QFETCH(QByteArray, payload);
        QFETCH(QByteArray, bytes);
        QCOMPARE(Hex(Encode(Type(type), quint8(control), parameter, payload.toStdString())), bytes);
    }

    void reader_data()
    {
        QTest::addColumn<QStringList>("chunks");   // hex, as they arrive
        QTest::addColumn<QStringList>("expected"); // what Take gives after all of them, in turn

        const QString idn = "4853 0700 ffffff00 0000000000000006 2a49444e3f0a";
        const QString clear = "4853 1300 00000000 0000000000000000";
        QTest::newRow("one message") << QStringList{idn} << QStringList{"message 7 ffffff00 *IDN?\n", "more"};
        QTest::newRow("header cut in three") << QStringList{"4853 07", "00 ffffff00 00000000", "00000006 2a49444e3f0a"}
                                             << QStringList{"message 7 ffffff00 *IDN?\n", "more"};
        QTest::newRow("payload still coming") << QStringList{"4853 0700 ffffff00 0000000000000006 2a49"} << QStringList{"more"};
        QTest::newRow("two in one chunk") << QStringList{clear + idn}
                                          << QStringList{"message 19 0 ", "message 7 ffffff00 *IDN?\n", "more"};
        // 17 bytes against a maximum of 16: the header is told, the payload
        // dropped as it comes, and the next message read.
        QTest::newRow("too large, over two chunks")
            << QStringList{"4853 0600 ffffff00 0000000000000011 3031323334353637", "383930313233343536" + clear}
            << QStringList{"too large 6", "message 19 0 ", "more"};
        QTest::newRow("no prologue") << QStringList{"4854 0700 00000000 0000000000000000"} << QStringList{"bad"};
        QTest::newRow("first byte no H") << QStringList{"00"} << QStringList{"bad"};
        QTest::newRow("an H alone waits") << QStringList{"48"} << QStringList{"more"};
    }

    void reader()
    {
        QFETCH(QStringList, chunks);
        QFETCH(QStringList, expected);
        MessageReader reader(16);
        QStringList got;
        for (const QString& chunk : chunks)
            reader.Append(Bytes(QString(chunk).remove(' ')));
        for (int i = 0; i < expected.size(); ++i) {
            const auto next = reader.Take();
            switch (next.kind) {
            case MessageReader::Kind::NeedMore: got << "more"; break;
            case MessageReader::Kind::BadHeader: got << "bad"; break;
            case MessageReader::Kind::TooLarge: got << QString("too large %1").arg(int(next.header.type)); break;
            case MessageReader::Kind::Message:
                got << QString("message %1 %2 %3")
                           .arg(int(next.header.type))
                           .arg(next.header.parameter, 0, 16)
                           .arg(QString::fromStdString(next.payload));
                break;
            }
        }
        QCOMPARE(got, expected);
    }

    void negotiate_data()
    {
        QTest::addColumn<int>("client");
        QTest::addColumn<int>("agreed");
        QTest::newRow("1.0") << 0x0100 << 0x0100;
        QTest::newRow("1.1") << 0x0101 << 0x0101;
        QTest::newRow("2.0") << 0x0200 << 0x0200;
        QTest::newRow("a later one") << 0x0301 << 0x0200;
    }

    void negotiate()
    {
        QFETCH(int, client);
        QFETCH(int, agreed);
        QCOMPARE(int(NegotiateVersion(quint16(client), kVersion2_0)), agreed);
    }

    void pairing_data()
    {
        // Sessions opened from host "a" (ids 1, 2, ...), then AsyncInitialize
        // for `id` from `host`, twice.
        QTest::addColumn<int>("opened");
        QTest::addColumn<int>("closed");  // 0: none
        QTest::addColumn<int>("id");
        QTest::addColumn<QString>("host");
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second");
        QTest::newRow("paired once") << 1 << 0 << 1 << "a" << "paired" << "already paired";
        QTest::newRow("the second of two") << 2 << 0 << 2 << "a" << "paired" << "already paired";
        QTest::newRow("no such session") << 1 << 0 << 2 << "a" << "unknown" << "unknown";
        QTest::newRow("from another host") << 1 << 0 << 1 << "b" << "other host" << "other host";
        QTest::newRow("closed") << 2 << 1 << 1 << "a" << "unknown" << "unknown";
    }

    void pairing()
    {
        QFETCH(int, opened);
        QFETCH(int, closed);
        QFETCH(int, id);
        QFETCH(QString, host);
        QFETCH(QString, first);
        QFETCH(QString, second);
        SessionTable table(8);
        for (int i = 1; i <= opened; ++i)
            QCOMPARE(table.Open("a"), std::optional<std::uint16_t>(i));
        if (closed)
            table.Close(std::uint16_t(closed));
        const auto said = [&] {
            switch (table.Pair(std::uint16_t(id), host.toStdString())) {
            case SessionTable::Pairing::Paired: return "paired";
            case SessionTable::Pairing::Unknown: return "unknown";
            case SessionTable::Pairing::AlreadyPaired: return "already paired";
            case SessionTable::Pairing::OtherHost: return "other host";
            }
            return "";
        };
        QCOMPARE(QString(said()), first);
        QCOMPARE(QString(said()), second);
    }

    void sessionIds()
    {
        SessionTable table(2);
        QCOMPARE(table.Open("a"), std::optional<std::uint16_t>(1));
        QCOMPARE(table.Open("a"), std::optional<std::uint16_t>(2));
        QCOMPARE(table.Open("a"), std::nullopt);
        table.Close(1);
        // A closed session's id is not given again at once.
        QCOMPARE(table.Open("a"), std::optional<std::uint16_t>(3));
    }

    void messageOrder_data()
    {
        QTest::addColumn<quint32>("id");
        QTest::addColumn<quint32>("last");
        QTest::addColumn<bool>("done");
        QTest::newRow("the same") << 0xffffff00u << 0xffffff00u << true;
        QTest::newRow("before") << 0xffffff00u << 0xffffff02u << true;
        QTest::newRow("next") << 0xffffff02u << 0xffffff00u << false;
        QTest::newRow("next across the wrap") << 0x00000000u << 0xfffffffeu << false;
        QTest::newRow("before across the wrap") << 0xfffffffeu << 0x00000002u << true;
        QTest::newRow("far ahead: never sent") << 0x00100000u << 0xffffff00u << true;
    }

    void messageOrder()
    {
        QFETCH(quint32, id);
        QFETCH(quint32, last);
        QFETCH(bool, done);
        QCOMPARE(NotAfter(id, last), done);
    }

    // A HiSLIP lock is the core's one lock, held under the session's name
    // or the shared lock's, and it ends with the session.
    void lockIsTheCoresLock_data()
    {
        QTest::addColumn<QByteArray>("name");
        QTest::addColumn<QString>("holder");
        QTest::newRow("exclusive") << QByteArray() << "^remote:hislip:127\\.0\\.0\\.1:\\d+/session1$";
        QTest::newRow("shared") << QByteArray("bench") << "^remote:hislip:shared:bench$";
    }

    void lockIsTheCoresLock()
    {
        QFETCH(QByteArray, name);
        QFETCH(QString, holder);
        Board board;
        auto session = std::make_unique<Session>(board.server.Port());
        session->async->Send(Type::AsyncLock, 1, 0, name);
        const Message granted = session->async->Next();
        QCOMPARE(granted.type, int(Type::AsyncLockResponse));
        QCOMPARE(granted.control, 1);
        QVERIFY(board.core.LockHolder());
        QVERIFY(QString::fromStdString(SourceName(*board.core.LockHolder())).contains(QRegularExpression(holder)));
        QVERIFY(!board.core.Lock(Source::Remote("127.0.0.1:1")));
        // Its own switching goes through.
        session->sync.Send(Type::DataEnd, 0, kFirstMessageId, "ROUT:CLOS (@2);*OPC?;SYST:ERR?");
        QCOMPARE(session->sync.Next().payload, QByteArray("1;0,\"No error\"\n"));
        session.reset();
        QVERIFY(QTest::qWaitFor([&board] { return !board.core.LockHolder(); }, kTimeout));
        Session next(board.server.Port());
        next.async->Send(Type::AsyncLockInfo, 0, 0);
        const Message info = next.async->Next();
        QCOMPARE(info.type, int(Type::AsyncLockInfoResponse));
        QCOMPARE(info.control, 0);
        QCOMPARE(info.parameter, 0u);
    }

    // An answer longer than the client takes comes as Data messages of what
    // it takes, the header counted in, and a DataEnd.
    void longAnswerSplit()
    {
        Board board;
        Session session(board.server.Port());
        session.async->Send(Type::AsyncMaximumMessageSize, 0, 0, QByteArray::fromStdString(EncodeSize(16 + 256)));
        QCOMPARE(session.async->Next().payload, QByteArray::fromHex("0000000000010010"));
        session.sync.Send(Type::DataEnd, 0, kFirstMessageId, "*IDN?;*IDN?;*IDN?;*IDN?;*IDN?;*IDN?;*IDN?;*IDN?");
        const Message first = session.sync.Next();
        const Message last = session.sync.Next();
        QCOMPARE(first.type, int(Type::Data));
        QCOMPARE(first.payload.size(), 256);
        QCOMPARE(last.type, int(Type::DataEnd));
        QCOMPARE(first.parameter, kFirstMessageId);
        QCOMPARE(last.parameter, kFirstMessageId);
        QCOMPARE((first.payload + last.payload).count("rfswitch-panel,QTR7-415KM,7,"), 8);
    }

    // A device clear while the port is being written drops the answer
    // still to come; the next message, numbered from the start again, is
    // answered.
    void deviceClearDropsPendingAnswer()
    {
        Board board(500);
        Session session(board.server.Port());
        board.port.onAccess = [&session, done = false](const PortAccess& access) mutable {
            if (access.kind == PortAccess::Kind::Write && !std::exchange(done, true))
                session.async->Send(Type::AsyncDeviceClear, 0, 0);
        };
        session.sync.Send(Type::DataEnd, 0, kFirstMessageId, "ROUT:CLOS (@1);*OPC?");
        QCOMPARE(session.async->Next().type, int(Type::AsyncDeviceClearAcknowledge));
        session.sync.Send(Type::DeviceClearComplete, 0, 0);
        const Message acknowledged = session.sync.Next();
        QCOMPARE(acknowledged.payload, QByteArray());
        QCOMPARE(acknowledged.type, int(Type::DeviceClearAcknowledge));
        session.sync.Send(Type::DataEnd, 0, kFirstMessageId, "*IDN?");
        const Message answer = session.sync.Next();
        QCOMPARE(answer.type, int(Type::DataEnd));
        QCOMPARE(answer.parameter, kFirstMessageId);
        QVERIFY(answer.payload.startsWith("rfswitch-panel,QTR7-415KM,7,"));
    }

    // MSS rising is told once on the asynchronous channel, and the session
    // goes on.
    void serviceRequest()
    {
        Board board;
        Session session(board.server.Port());
        session.sync.Send(Type::DataEnd, 0, kFirstMessageId, "*SRE 32;*ESE 1;*OPC");
        const Message request = session.async->Next();
        QCOMPARE(request.type, int(Type::AsyncServiceRequest));
        QCOMPARE(request.control & 0x60, 0x60);
        session.sync.Send(Type::DataEnd, 0, kFirstMessageId + 2, "*OPC?");
        QCOMPARE(session.sync.Next().payload, QByteArray("1\n"));
        QCOMPARE(session.async->Next(100).type, -1);
        session.sync.Send(Type::DataEnd, 1, kFirstMessageId + 4, "*CLS;*SRE 0;*OPC?");
        QCOMPARE(session.sync.Next().payload, QByteArray("1\n"));
    }

    // A status query that names a message still running is answered once
    // that message has run: its answer is there, unread (MAV).
    void statusQueryAfterItsMessage()
    {
        Board board(105);
        Session session(board.server.Port());
        board.port.onAccess = [&session, done = false](const PortAccess& access) mutable {
            if (access.kind == PortAccess::Kind::Write && !std::exchange(done, true))
                session.async->Send(Type::AsyncStatusQuery, 0, kFirstMessageId);
        };
        session.sync.Send(Type::DataEnd, 0, kFirstMessageId, "ROUT:CLOS (@1);*OPC?");
        const Message status = session.async->Next();
        QCOMPARE(status.type, int(Type::AsyncStatusResponse));
        QCOMPARE(status.control & 0x10, 0x10);
        QCOMPARE(session.sync.Next().payload, QByteArray("1\n"));
    }

    // A second message while the answer to the first is unread: in
    // synchronized mode, unless the client says it read it, the query is
    // interrupted; in overlapped mode answers queue.
    void interrupted_data()
    {
        QTest::addColumn<bool>("overlapped");
        QTest::addColumn<int>("delivered");  // the second message's control code
        QTest::addColumn<bool>("interrupted");
        QTest::newRow("synchronized, unread") << false << 0 << true;
        QTest::newRow("synchronized, read") << false << 1 << false;
        QTest::newRow("overlapped, unread") << true << 0 << false;
    }

    void interrupted()
    {
        QFETCH(bool, overlapped);
        QFETCH(int, delivered);
        QFETCH(bool, interrupted);
        Board board;
        Session session(board.server.Port());
        if (overlapped) {
            session.async->Send(Type::AsyncDeviceClear, 0, 0);
            session.async->Next();
            session.sync.Send(Type::DeviceClearComplete, 1, 0);
            QCOMPARE(session.sync.Next().control, 1);
        }
        session.sync.Send(Type::DataEnd, 0, kFirstMessageId, "*IDN?");
        QCOMPARE(session.sync.Next().parameter, kFirstMessageId);
        session.sync.Send(Type::DataEnd, quint8(delivered), kFirstMessageId + 2, "*OPC?");
        Message next = session.sync.Next();
        if (interrupted) {
            QCOMPARE(next.type, int(Type::Interrupted));
            QCOMPARE(next.parameter, kFirstMessageId + 2);
            const Message async = session.async->Next();
            QCOMPARE(async.type, int(Type::AsyncInterrupted));
            QCOMPARE(async.parameter, kFirstMessageId + 2);
            next = session.sync.Next();
        }
        QCOMPARE(next.type, int(Type::DataEnd));
        QCOMPARE(next.payload, QByteArray("1\n"));
        session.sync.Send(Type::DataEnd, 1, kFirstMessageId + 4, "SYST:ERR?");
        QCOMPARE(session.sync.Next().payload, interrupted ? QByteArray("-410,\"Query INTERRUPTED\"\n") : QByteArray("0,\"No error\"\n"));
    }

    // What the server answers a message it will not take, and whether the
    // session goes on after it.
    void refusals_data()
    {
        QTest::addColumn<bool>("paired");
        QTest::addColumn<QString>("header");  // hex, on the synchronous channel
        QTest::addColumn<int>("length");      // of the payload that follows it
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("control");
        QTest::addColumn<bool>("closes");
        QTest::newRow("data before the second channel") << false << "48530700ffffff000000000000000001" << 1 << 2 << 2 << true;
        QTest::newRow("no prologue") << true << "48540700ffffff000000000000000001" << 1 << 2 << 1 << true;
        QTest::newRow("one byte over the maximum") << true << "48530700ffffff000000000000010001" << 65537 << 3 << 4 << false;
        QTest::newRow("an asynchronous message") << true << "48531500000000000000000000000000" << 0 << 3 << 1 << false;
        QTest::newRow("vendor-defined") << true << "4853c000000000000000000000000000" << 0 << 3 << 3 << false;
    }

    void refusals()
    {
        QFETCH(bool, paired);
        QFETCH(QString, header);
        QFETCH(int, length);
        QFETCH(int, type);
        QFETCH(int, control);
        QFETCH(bool, closes);
        Board board;
        Session session(board.server.Port(), paired);
        session.sync.Raw(QByteArray::fromHex(header.toLatin1()) + QByteArray(length, 'x'));
        const Message reply = session.sync.Next();
        QCOMPARE(reply.type, type);
        QCOMPARE(reply.control, control);
        if (closes) {
            QVERIFY(session.sync.Closed());
        } else {
            session.sync.Send(Type::DataEnd, 0, kFirstMessageId, "*OPC?");
            QCOMPARE(session.sync.Next().payload, QByteArray("1\n"));
        }
    }
};

QTEST_MAIN(TestHislip)
#include "tst_hislip.moc"

// HiSLIP: the message framing and the pairing of a session's channels as
// tables, and the server in-process on the real switch core and a recording
// port, driven over loopback by QTcpSocket clients.
#include "FakePort.h"
#include "HislipMessage.h"
#include "HislipServer.h"
#include "HislipSessions.h"
#include "SwitchCore.h"
#include "Table.h"

#include <QRegularExpression>
#include <QTcpSocket>
#include <QTest>

#include <memory>

using namespace hislip;
using namespace Qt::StringLiterals;

namespace {

constexpr int kTimeout = 30000;

struct Message
{
    int type = -1;
    int control = 0;
    quint32 parameter = 0;
    QByteArray payload;
    bool operator==(const Message&) const = default;
    // The message with only the first `bytes` of its payload.
    Message Cut(qsizetype bytes) const { return {type, control, parameter, payload.left(bytes)}; }
};

Message Said(Type type, int control = 0, quint32 parameter = 0, const QByteArray& payload = {})
{
    return {int(type), control, parameter, payload};
}

// How QCOMPARE shows a message.
char* toString(const Message& message)
{
    const QString text = QStringLiteral("type %1, control %2, parameter %3, payload \"%4\"").arg(message.type).arg(message.control);
    return qstrdup(qPrintable(text.arg(message.parameter, 0, 16).arg(QString::fromLatin1(message.payload))));
}

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
    Message Ask(Type type, quint8 control, quint32 parameter, const QByteArray& payload = {})
    {
        Send(type, control, parameter, payload);
        return Next();
    }

    // The next message; type -1 when none came.
    Message Next()
    {
        const auto whole = [this] {
            if (socket_.bytesAvailable() < 16)
                return false;
            const auto header = DecodeHeader(socket_.peek(16).toStdString());
            return header && socket_.bytesAvailable() >= qint64(16 + header->length);
        };
        if (!QTest::qWaitFor(whole, kTimeout))
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
        id = Low(sync.Ask(Type::Initialize, 0, Pack(kVersion2_0, 0x5459), "hislip0").parameter);
        if (!pair)
            return;
        async = std::make_unique<Channel>(port);
        async->Ask(Type::AsyncInitialize, 0, id);
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
    void reader_data()
    {
        // Hex chunks as they arrive, and what Take gives after all of them, in turn.
        AddColumns<QStringList, QStringList>("chunks", "expected");
        const QString idn = "4853 0700 ffffff00 0000000000000006 2a49444e3f0a";
        const QString clear = "4853 1300 00000000 0000000000000000";
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
        QTest::newRow("first byte no H") << QStringList{"00"} << QStringList{"bad"};
        QTest::newRow("an H alone waits") << QStringList{"48"} << QStringList{"more"};
    }

    void reader()
    {
        const auto [chunks, expected] = Fetch<QStringList, QStringList>("chunks", "expected");
        MessageReader reader(16);
        QStringList got;
        for (const QString& chunk : chunks)
            reader.Append(QByteArray::fromHex(chunk.toLatin1()).toStdString());
        for (int i = 0; i < expected.size(); ++i) {
            const auto next = reader.Take();
            const int type = int(next.header.type);
            if (next.kind == MessageReader::Kind::Message)
                got << QString("message %1 %2 %3").arg(type).arg(next.header.parameter, 0, 16).arg(QString::fromStdString(next.payload));
            else
                got << (next.kind == MessageReader::Kind::TooLarge ? QString("too large %1").arg(type)
                                                                   : next.kind == MessageReader::Kind::BadHeader ? "bad" : "more");
        }
        QCOMPARE(got, expected);
    }

    // The sessions a server of two keeps: "open HOST" gives an id or
    // "none", "close ID", and "pair ID HOST" as an AsyncInitialize does.
    void sessionTable_data()
    {
        AddColumns<QString, QString>("steps", "said");
        QTest::newRow("paired once") << "open a|pair 1 a|pair 1 a" << "1 paired already-paired";
        QTest::newRow("the second of two") << "open a|open a|pair 2 a|pair 2 a" << "1 2 paired already-paired";
        QTest::newRow("no such session") << "open a|pair 2 a" << "1 unknown";
        QTest::newRow("from another host") << "open a|pair 1 b|pair 1 b" << "1 other-host other-host";
        QTest::newRow("closed") << "open a|open a|close 1|pair 1 a" << "1 2 unknown";
        // A closed session's id is not given again at once.
        QTest::newRow("full, then one closed") << "open a|open a|open a|close 1|open a" << "1 2 none 3";
    }

    void sessionTable()
    {
        SessionTable table(2);
        QStringList said;
        QFETCH(QString, steps);
        for (const QString& step : steps.split(u'|')) {
            const QStringList word = step.split(u' ');
            if (word[0] == "open") {
                const auto id = table.Open(word[1].toStdString());
                said << (id ? QString::number(*id) : "none");
            } else if (word[0] == "close") {
                table.Close(std::uint16_t(word[1].toUInt()));
            } else {
                switch (table.Pair(std::uint16_t(word[1].toUInt()), word[2].toStdString())) {
                case SessionTable::Pairing::Paired: said << "paired"; break;
                case SessionTable::Pairing::Unknown: said << "unknown"; break;
                case SessionTable::Pairing::AlreadyPaired: said << "already-paired"; break;
                case SessionTable::Pairing::OtherHost: said << "other-host"; break;
                }
            }
        }
        QTEST(said.join(u' '), "said");
    }

    void messageOrder_data()
    {
        AddColumns<quint32, quint32, bool>("id", "last", "done");
        QTest::newRow("the same") << 0xffffff00u << 0xffffff00u << true;
        QTest::newRow("before") << 0xffffff00u << 0xffffff02u << true;
        QTest::newRow("next") << 0xffffff02u << 0xffffff00u << false;
        QTest::newRow("next across the wrap") << 0x00000000u << 0xfffffffeu << false;
        QTest::newRow("before across the wrap") << 0xfffffffeu << 0x00000002u << true;
        QTest::newRow("far ahead: never sent") << 0x00100000u << 0xffffff00u << true;
    }

    void messageOrder()
    {
        const auto [id, last] = Fetch<quint32, quint32>("id", "last");
        QTEST(NotAfter(id, last), "done");
    }

    // A HiSLIP lock is the core's one lock, held under the session's name
    // or the shared lock's, and it ends with the session.
    void lockIsTheCoresLock_data()
    {
        AddColumns<QByteArray, QString>("name", "holder");
        QTest::newRow("exclusive") << QByteArray() << "^remote:hislip:127\\.0\\.0\\.1:\\d+/session1$";
        QTest::newRow("shared") << QByteArray("bench") << "^remote:hislip:shared:bench$";
    }

    void lockIsTheCoresLock()
    {
        Board board;
        auto session = std::make_unique<Session>(board.server.Port());
        const auto [name, pattern] = Fetch<QByteArray, QString>("name", "holder");
        QCOMPARE(session->async->Ask(Type::AsyncLock, 1, 0, name), Said(Type::AsyncLockResponse, 1));
        const QString holder = board.core.LockHolder() ? QString::fromStdString(SourceName(*board.core.LockHolder())) : "none";
        QVERIFY2(holder.contains(QRegularExpression(pattern)), qPrintable(holder));
        QVERIFY(!board.core.Lock(Source::Remote("127.0.0.1:1")));
        // Its own switching goes through.
        QCOMPARE(session->sync.Ask(Type::DataEnd, 0, kFirstMessageId, "ROUT:CLOS (@2);*OPC?;SYST:ERR?").payload,
                 "1;0,\"No error\"\n"_ba);
        session.reset();
        QVERIFY(QTest::qWaitFor([&board] { return !board.core.LockHolder(); }, kTimeout));
        Session next(board.server.Port());
        QCOMPARE(next.async->Ask(Type::AsyncLockInfo, 0, 0), Said(Type::AsyncLockInfoResponse));
    }

    // An answer longer than the client takes comes as Data messages of what
    // it takes, the header counted in, and a DataEnd.
    void longAnswerSplit()
    {
        Board board;
        Session session(board.server.Port());
        const QByteArray size = QByteArray::fromStdString(EncodeSize(16 + 256));
        QCOMPARE(session.async->Ask(Type::AsyncMaximumMessageSize, 0, 0, size).payload, QByteArray::fromHex("0000000000010010"));
        session.sync.Send(Type::DataEnd, 0, kFirstMessageId, "*IDN?;*IDN?;*IDN?;*IDN?;*IDN?;*IDN?;*IDN?;*IDN?");
        const Message first = session.sync.Next();
        const Message last = session.sync.Next();
        QCOMPARE(first.Cut(0), Said(Type::Data, 0, kFirstMessageId));
        QCOMPARE(last.Cut(0), Said(Type::DataEnd, 0, kFirstMessageId));
        QCOMPARE(first.payload.size(), 256);
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
        QCOMPARE(session.sync.Ask(Type::DeviceClearComplete, 0, 0), Said(Type::DeviceClearAcknowledge));
        QCOMPARE(session.sync.Ask(Type::DataEnd, 0, kFirstMessageId, "*IDN?").Cut(28),
                 Said(Type::DataEnd, 0, kFirstMessageId, "rfswitch-panel,QTR7-415KM,7,"));
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
        QCOMPARE(Said(Type(status.type), status.control & 0x10), Said(Type::AsyncStatusResponse, 0x10));
        QCOMPARE(session.sync.Next().payload, QByteArray("1\n"));
    }

    // In overlapped mode a second message while the answer to the first is
    // unread interrupts nothing: the answers queue.
    void overlappedAnswersQueue()
    {
        Board board;
        Session session(board.server.Port());
        session.async->Ask(Type::AsyncDeviceClear, 0, 0);
        QCOMPARE(session.sync.Ask(Type::DeviceClearComplete, 1, 0).control, 1);
        QCOMPARE(session.sync.Ask(Type::DataEnd, 0, kFirstMessageId, "*IDN?").parameter, kFirstMessageId);
        QCOMPARE(session.sync.Ask(Type::DataEnd, 0, kFirstMessageId + 2, "*OPC?;SYST:ERR?"),
                 Said(Type::DataEnd, 0, kFirstMessageId + 2, "1;0,\"No error\"\n"));
    }

    // What the server answers a message it will not take, and whether the
    // session goes on after it.
    void refusals_data()
    {
        // The message in hex, on the synchronous channel; the type and control code of the answer.
        AddColumns<bool, QString, int, int, bool>("paired", "message", "type", "control", "closes");
        QTest::newRow("data before the second channel") << false << "48530700ffffff000000000000000001 78" << 2 << 2 << true;
        QTest::newRow("no prologue") << true << "48540700ffffff000000000000000001 78" << 2 << 1 << true;
        QTest::newRow("an asynchronous message") << true << "48531500000000000000000000000000" << 3 << 1 << false;
        QTest::newRow("vendor-defined") << true << "4853c000000000000000000000000000" << 3 << 3 << false;
    }

    void refusals()
    {
        const auto [paired, message, closes] = Fetch<bool, QString, bool>("paired", "message", "closes");
        Board board;
        Session session(board.server.Port(), paired);
        session.sync.Raw(QByteArray::fromHex(message.toLatin1()));
        const Message reply = session.sync.Next();
        QTEST(reply.type, "type");
        QTEST(reply.control, "control");
        if (closes) {
            QVERIFY(session.sync.Closed());
        } else {
            QCOMPARE(session.sync.Ask(Type::DataEnd, 0, kFirstMessageId, "*OPC?").payload, QByteArray("1\n"));
        }
    }
};

QTEST_MAIN(TestHislip)
#include "tst_hislip.moc"

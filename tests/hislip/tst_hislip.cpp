// HiSLIP: the message framing and the pairing of a session's channels as
// tables, and the server in-process on the real switch core and a recording
// port, driven over loopback by QTcpSocket clients.
#include "FakePort.h"
#include "HislipLocks.h"
#include "HislipMessage.h"
#include "HislipServer.h"
#include "HislipSessions.h"
#include "SwitchCore.h"
#include "SwitchInstrument.h"
#include "Table.h"

#include <QRegularExpression>
#include <QTcpSocket>
#include <QTest>

#include <map>
#include <memory>
#include <set>

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

    // The sessions a server of four keeps, two at most from one host:
    // "open HOST" gives an id, told as #1 for the first new one, #2 for the
    // next, or "none"; "close #N"; "pair #N HOST" (or "pair 0 HOST", an id
    // never given) as an AsyncInitialize does.
    void sessionTable_data()
    {
        AddColumns<QString, QString>("steps", "said");
        QTest::newRow("paired once") << "open a|pair #1 a|pair #1 a" << "#1 paired already-paired";
        QTest::newRow("the second of two") << "open a|open a|pair #2 a|pair #2 a" << "#1 #2 paired already-paired";
        QTest::newRow("no such session") << "open a|pair 0 a" << "#1 unknown";
        QTest::newRow("from another host") << "open a|pair #1 b|pair #1 b" << "#1 other-host other-host";
        QTest::newRow("closed") << "open a|open a|close #1|pair #1 a" << "#1 #2 unknown";
        QTest::newRow("a host's share") << "open a|open a|open a|open b" << "#1 #2 none #3";
        // A closed session's id is not given again at once.
        QTest::newRow("full, then one closed") << "open a|open a|open b|open b|open c|close #1|open c" << "#1 #2 #3 #4 none #5";
    }

    void sessionTable()
    {
        SessionTable table(4);
        QList<std::uint16_t> ids;
        const auto id = [&ids](const QString& word) { return word.startsWith(u'#') ? ids.value(word.mid(1).toInt() - 1) : 0; };
        QStringList said;
        QFETCH(QString, steps);
        for (const QString& step : steps.split(u'|')) {
            const QStringList word = step.split(u' ');
            if (word[0] == "open") {
                const auto opened = table.Open(word[1].toStdString());
                if (opened && !ids.contains(*opened))
                    ids << *opened;
                said << (opened ? "#" + QString::number(ids.indexOf(*opened) + 1) : "none");
            } else if (word[0] == "close") {
                table.Close(id(word[1]));
            } else {
                switch (table.Pair(id(word[1]), word[2].toStdString())) {
                case SessionTable::Pairing::Paired: said << "paired"; break;
                case SessionTable::Pairing::Unknown: said << "unknown"; break;
                case SessionTable::Pairing::AlreadyPaired: said << "already-paired"; break;
                case SessionTable::Pairing::OtherHost: said << "other-host"; break;
                }
            }
        }
        QTEST(said.join(u' '), "said");
    }

    // Another connection cannot guess the id of a session whose
    // asynchronous channel has not come yet: ids follow no order, and none
    // comes back within 256 sessions.
    void sessionIdsUnguessable()
    {
        SessionTable table(8);
        QSet<std::uint16_t> seen;
        int next = 0;
        std::uint16_t last = 0;
        for (int i = 0; i < 256; ++i) {
            const std::uint16_t id = *table.Open("a");
            next += id == std::uint16_t(last + 1);
            seen << (last = id);
            table.Close(id);
        }
        QCOMPARE(seen.size(), 256);
        QVERIFY2(next < 4, qPrintable(QString("%1 ids followed the one before").arg(next)));
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

    // The lock queue on the real core, its sessions being instruments of
    // their own: "lock S [MS]" asks for the exclusive lock (a day unless MS
    // given), "shared S NAME" for a shared one, "release S", "ends S" has
    // the session end inside its next answer (as a write to a connection
    // that was reset ends it), "wait N" waits for N answers. Each answer and
    // release is told as "S:code", in turn (a release after the grants it
    // makes); then the holder of the core's
    // lock and the requests left waiting.
    void lockQueue_data()
    {
        AddColumns<QString, QString, QString, int>("steps", "answers", "holder", "waiting");
        QTest::newRow("a waiter that ends in its grant")
            << "lock 1|lock 2|lock 2|lock 2|ends 2|release 1" << "1:1 2:1 1:1" << "none" << 0;
        QTest::newRow("and the next one behind it")
            << "lock 1|lock 2|lock 2|lock 3|ends 2|release 1" << "1:1 2:1 3:1 1:1" << "remote:session3" << 0;
        QTest::newRow("a session's fifth request at once")
            << "lock 1|lock 2|lock 2|lock 2|lock 2|lock 2" << "1:1 2:3" << "remote:session1" << 4;
        QTest::newRow("a release frees the switch") << "lock 1|release 1|lock 3" << "1:1 1:1 3:1" << "remote:session3" << 0;
        QTest::newRow("a shared lock released by both")
            << "shared 1 g|shared 2 g|release 1|release 2|lock 3" << "1:1 2:1 1:2 2:2 3:1" << "remote:session3" << 0;
        QTest::newRow("a shared lock after the exclusive one")
            << "lock 1|shared 2 g|release 1" << "1:1 2:1 1:1" << "remote:hislip:shared:g" << 0;
        QTest::newRow("not granted within its time") << "lock 1|lock 2 20|wait 2" << "1:1 2:0" << "remote:session1" << 0;
    }

    void lockQueue()
    {
        FakePort port;
        SwitchCore core{port};
        std::map<int, std::unique_ptr<SwitchInstrument>> sessions;
        std::set<int> ending;
        QStringList answers;
        HislipLocks locks(core);
        const auto session = [&](int id) -> SwitchInstrument& {
            auto& instrument = sessions[id];
            if (!instrument)
                instrument = std::make_unique<SwitchInstrument>(core, Source::Remote("session" + std::to_string(id)));
            return *instrument;
        };
        const auto answer = [&](int id) {
            return [&, id](HislipLocks::Result result) {
                answers << QString("%1:%2").arg(id).arg(int(result));
                if (ending.erase(id))
                    locks.Leave(std::uint16_t(id), session(id));
            };
        };
        QFETCH(QString, steps);
        for (const QString& step : steps.split(u'|')) {
            const QStringList word = step.split(u' ');
            const int id = word[1].toInt();
            if (word[0] == "lock")
                locks.Request(std::uint16_t(id), session(id), {}, word.size() > 2 ? word[2].toUInt() : 86400000u, answer(id));
            else if (word[0] == "shared")
                locks.Request(std::uint16_t(id), session(id), word[2].toStdString(), 86400000u, answer(id));
            else if (word[0] == "release")
                answers << QString("%1:%2").arg(id).arg(int(locks.Release(std::uint16_t(id), session(id))));
            else if (word[0] == "ends")
                ending.insert(id);
            else
                QVERIFY(QTest::qWaitFor([&] { return answers.size() >= id; }, kTimeout));
        }
        QTEST(answers.join(u' '), "answers");
        QTEST(core.LockHolder() ? QString::fromStdString(SourceName(*core.LockHolder())) : "none", "holder");
        QTEST(int(locks.Waiting()), "waiting");
    }

    // A session that floods the asynchronous channel is told at once where
    // it asks for more than may wait: the fifth lock request, the ninth
    // status query naming a message not sent yet.
    void floodsRefused_data()
    {
        AddColumns<int, int, int>("type", "requests", "refusals");
        QTest::newRow("lock requests") << int(Type::AsyncLock) << 6 << 2;
        QTest::newRow("status queries") << int(Type::AsyncStatusQuery) << 10 << 2;
    }

    void floodsRefused()
    {
        const auto [type, requests, refusals] = Fetch<int, int, int>("type", "requests", "refusals");
        Board board;
        Session holder(board.server.Port()), flood(board.server.Port());
        QCOMPARE(holder.async->Ask(Type::AsyncLock, 1, 0), Said(Type::AsyncLockResponse, 1));
        QCOMPARE(flood.sync.Ask(Type::DataEnd, 0, kFirstMessageId, "*OPC?").payload, "1\n"_ba);
        for (int i = 0; i < requests; ++i)
            flood.async->Send(Type(type), 1, type == int(Type::AsyncLock) ? 86400000u : kFirstMessageId + 4 + 2 * i);
        const Message refused = type == int(Type::AsyncLock) ? Said(Type::AsyncLockResponse, 3) : Said(Type::Error, 0);
        for (int i = 0; i < refusals; ++i)
            QCOMPARE(flood.async->Next().Cut(0), refused);
    }

    // A HiSLIP lock is the core's one lock, held under the session's name
    // or the shared lock's, and it ends with the session. The switching is
    // logged as the session's either way.
    void lockIsTheCoresLock_data()
    {
        AddColumns<QByteArray, QString, QString>("name", "holder", "logged");
        const QString session = "^remote:hislip:127\\.0\\.0\\.1:\\d+/session\\d+";
        QTest::newRow("exclusive") << QByteArray() << session + "$" << session + " port=888 ";
        QTest::newRow("shared") << QByteArray("bench") << "^remote:hislip:shared:bench$" << session + " shared-lock=bench port=888 ";
    }

    void lockIsTheCoresLock()
    {
        Board board;
        auto session = std::make_unique<Session>(board.server.Port());
        const auto [name, pattern, logged] = Fetch<QByteArray, QString, QString>("name", "holder", "logged");
        QStringList lines;
        connect(&board.core, &SwitchCore::Logged, this, [&lines](const std::string& line) { lines << QString::fromStdString(line); });
        QCOMPARE(session->async->Ask(Type::AsyncLock, 1, 0, name), Said(Type::AsyncLockResponse, 1));
        const QString holder = board.core.LockHolder() ? QString::fromStdString(SourceName(*board.core.LockHolder())) : "none";
        QVERIFY2(holder.contains(QRegularExpression(pattern)), qPrintable(holder));
        QVERIFY(!board.core.Lock(Source::Remote("127.0.0.1:1")));
        // Its own switching goes through.
        QCOMPARE(session->sync.Ask(Type::DataEnd, 0, kFirstMessageId, "ROUT:CLOS (@2);*OPC?;SYST:ERR?").payload,
                 "1;0,\"No error\"\n"_ba);
        QCOMPARE(lines.filter(QRegularExpression(logged + ".* wrote=0x02 ")).size(), 1);
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
        QCOMPARE(session.async->Ask(Type::AsyncMaximumMessageSize, 0, 0, size).payload, QByteArray::fromHex("0000000000010000"));
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

// The VXI-11 server in this process over loopback, on the real switch core
// and the recording port, against a small RPC client: what a VISA library
// reads back (errors, reasons, data, the status byte), the RPC replies word
// by word, who is let in, and what the server keeps for a client that does
// not read. Peers at 127.0.0.2 are "another machine" on the same loopback.
#include "Emitted.h"
#include "FakePort.h"
#include "PortMapper.h"
#include "SwitchCore.h"
#include "Table.h"
#include "Vxi11Server.h"

#include <QNetworkDatagram>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QUdpSocket>
#include <QtEndian>

#include <sys/socket.h>

#include <algorithm>
#include <memory>
#include <numeric>

namespace {

constexpr int kTimeout = 30000;
constexpr unsigned long kEnd = 0x08, kWaitLock = 0x01, kTermCharSet = 0x80;
constexpr unsigned long kIo = 5000;
const char* const kOther = "127.0.0.2";
// Stand-ins in expected replies for ports known only once the servers listen.
constexpr unsigned long kCore = 0xC0DE0001, kOwn = 0xC0DE0002;
// VXI-11's programs and the procedures the tests call.
constexpr unsigned long kCoreProgram = 0x0607AF, kAbortProgram = 0x0607B0, kInterruptProgram = 0x0607B1;
// The port mapper's program, version and procedures; the protocols it names.
constexpr unsigned long kMapper = 100000, kMapperVersion = 2, kGetPort = 3, kDump = 4, kTcp = 6, kUdp = 17;
constexpr unsigned long kDeviceAbort = 1, kCreateLink = 10, kDeviceWrite = 11, kDeviceRead = 12, kReadStb = 13, kDeviceClear = 15,
                        kDeviceLock = 18, kEnableSrq = 20, kDestroyLink = 23, kCreateIntrChan = 25, kDestroyIntrChan = 26,
                        kIntrSrq = 30;
const QByteArray kIdn = "rfswitch-panel,QTR7-415KM,SN17,1.0.0\n";
const QString kIdnText = QString::fromLatin1(kIdn);

struct Instrument
{
    FakePort port;
    SwitchCore core{port};
    Vxi11Server server;
    QSignalSpy refused{&server, &Vxi11Server::Refused};

    explicit Instrument(ConnectionPolicy policy = {})
        : server(core, {"rfswitch-panel", "QTR7-415KM", "SN17", "1.0.0"}, std::move(policy))
    {
        core.TakeAddress(888, true, Source{});
        server.Listen(QHostAddress::LocalHost);
    }
};

// XDR: words as they go on the wire, and variable-length opaque data.
QByteArray Words(const QList<unsigned long>& words)
{
    QByteArray out;
    for (const unsigned long word : words) {
        char bytes[4];
        qToBigEndian(quint32(word), bytes);
        out.append(bytes, 4);
    }
    return out;
}

QByteArray Opaque(const QByteArray& data)
{
    return Words({static_cast<unsigned long>(data.size())}) + data + QByteArray(-data.size() & 3, '\0');
}

// The i-th word of `data`, signed; -1 where it has none.
qint32 Word(const QByteArray& data, int i)
{
    return data.size() >= 4 * (i + 1) ? qFromBigEndian<qint32>(data.constData() + 4 * i) : -1;
}

// One TCP connection to a server of this process: calls sent as records,
// replies read while the server's events run.
struct Client
{
    // `receiveBuffer`: the system's buffer for what arrives (0: its own choice).
    explicit Client(quint16 port, const char* from = "127.0.0.1", int receiveBuffer = 0)
    {
        socket.bind(QHostAddress(QString::fromLatin1(from)));
        if (receiveBuffer > 0)
            ::setsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        socket.connectToHost(QHostAddress::LocalHost, port);
    }

    void SendRecord(const QByteArray& body, bool last = true)
    {
        socket.write(Words({(last ? 0x80000000u : 0u) | quint32(body.size())}) + body);
    }
    // A call with the null credentials.
    void Send(unsigned long procedure, const QByteArray& arguments, unsigned long program = kCoreProgram)
    {
        SendRecord(Words({++xid, 0, 2, program, 1, procedure, 0, 0, 0, 0}) + arguments);
    }
    // The next reply record; empty when the connection closed first.
    QByteArray NextRecord()
    {
        const auto have = [this] {
            const qint64 size = socket.bytesAvailable();
            return size >= 4 && size >= 4 + (qFromBigEndian<quint32>(socket.peek(4).constData()) & 0x7FFFFFFF);
        };
        if (!QTest::qWaitFor([&] { return have() || socket.state() == QAbstractSocket::UnconnectedState; }, kTimeout) || !have())
            return {};
        const quint32 length = qFromBigEndian<quint32>(socket.read(4).constData()) & 0x7FFFFFFF;
        return socket.read(length);
    }
    // The results of the reply to the last call: what follows xid, REPLY,
    // MSG_ACCEPTED, no verifier and SUCCESS; empty where no such reply came.
    QByteArray Results()
    {
        const QByteArray record = NextRecord();
        return record.startsWith(Words({xid, 1, 0, 0, 0, 0})) ? record.mid(24) : QByteArray();
    }
    // The first `count` words of a call's results, as text.
    QString Call(unsigned long procedure, const QByteArray& arguments, int count, unsigned long program = kCoreProgram)
    {
        Send(procedure, arguments, program);
        const QByteArray results = Results();
        QStringList words;
        for (int i = 0; i < count; ++i)
            words << QString::number(Word(results, i));
        return words.join(u' ');
    }

    QTcpSocket socket;
    unsigned long xid = 0;
};

// A client with one link, as a VISA library opens it.
class Link : public Client
{
public:
    explicit Link(quint16 port, bool lock = false, const char* from = "127.0.0.1", int receiveBuffer = 0)
        : Client(port, from, receiveBuffer)
    {
        Send(kCreateLink, Words({1, lock, 0}) + Opaque("inst0"));
        const QByteArray made = Results();
        error = Word(made, 0);
        id = Word(made, 1);
        abortPort = quint16(Word(made, 2));
    }

    QString Write(const QByteArray& data, bool end = true) { return Call(kDeviceWrite, Words({id, kIo, 0, end ? kEnd : 0}) + Opaque(data), 2); }
    void SendRead(unsigned long size, unsigned long flags = 0, char term = 0, unsigned long lockTimeout = 0)
    {
        Send(kDeviceRead, Words({id, size, kIo, lockTimeout, flags, static_cast<unsigned long>(term)}));
    }
    // "error reason data".
    QString ReadReply()
    {
        const QByteArray results = Results();
        return QStringLiteral("%1 %2 %3").arg(Word(results, 0)).arg(Word(results, 1)).arg(QString::fromLatin1(results.mid(12, Word(results, 2))));
    }
    QString Read(unsigned long size = 1000, unsigned long flags = 0, char term = 0)
    {
        SendRead(size, flags, term);
        return ReadReply();
    }
    QString Generic(unsigned long procedure, int count = 1) { return Call(procedure, Words({id, 0, 0, kIo}), count); }
    QString Lock() { return Call(kDeviceLock, Words({id, 0, 0}), 1); }
    QString Destroy() { return Call(kDestroyLink, Words({id}), 1); }

    long error = -1;
    unsigned long id = 0;
    quint16 abortPort = 0;
};

} // namespace

class TestVxi11 : public QObject
{
    Q_OBJECT

private slots:
    // Each row on a link of its own. Steps: W writes with END, w without, R n
    // reads up to n bytes, T c reads up to the character c, S reads the
    // status byte, C clears, D destroys the link.
    void protocol_data()
    {
        AddColumns<QString, QString>("steps", "results");

        QTest::newRow("END ends a message") << "W *IDN?|R 1000" << "0 5|0 4 " + kIdnText;
        QTest::newRow("a message over two writes") << "w *ID|W N?|R 1000" << "0 3|0 2|0 4 " + kIdnText;
        QTest::newRow("requestSize") << "W *IDN?|R 5|R 1000" << "0 5|0 1 rfswi|0 4 " + kIdnText.mid(5);
        QTest::newRow("termChar") << "W *OPC?;*OPC?|T ;|R 1000" << "0 11|0 2 1;|0 4 1\n";
        QTest::newRow("status byte") << "W FOO|S|W *CLS;*IDN?|S|R 1000|S" << "0 3|0 4|0 10|0 16|0 4 " + kIdnText + "|0 0";
        QTest::newRow("device clear drops the answer") << "W *IDN?|C|R 1000|W *OPC?|R 1000" << "0 5|0|15 0 |0 5|0 4 1\n";
        QTest::newRow("destroy_link") << "D|W *IDN?|R 1000|D" << "0|4 0|4 0 |4";
        QTest::newRow("an unread answer interrupted")
            << "W ROUT:CLOS (@2)|W *IDN?|W ROUT:CLOS:STAT?|R 1000|W SYST:ERR?;SYST:ERR?|R 1000"
            << "0 14|0 5|0 15|0 4 (@2)\n|0 19|0 4 -410,\"Query INTERRUPTED\";0,\"No error\"\n";
        QTest::newRow("a partly read answer interrupted") << "W *IDN?|R 3|W SYST:ERR?|R 1000"
                                                          << "0 5|0 1 rfs|0 9|0 4 -410,\"Query INTERRUPTED\"\n";
        QTest::newRow("nothing asked") << "R 1000|W ROUT:CLOS (@1)|R 1000|W SYST:ERR?;SYST:ERR?;SYST:ERR?|R 1000"
                                       << "15 0 |0 14|15 0 |0 29|0 4 -420,\"Query UNTERMINATED\";-420,\"Query UNTERMINATED\";0,\"No error\"\n";
        QTest::newRow("a query not ended yet") << "w *IDN?|R 1000|W |R 1000" << "0 5|15 0 |0 0|0 4 " + kIdnText;
    }

    void protocol()
    {
        QFETCH(QString, steps);
        Instrument instrument;
        Link link(instrument.server.Port());
        QCOMPARE(link.error, 0);
        QStringList results;
        for (const QString& step : steps.split(u'|')) {
            const QByteArray argument = step.mid(2).toLatin1();
            switch (step.at(0).toLatin1()) {
            case 'W': results << link.Write(argument); break;
            case 'w': results << link.Write(argument, false); break;
            case 'R': results << link.Read(argument.toULong()); break;
            case 'T': results << link.Read(1000, kTermCharSet, argument.at(0)); break;
            case 'S': results << link.Generic(kReadStb, 2); break;
            case 'C': results << link.Generic(kDeviceClear); break;
            case 'D': results << link.Destroy(); break;
            default: QFAIL(qPrintable(step));
            }
        }
        QTEST(results.join(u'|'), "results");
    }

    // Replies word by word after the xid: a header it cannot serve is told
    // what it can, and the connection goes on.
    void rpcHeader_data()
    {
        // header: RPC version, program, version, procedure; reply: after the xid.
        using List = QList<unsigned long>;
        AddColumns<bool, List, List>("abortChannel", "header", "reply");
        // REPLY, MSG_DENIED, RPC_MISMATCH, lowest 2, highest 2.
        QTest::newRow("RPC version 3") << false << List{3, kCoreProgram, 1, 0} << List{1, 1, 0, 2, 2};
        QTest::newRow("RPC version 1, abort channel") << true << List{1, kAbortProgram, 1, 1} << List{1, 1, 0, 2, 2};
        // REPLY, MSG_ACCEPTED, no verifier, then the accept status.
        QTest::newRow("null procedure") << false << List{2, kCoreProgram, 1, 0} << List{1, 0, 0, 0, 0};
        QTest::newRow("another program") << false << List{2, kAbortProgram, 1, 1} << List{1, 0, 0, 0, 1};
        QTest::newRow("program version 2") << false << List{2, kCoreProgram, 2, 0} << List{1, 0, 0, 0, 2, 1, 1};
        QTest::newRow("no such procedure") << false << List{2, kCoreProgram, 1, 99} << List{1, 0, 0, 0, 3};
        QTest::newRow("arguments cut short") << false << List{2, kCoreProgram, 1, kDeviceWrite} << List{1, 0, 0, 0, 4};
        QTest::newRow("abort: arguments cut short") << true << List{2, kAbortProgram, 1, kDeviceAbort} << List{1, 0, 0, 0, 4};
    }

    void rpcHeader()
    {
        using List = QList<unsigned long>;
        const auto [abortChannel, header, reply] = Fetch<bool, List, List>("abortChannel", "header", "reply");
        Instrument instrument;
        Client client(abortChannel ? instrument.server.AbortPort() : instrument.server.Port());
        client.SendRecord(Words({7, 0}) + Words(header) + Words({0, 0, 0, 0}) + QByteArray(2, '\0'));
        QCOMPARE(client.NextRecord(), Words({7}) + Words(reply));
        // Still served: a null call on the same connection.
        client.SendRecord(Words({8, 0, 2, abortChannel ? kAbortProgram : kCoreProgram, 1, 0, 0, 0, 0, 0}));
        QCOMPARE(client.NextRecord(), Words({8, 1, 0, 0, 0, 0}));
    }

    // A call longer than the limit closes the connection; fragments count
    // together. Sizes of the fragments, the last one last.
    void recordSize_data()
    {
        AddColumns<QList<int>, bool>("fragments", "closed");
        QTest::newRow("the largest call") << QList<int>{66560} << false;
        QTest::newRow("one byte more") << QList<int>{66561} << true;
        QTest::newRow("fragments within") << QList<int>{40000, 26560} << false;
        QTest::newRow("fragments past the limit") << QList<int>{40000, 40000} << true;
        QTest::newRow("many fragments past it") << QList<int>(67, 1000) << true;
    }

    void recordSize()
    {
        const auto [fragments, closed] = Fetch<QList<int>, bool>("fragments", "closed");
        Instrument instrument;
        Client client(instrument.server.Port());
        // A null call padded to the size: served when taken.
        QByteArray record = Words({5, 0, 2, 0x0607AF, 1, 0, 0, 0, 0, 0});
        record.resize(std::accumulate(fragments.begin(), fragments.end(), 0), '\0');
        int at = 0;
        for (qsizetype i = 0; i < fragments.size(); ++i) {
            client.SendRecord(record.mid(at, fragments[i]), i + 1 == fragments.size());
            at += fragments[i];
        }
        QCOMPARE(client.NextRecord(), closed ? QByteArray() : Words({5, 1, 0, 0, 0, 0}));
        QCOMPARE(client.socket.state() == QAbstractSocket::UnconnectedState, closed);
        // The reasons given, without the peer.
        QCOMPARE(Emitted(instrument.refused).replaceInStrings(QRegularExpression(QStringLiteral("^.* \\| ")), QString()),
                 closed ? QStringList{QStringLiteral("a call longer than 66560 bytes")} : QStringList());
    }

    // A client that stops sending in the middle of a call is closed, not kept.
    void callCutShort()
    {
        Instrument instrument;
        Client client(instrument.server.Port());
        QVERIFY(client.socket.waitForConnected(kTimeout));
        client.socket.write(Words({0x80000000u | 100}) + QByteArray(50, '\0'));
        QVERIFY(client.socket.waitForBytesWritten(kTimeout));
        ::shutdown(int(client.socket.socketDescriptor()), SHUT_WR);
        QTRY_COMPARE_WITH_TIMEOUT(client.socket.state(), QAbstractSocket::UnconnectedState, kTimeout);
        QCOMPARE(client.socket.readAll(), QByteArray());
    }

    // Another client's wait ends only by an abort from the address that made the link.
    void abort_data()
    {
        AddColumns<QString, QString, QString>("from", "aborted", "read");
        QTest::newRow("the link's own address") << "127.0.0.1" << "0" << "23 0 ";
        // It waits on, and once the lock is free finds nothing asked.
        QTest::newRow("another address") << kOther << "4" << "15 0 ";
    }

    void abort()
    {
        QFETCH(QString, from);
        Instrument instrument;
        Link holder(instrument.server.Port(), true);
        Link waiting(instrument.server.Port());
        QCOMPARE(holder.error, 0);
        waiting.SendRead(1000, kWaitLock, 0, 20000);
        QVERIFY(waiting.socket.waitForBytesWritten(kTimeout));
        Client abort(waiting.abortPort, qPrintable(from));
        QTEST(abort.Call(kDeviceAbort, Words({waiting.id}), 1, kAbortProgram), "aborted");
        QCOMPARE(holder.Destroy(), QStringLiteral("0"));
        QTEST(waiting.ReadReply(), "read");
    }

    // A lock ends with the connection of its link, however that ends.
    void lockReleased_data()
    {
        QTest::addColumn<QString>("end");
        QTest::newRow("closed") << "closed";
        QTest::newRow("reset") << "reset";
        QTest::newRow("silent past the idle timeout") << "idle";
        QTest::newRow("link destroyed") << "destroyed";
    }

    void lockReleased()
    {
        QFETCH(QString, end);
        ConnectionPolicy policy;
        policy.idleTimeout = std::chrono::seconds(end == QLatin1String("idle") ? 1 : 0);
        Instrument instrument(policy);
        auto holder = std::make_unique<Link>(instrument.server.Port(), true);
        Link other(instrument.server.Port());
        QCOMPARE(holder->error, 0);
        QCOMPARE(other.Lock(), QStringLiteral("11"));
        QCOMPARE(other.Write("ROUT:CLOS (@1)"), QStringLiteral("11 0"));
        if (end == QLatin1String("closed")) {
            holder->socket.disconnectFromHost();
        } else if (end == QLatin1String("reset")) {
            const linger now{1, 0};
            ::setsockopt(int(holder->socket.socketDescriptor()), SOL_SOCKET, SO_LINGER, &now, sizeof now);
            holder->socket.abort();
        } else if (end == QLatin1String("destroyed")) {
            QCOMPARE(holder->Destroy(), QStringLiteral("0"));
        }
        QTRY_VERIFY_WITH_TIMEOUT(!instrument.core.LockHolder(), kTimeout);
        QCOMPARE_LE(instrument.server.Links(), 1);
        // Silent past the idle timeout, the other link goes too: a new one switches.
        Link after(instrument.server.Port());
        QCOMPARE(after.Write("ROUT:CLOS (@1);*OPC?"), QStringLiteral("0 20"));
        QCOMPARE(after.Read(), QStringLiteral("0 4 1\n"));
        QCOMPARE(instrument.port.Latched(888), std::uint8_t(1));
    }

    // A peer --allow does not let in is turned away with a reset and nothing
    // to read, and said once, at every door.
    void refused_data()
    {
        QTest::addColumn<QString>("door");
        QTest::newRow("core channel") << "core";
        QTest::newRow("abort channel") << "abort";
        QTest::newRow("port mapper") << "mapper";
    }

    void refused()
    {
        QFETCH(QString, door);
        ConnectionPolicy policy;
        policy.allow = *AllowList::Parse({QStringLiteral("127.0.0.1")});
        Instrument instrument(policy);
        PortMapper mapper(policy);
        QSignalSpy mapperRefused(&mapper, &PortMapper::Refused);
        mapper.Start({QHostAddress::LocalHost}, kCoreProgram, 1, instrument.server.Port(), 0);
        const bool toMapper = door == QLatin1String("mapper");
        const quint16 port = toMapper ? mapper.OwnPort() : door == QLatin1String("core") ? instrument.server.Port() : instrument.server.AbortPort();
        QSignalSpy& refused = toMapper ? mapperRefused : instrument.refused;
        Client late(port, kOther);
        QVERIFY(late.socket.waitForConnected(kTimeout));
        const quint16 latePort = late.socket.localPort();
        // A null call of the program behind the door.
        late.SendRecord(Words({9, 0, 2, toMapper ? kMapper : door == QLatin1String("core") ? kCoreProgram : kAbortProgram,
                               toMapper ? kMapperVersion : 1ul, 0, 0, 0, 0, 0}));
        QCOMPARE(late.NextRecord(), QByteArray());
        QTRY_COMPARE_WITH_TIMEOUT(late.socket.state(), QAbstractSocket::UnconnectedState, kTimeout);
        QCOMPARE(late.socket.readAll(), QByteArray());
        QCOMPARE(Emitted(refused),
                 QStringList{QStringLiteral("%1:%2 | not a peer that --allow lets in").arg(kOther).arg(latePort)});
    }

    // The port mapper to those let in, on TCP and UDP: GETPORT names the core
    // channel's port, and its own, which rpcinfo asks for first; DUMP lists
    // itself on both protocols and the core channel, as `rpcinfo -p` shows.
    void portMapper_data()
    {
        // call: procedure, arguments; reply: results, kCore and kOwn for the ports; empty: no answer.
        using List = QList<unsigned long>;
        AddColumns<bool, QString, List, List>("udp", "from", "call", "reply");
        const List getPort{kGetPort, kCoreProgram, 1, kTcp, 0};
        const List dump{1, kMapper, kMapperVersion, kTcp, kOwn, 1, kMapper, kMapperVersion, kUdp, kOwn, 1, kCoreProgram, 1, kTcp, kCore, 0};
        QTest::newRow("GETPORT on TCP") << false << "127.0.0.1" << getPort << List{kCore};
        QTest::newRow("GETPORT on UDP") << true << "127.0.0.1" << getPort << List{kCore};
        QTest::newRow("UDP, not let in") << true << kOther << getPort << List{};
        QTest::newRow("UDP, a datagram too long") << true << "127.0.0.1" << getPort + List(256, 0) << List{};
        QTest::newRow("DUMP on TCP") << false << "127.0.0.1" << List{kDump} << dump;
        QTest::newRow("DUMP on UDP") << true << "127.0.0.1" << List{kDump} << dump;
        QTest::newRow("its own TCP port") << true << "127.0.0.1" << List{kGetPort, kMapper, kMapperVersion, kTcp, 0} << List{kOwn};
        QTest::newRow("its own UDP port") << false << "127.0.0.1" << List{kGetPort, kMapper, kMapperVersion, kUdp, 0} << List{kOwn};
    }

    void portMapper()
    {
        using List = QList<unsigned long>;
        auto [udp, from, call, reply] = Fetch<bool, QString, List, List>("udp", "from", "call", "reply");
        ConnectionPolicy policy;
        policy.allow = *AllowList::Parse({QStringLiteral("127.0.0.1")});
        Instrument instrument(policy);
        PortMapper mapper(policy);
        mapper.Start({QHostAddress::LocalHost}, kCoreProgram, 1, instrument.server.Port(), 0);
        const unsigned long procedure = call.takeFirst();
        const QByteArray request = Words({3, 0, 2, kMapper, kMapperVersion, procedure, 0, 0, 0, 0}) + Words(call);
        for (unsigned long& word : reply)
            word = word == kCore ? instrument.server.Port() : word == kOwn ? mapper.OwnPort() : word;
        const QByteArray expected = reply.isEmpty() ? QByteArray() : Words({3, 1, 0, 0, 0, 0}) + Words(reply);
        if (!udp) {
            Client client(mapper.OwnPort(), qPrintable(from));
            client.SendRecord(request);
            QCOMPARE(client.NextRecord(), expected);
            return;
        }
        // A datagram the mapper drops is followed by one it answers: once
        // that is answered, the first has been dealt with.
        QUdpSocket asker, witness;
        QVERIFY(asker.bind(QHostAddress(from)));
        QVERIFY(witness.bind(QHostAddress::LocalHost));
        asker.writeDatagram(request, QHostAddress::LocalHost, mapper.OwnPort());
        witness.writeDatagram(Words({4, 0, 2, kMapper, kMapperVersion, 0, 0, 0, 0, 0}), QHostAddress::LocalHost, mapper.OwnPort());
        QTRY_VERIFY_WITH_TIMEOUT(witness.hasPendingDatagrams(), kTimeout);
        QCOMPARE(witness.receiveDatagram().data(), Words({4, 1, 0, 0, 0, 0}));
        QCOMPARE(asker.hasPendingDatagrams() ? asker.receiveDatagram().data() : QByteArray(), expected);
    }

    // A client's interrupt channel, served by the test: steps I (create_intr_chan
    // back to the test's RPC server), O (asked from another address), N (a port
    // where nothing listens), E h (device_enable_srq, handle h), e (disabled),
    // W (device_write), S (readstb), X (destroy_intr_chan), Q (the client
    // closes its connection); then the calls its server received, in turn.
    void interruptChannel_data()
    {
        AddColumns<QString, QString, QString>("steps", "results", "received");
        const QString srq = "W *SRE 32;*ESE 1;*OPC";
        QTest::newRow("a service request") << "I|E h1|" + srq + "|X" << "0|0|0 19|0" << "srq h1|closed";
        QTest::newRow("once until cleared") << "I|E h1|" + srq + "|W *OPC|W *CLS|W *OPC|X" << "0|0|0 19|0 4|0 4|0 4|0"
                                            << "srq h1|srq h1|closed";
        QTest::newRow("not enabled") << "I|" + srq + "|S|X" << "0|0 19|0 96|0" << "closed";
        QTest::newRow("enabled, then not") << "I|E h1|e|" + srq + "|S|X" << "0|0|0|0 19|0 96|0" << "closed";
        QTest::newRow("asked twice") << "I|I|X|X" << "0|29|0|6" << "closed";
        QTest::newRow("another address") << "O" << "6" << "none";
        QTest::newRow("nothing listens") << "N|X" << "6|6" << "none";
        QTest::newRow("the client goes") << "I|E h1|Q" << "0|0" << "closed";
    }

    void interruptChannel()
    {
        QFETCH(QString, steps);
        Instrument instrument;
        Link link(instrument.server.Port());
        QTcpServer server, nobody;
        QVERIFY(server.listen(QHostAddress::LocalHost) && nobody.listen(QHostAddress::LocalHost));
        const quint16 closedPort = nobody.serverPort();
        nobody.close();
        const auto create = [](Link& from, quint16 port) {
            return from.Call(kCreateIntrChan, Words({0x7F000001, port, kInterruptProgram, 1, 0}), 1);
        };
        QStringList results;
        for (const QString& step : steps.split(u'|')) {
            const QByteArray argument = step.mid(2).toLatin1();
            switch (step.at(0).toLatin1()) {
            case 'I': results << create(link, server.serverPort()); break;
            case 'O': results << create(*std::make_unique<Link>(instrument.server.Port(), false, kOther), server.serverPort()); break;
            case 'N': results << create(link, closedPort); break;
            case 'E': results << link.Call(kEnableSrq, Words({link.id, 1}) + Opaque(argument), 1); break;
            case 'e': results << link.Call(kEnableSrq, Words({link.id, 0}) + Opaque({}), 1); break;
            case 'W': results << link.Write(argument); break;
            case 'S': results << link.Generic(kReadStb, 2); break;
            case 'X': results << link.Call(kDestroyIntrChan, {}, 1); break;
            case 'Q': link.socket.disconnectFromHost(); break;
            default: QFAIL(qPrintable(step));
            }
        }
        QTEST(results.join(u'|'), "results");
        // Every call the server made, up to the end of the channel.
        QStringList received;
        if (server.hasPendingConnections()) {
            QTcpSocket* channel = server.nextPendingConnection();
            QVERIFY(QTest::qWaitFor([channel] { return channel->state() == QAbstractSocket::UnconnectedState; }, kTimeout));
            QByteArray bytes = channel->readAll();
            while (bytes.size() >= 4) {
                const qsizetype length = qFromBigEndian<quint32>(bytes.constData()) & 0x7FFFFFFF;
                const QByteArray call = bytes.mid(8, length - 4);
                const QByteArray handle = call.mid(40, Word(call, 9));
                received << (call == Words({0, 2, kInterruptProgram, 1, kIntrSrq, 0, 0, 0, 0}) + Opaque(handle) ? "srq " + handle : "bad " + call.toHex());
                bytes.remove(0, 4 + length);
            }
            received << "closed";
        }
        QTEST(received.isEmpty() ? QStringLiteral("none") : received.join(u'|'), "received");
    }

    // A client that sends calls and never reads their replies: the server
    // keeps a bounded amount for it, serves others meanwhile, and answers
    // every call once it reads.
    void clientThatNeverReads()
    {
        ConnectionPolicy policy;
        policy.maxUnsent = 64 * 1024;
        Instrument instrument(policy);
        // Its own buffer small, so that the replies back up into the server.
        Link link(instrument.server.Port(), false, "127.0.0.1", 16 * 1024);
        QCOMPARE(link.error, 0);
        link.socket.setReadBufferSize(1);
        // Each round: a write of a hundred queries, and a read of their 3.8 KB
        // answer: 15 MB of replies in all.
        const QByteArray queries = QByteArray("*IDN?;").repeated(99) + "*IDN?";
        constexpr int kRounds = 4000;
        for (int i = 0; i < kRounds; ++i) {
            link.Send(kDeviceWrite, Words({link.id, kIo, 0, kEnd}) + Opaque(queries));
            link.SendRead(8192);
        }
        // Another client's round trips, each a turn of the server's loop in
        // which it could take more of the calls.
        Link other(instrument.server.Port());
        std::size_t held = 0;
        for (int i = 0; i < 50; ++i) {
            QCOMPARE(other.Generic(kReadStb, 2), QStringLiteral("0 0"));
            held = std::max(held, instrument.server.Held());
        }
        QCOMPARE_LE(held, std::size_t(256 * 1024));

        // Read at last: every reply comes, the last one the last read's.
        link.socket.setReadBufferSize(0);
        int replies = 0;
        QByteArray last, record;
        for (; replies < 2 * kRounds && !(record = link.NextRecord()).isEmpty(); ++replies)
            last = record;
        QCOMPARE(replies, 2 * kRounds);
        // After the reply's header: error, reason, and the answer's length.
        QCOMPARE(last.mid(24 + 12, Word(last, 8)), (kIdn.chopped(1) + ';').repeated(99) + kIdn);
    }
};

QTEST_GUILESS_MAIN(TestVxi11)
#include "tst_vxi11.moc"

// A board of another model, known to the tests alone: C1 on bit 2, C2 on
// bit 3, its own name and contact lines. The core, the SCPI layer, the web
// API and what the page draws take it as they take the QTR7-415KM, with no
// change of their own: the bytes on the port, the answers and the page's
// state say so.
#include "BoardModel.h"
#include "FakePort.h"
#include "Identity.h"
#include "ScpiSession.h"
#include "SwitchCore.h"
#include "SwitchInstrument.h"
#include "Table.h"
#include "WebServer.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTcpSocket>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {

constexpr int kTimeout = 30000;

const BoardModel kBits23{
    "TEST-23",
    2,
    3,
    {{
        {{{10, 20, 30, 40}, {50, 60, 70, 80}, {90, 100, 110, 120}}},
        {{{11, 21, 31, 41}, {51, 61, 71, 81}, {91, 101, 111, 121}}},
        {{{12, 22, 32, 42}, {52, 62, 72, 82}, {92, 102, 112, 122}}},
    }},
};

// The board at 888 holding `held`, attached without a write.
struct Board
{
    explicit Board(int held)
    {
        port.latched[888] = std::uint8_t(held);
        core.Attach(888, Source{});
        port.accesses.clear();
    }

    FakePort port;
    SwitchCore core{port, kBits23};
};

// What an HTTP request to `server` got: its status line and body.
QByteArray Exchange(quint16 port, const QByteArray& request)
{
    QTcpSocket socket;
    QByteArray got;
    QObject::connect(&socket, &QTcpSocket::readyRead, [&] { got += socket.readAll(); });
    socket.connectToHost(QHostAddress::LocalHost, port);
    socket.write(request);
    const auto whole = [&got] {
        const qsizetype end = got.indexOf("\r\n\r\n");
        const qsizetype field = got.indexOf("Content-Length: ");
        return end >= 0 && field >= 0 && got.size() >= end + 4 + got.mid(field + 16).split('\r').first().toLongLong();
    };
    (void)QTest::qWaitFor(whole, kTimeout);
    return got.left(got.indexOf("\r\n")) + ' ' + got.mid(got.indexOf("\r\n\r\n") + 4);
}

} // namespace

class TestBoardModel : public QObject
{
    Q_OBJECT

private slots:
    void core_data()
    {
        AddColumns<int, QString, QString, QString>("held", "operation", "accesses", "state");
        QTest::newRow("off to rf1") << 0x00 << "rf1" << "r888:00 w888:04 r888:04" << "rf1";
        QTest::newRow("rf1 to rf2 breaks first") << 0x04 << "rf2" << "r888:04 w888:00 r888:00 w888:08 r888:08" << "rf2";
        // Bits 0 and 1 belong to something else on this board: left as read.
        QTest::newRow("bits 0 and 1 left alone") << 0xF3 << "rf1" << "r888:f3 w888:f7 r888:f7" << "rf1";
        QTest::newRow("off keeps them too") << 0x0B << "off" << "r888:0b w888:03 r888:03" << "off";
        QTest::newRow("toggle C1") << 0x01 << "C1" << "r888:01 w888:05 r888:05" << "rf1";
        QTest::newRow("toggle C2 while C1 is set") << 0x04 << "C2" << "" << "rf1";
        QTest::newRow("toggle C2 off") << 0x0A << "C2" << "r888:0a w888:02 r888:02" << "off";
    }

    void core()
    {
        const auto [held, operation, accesses, state] = Fetch<int, QString, QString, QString>("held", "operation", "accesses", "state");
        Board board(held);
        const ControlBits seen = kBits23.Lines(std::uint8_t(held));
        if (operation.startsWith(u'C'))
            board.core.Toggle(operation == u"C1"_s ? 0 : 1, seen, Source{});
        else
            board.core.Select(operation == u"rf1"_s ? RfPath::Rf1 : operation == u"rf2"_s ? RfPath::Rf2 : RfPath::Off, Source{});
        QTRY_VERIFY_WITH_TIMEOUT(!board.core.Running() && board.core.Queued() == 0, kTimeout);
        QCOMPARE(board.port.Take(), accesses);
        QCOMPARE(QString::fromLatin1(PathName(*board.core.State())), state);
    }

    void scpi()
    {
        Board board(0x02);
        SwitchInstrument instrument{board.core, Source::Remote("127.0.0.1:5000"), [] { return std::vector<std::string>{}; }};
        const auto session = ScpiSession::Create(instrument, ProgramIdentity("5", kBits23));
        QString said;
        session->SetOutput([&said](std::string_view text) { said += QString::fromLatin1(text.data(), qsizetype(text.size())); });
        session->Feed("*IDN?;:ROUT:CLOS (@2);*OPC?;:ROUT:CLOS:STAT?;:OPEN (@2);*OPC?;:ROUT:CLOS? (@1,2)\n");
        QTRY_VERIFY_WITH_TIMEOUT(said.endsWith(u'\n'), kTimeout);
        QCOMPARE(said.section(u',', 0, 2), u"rfswitch-panel,TEST-23,5"_s);
        QCOMPARE(said.section(u';', 1), u"1;(@2);1;0,0\n"_s);
        QCOMPARE(board.port.Take(), u"r888:02 w888:0a r888:0a r888:0a w888:02 r888:02"_s);
    }

    void web()
    {
        Board board(0x01);
        WebServer server(board.core, WebServerOptions{});
        QVERIFY(server.Listen({QHostAddress::LocalHost, 0}));
        const QByteArray host = "Host: 127.0.0.1:" + QByteArray::number(server.Port()) + "\r\n";
        const QByteArray switched = Exchange(server.Port(), "POST /api/select HTTP/1.1\r\n" + host + "Content-Length: 3\r\n\r\nrf2");
        QVERIFY2(switched.startsWith("HTTP/1.1 200"), switched.constData());
        QCOMPARE(board.port.Take(), u"r888:01 w888:09 r888:09"_s);

        const QByteArray answer = Exchange(server.Port(), "GET /api/state HTTP/1.1\r\n" + host + "\r\n");
        const QJsonObject state = QJsonDocument::fromJson(answer.mid(answer.indexOf('{'))).object();
        QCOMPARE(state.value(u"model"_s).toString(), u"TEST-23"_s);
        QCOMPARE(state.value(u"path"_s).toString(), u"rf2"_s);
        // The page draws the contacts it is given: this model's for RF2.
        QCOMPARE(QJsonDocument(state.value(u"contacts"_s).toArray()).toJson(QJsonDocument::Compact),
                 "[[12,22,32,42],[52,62,72,82],[92,102,112,122]]");
    }

    void modelsByName_data()
    {
        AddColumns<QString, QString>("name", "found");
        QTest::newRow("as written") << "QTR7-415KM" << "QTR7-415KM";
        QTest::newRow("any case") << "qtr7-415km" << "QTR7-415KM";
        QTest::newRow("none") << "ABC-123" << "";
        QTest::newRow("a part of one") << "QTR7" << "";
    }

    void modelsByName()
    {
        const auto [name, found] = Fetch<QString, QString>("name", "found");
        const BoardModel* model = ModelNamed(name.toStdString());
        QCOMPARE(model ? QString::fromStdString(model->name) : QString(), found);
    }
};

QTEST_GUILESS_MAIN(TestBoardModel)
#include "tst_boardmodel.moc"

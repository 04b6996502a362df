// Every view of the switch tells a known state from an unknown one by the
// same rule: the window (its captions and contact lines as drawn), the
// status line, SCPI and the web API, for each way the port can be reached
// and each way an operation can end. The command line's view, handed over
// to an owner that knows nothing, is tst_commandline's.
#include "Panel.h"
#include "ScpiSession.h"
#include "SwitchInstrument.h"
#include "WebDocuments.h"

#include <QJsonDocument>

using namespace Qt::StringLiterals;

namespace {

// Which of "0", "1" and "?" a button's drawing shows: the nearest of the
// three drawn on a button like it.
QString CaptionDrawn(QPushButton* button)
{
    const QImage drawn = button->grab().toImage().convertToFormat(QImage::Format_RGB32);
    QString nearest;
    qint64 least = -1;
    for (const QString& text : {u"0"_s, u"1"_s, u"?"_s}) {
        QPushButton twin(text);
        twin.setFont(button->font());
        twin.setPalette(button->palette());
        twin.resize(button->size());
        const QImage reference = twin.grab().toImage().convertToFormat(QImage::Format_RGB32);
        qint64 distance = 0;
        for (int y = 0; y < drawn.height() && y < reference.height(); ++y)
            for (int x = 0; x < drawn.width() && x < reference.width(); ++x)
                distance += std::abs(qGray(drawn.pixel(x, y)) - qGray(reference.pixel(x, y)));
        if (least < 0 || distance < least) {
            least = distance;
            nearest = text;
        }
    }
    return nearest;
}

// How many pixels of the schematic as drawn are the contact lines' blue.
int LinePixels(QWidget* picture)
{
    const QImage image = picture->grab().toImage().convertToFormat(QImage::Format_RGB32);
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            count += qBlue(image.pixel(x, y)) >= 230 && qRed(image.pixel(x, y)) < 60 && qGreen(image.pixel(x, y)) < 60;
    return count;
}

} // namespace

class ViewsTest : public QObject
{
    Q_OBJECT

private slots:
    void everyViewAlike_data()
    {
        AddColumns<QString, QString, QColor, QString, QString, QString>("setup", "status", "colour", "scpi", "path", "words");
        const QColor black(0, 0, 0), red(255, 0, 0), blue(0, 0, 192);
        const QString unreadable = u"Port 888: nothing written, the port could not be read: /dev/parport0: input/output error; "
                                   "the board's state is unknown"_s;
        const QString nothing = u"Unknown: nothing read back from the port"_s;
        // setup; the status line and its colour; ROUT:CLOS:STAT?;STAT:QUES:COND?; the web API's path;
        // the path in words, in the window and on the page.
        QTest::newRow("verified") << "verified" << "Port 888 (0x378): fake port" << black << "(@2);0" << "\"rf2\"" << "RF COMMON connected to RF2";
        QTest::newRow("not read back") << "stuck" << "Port 888: wrote 0x01, read back 0x00 after 110 attempts" << red << "(@);0"
                                       << "\"off\"" << "All ports terminated";
        QTest::newRow("write refused") << "refused" << "Port 888: nothing written: 110 writes of 0x01 failed: /dev/port: no space left on device"
                                       << red << "(@);0" << "\"off\"" << "All ports terminated";
        QTest::newRow("port lost") << "lost" << "Port 888: wrote 0x01, nothing read back after 110 attempts: /dev/parport0: input/output "
                                                "error; the board's state is unknown" << red << "9.91E+37;1024" << "null" << nothing;
        QTest::newRow("read fails") << "unreadable" << unreadable << red << "9.91E+37;1024" << "null" << nothing;
        // Only the control register is unreadable: its clear at address entry is not read
        // back, so nothing is known until the data register is read again.
        QTest::newRow("half-read port") << "half" << "Port 890: wrote 0x00, nothing read back after 110 attempts: /dev/parport0: input/output "
                                                     "error; the board's state is unknown"
                                        << red << "9.91E+37;1024" << "null" << nothing;
        QTest::newRow("another program holds it") << "busy" << "Port 888 (0x378): /dev/parport0: held by another program (lp): close "
                                                                "the program that holds it; nothing is written" << red << "9.91E+37;1536" << "null" << nothing;
        QTest::newRow("no port at the address") << "zero" << "Port 0: not a port address; nothing is written" << red << "9.91E+37;1536"
                                                << "null" << nothing;
        QTest::newRow("simulated") << "simulated" << "Port 888 (0x378): SIMULATED, no board is driven (no parallel port at 888 (0x378))."
                                   << blue << "(@);512" << "\"off\"" << "All ports terminated";
    }

    void everyViewAlike()
    {
        const auto [setup, status] = Fetch<QString, QString>("setup", "status");
        const auto [colour, scpi, words] = Fetch<QColor, QString, QString>("colour", "scpi", "words");
        Panel panel;
        QVERIFY(panel.Show());
        FakePort& port = panel.port;
        SwitchCore& core = panel.core;
        const Source remote = Source::Remote("10.0.0.7:5025");
        if (setup == "verified"_L1) {
            core.Select(RfPath::Rf2, remote);
        } else if (setup == "stuck"_L1 || setup == "refused"_L1 || setup == "lost"_L1 || setup == "unreadable"_L1) {
            port.stuckRead = setup == "stuck"_L1 ? std::optional<std::uint8_t>(0) : std::nullopt;
            port.writeError = setup == "refused"_L1 ? "/dev/port: no space left on device" : "";
            port.readsFor = setup == "lost"_L1 ? std::optional<std::size_t>(port.accesses.size() + 1) : std::nullopt;
            port.readError = setup == "unreadable"_L1 ? "/dev/parport0: input/output error" : "";
            core.Select(RfPath::Rf1, remote);
        } else if (setup == "half"_L1) {
            port.unreadable = {890};
            core.TakeAddress(888, true, remote);
        } else if (setup == "busy"_L1) {
            port.status = {PortReach::Unusable, "/dev/parport0", "/dev/parport0: held by another program (lp)", "close the program that holds it", true};
            core.TakeAddress(888, true, remote);
        } else if (setup == "zero"_L1) {
            core.TakeAddress(0, true, remote);
        } else if (setup == "simulated"_L1) {
            port.status = kSimulatedPort;
            core.TakeAddress(888, true, remote);
        }
        const bool known = !scpi.startsWith(u"9.91E+37"_s);

        // The window: the captions and the contacts as they are drawn.
        QTRY_COMPARE(panel.Status()->text(), status);
        QCOMPARE(panel.Status()->palette().color(QPalette::WindowText), colour);
        const QString drawn = CaptionDrawn(panel.Find<QPushButton>(u"C1"_s)) + CaptionDrawn(panel.Find<QPushButton>(u"C2"_s));
        QCOMPARE(drawn, known ? panel.Captions() : u"??"_s);
        QCOMPARE(LinePixels(panel.Find(u"Picture2"_s)) > 0, known);

        // SCPI, and the web API.
        SwitchInstrument instrument{core, Source::Remote("127.0.0.1:5000")};
        const auto session = ScpiSession::Create(instrument, {});
        QString said;
        session->SetOutput([&said](std::string_view text) { said += QString::fromLatin1(text.data(), qsizetype(text.size())).trimmed(); });
        session->Feed("ROUT:CLOS:STAT?;STAT:QUES:COND?\n");
        QCOMPARE(said, scpi);
        const QJsonObject state = StateJson(core, {});
        QTEST(QString::fromUtf8(QJsonDocument(QJsonObject{{u"p"_s, state[u"path"_s]}}).toJson(QJsonDocument::Compact)).mid(5).chopped(1), "path");
        QCOMPARE(state[u"contacts"_s].isNull(), !known);
        QTRY_COMPARE(panel.Find<QLabel>(u"PathWords"_s)->text(), words);
        QTEST(state[u"words"_s].toString(), "words");
    }
};

QTEST_MAIN(ViewsTest)
#include "tst_views.moc"

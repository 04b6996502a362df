#include "HelpWindow.h"
#include "Panel.h"
#include "Platform.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QSvgRenderer>
#include <QTimer>

#include <cstring>

using namespace Qt::StringLiterals;

Q_DECLARE_METATYPE(VersionQuery)

namespace {

// Shows the panel and clicks from (0, 0) to the state the captions name; the port log starts afresh.
void Start(Panel& panel, const QString& state = u"00"_s)
{
    QVERIFY(panel.Show());
    if (state != "00"_L1)
        panel.Click(state == "10"_L1 ? "C1" : "C2");
    QCOMPARE(panel.Captions(), state);
    panel.port.Take();
}

bool WarningShown(const Panel& panel) { return panel.Find(u"WarningLabel"_s)->isVisible(); }

// Whether a pixel within `radius` of `centre` is `wanted`.
template <typename Wanted>
bool AnyNear(const QImage& image, QPointF centre, int radius, Wanted wanted)
{
    const QPoint c = centre.toPoint();
    for (int dy = -radius; dy <= radius; ++dy)
        for (int dx = -radius; dx <= radius; ++dx)
            if (dx * dx + dy * dy <= radius * radius && image.valid(c + QPoint(dx, dy)) && wanted(image, c + QPoint(dx, dy)))
                return true;
    return false;
}

bool IsBlue(const QImage& image, QPoint p) { return qBlue(image.pixel(p)) > 160 && qRed(image.pixel(p)) < 100 && qGreen(image.pixel(p)) < 100; }

// A filled contact dot, not one of the drawing's thin strokes: dark all around.
bool IsDot(const QImage& image, QPoint p)
{
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx)
            if (!image.valid(p + QPoint(dx, dy)) || qGray(image.pixel(p + QPoint(dx, dy))) > 96)
                return false;
    return true;
}

// Picture2 shows the schematic at its natural size from its top-left corner,
// with each line drawn and ending on one of its contact dots.
void CheckDrawn(const Panel& panel)
{
    QImage drawn = panel.Find(u"Picture2"_s)->grab().toImage().convertToFormat(QImage::Format_RGB32).copy(0, 0, 288, 200);
    QImage plain(288, 200, QImage::Format_RGB32);
    plain.fill(Qt::white);
    QPainter painter(&plain);
    QSvgRenderer(u":/schematic.svg"_s).render(&painter, plain.rect());
    painter.end();
    const QPointF freeEnd(2350 / 15.0, 600 / 15.0); // the lifted contact touches nothing
    QList<QLineF> lines;
    for (const Segment& s : panel.Lines()) {
        lines << QLineF(s.x1 / 15, s.y1 / 15, s.x2 / 15, s.y2 / 15);
        for (const QPointF end : {lines.back().p1(), lines.back().p2()}) {
            const QByteArray where = u"(%1, %2) px"_s.arg(end.x()).arg(end.y()).toLatin1();
            QVERIFY2(AnyNear(drawn, end, 2, IsBlue), where.constData());
            QVERIFY2(AnyNear(plain, end, 5, IsDot) == (end != freeEnd), where.constData());
        }
    }
    // Away from the lines the picture shows as drawn.
    for (QImage* image : {&drawn, &plain}) {
        painter.begin(image);
        painter.setPen(QPen(Qt::white, 6));
        painter.drawLines(lines);
        painter.end();
    }
    QCOMPARE(drawn, plain);
}

// What the panel shows and writes when the port backend fails, at each place
// it touches the port: start-up, address entry and a click on C1.

enum Entry { StartUp, AddressEntry, Click, ClickC2 };
enum Fault { MissingDevice, ReadError, WriteError, NeverReadsBack, GoneAfterRead, LostAfterRead, Healthy };
const char* const kWords[] = {"/dev/parport0: no such device", "/dev/parport0: input/output error", "/dev/parport0: input/output error", "",
                              "/dev/parport0: no such device", "/dev/parport0: input/output error", ""};

void Apply(FakePort& port, Fault fault)
{
    port.readError = fault <= ReadError ? kWords[fault] : "";
    port.writeError = fault <= WriteError && fault != ReadError ? kWords[fault] : "";
    port.stuckRead = fault == NeverReadsBack ? std::optional<std::uint8_t>(0xFF) : std::nullopt;  // a floating bus
    port.answersFor = fault == GoneAfterRead ? std::optional<std::size_t>(port.accesses.size() + 1) : std::nullopt;
    port.readsFor = fault == LostAfterRead ? std::optional<std::size_t>(port.accesses.size() + 1) : std::nullopt;
}

const QString kCheckAddress = u"Check Parallel Address !!!"_s;
// A query that reports the given Windows version, answering the call with `result`.
VersionQuery ReportsVersion(std::uint32_t platform, std::uint32_t major, std::uint32_t minor, int result = 1)
{
    return [=](OsVersionInfo& info) {
        info = {148, major, minor, 0, platform, {}};
        return result;
    };
}
const VersionQuery kNotNt = QueryFails, kNt = ReportsVersion(2, 5, 1);

} // namespace

class ControlBitsTest : public QObject
{
    Q_OBJECT

private slots:
    void transitions_data()
    {
        AddColumns<QString, QString, QString, QString, bool>("start", "button", "accesses", "end", "warning");
        QTest::newRow("(0,0) C1 sets bit 0") << "00" << "C1" << "r888:f0 w888:f1 r888:f1" << "10" << false;
        QTest::newRow("(0,0) C2 sets bit 1") << "00" << "C2" << "r888:f0 w888:f2 r888:f2" << "01" << false;
        QTest::newRow("(1,0) C1 clears bit 0") << "10" << "C1" << "r888:f1 w888:f0 r888:f0" << "00" << false;
        QTest::newRow("(1,0) C2 refused") << "10" << "C2" << "" << "10" << true;
        QTest::newRow("(0,1) C1 refused") << "01" << "C1" << "" << "01" << true;
        QTest::newRow("(0,1) C2 clears bit 1") << "01" << "C2" << "r888:f2 w888:f0 r888:f0" << "00" << false;
        // The warning of a refused click goes once an allowed state is drawn.
        QTest::newRow("(1,0) C2 refused, then C1") << "10" << "C2 C1" << "r888:f1 w888:f0 r888:f0" << "00" << false;
        QTest::newRow("(0,1) C1 refused, then Ctrl+1") << "01" << "C1 Ctrl+1" << "r888:f2 w888:f0 r888:f0 w888:f1 r888:f1" << "10" << false;
        // The keys the tooltips name.
        QTest::newRow("(0,0) Ctrl+1") << "00" << "Ctrl+1" << "r888:f0 w888:f1 r888:f1" << "10" << false;
        QTest::newRow("(1,0) Ctrl+2 breaks first") << "10" << "Ctrl+2" << "r888:f1 w888:f0 r888:f0 w888:f2 r888:f2" << "01" << false;
        QTest::newRow("(0,1) Ctrl+0") << "01" << "Ctrl+0" << "r888:f2 w888:f0 r888:f0" << "00" << false;
        // Leaving the address box takes the address (clearing the registers) before the
        // click acts; the click then means what its user saw: C1 at 1 switched off, C2
        // refused. Ctrl+1 takes what was typed first, too.
        QTest::newRow("from the box: C1") << "10" << "C1" << "w890:00 r890:00 w888:00 r888:00 r888:00 w888:00 r888:00" << "00" << false;
        QTest::newRow("from the box: C2") << "10" << "C2" << "w890:00 r890:00 w888:00 r888:00" << "00" << true;
        QTest::newRow("from the box: Enter alone") << "10" << "" << "w890:00 r890:00 w888:00 r888:00" << "00" << false;
        QTest::newRow("from the box: Ctrl+1") << "01" << "Ctrl+1" << "w890:00 r890:00 w888:00 r888:00 r888:00 w888:01 r888:01" << "10" << false;
    }

    void transitions()
    {
        const auto [start, button, end, warning] = Fetch<QString, QString, QString, bool>("start", "button", "end", "warning");
        Panel panel;
        Start(panel, start);
        panel.port.latched[888] |= 0xF0; // the register's other bits are carried through
        const bool fromBox = QByteArray(QTest::currentDataTag()).startsWith("from the box");
        if (fromBox) {
            QVERIFY(panel.Activate());
            panel.Find(u"ParallelText"_s)->setFocus();
        }
        const QStringList presses = button.split(u' ');
        for (const QString& press : presses) {
            if (press.startsWith(u"Ctrl+"_s))
                QTest::keyClick(panel.form.get(), Qt::Key(Qt::Key_0 + press.back().digitValue()), Qt::ControlModifier);
            else
                press.isEmpty() ? panel.Enter() : panel.Click(press);
            if (presses.size() > 1)
                QVERIFY(WarningShown(panel) == (press == presses.front()));
        }
        if (warning && !fromBox)
            panel.Click(button); // a second refusal leaves the warning up
        QTEST(panel.port.Take(), "accesses");
        QCOMPARE(panel.Captions() + (WarningShown(panel) ? u", warning"_s : u""_s), end + (warning ? u", warning"_s : u""_s));
        QCOMPARE(panel.Lines(), LinesFor(end)); // a refused click leaves them where they were
        CheckDrawn(panel);
    }

    void takesTheTypedAddress_data()
    {
        // The keys are pressed after typing the text.
        AddColumns<QList<int>, QString, int, QString, QString, bool>("keys", "text", "address", "accesses", "status", "refused");
        const QString unchanged = QStringLiteral("Port 888 (0x378): fake port");
        const QList<int> Return{Qt::Key_Return}, KeypadEnter{Qt::Key_Enter}, Tab{Qt::Key_Tab},
            others{Qt::Key_Escape, Qt::Key_Space, Qt::Key_Left, Qt::Key_Backspace, Qt::Key_F1, Qt::Key_Shift};
        QTest::newRow("Enter") << Return << "632" << 632 << "w634:00 r634:00 w632:00 r632:00" << "Port 632 (0x278): fake port" << false;
        QTest::newRow("keypad Enter") << KeypadEnter << "&H778" << 1912 << "w1914:00 r1914:00 w1912:00 r1912:00" << "Port 1912 (0x778): fake port" << false;
        QTest::newRow("focus out") << Tab << "631.5" << 632 << "w634:00 r634:00 w632:00 r632:00" << "Port 632 (0x278): fake port" << false;
        QTest::newRow("other keys") << others << "632" << 888 << "" << unchanged << false;
        // A USB adapter has no address: its device names it, its registers are 0 to 2.
        QTest::newRow("device") << Return << " /dev/parport1" << 0 << "w2:00 r2:00 w0:00 r0:00"
                                << "Port /dev/parport1: USB adapter (uss720), about 1 ms per access" << false;
        // One way for every text that names no port: the status line says why, in the words typed.
        const QString next = u": no port is driven, and nothing is written. Type the port's base address in decimal (888), or in "
                             "hexadecimal as 0x378 or &H378."_s;
        QTest::newRow("zero") << Return << "0" << 0 << "" << "\"0\" is below 1, the first port address" + next << false;
        QTest::newRow("C notation") << Return << "0x378" << 888 << "w890:00 r890:00 w888:00 r888:00" << "Port 888 (0x378): fake port" << false;
        QTest::newRow("a leading zero") << Return << "0378" << 378 << "w380:00 r380:00 w378:00 r378:00"
                                        << "Port 378 (0x17A): fake port\n\"0378\" reads as decimal 378: addresses read decimal; 0x378 or "
                                           "&H378 reads hexadecimal" << false;
        QTest::newRow("not a number") << Tab << "garbage" << 0 << "" << "\"garbage\" is not a number" + next << false;
        QTest::newRow("empty") << Return << "" << 0 << "" << "no address was given" + next << false;
        QTest::newRow("negative") << Tab << "-5" << -5 << "" << "\"-5\" is below 1, the first port address" + next << false;
        const QString stays = u": nothing is written, and port 888 (0x378) stays in use. Type the port's base address in decimal "
                              "(888), or in hexadecimal as 0x378 or &H378."_s;
        QTest::newRow("beyond 32 bits") << Return << "99999999999" << 888 << ""
                                        << unchanged + "\n\"99999999999\" is beyond the last port address, 65533 (0xFFFD)" + stays << true;
        QTest::newRow("control register beyond 32 bits") << Tab << "2147483646" << 888 << ""
                                                         << unchanged + "\n\"2147483646\" is beyond the last port address, 65533 (0xFFFD)" + stays << true;
    }

    void takesTheTypedAddress()
    {
        const auto [keys, text, status, refused] = Fetch<QList<int>, QString, QString, bool>("keys", "text", "status", "refused");
        Panel panel;
        panel.port.hardware = "USB adapter (uss720), about 1 ms per access";
        QVERIFY(panel.Show() && panel.Activate());
        auto* edit = panel.Find<QLineEdit>(QStringLiteral("ParallelText"));
        edit->setFocus();
        edit->clear();
        panel.port.Take();
        QTest::keyClicks(edit, text);
        QCOMPARE(panel.port.Take(), QString()); // typing alone takes nothing

        for (int key : keys)
            QTest::keyClick(edit, Qt::Key(key), key == Qt::Key_Enter ? Qt::KeypadModifier : Qt::NoModifier);
        QCOMPARE(edit->hasFocus(), keys != QList<int>{Qt::Key_Tab});

        QTEST(panel.form->PortAddress, "address");
        QTEST(panel.port.Take(), "accesses");
        // Its first line begins the status line; the others are in it.
        const QStringList lines = status.split(u'\n');
        QVERIFY2(panel.Status()->text().startsWith(lines.first()), qPrintable(panel.Status()->text()));
        for (const QString& line : lines.mid(1))
            QVERIFY2(panel.Status()->text().contains(line), qPrintable(panel.Status()->text()));
        if (refused)
            QCOMPARE(edit->text(), u"888"_s);
        QCOMPARE(panel.messages, QStringList());
    }

    // An address another client sets shows in the box; one typed here stays as typed.
    void oneAddressInSight()
    {
        Panel panel;
        QVERIFY(panel.Show());
        auto* edit = panel.Find<QLineEdit>(u"ParallelText"_s);
        panel.core.TakeAddress(632, true, Source::Remote("10.0.0.7:5000"));
        QTRY_COMPARE(edit->text(), u"632"_s);
        edit->setText(u"&H3BC"_s);
        panel.Enter();
        QCOMPARE(QStringList({edit->text(), QString::number(panel.form->PortAddress)}), QStringList({u"&H3BC"_s, u"956"_s}));
    }

    // A refused address goes back to the one in use, and the click that
    // moved the focus away from it does nothing and leaves no button down.
    void refusedAddressOnClick()
    {
        Panel panel;
        QVERIFY(panel.Show() && panel.Activate());
        auto* edit = panel.Find<QLineEdit>(QStringLiteral("ParallelText"));
        edit->setFocus();
        edit->setText(QStringLiteral("99999999999"));
        panel.port.Take();
        panel.Click(QStringLiteral("C1"));
        QTRY_VERIFY(edit->hasFocus());

        // Nothing reached the port; the captions, then the box's text, all of it selected.
        QCOMPARE(QStringList({panel.port.Take(), panel.Captions(), edit->text(), edit->selectedText()}), QStringList({"", "00", "888", "888"}));
        QVERIFY(!panel.Find<QPushButton>(QStringLiteral("C1"))->isDown());
        QVERIFY(panel.Status()->text().contains(QStringLiteral("\n\"99999999999\" is beyond the last port address")));

        // The next click is a click again; leaving the box takes the address in use.
        panel.Click(QStringLiteral("C1"));
        QCOMPARE(panel.port.Take(), u"w890:00 r890:00 w888:00 r888:00 r888:00 w888:01 r888:01"_s);
        QCOMPARE(panel.Captions(), QStringLiteral("10"));
    }

    // Unused control bits that read back 1 make taking the address slow: the
    // control register's clear never verifies, through all its paused
    // retries. A short click whose press took the focus off the box, and
    // whose release came in meanwhile, still acts, after the take.
    void clickDuringSlowAddressTake()
    {
        Panel panel;
        QVERIFY(panel.Show() && panel.Activate());
        panel.port.readsHigh[890] = 0xC0;
        panel.Find(u"ParallelText"_s)->setFocus();
        panel.port.Take();
        auto* c1 = panel.Find<QPushButton>(u"C1"_s);
        const QPointF centre = c1->rect().center();
        QCoreApplication::postEvent(c1, new QMouseEvent(QEvent::MouseButtonRelease, centre, c1->mapToGlobal(centre), Qt::LeftButton,
                                                        Qt::NoButton, Qt::NoModifier));
        QTest::mousePress(c1, Qt::LeftButton);
        QTRY_COMPARE(panel.Captions(), u"10"_s);
        QCOMPARE(panel.port.Take(), u"w890:00 r890:c0 "_s.repeated(110) + u"w888:00 r888:00 r888:00 w888:01 r888:01"_s);
        QVERIFY(!c1->isDown());
        QCOMPARE(panel.messages, QStringList());
    }

    // The window shows the new path at once, and the busy pointer until the
    // switch has settled; a click meanwhile waits for that.
    void settlingPointer_data()
    {
        AddColumns<int, QString, QString>("settle", "pointer", "accesses");
        QTest::newRow("no settle time") << 0 << "arrow" << "r888:00 w888:01 r888:01 r888:01 w888:00 r888:00";
        QTest::newRow("settling") << 400 << "busy" << "r888:00 w888:01 r888:01 | r888:01 w888:00 r888:00";
    }

    void settlingPointer()
    {
        QFETCH(int, settle);
        Panel panel;
        Start(panel);
        panel.core.SetSettleTime(std::chrono::milliseconds(settle), Source{});
        QElapsedTimer clock;
        clock.start();
        QStringList accesses;
        qint64 last = 0;
        panel.port.onAccess = [&](const PortAccess& access) {
            // " | " where the settle time has passed since the one before.
            if (settle > 0 && clock.elapsed() - last >= settle)
                accesses << u"|"_s;
            accesses << Trace({access});
            last = clock.elapsed();
        };
        panel.Click("C1");
        QTRY_COMPARE(panel.Captions(), u"10"_s);
        QTEST(panel.form->cursor().shape() == Qt::BusyCursor ? u"busy"_s : u"arrow"_s, "pointer");
        panel.Click("C1");
        QTRY_COMPARE(panel.form->cursor().shape(), Qt::ArrowCursor);
        QTRY_COMPARE(accesses.join(u' ').count(u'w'), 2);
        QTEST(accesses.join(u' '), "accesses");
    }

    void nestedActionsWaitTheirTurn()
    {
        Panel panel;
        Start(panel);
        panel.port.readBackAfter = 105; // C1's write runs into the paused retries
        bool bothOne = false;
        panel.port.onAccess = [&](const PortAccess& access) {
            bothOne |= panel.Captions() == "11"_L1;
            if (access == PortAccess{PortAccess::Kind::Read, 888, 1})
                panel.port.readBackAfter = 1;  // the queued ones go through at once
        };
        QString inside;
        QTimer::singleShot(0, panel.form.get(), [&] {
            const bool busy = panel.form->cursor().shape() == Qt::BusyCursor;
            panel.Click("C2");
            panel.Enter();
            panel.Click("Command2");
            inside = (busy ? u"busy, "_s : u"not busy, "_s) + panel.Captions();
        });
        panel.Click("C1");

        // Handled between two attempts, before the pointer turns busy at the paused ones.
        QCOMPARE(inside, u"not busy, 00"_s);
        QCOMPARE(panel.form->cursor().shape(), Qt::ArrowCursor);
        QVERIFY(!bothOne);
        // C1's write ends first; then C2, clicked when C1 still showed 0, sets C2 and
        // clears C1 in one write, and the address entry clears the registers.
        QCOMPARE(panel.port.Take(), u"r888:00 "_s + u"w888:01 r888:00 "_s.repeated(104)
                                        + "w888:01 r888:01 r888:01 w888:02 r888:02 w890:00 r890:00 w888:00 r888:00");
        QCOMPARE(panel.Captions(), u"00"_s);
        QVERIFY(!WarningShown(panel));
        QVERIFY(HelpWindow() && HelpWindow()->isVisible());
        HelpWindow()->close();
    }

    void backendFaults_data()
    {
        // status: the red status line after "Port <address>: "; captions after the fault (the
        // register as read back; "??" where nothing is known of the board), whether a box
        // says so, and the captions after one more click on a port that works again: a
        // click on "?" reads the port, one on 0 or 1 toggles.
        AddColumns<int, int, QString, QString, QString, bool, QString>("entry", "fault", "written", "status", "captions", "box", "after");
        const auto row = [](Entry entry, Fault fault, const QString& written, const char* status, const char* captions, bool box,
                            const char* after) {
            const char* const faults[] = {"missing device", "read error", "write error", "never reads back", "gone after the read",
                                          "reads lost after the read"};
            QTest::addRow("%s, %s", entry == StartUp ? "start-up" : entry == AddressEntry ? "address entry" : entry == Click ? "click" : "C2 click", faults[fault])
                << int(entry) << int(fault) << written.trimmed() << QString::fromLatin1(status) << captions << box << after;
        };
        // A write that never verifies is tried 110 times, and the status line says so.
        const auto tries = [](const char* write) { return (QString(write) + u' ').repeated(110); };
        // The registers hold 0x40 from the last run; only a write that reached them changes it.
        // Entering 632 clears its control register, then its data register, each failing on its own.
        for (Entry entry : {StartUp, AddressEntry}) {
            const QString cleared = entry == StartUp ? tries("w888:00") : tries("w634:00") + tries("w632:00");
            row(entry, MissingDevice, "", "nothing written: 110 writes of 0x00 failed", "??", false, "00");
            row(entry, ReadError, cleared, "wrote 0x00, nothing read back after 110 attempts", "??", false, "00");
            // Refused by the port, and read back as it was: nothing changed.
            row(entry, WriteError, "", "nothing written: 110 writes of 0x00 failed", "00", false, "10");
            // A floating bus reads 0xFF: both bits, and the warning.
            row(entry, NeverReadsBack, cleared, "wrote 0x00, read back 0xFF after 110 attempts", "11", false, "00");
        }
        // A click that cannot read the register writes nothing and says so; one whose write
        // does not verify shows what was read back, and never puts C2's bit out with C1's.
        for (Fault fault : {MissingDevice, ReadError})
            row(Click, fault, "", "nothing written, the port could not be read", "??", true, "00");
        row(Click, WriteError, "", "nothing written: 110 writes of 0x01 failed", "00", true, "10");
        // Unplugged between the read and the write: nothing went out, and nobody can read what is there.
        row(Click, GoneAfterRead, "", "nothing written: 110 writes of 0x01 failed", "??", true, "00");
        // Written, and nothing comes back: nobody knows what the board does.
        row(Click, LostAfterRead, tries("w888:01"), "wrote 0x01, nothing read back after 110 attempts", "??", true, "10");
        row(Click, NeverReadsBack, tries("w888:fd"), "wrote 0xFD, read back 0xFF after 110 attempts", "11", false, "00");
        row(ClickC2, NeverReadsBack, tries("w888:fe"), "wrote 0xFE, read back 0xFF after 110 attempts", "11", false, "00");
    }

    void backendFaults()
    {
        const auto [entry, fault] = Fetch<int, int>("entry", "fault");
        const auto [status, captions, box] = Fetch<QString, QString, bool>("status", "captions", "box");
        const int address = entry == AddressEntry ? 632 : 888;
        const QString button = entry == ClickC2 ? "C2" : "C1";
        Panel panel;
        panel.port.latched = {{888, 0x40}, {890, 0x40}, {632, 0x40}, {634, 0x40}};
        Apply(panel.port, entry == StartUp ? Fault(fault) : Healthy);
        QVERIFY(panel.Show());
        if (entry != StartUp) {
            panel.port.accesses.clear();
            Apply(panel.port, Fault(fault));
            if (entry == AddressEntry)
                panel.Find<QLineEdit>("ParallelText")->setText("632");
            entry == AddressEntry ? panel.Enter() : panel.Click(button);
        }

        QTEST(Trace(panel.port.Writes()), "written");
        const QLabel* line = panel.Status();
        QVERIFY2(line->text().startsWith(QStringLiteral("Port %1: ").arg(address) + status) && line->text().contains(kWords[fault]),
                 qPrintable(line->text()));
        QCOMPARE(line->palette().color(QPalette::WindowText), QColor(255, 0, 0));
        // A click that did not reach the board, or whose effect nobody knows, says so in a message too.
        QCOMPARE(panel.messages.size(), box ? 1 : 0);
        QVERIFY2(!box || (panel.messages[0].startsWith(u"Port 888 not switched:\n"_s) && panel.messages[0].contains(kWords[fault])),
                 qPrintable(panel.messages.join(u'\n')));
        QCOMPARE(panel.Captions() + (WarningShown(panel) ? u", warning"_s : u""_s), captions == "11"_L1 ? u"11, warning"_s : captions);
        if (captions == "??"_L1)
            QCOMPARE(panel.Visible(), QList<bool>({false, false, false}));
        else if (captions != "11"_L1)
            QCOMPARE(panel.Lines(), LinesFor(captions));

        // Once the backend works again the next click goes through and the port follows the captions.
        Apply(panel.port, Healthy);
        panel.Click(button);
        QTEST(panel.Captions(), "after");
        QCOMPARE(panel.port.Latched(address) & 3, panel.Captions() == "10"_L1 ? 1 : 0);
        QCOMPARE(line->palette().color(QPalette::WindowText), QColor(0, 0, 0));
    }

    void versionPredicates_data()
    {
        // answers: IsWinNT4, IsWinNT4OrLater, IsWin2000, IsWin5x, IsWinXP, IsNtPlatform
        AddColumns<VersionQuery, QString>("query", "answers");
        QTest::newRow("NT 4.0") << ReportsVersion(2, 4, 0) << "110001";
        QTest::newRow("2000") << ReportsVersion(2, 5, 0) << "011101";
        QTest::newRow("XP") << ReportsVersion(2, 5, 1) << "010111";
        QTest::newRow("Server 2003") << ReportsVersion(2, 5, 2) << "010101";
        QTest::newRow("7") << ReportsVersion(2, 6, 1) << "010001";
        QTest::newRow("NT 3.51") << ReportsVersion(2, 3, 51) << "000000";
        QTest::newRow("platform 1") << ReportsVersion(1, 4, 0) << "000000";
        // XP is filled in anyway: only the call's answer counts.
        QTest::newRow("query fails") << ReportsVersion(2, 5, 1, 0) << "000000";
        QTest::newRow("query returns 2") << ReportsVersion(2, 5, 1, 2) << "000000";
#ifndef Q_OS_WIN
        QTest::newRow("this system") << VersionQuery(SystemVersionQuery) << "000000";
#endif
    }

    void versionPredicates()
    {
        QFETCH(VersionQuery, query);
        // Each predicate asks afresh, with 148 bytes all zero but the size field (little-endian 148).
        const QByteArray fresh = char(148) + QByteArray(147, 0);
        int stale = 0;
        const VersionQuery checked = [&](OsVersionInfo& info) {
            stale += QByteArray(reinterpret_cast<const char*>(&info), sizeof info) != fresh;
            std::memset(static_cast<void*>(&info), 0xA5, sizeof info); // a reused record would show
            return query(info);
        };
        QString answers;
        for (auto predicate : {IsWinNT4, IsWinNT4OrLater, IsWin2000, IsWin5x, IsWinXP, IsNtPlatform})
            answers += predicate(checked) ? u'1' : u'0';
        QTEST(answers, "answers");
        QCOMPARE(stale, 0);
    }

    void startUp_data()
    {
        // address below 1: the message, and no port access
        AddColumns<QString, VersionQuery, QString, int>("text", "query", "accesses", "address");
        QTest::newRow("not NT") << "888" << kNotNt << "w888:00 r888:00" << 888;
        QTest::newRow("NT") << "888" << kNt << "w890:00 r890:00 w888:00 r888:00" << 888;
        // Only the clearing of the control register, whose address overflows, is skipped.
        QTest::newRow("control register beyond range") << "2147483646" << kNt << "w2147483646:00 r2147483646:00" << 2147483646;
        QTest::newRow("empty") << "" << kNotNt << "" << 0;
        QTest::newRow("zero, NT") << "0" << kNt << "" << 0;
        QTest::newRow("negative, NT") << "-5" << kNt << "" << -5;
        QTest::newRow("overflow") << "2147483648" << kNotNt << "" << 0;
    }

    void startUp()
    {
        const auto [text, query, address] = Fetch<QString, VersionQuery, int>("text", "query", "address");
        Panel panel(query);
        panel.Find<QLineEdit>(u"ParallelText"_s)->setText(text);
        QVERIFY(panel.Lines() != LinesFor("00")); // start-up has to move them
        panel.Find(u"WarningLabel"_s)->show();       // and hide it

        // The time and pointer at the first port access, and when events are first dispatched.
        struct Moment { bool seen = false; qint64 ms = 0; std::size_t accesses = 0; Qt::CursorShape cursor{}; } firstAccess, dispatch;
        QElapsedTimer clock;
        clock.start();
        const auto capture = [&](Moment& m) { m = m.seen ? m : Moment{true, clock.elapsed(), panel.port.accesses.size(), panel.form->cursor().shape()}; };
        panel.port.onAccess = [&](const PortAccess&) { capture(firstAccess); };
        QTimer::singleShot(0, [&] { capture(dispatch); });
        QVERIFY(panel.Show());

        QTEST(Trace(panel.port.accesses), "accesses");
        QCOMPARE(panel.form->PortAddress, address);
        QCOMPARE(panel.messages, address < 1 ? QStringList{kCheckAddress} : QStringList());
        // On NT the pause dispatches events under the busy pointer, before any write; the arrow is back
        // for the writes. Elsewhere there is no pause: events wait until all writes are done.
        const bool nt = IsNtPlatform(query);
        QCOMPARE(dispatch.cursor == Qt::WaitCursor, nt);
        QCOMPARE(dispatch.accesses, nt ? 0 : panel.port.accesses.size());
        QVERIFY(!nt || !firstAccess.seen || (firstAccess.ms >= 1000 && firstAccess.cursor == Qt::ArrowCursor));
        QCOMPARE(panel.form->cursor().shape(), Qt::ArrowCursor);
        // Where nothing is written, the line says so in the warning colour.
        QVERIFY(panel.Status()->text().startsWith(u"Port %1"_s.arg(address)));
        QCOMPARE(panel.Status()->palette().color(QPalette::WindowText) == QColor(Qt::red), address < 1);

        // The panel comes up in its known state; where no port may be, nothing is known.
        QCOMPARE(panel.Captions(), address < 1 ? u"??"_s : u"00"_s);
        if (address < 1)
            QCOMPARE(panel.Visible(), QList<bool>({false, false, false}));
        else
            QCOMPARE(panel.Lines(), LinesFor("00"));
        QVERIFY(!WarningShown(panel));
    }

    // The port the program was started on (--port) is in the box and is the one cleared.
    void startsOnTheGivenPort_data()
    {
        AddColumns<QString, QString, QString>("start", "box", "accesses");
        QTest::newRow("address") << "632" << "632" << "w632:00 r632:00";
        QTest::newRow("device") << "/dev/parport1" << "/dev/parport1" << "w0:00 r0:00";
    }

    void startsOnTheGivenPort()
    {
        QFETCH(QString, start);
        Panel panel(kNotNt, start.startsWith(u'/') ? PortName(start.toStdString()) : PortName(start.toInt()));
        QVERIFY(panel.Show());
        QTEST(panel.Find<QLineEdit>(u"ParallelText"_s)->text(), "box");
        QTEST(Trace(panel.port.accesses), "accesses");
    }

    void addressMessageIsAPlainSwitchBox()
    {
        FakePort port;
        const ScopedPorts use(port);
        SwitchForm form(SwitchFormContext{QueryFails}); // with the real message box
        form.findChild<QLineEdit*>(u"ParallelText"_s)->setText(u"0"_s);
        QString seen;
        QTimer::singleShot(0, [&] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                seen = u"%1|%2|%3|%4"_s.arg(box->windowTitle(), box->text()).arg(box->icon()).arg(box->standardButtons());
                box->done(QMessageBox::Ok);
            }
        });
        form.show(); // start-up goes on once the box is closed
        QCOMPARE(seen, u"Switch|%1|%2|%3"_s.arg(kCheckAddress).arg(QMessageBox::NoIcon).arg(QMessageBox::Ok));
        QVERIFY(form.isVisible());
        QCOMPARE(Trace(port.accesses), QString());
    }
};

QTEST_MAIN(ControlBitsTest)
#include "tst_controlbits.moc"

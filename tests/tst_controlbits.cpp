#include "Form1.h"
#include "Panel.h"
#include "PictureBox.h"
#include "Schematic.h"

#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QSvgRenderer>
#include <QTest>
#include <QTimer>

namespace {

void Click(Panel& panel, const QString& button)
{
    QTest::mouseClick(panel.Find<QPushButton>(button), Qt::LeftButton);
}

// "10" is C1 showing "1" and C2 showing "0".
QString Captions(const Panel& panel)
{
    return panel.Find<QPushButton>("C1")->text() + panel.Find<QPushButton>("C2")->text();
}

// Clicks from (0, 0) to the state the captions name; the port log starts afresh.
void Reach(Panel& panel, const QString& state)
{
    if (state != "00")
        Click(panel, state == "10" ? "C1" : "C2");
    QCOMPARE(Captions(panel), state);
    panel.port.accesses.clear();
}

QString Trace(const std::vector<PortAccess>& accesses)
{
    QStringList steps;
    for (const PortAccess& a : accesses)
        steps << QStringLiteral("%1%2:%3").arg(a.kind == PortAccess::Kind::Read ? 'r' : 'w').arg(a.port).arg(a.value, 2, 16, QLatin1Char('0'));
    return steps.join(QLatin1Char(' '));
}

QList<LineControl*> Lines(const Panel& panel)
{
    auto* picture = panel.Find<QWidget>("Picture2");
    return {picture->findChild<LineControl*>("Line1"), picture->findChild<LineControl*>("Line2"),
            picture->findChild<LineControl*>("Line3")};
}

QList<double> Shown(const Panel& panel)
{
    QList<double> at;
    for (const LineControl* line : Lines(panel))
        at << line->X1() << line->Y1() << line->X2() << line->Y2();
    return at;
}

QList<double> Expected(const QString& captions)
{
    const SwitchState state = captions == "10" ? SwitchState::CommonToRf1
                            : captions == "01" ? SwitchState::CommonToRf2
                                               : SwitchState::AllTerminated;
    QList<double> at;
    for (const Segment& s : ContactLinesFor(state))
        at << s.x1 << s.y1 << s.x2 << s.y2;
    return at;
}

bool WarningShown(const Panel& panel)
{
    return panel.Find<QLabel>("WarningLabel")->isVisible();
}

void EnterAddress(Panel& panel)
{
    QTest::keyClick(panel.Find<QLineEdit>("ParallelText"), Qt::Key_Return);
}

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

bool IsBlue(const QImage& image, QPoint p)
{
    const QColor c = image.pixelColor(p);
    return c.blue() > 160 && c.red() < 100 && c.green() < 100;
}

// A filled dot, not one of the drawing's thin strokes: dark all around.
bool IsDot(const QImage& image, QPoint p)
{
    for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx)
            if (!image.valid(p + QPoint(dx, dy)) || qGray(image.pixel(p + QPoint(dx, dy))) > 96)
                return false;
    return true;
}

} // namespace

class ControlBitsTest : public QObject
{
    Q_OBJECT

private slots:
    void transitions_data()
    {
        QTest::addColumn<QString>("start");
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("accesses"); // read, changed byte written, read back
        QTest::addColumn<QString>("end");
        QTest::addColumn<bool>("warning");

        QTest::newRow("(0,0) C1 sets bit 0") << "00" << "C1" << "r888:00 w888:01 r888:01" << "10" << false;
        QTest::newRow("(0,0) C2 sets bit 1") << "00" << "C2" << "r888:00 w888:02 r888:02" << "01" << false;
        QTest::newRow("(1,0) C1 clears bit 0") << "10" << "C1" << "r888:01 w888:00 r888:00" << "00" << false;
        QTest::newRow("(1,0) C2 refused") << "10" << "C2" << "" << "10" << true;
        QTest::newRow("(0,1) C1 refused") << "01" << "C1" << "" << "01" << true;
        QTest::newRow("(0,1) C2 clears bit 1") << "01" << "C2" << "r888:02 w888:00 r888:00" << "00" << false;
    }

    void transitions()
    {
        QFETCH(QString, start);
        QFETCH(QString, button);
        QFETCH(QString, accesses);
        QFETCH(QString, end);
        QFETCH(bool, warning);

        Panel panel;
        QVERIFY(panel.Show());
        Reach(panel, start);

        Click(panel, button);
        QCOMPARE(Trace(panel.port.accesses), accesses);
        QCOMPARE(Captions(panel), end);
        QCOMPARE(Shown(panel), Expected(end)); // a refused click leaves the lines where they were
        QCOMPARE(WarningShown(panel), warning);
    }

    void otherBitsCarriedThrough_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<QString>("set");
        QTest::addColumn<QString>("cleared");

        QTest::newRow("C1") << "C1" << "r888:f0 w888:f1 r888:f1" << "r888:f1 w888:f0 r888:f0";
        QTest::newRow("C2") << "C2" << "r888:f0 w888:f2 r888:f2" << "r888:f2 w888:f0 r888:f0";
    }

    void otherBitsCarriedThrough()
    {
        QFETCH(QString, button);
        QFETCH(QString, set);
        QFETCH(QString, cleared);

        Panel panel;
        QVERIFY(panel.Show());
        panel.port.latched[888] = 0xF0; // after load, which clears the register
        panel.port.accesses.clear();

        Click(panel, button);
        QCOMPARE(Trace(panel.port.accesses), set);
        panel.port.accesses.clear();
        Click(panel, button);
        QCOMPARE(Trace(panel.port.accesses), cleared);
    }

    void warningStaysUntilAllowedState_data()
    {
        QTest::addColumn<QString>("start");
        QTest::addColumn<QString>("blocked");
        QTest::addColumn<QString>("allowed");

        QTest::newRow("from (1,0)") << "10" << "C2" << "C1";
        QTest::newRow("from (0,1)") << "01" << "C1" << "C2";
    }

    void warningStaysUntilAllowedState()
    {
        QFETCH(QString, start);
        QFETCH(QString, blocked);
        QFETCH(QString, allowed);

        Panel panel;
        QVERIFY(panel.Show());
        Reach(panel, start);

        for (int i = 0; i < 2; ++i) {
            Click(panel, blocked);
            QVERIFY(WarningShown(panel));
            QCOMPARE(Shown(panel), Expected(start));
        }
        QVERIFY(panel.port.accesses.empty());

        // Taking the address draws nothing, so the warning stays.
        EnterAddress(panel);
        QVERIFY(WarningShown(panel));

        Click(panel, allowed);
        QCOMPARE(Captions(panel), QStringLiteral("00"));
        QVERIFY(!WarningShown(panel));
        QCOMPARE(Shown(panel), Expected(QStringLiteral("00")));
    }

    void clickAfterAddressEntryWorksFromRegister()
    {
        Panel panel;
        QVERIFY(panel.Show());
        Reach(panel, QStringLiteral("10"));

        EnterAddress(panel);
        QCOMPARE(Trace(panel.port.Writes()), QStringLiteral("w890:00 w888:00"));
        QCOMPARE(Captions(panel), QStringLiteral("10"));
        panel.port.accesses.clear();

        Click(panel, "C1");
        QCOMPARE(Trace(panel.port.accesses), QStringLiteral("r888:00 w888:00 r888:00"));
        QCOMPARE(Captions(panel), QStringLiteral("00"));
        QCOMPARE(Shown(panel), Expected(QStringLiteral("00")));
    }

    void leavingAddressBoxClearsBeforeClick()
    {
        Panel panel;
        QVERIFY(panel.Show());
        panel.form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(panel.form.get()));
        auto* address = panel.Find<QLineEdit>(QStringLiteral("ParallelText"));
        address->setFocus();
        QVERIFY(address->hasFocus());
        // Stale contents show whether the click read the register before or after clearing.
        panel.port.latched[890] = 0x0C;
        panel.port.latched[888] = 0x40;
        panel.port.accesses.clear();

        Click(panel, "C1");
        QCOMPARE(Trace(panel.port.accesses), QStringLiteral("w890:00 r890:00 w888:00 r888:00 r888:00 w888:01 r888:01"));
        QCOMPARE(Captions(panel), QStringLiteral("10"));
    }

    void busyPortDropsNestedActions()
    {
        Panel panel;
        QVERIFY(panel.Show());
        QVERIFY(!HelpWindow() || !HelpWindow()->isVisible());
        panel.port.readBackAfter = 105; // C1's write runs into the paused retries
        panel.port.accesses.clear();
        bool bothOne = false;
        panel.port.onAccess = [&](const PortAccess&) { bothOne |= Captions(panel) == QLatin1String("11"); };
        const Qt::CursorShape pointer = panel.form->cursor().shape();

        bool ran = false;
        Qt::CursorShape pointerInside = pointer;
        QString captionsInside;
        QTimer::singleShot(0, panel.form.get(), [&] {
            ran = true;
            pointerInside = panel.form->cursor().shape();
            Click(panel, "C2");
            captionsInside = Captions(panel);
            EnterAddress(panel);
            QTest::mouseClick(panel.Find<QPushButton>(QStringLiteral("Command2")), Qt::LeftButton);
        });
        Click(panel, "C1");

        QVERIFY(ran);
        QCOMPARE(pointerInside, Qt::BusyCursor);
        QCOMPARE(captionsInside, QStringLiteral("00"));
        QCOMPARE(panel.form->cursor().shape(), pointer);
        QVERIFY(!bothOne);
        QCOMPARE(Captions(panel), QStringLiteral("10"));
        for (const PortAccess& a : panel.port.accesses) {
            QCOMPARE(a.port, 888); // the address entry was not taken
            QVERIFY(a.kind == PortAccess::Kind::Read || (a.value & 3) != 3);
        }
        QCOMPARE(panel.port.Latched(888), 1);
        QVERIFY(HelpWindow());
        QVERIFY(HelpWindow()->isVisible());
        HelpWindow()->close();
    }

    void failedVerificationReported()
    {
        Panel panel;
        QVERIFY(panel.Show());
        auto* status = panel.Find<QLabel>(QStringLiteral("PortStatus"));
        QCOMPARE(status->text(), QStringLiteral("Port 888 (0x378): fake port"));
        const QColor normal = status->palette().color(QPalette::WindowText);
        panel.port.stuckRead = 0;
        panel.port.accesses.clear();

        Click(panel, "C1");
        QCOMPARE(panel.port.Writes().size(), std::size_t(110));
        QCOMPARE(Captions(panel), QStringLiteral("10"));
        QCOMPARE(Shown(panel), Expected(QStringLiteral("10")));
        QCOMPARE(status->text(), QStringLiteral("Port 888: wrote 0x01, read back 0x00 after 110 attempts"));
        QCOMPARE(status->palette().color(QPalette::WindowText), QColor(Qt::red));

        panel.port.stuckRead.reset();
        Click(panel, "C1");
        QCOMPARE(Captions(panel), QStringLiteral("00"));
        QCOMPARE(status->text(), QStringLiteral("Port 888 (0x378): fake port"));
        QCOMPARE(status->palette().color(QPalette::WindowText), normal);
    }

    void readErrorChangesNothing()
    {
        Panel panel;
        QVERIFY(panel.Show());
        Reach(panel, QStringLiteral("10"));
        panel.messages.clear();
        panel.port.readError = "device gone";

        Click(panel, "C1");
        QCOMPARE(panel.messages.size(), 1);
        QVERIFY(panel.messages.first().contains(QStringLiteral("device gone")));
        QVERIFY(panel.port.Writes().empty());
        QCOMPARE(Captions(panel), QStringLiteral("10"));
        QCOMPARE(Shown(panel), Expected(QStringLiteral("10")));

        // The program goes on with the next click.
        panel.port.readError.clear();
        Click(panel, "C1");
        QCOMPARE(Trace(panel.port.accesses), QStringLiteral("r888:01 w888:00 r888:00"));
        QCOMPARE(Captions(panel), QStringLiteral("00"));
        QCOMPARE(Shown(panel), Expected(QStringLiteral("00")));
        QCOMPARE(panel.messages.size(), 1);
    }

    void linesLandOnContactDots_data()
    {
        QTest::addColumn<QString>("state");

        QTest::newRow("(0,0)") << "00";
        QTest::newRow("(1,0)") << "10";
        QTest::newRow("(0,1)") << "01";
    }

    void linesLandOnContactDots()
    {
        QFETCH(QString, state);

        Panel panel;
        QVERIFY(panel.Show());
        Reach(panel, state);
        const QImage drawn = panel.Find<QWidget>(QStringLiteral("Picture2"))->grab().toImage();

        QImage plain(288, 200, QImage::Format_RGB32);
        plain.fill(Qt::white);
        QPainter painter(&plain);
        QSvgRenderer(QStringLiteral(":/schematic.svg")).render(&painter, QRectF(0, 0, 288, 200));
        painter.end();

        const QPointF freeEnd(2350 / 15.0, 600 / 15.0); // the lifted contact touches nothing
        for (const LineControl* line : Lines(panel)) {
            for (const QPointF end : {QPointF(line->X1(), line->Y1()) / 15.0, QPointF(line->X2(), line->Y2()) / 15.0}) {
                const QByteArray where = QStringLiteral("%1 at (%2, %3) px").arg(line->objectName()).arg(end.x()).arg(end.y()).toLatin1();
                QVERIFY2(AnyNear(drawn, end, 2, IsBlue), where.constData());
                if (end != freeEnd)
                    QVERIFY2(AnyNear(plain, end, 5, IsDot), where.constData());
            }
        }
    }
};

QTEST_MAIN(ControlBitsTest)
#include "tst_controlbits.moc"

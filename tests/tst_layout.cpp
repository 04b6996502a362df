#include "Panel.h"
#include "PictureBox.h"
#include "Schematic.h"

#include <QApplication>
#include <QComboBox>
#include <QFontInfo>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QSvgRenderer>
#include <QTest>

#include <algorithm>
#include <cmath>

using namespace Qt::StringLiterals;

namespace {

// 15 twips to a pixel at 96 dpi, to the nearest pixel.
int Px(int twips)
{
    return static_cast<int>(std::lround(twips / 15.0));
}

QString TextOf(const QWidget* w)
{
    if (auto* label = qobject_cast<const QLabel*>(w))
        return label->text();
    if (auto* button = qobject_cast<const QAbstractButton*>(w))
        return button->text();
    if (auto* box = qobject_cast<const QGroupBox*>(w))
        return box->title();
    if (auto* edit = qobject_cast<const QLineEdit*>(w))
        return edit->text();
    if (auto* combo = qobject_cast<const QComboBox*>(w))
        return combo->currentText();
    return {};
}

QString RightTrimmed(QString text)
{
    while (text.endsWith(QLatin1Char(' ')))
        text.chop(1);
    return text;
}

bool Dark(QRgb pixel)
{
    return qGray(pixel) < 100;
}

bool Blue(QRgb pixel)
{
    return qBlue(pixel) > 180 && qRed(pixel) < 110 && qGreen(pixel) < 110;
}

// A filled contact dot: a dark pixel whose eight neighbours are dark too
// (the drawing's strokes are one pixel wide), centred within `radius`.
bool DotNear(const QImage& image, QPointF point, double radius)
{
    for (int y = int(point.y() - radius) - 1; y <= int(point.y() + radius) + 1; ++y)
        for (int x = int(point.x() - radius) - 1; x <= int(point.x() + radius) + 1; ++x) {
            if (std::hypot(x + 0.5 - point.x(), y + 0.5 - point.y()) > radius)
                continue;
            bool filled = true;
            for (int dy = -1; dy <= 1 && filled; ++dy)
                for (int dx = -1; dx <= 1 && filled; ++dx)
                    filled = image.valid(x + dx, y + dy) && Dark(image.pixel(x + dx, y + dy));
            if (filled)
                return true;
        }
    return false;
}

double DistanceToSegment(QPointF p, QPointF a, QPointF b)
{
    const QPointF ab = b - a;
    const double t = std::clamp(QPointF::dotProduct(p - a, ab) / QPointF::dotProduct(ab, ab), 0.0, 1.0);
    const QPointF d = p - (a + t * ab);
    return std::hypot(d.x(), d.y());
}

QLineF InPixels(const Segment& s)
{
    return {s.x1 / 15.0, s.y1 / 15.0, s.x2 / 15.0, s.y2 / 15.0};
}

const QString kWarning = QStringLiteral("The state C1=1 & C2=1 is not available for the selected model !");

} // namespace

class LayoutTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void controlsMatchTheLayout_data();
    void controlsMatchTheLayout();
    void windowAndColours();
    void statusLineUsesTheFreeStrip();
    void modelFieldBeforeLoad();
    void focusOrder();
    void clicksOnLabelsAndPicturesLeaveTheFocus();
    void textsFitTheirBoxes();
    void linesStartTerminated();
    void contactDotsLieUnderTheLineEnds();
    void schematicShowsThePictureAndTheLines();

private:
    template <typename T = QWidget>
    T* Get(const char* name) { return panel->Find<T>(QLatin1String(name)); }

    std::unique_ptr<Panel> panel;
};

void LayoutTest::init()
{
    panel = std::make_unique<Panel>();
    QVERIFY(panel->Show());
    panel->form->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(panel->form.get()));
}

void LayoutTest::cleanup()
{
    panel.reset();
}

void LayoutTest::controlsMatchTheLayout_data()
{
    QTest::addColumn<QByteArray>("kind");
    QTest::addColumn<QString>("container");
    QTest::addColumn<QRect>("twips");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("tooltip");
    QTest::addColumn<int>("pixelSize"); // 0: no text of its own
    QTest::addColumn<bool>("bold");
    QTest::addColumn<bool>("underline");
    QTest::addColumn<int>("align"); // horizontal alignment, 0: not a label

    const QString window = QStringLiteral("SwitchForm");
    const QString frame = QStringLiteral("Frame1");
    const QString change = QStringLiteral("Click to change");
    const int left = Qt::AlignLeft, centre = Qt::AlignHCenter;
    auto row = [](const char* name) -> QTestData& { return QTest::newRow(name); };

    row("ParallelText") << QByteArray("QLineEdit") << window << QRect(6120, 1440, 975, 285) << u"888"_s
                        << u"Control Panel -> Settings -> Device Manager -> Ports -> LPT-> Resources -> I/O Range "_s
                        << 11 << false << false << 0;
    row("Picture2") << QByteArray("PictureBox") << window << QRect(4680, 2400, 4335, 3015) << u""_s << u""_s << 0 << false << false << 0;
    row("Frame1") << QByteArray("QGroupBox") << window << QRect(840, 2280, 2175, 1335) << u"Control Bits:   "_s << u""_s
                  << 13 << false << true << 0;
    row("C1") << QByteArray("QPushButton") << frame << QRect(550, 600, 375, 375) << u"0"_s << change << 16 << true << false << 0;
    row("C2") << QByteArray("QPushButton") << frame << QRect(1320, 600, 375, 375) << u"0"_s << change << 16 << true << false << 0;
    row("Label1_0") << QByteArray("QLabel") << frame << QRect(550, 360, 375, 255) << u"C1"_s << u""_s << 13 << false << false << centre;
    row("Label1_1") << QByteArray("QLabel") << frame << QRect(1320, 360, 375, 255) << u"C2"_s << u""_s << 13 << false << false << centre;
    row("ModelCombo") << QByteArray("QComboBox") << window << QRect(840, 1560, 2175, 360) << u"QTR7-415KM"_s << u"Choose  Model"_s
                      << 13 << false << false << 0;
    row("Command2") << QByteArray("QPushButton") << window << QRect(8640, 1440, 855, 375) << u"Help"_s << u""_s << 11 << false << false << 0;
    row("Picture1") << QByteArray("PictureBox") << window << QRect(0, 0, 9735, 1215) << u""_s << u""_s << 0 << false << false << 0;
    row("Label3") << QByteArray("QLabel") << window << QRect(7080, 1440, 615, 255) << u"(Dec)"_s << u""_s << 11 << false << false << left;
    row("Label2") << QByteArray("QLabel") << window << QRect(4800, 1440, 1215, 255) << u"Parallel Address: "_s << u""_s
                  << 11 << false << false << left;
    row("WarningLabel") << QByteArray("QLabel") << window << QRect(240, 4440, 4335, 735) << kWarning << u""_s << 16 << true << false << left;
    row("Label4") << QByteArray("QLabel") << window << QRect(840, 1320, 1455, 255) << u"Select Model:"_s << u""_s << 11 << true << false << left;
}

void LayoutTest::controlsMatchTheLayout()
{
    QFETCH(QByteArray, kind);
    QFETCH(QString, container);
    QFETCH(QRect, twips);
    QFETCH(QString, text);
    QFETCH(QString, tooltip);
    QFETCH(int, pixelSize);
    QFETCH(bool, bold);
    QFETCH(bool, underline);
    QFETCH(int, align);

    auto* w = panel->Find<QWidget>(QString::fromLatin1(QTest::currentDataTag()));
    QVERIFY(w);
    QVERIFY2(w->inherits(kind), w->metaObject()->className());
    QCOMPARE(w->parentWidget()->objectName(), container);
    QCOMPARE(w->geometry(), QRect(Px(twips.x()), Px(twips.y()), Px(twips.width()), Px(twips.height())));
    QCOMPARE(TextOf(w), text);
    QCOMPARE(w->toolTip(), tooltip);
    if (pixelSize) {
        const QFontInfo info(w->font());
        QCOMPARE(info.pixelSize(), pixelSize);
        QCOMPARE(info.bold(), bold);
        QCOMPARE(info.underline(), underline);
        QCOMPARE(w->font().italic(), false);
    }
    if (align)
        QCOMPARE(int(qobject_cast<QLabel*>(w)->alignment() & Qt::AlignHorizontal_Mask), align);
}

void LayoutTest::windowAndColours()
{
    SwitchForm& form = *panel->form;
    QCOMPARE(form.windowTitle(), QStringLiteral("Switch     Rev. A1"));
    QCOMPARE(form.size(), QSize(650, 409));
    QCOMPARE(form.minimumSize(), QSize(650, 409));
    QCOMPARE(form.maximumSize(), QSize(650, 409));
    QCOMPARE(QFontInfo(form.font()).pixelSize(), 11);
    QCOMPARE(QFontInfo(form.font()).bold(), false);

    QCOMPARE(Get("Frame1")->palette().color(QPalette::WindowText), QColor(128, 0, 0));
    QCOMPARE(Get("WarningLabel")->palette().color(QPalette::WindowText), QColor(255, 0, 0));
    // The frame's dark red stays on its title: labels and buttons inside keep the usual colours.
    const QPalette standard = QApplication::palette();
    QCOMPARE(Get("Label1_0")->palette().color(QPalette::WindowText), standard.color(QPalette::WindowText));
    QCOMPARE(Get("Label1_1")->palette().color(QPalette::WindowText), standard.color(QPalette::WindowText));
    QCOMPARE(Get("C1")->palette().color(QPalette::ButtonText), standard.color(QPalette::ButtonText));

    auto* picture = Get("Picture2");
    for (const char* name : {"Line1", "Line2", "Line3"}) {
        auto* line = picture->findChild<LineControl*>(QLatin1String(name), Qt::FindDirectChildrenOnly);
        QVERIFY2(line, name);
        QCOMPARE(line->BorderColor, QColor(0, 0, 255));
        QCOMPARE(line->BorderWidth, 2);
    }

    QVERIFY(Get("WarningLabel")->isHidden());
    QCOMPARE(Get<QPushButton>("C1")->text(), QStringLiteral("0"));
    QCOMPARE(Get<QPushButton>("C2")->text(), QStringLiteral("0"));
    QCOMPARE(Get<QLabel>("WarningLabel")->text().count(QLatin1Char('&')), 1);
    QVERIFY(Get<QLabel>("WarningLabel")->buddy() == nullptr); // "&" shown as is, no access key
}

void LayoutTest::statusLineUsesTheFreeStrip()
{
    auto* status = Get<QLabel>("PortStatus");
    QVERIFY(status);
    QCOMPARE(status->parentWidget(), panel->form.get());
    QVERIFY(panel->form->rect().contains(status->geometry()));
    for (auto* other : panel->form->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        if (other != status)
            QVERIFY2(!other->geometry().intersects(status->geometry()), qPrintable(other->objectName()));
}

void LayoutTest::modelFieldBeforeLoad()
{
    Panel fresh;
    auto* combo = fresh.Find<QComboBox>(QStringLiteral("ModelCombo"));
    QVERIFY(combo->isEditable());
    QCOMPARE(combo->currentText(), QStringLiteral("QTR7-415KM"));
    QCOMPARE(combo->count(), 0);
}

void LayoutTest::focusOrder()
{
    QWidget* form = panel->form.get();
    auto focused = [form]() -> QString {
        QWidget* w = QApplication::focusWidget();
        while (w && w->parentWidget() && w->parentWidget() != form && w->parentWidget()->objectName() != QLatin1String("Frame1"))
            w = w->parentWidget();
        return w ? w->objectName() : QString();
    };
    QCOMPARE(focused(), QStringLiteral("ModelCombo"));
    for (const char* next : {"Command2", "C1", "C2", "ParallelText", "ModelCombo"}) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        QCOMPARE(focused(), QLatin1String(next));
    }
    for (const char* name : {"Label1_0", "Label1_1", "Label2", "Label3", "Label4", "WarningLabel", "PortStatus",
                             "Frame1", "Picture1", "Picture2"})
        QVERIFY2(Get(name)->focusPolicy() == Qt::NoFocus, name);
}

void LayoutTest::clicksOnLabelsAndPicturesLeaveTheFocus()
{
    auto* address = Get("ParallelText");
    address->setFocus();
    QVERIFY(address->hasFocus());
    panel->port.accesses.clear();
    for (const char* name : {"Label1_0", "Label2", "Label3", "Label4", "PortStatus", "Picture1", "Picture2"}) {
        QTest::mouseClick(Get(name), Qt::LeftButton);
        QVERIFY2(address->hasFocus(), name);
    }
    QTest::mouseClick(Get("Frame1"), Qt::LeftButton, {}, QPoint(4, Get("Frame1")->height() - 4));
    QVERIFY(address->hasFocus());
    QVERIFY(panel->port.accesses.empty());
}

void LayoutTest::textsFitTheirBoxes()
{
    auto report = [](const QWidget* w, const QFont& font, int need, int have) {
        return QStringLiteral("%1: text needs %2 px, box has %3 px (font \"%4\" %5 px)")
            .arg(w->objectName()).arg(need).arg(have).arg(QFontInfo(font).family()).arg(QFontInfo(font).pixelSize());
    };
    for (const char* name : {"ParallelText", "Frame1", "C1", "C2", "Label1_0", "Label1_1", "ModelCombo", "Command2",
                             "Label3", "Label2", "Label4"}) {
        QWidget* w = Get(name);
        QWidget* box = w;
        if (auto* combo = qobject_cast<QComboBox*>(w))
            box = combo->lineEdit(); // the drop-down arrow takes the rest
        const QFontMetrics metrics(w->font());
        const int need = metrics.horizontalAdvance(RightTrimmed(TextOf(w)));
        QVERIFY2(need <= box->width(), qPrintable(report(w, w->font(), need, box->width())));
        if (qobject_cast<QLabel*>(w))
            QVERIFY2(metrics.height() <= w->height(), qPrintable(report(w, w->font(), metrics.height(), w->height())));
    }
    auto* warning = Get<QLabel>("WarningLabel");
    QVERIFY(warning->wordWrap());
    const QRect box(0, 0, 289, 49);
    const QRect needed = QFontMetrics(warning->font()).boundingRect(box, Qt::TextWordWrap, warning->text());
    QVERIFY2(box.contains(needed),
             qPrintable(QStringLiteral("warning needs %1x%2 px in 289x49 (font \"%3\")")
                            .arg(needed.width()).arg(needed.height()).arg(QFontInfo(warning->font()).family())));
}

void LayoutTest::linesStartTerminated()
{
    const ContactLines expected = ContactLinesFor(SwitchState::AllTerminated);
    const char* names[] = {"Line1", "Line2", "Line3"};
    for (int i = 0; i < 3; ++i) {
        auto* line = panel->form->findChild<LineControl*>(QLatin1String(names[i]));
        QVERIFY2(line, names[i]);
        QCOMPARE(Segment({line->X1(), line->Y1(), line->X2(), line->Y2()}), expected[i]);
    }
}

void LayoutTest::contactDotsLieUnderTheLineEnds()
{
    QSvgRenderer schematic(QStringLiteral(":/schematic.svg"));
    QVERIFY(schematic.isValid());
    QCOMPARE(schematic.defaultSize(), QSize(288, 200));
    QCOMPARE(QSvgRenderer(QStringLiteral(":/banner.svg")).defaultSize(), QSize(650, 80));

    QImage image(288, 200, QImage::Format_ARGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    schematic.render(&painter, QRectF(0, 0, 288, 200));
    painter.end();

    // The lifted contact's free end touches nothing.
    const QPointF freeEnd(2350 / 15.0, 600 / 15.0);
    QVERIFY(!DotNear(image, freeEnd, 5));
    for (auto state : {SwitchState::AllTerminated, SwitchState::CommonToRf1, SwitchState::CommonToRf2})
        for (const Segment& s : ContactLinesFor(state)) {
            const QLineF line = InPixels(s);
            for (const QPointF end : {line.p1(), line.p2()})
                if (end != freeEnd)
                    QVERIFY2(DotNear(image, end, 5),
                             qPrintable(QStringLiteral("no contact dot near (%1, %2) px").arg(end.x()).arg(end.y())));
        }
}

void LayoutTest::schematicShowsThePictureAndTheLines()
{
    const QImage shot = Get("Picture2")->grab().toImage().convertToFormat(QImage::Format_ARGB32);
    QCOMPARE(shot.size(), QSize(289, 201));

    QImage picture(288, 200, QImage::Format_ARGB32);
    picture.fill(Qt::white);
    QPainter painter(&picture);
    QSvgRenderer(QStringLiteral(":/schematic.svg")).render(&painter, QRectF(0, 0, 288, 200));
    painter.end();

    const ContactLines lines = ContactLinesFor(SwitchState::AllTerminated);
    for (const Segment& s : lines) {
        const QLineF line = InPixels(s);
        for (double t : {0.2, 0.5, 0.8}) {
            const QPoint p = line.pointAt(t).toPoint();
            QVERIFY2(Blue(shot.pixel(p)), qPrintable(QStringLiteral("no blue at (%1, %2)").arg(p.x()).arg(p.y())));
        }
    }

    // Away from the lines the box shows the picture as drawn, from its top-left corner.
    int differing = 0;
    for (int y = 0; y < 200; ++y)
        for (int x = 0; x < 288; ++x) {
            const QPointF centre(x + 0.5, y + 0.5);
            bool nearLine = false;
            for (const Segment& s : lines)
                nearLine = nearLine || DistanceToSegment(centre, InPixels(s).p1(), InPixels(s).p2()) < 3;
            const QRgb a = shot.pixel(x, y), b = picture.pixel(x, y);
            if (!nearLine && (std::abs(qRed(a) - qRed(b)) > 8 || std::abs(qGreen(a) - qGreen(b)) > 8 || std::abs(qBlue(a) - qBlue(b)) > 8))
                ++differing;
        }
    QCOMPARE(differing, 0);
}

QTEST_MAIN(LayoutTest)
#include "tst_layout.moc"

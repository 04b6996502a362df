#include "Panel.h"

#include <QApplication>
#include <QComboBox>
#include <QFontInfo>
#include <QGroupBox>
#include <QLineEdit>
#include <QSvgRenderer>

#include <cmath>
#include <optional>

using namespace Qt::StringLiterals;

namespace {

// The caption, title, typed or shown text, whichever the control has.
QString TextOf(const QWidget* w)
{
    return w->property(qobject_cast<const QGroupBox*>(w) ? "title" : qobject_cast<const QComboBox*>(w) ? "currentText" : "text").toString();
}

} // namespace

class LayoutTest : public QObject
{
    Q_OBJECT

    std::optional<Panel> panel;
    QWidget* Get(const char* name) { return panel->Find(QLatin1String(name)); }
    QColor Colour(const char* name, QPalette::ColorRole role = QPalette::WindowText) { return Get(name)->palette().color(role); }

private slots:
    void init()
    {
        panel.emplace();
        QVERIFY(panel->Show() && panel->Activate());
    }

    void cleanup() { panel.reset(); }

    void controls_data()
    {
        QTest::addColumn<QByteArray>("kind");
        QTest::addColumn<QString>("container");
        QTest::addColumn<QRect>("twips");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("tooltip");
        QTest::addColumn<int>("pixelSize"); // 0: no text of its own
        QTest::addColumn<QString>("style"); // b: bold, u: underlined
        QTest::addColumn<int>("align");     // of a label's text
        const QString form = u"SwitchForm"_s, frame = u"Frame1"_s, change = u"Click to change"_s;
        const int left = Qt::AlignLeft, centre = Qt::AlignHCenter;
        QTest::newRow("ParallelText") << "QLineEdit"_ba << form << QRect(6120, 1440, 975, 285) << u"888"_s
                                      << u"Control Panel -> Settings -> Device Manager -> Ports -> LPT-> Resources -> I/O Range "_s << 11 << u""_s << 0;
        QTest::newRow("Picture2") << "PictureBox"_ba << form << QRect(4680, 2400, 4335, 3015) << u""_s << u""_s << 0 << u""_s << 0;
        QTest::newRow("Frame1") << "QGroupBox"_ba << form << QRect(840, 2280, 2175, 1335) << u"Control Bits:   "_s << u""_s << 13 << u"u"_s << 0;
        QTest::newRow("C1") << "QPushButton"_ba << frame << QRect(550, 600, 375, 375) << u"0"_s << change << 16 << u"b"_s << 0;
        QTest::newRow("C2") << "QPushButton"_ba << frame << QRect(1320, 600, 375, 375) << u"0"_s << change << 16 << u"b"_s << 0;
        QTest::newRow("Label1_0") << "QLabel"_ba << frame << QRect(550, 360, 375, 255) << u"C1"_s << u""_s << 13 << u""_s << centre;
        QTest::newRow("Label1_1") << "QLabel"_ba << frame << QRect(1320, 360, 375, 255) << u"C2"_s << u""_s << 13 << u""_s << centre;
        QTest::newRow("ModelCombo") << "QComboBox"_ba << form << QRect(840, 1560, 2175, 360) << u"QTR7-415KM"_s << u"Choose  Model"_s << 13 << u""_s << 0;
        QTest::newRow("Command2") << "QPushButton"_ba << form << QRect(8640, 1440, 855, 375) << u"Help"_s << u""_s << 11 << u""_s << 0;
        QTest::newRow("Picture1") << "PictureBox"_ba << form << QRect(0, 0, 9735, 1215) << u""_s << u""_s << 0 << u""_s << 0;
        QTest::newRow("Label3") << "QLabel"_ba << form << QRect(7080, 1440, 615, 255) << u"(Dec)"_s << u""_s << 11 << u""_s << left;
        QTest::newRow("Label2") << "QLabel"_ba << form << QRect(4800, 1440, 1215, 255) << u"Parallel Address: "_s << u""_s << 11 << u""_s << left;
        QTest::newRow("WarningLabel") << "QLabel"_ba << form << QRect(240, 4440, 4335, 735)
                                      << u"The state C1=1 & C2=1 is not available for the selected model !"_s << u""_s << 16 << u"b"_s << left;
        QTest::newRow("Label4") << "QLabel"_ba << form << QRect(840, 1320, 1455, 255) << u"Select Model:"_s << u""_s << 11 << u"b"_s << left;
    }

    void controls()
    {
        QFETCH(QByteArray, kind);
        QFETCH(QRect, twips);
        QFETCH(int, pixelSize);
        QFETCH(QString, style);
        QFETCH(int, align);
        QWidget* w = Get(QTest::currentDataTag());
        QVERIFY(w);
        QVERIFY2(w->inherits(kind), w->metaObject()->className());
        QTEST(w->parentWidget()->objectName(), "container");
        const auto px = [](int twips) { return int(std::lround(twips / 15.0)); };
        QCOMPARE(w->geometry(), QRect(px(twips.x()), px(twips.y()), px(twips.width()), px(twips.height())));
        QTEST(TextOf(w), "text");
        QTEST(w->toolTip(), "tooltip");
        const QFontInfo font(w->font());
        if (pixelSize)
            QCOMPARE(QStringLiteral("%1 px%2%3%4").arg(font.pixelSize()).arg(font.bold() ? "b" : "").arg(font.underline() ? "u" : "").arg(font.italic() ? "i" : ""),
                     QStringLiteral("%1 px%2").arg(pixelSize).arg(style));
        if (align)
            QCOMPARE(int(qobject_cast<QLabel*>(w)->alignment() & Qt::AlignHorizontal_Mask), align);
    }

    void windowAndColours()
    {
        SwitchForm& form = *panel->form;
        QCOMPARE(form.windowTitle(), u"Switch     Rev. A1"_s);
        QCOMPARE(form.minimumSize(), QSize(650, 409));
        QCOMPARE(form.maximumSize(), QSize(650, 409));
        QCOMPARE(QFontInfo(form.font()).pixelSize(), 11);
        QVERIFY(!QFontInfo(form.font()).bold());
        QCOMPARE(Colour("Frame1"), QColor(128, 0, 0));
        QCOMPARE(Colour("WarningLabel"), QColor(255, 0, 0));
        // The frame's dark red stays on its title.
        QCOMPARE(Colour("Label1_0"), QApplication::palette().color(QPalette::WindowText));
        QCOMPARE(Colour("C1", QPalette::ButtonText), QApplication::palette().color(QPalette::ButtonText));
        for (int i = 1; i <= 3; ++i) {
            auto* line = Get("Picture2")->findChild<LineControl*>(QStringLiteral("Line%1").arg(i), Qt::FindDirectChildrenOnly);
            QVERIFY(line && line->BorderColor == QColor(0, 0, 255) && line->BorderWidth == 2);
        }
        QVERIFY(Get("WarningLabel")->isHidden());
        QVERIFY(static_cast<QLabel*>(Get("WarningLabel"))->wordWrap());
        QVERIFY(!static_cast<QLabel*>(Get("WarningLabel"))->buddy()); // "&" shown as it is
        QCOMPARE(QSvgRenderer(u":/schematic.svg"_s).defaultSize(), QSize(288, 200));
        QCOMPARE(QSvgRenderer(u":/banner.svg"_s).defaultSize(), QSize(650, 80));
    }

    void statusLineUsesTheFreeStrip()
    {
        QLabel* status = panel->Status();
        QCOMPARE(status->parentWidget(), panel->form.get());
        QVERIFY(panel->form->rect().contains(status->geometry()));
        for (auto* other : panel->form->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
            QVERIFY2(other == status || !other->geometry().intersects(status->geometry()), qPrintable(other->objectName()));
    }

    void focusOrder()
    {
        const auto focused = [this] {
            QWidget* w = QApplication::focusWidget();
            while (w && w->parentWidget() != panel->form.get() && w->parentWidget()->objectName() != "Frame1"_L1)
                w = w->parentWidget();
            return w ? w->objectName() : QString();
        };
        QCOMPARE(focused(), u"ModelCombo"_s);
        for (const char* next : {"Command2", "C1", "C2", "ParallelText", "ModelCombo"}) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QCOMPARE(focused(), QLatin1String(next));
        }
        // A click on these would otherwise take the focus from the address box, and so take the address.
        for (const char* name : {"Label1_0", "Label1_1", "Label2", "Label3", "Label4", "WarningLabel", "PortStatus", "Frame1", "Picture1", "Picture2"})
            QVERIFY2(Get(name)->focusPolicy() == Qt::NoFocus, name);
    }
};

QTEST_MAIN(LayoutTest)
#include "tst_layout.moc"

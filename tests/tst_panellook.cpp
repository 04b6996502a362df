#include "Contrast.h"
#include "Fonts.h"
#include "HelpWindow.h"
#include "Panel.h"

#include <QApplication>
#include <QComboBox>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGroupBox>
#include <QLineEdit>
#include <QPlainTextEdit>

#include <cmath>
#include <optional>

using namespace Qt::StringLiterals;

// What a new user meets: captions readable under any desktop theme and in
// whatever face stands in, a model list that stays as it is, keys that work.
class PanelLookTest : public QObject
{
    Q_OBJECT

    const QStringList families = PanelFamilies();
    const QPalette desktop = QApplication::palette();

private slots:
    void cleanup()
    {
        PanelFamilies() = families;
        QApplication::setPalette(desktop);
        if (HelpWindow())
            HelpWindow()->close();
    }

    void darkDesktopCannotHideCaptions_data()
    {
        QTest::addColumn<QRect>("strip"); // where the caption is drawn, in the window
        QTest::newRow("Frame1") << QRect(56, 152, 145, 16);
        QTest::newRow("Label1_0") << QRect(93, 176, 25, 17);
        QTest::newRow("Label4") << QRect(56, 88, 97, 17);
        QTest::newRow("Label2") << QRect(320, 96, 81, 17);
        QTest::newRow("Label3") << QRect(472, 96, 41, 17);
    }

    void darkDesktopCannotHideCaptions()
    {
        QFETCH(QRect, strip);
        QPalette dark(QColor(45, 45, 45)); // light text on a dark face
        QApplication::setPalette(dark);
        Panel panel;
        QVERIFY(panel.Show());
        const QImage shot = panel.form->grab(strip).toImage();
        QVERIFY2(Background(shot).lightnessF() > 0.8, qPrintable(Background(shot).name()));
        QVERIFY2(InkContrast(shot) >= 4.5, qPrintable(u"contrast %1"_s.arg(InkContrast(shot))));
    }

    // Every caption, label and help line fits its box in each face that can
    // stand in, measured at 100 % and at 200 % (at its own pixel size there).
    void everyTextFits_data()
    {
        QTest::addColumn<QString>("family"); // empty: a face that is not installed
        QTest::addColumn<int>("scale");
        const QStringList installed = QFontDatabase::families();
        for (const QString& family : {u"Liberation Sans"_s, u"DejaVu Sans"_s, u"FreeSans"_s, u"Noto Sans"_s, u""_s}) {
            if (!family.isEmpty() && !installed.contains(family))
                continue;
            for (int scale : {1, 2})
                QTest::addRow("%s %d%%", family.isEmpty() ? "missing face" : qPrintable(family), scale * 100) << family << scale;
        }
    }

    void everyTextFits()
    {
        QFETCH(QString, family);
        QFETCH(int, scale);
        PanelFamilies() = {family.isEmpty() ? u"No Such Face"_s : family};
        Panel panel;
        struct Box
        {
            const char* name;
            QString text;
            int width, height; // height 0: the line may take any
            bool wrap = false;
        };
        const Box boxes[] = {
            {"Label4", u"Select Model:"_s, 97, 17},
            {"Label2", u"Parallel Address:"_s, 81, 17},
            {"Label3", u"(Dec)"_s, 41, 17},
            {"Label1_0", u"C1"_s, 25, 17},
            {"Label1_1", u"C2"_s, 25, 17},
            {"WarningLabel", u"The state C1=1 & C2=1 is not available for the selected model !"_s, 289, 49, true},
            {"Frame1", u"Control Bits:"_s, 129, 0},   // set into the frame's top edge, 8 px in
            {"Command2", u"Help"_s, 49, 0},           // within the button's bevel
            {"C1", u"0"_s, 17, 0},
            {"ModelCombo", u"QTR7-415KM"_s, 116, 0},  // left of the arrow
            {"ParallelText", u"888"_s, 57, 0},
        };
        const auto check = [&](const QString& what, QFont font, const QString& text, QSize box, bool wrap) {
            if (!family.isEmpty())
                QCOMPARE(QFontInfo(font).family(), family);
            font.setPixelSize(font.pixelSize() * scale);
            const QFontMetricsF metrics(font);
            const QSizeF room = QSizeF(box.width(), box.height() ? box.height() : 1e6) * scale;
            const QSizeF needed = wrap ? metrics.boundingRect(QRectF(0, 0, room.width(), 1e6), Qt::TextWordWrap, text).size()
                                       : QSizeF(metrics.horizontalAdvance(text), metrics.height());
            QVERIFY2(std::ceil(needed.width()) <= room.width() && std::ceil(needed.height()) <= room.height(),
                     qPrintable(u"%1 needs %2x%3 px in %4x%5: \"%6\""_s.arg(what).arg(needed.width()).arg(needed.height())
                                    .arg(room.width()).arg(room.height()).arg(text)));
        };
        for (const Box& box : boxes) {
            QWidget* w = panel.Find(QLatin1String(box.name));
            QVERIFY(w);
            check(QLatin1String(box.name), w->font(), box.text, QSize(box.width, box.height), box.wrap);
        }
        // Each help line on a line of its own: 505 px, less the box's frame
        // and margins; trailing blanks take no room.
        Form1 help;
        const QFont font = help.findChild<QPlainTextEdit*>(u"Text1"_s)->font();
        for (QString line : HelpText().split(u"\r\n"_s)) {
            while (line.endsWith(u' '))
                line.chop(1);
            check(u"help line"_s, font, line, QSize(494, 0), false);
        }
    }

    void modelListKeepsItsEntry()
    {
        Panel panel;
        QVERIFY(panel.Show() && panel.Activate());
        auto* combo = panel.Find<QComboBox>(u"ModelCombo"_s);
        panel.port.Take();
        for (const QString& typed : {u"ABC-123"_s, u"QTR7-415KM x"_s}) {
            combo->lineEdit()->selectAll();
            QTest::keyClicks(combo->lineEdit(), typed);
            QTest::keyClick(combo->lineEdit(), Qt::Key_Return);
            QCOMPARE(combo->count(), 1);
            QCOMPARE(combo->itemText(0), u"QTR7-415KM"_s);
            QCOMPARE(combo->currentText(), typed);
        }
        QCOMPARE(panel.port.Take(), QString()); // the model never reaches the port
        QCOMPARE(panel.Captions(), u"00"_s);
    }

    void enterPressesFocusedButton_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<int>("key");
        QTest::addColumn<QString>("captions");
        QTest::addColumn<bool>("helpShown");
        QTest::newRow("C1, Return") << u"C1"_s << int(Qt::Key_Return) << u"10"_s << false;
        QTest::newRow("C2, keypad Enter") << u"C2"_s << int(Qt::Key_Enter) << u"01"_s << false;
        QTest::newRow("Command2, Return") << u"Command2"_s << int(Qt::Key_Return) << u"00"_s << true;
    }

    void enterPressesFocusedButton()
    {
        QFETCH(QString, button);
        QFETCH(int, key);
        Panel panel;
        QVERIFY(panel.Show() && panel.Activate());
        panel.Find(button)->setFocus(Qt::TabFocusReason);
        QCOMPARE(QApplication::focusWidget(), panel.Find(button));
        QTest::keyClick(QApplication::focusWidget(), Qt::Key(key));
        QTEST(panel.Captions(), "captions");
        QTEST(HelpWindow() && HelpWindow()->isVisible(), "helpShown");
    }
};

QTEST_MAIN(PanelLookTest)
#include "tst_panellook.moc"

#include "Contrast.h"
#include "HelpWindow.h"
#include "Panel.h"

#include <QApplication>
#include <QPlainTextEdit>
#include <QScreen>
#include <QSignalSpy>
#include <QTextBlock>
#include <QTimer>

#include <algorithm>
#include <cmath>
#include <optional>

using namespace Qt::StringLiterals;

class HelpTest : public QObject
{
    Q_OBJECT

    std::optional<Panel> panel;

    // Clicks "Help" and waits for the help window to become the active one.
    bool ClickHelp()
    {
        panel->Click("Command2");
        return HelpWindow() && QTest::qWaitForWindowActive(HelpWindow());
    }
    static QPlainTextEdit* Text1() { return HelpWindow()->findChild<QPlainTextEdit*>(u"Text1"_s); }
    // What the box shows: the same lines, broken by plain line feeds.
    static QString Shown() { return HelpText().replace(u"\r\n"_s, u"\n"_s); }

private slots:
    void init() { panel.emplace(); QVERIFY(panel->Show()); }
    void cleanup() { if (HelpWindow()) HelpWindow()->close(); panel.reset(); }

    void oneWindowInFrontAndBackTheSame()
    {
        for (int click = 0; click < 3; ++click) {
            QVERIFY(ClickHelp());
            QVERIFY(panel->Activate()); // so the next click has to bring it forward again
        }
        HelpWindow()->showMinimized(); // out of sight is not in front either
        QVERIFY(ClickHelp() && !HelpWindow()->isMinimized());
        for (int shown = 0; shown < 2; ++shown) {
            QCOMPARE(HelpWindow()->windowTitle(), u"RF Switches - Help "_s);
            QCOMPARE(HelpWindow()->size(), QSize(518, 218));
            QVERIFY(!HelpWindow()->windowIcon().isNull());
            QCOMPARE(Text1()->geometry(), QRect(8, 16, 505, 185));
            QCOMPARE(Text1()->toPlainText(), Shown());
            QVERIFY(HelpWindow()->close());
            QVERIFY(ClickHelp());
        }
        QCOMPARE(std::ranges::count_if(QApplication::topLevelWidgets(), [](QWidget* w) { return qobject_cast<Form1*>(w); }), 1);
    }

    void exactText()
    {
        QCOMPARE(HelpText(), u"\r\n1.  Make sure to connect DC cable to DC voltage suplier.\r\n"
                             "     Make sure to connect the test board to LPT output of the PC (parallel output \r\n"
                             "     port for printer, 25 pin connector) by control cable supplied with test board.  \r\n"
                             "\r\n2.  Choose from list the RF Switch model.            \r\n\r\n"
                             "3.  Press the Control Bits buttons (C1, C2...Cn) to connect common port of the switch\r\n"
                             "     to needed RF port using the Switch's Truth Table from Catalog Spec. \r\n"
                             "     To change control signal value press again the same button.\r\n"
                             "     The selected switch state will be presented at the schematic diagram.\r\n"_s);
    }

    // Screenshots of both windows; every line within the box; no caret, selection or focus.
    void textShownWholeAndInert()
    {
        QVERIFY(ClickHelp());
        QCOMPARE(HelpWindow()->grab().size(), QSize(518, 218));
        QPlainTextEdit* text = Text1();
        QVERIFY(text->font().pixelSize() == 11 && text->font().bold()); // 8.25 pt at 96 dpi
        QCOMPARE(text->blockCount(), 12);
        const QRect box = text->viewport()->rect().adjusted(0, 0, 0, -int(std::ceil(text->document()->documentMargin())));
        for (QTextBlock block = text->document()->begin(); block.isValid(); block = block.next()) {
            QTextCursor end(block);
            end.movePosition(QTextCursor::EndOfBlock);
            QVERIFY2(text->cursorRect(QTextCursor(block)).top() >= 0 && box.contains(text->cursorRect(end).bottomLeft()),
                     qPrintable(u"line %1 is cut"_s.arg(block.blockNumber() + 1)));
        }
        const auto untouched = [&] {
            return !text->hasFocus() && QApplication::focusWidget() != text && !text->textCursor().hasSelection()
                && text->textCursor().position() == 0 && text->toPlainText() == Shown();
        };
        QTest::mouseClick(text->viewport(), Qt::LeftButton, {}, QPoint(60, 25));
        QVERIFY(untouched());
        QTest::keyClick(HelpWindow(), Qt::Key_Tab);
        QVERIFY(untouched());
        QTest::keyClicks(text, u"x y"_s);
        QTest::keyClick(text, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(text, Qt::Key_X, Qt::ControlModifier);
        QVERIFY(untouched());
    }

    // The text reads as text, not as a greyed-out box: at least 7:1.
    void textContrast()
    {
        QVERIFY(ClickHelp());
        const QImage shot = Text1()->grab().toImage();
        QVERIFY2(InkContrast(shot) >= 7, qPrintable(u"contrast %1"_s.arg(InkContrast(shot))));
    }

    // Screen, panel and help frames in screen pixels; the panel's controls
    // as laid out, moved with it.
    void position_data()
    {
        QTest::addColumn<QRect>("screen");
        QTest::addColumn<QPoint>("panel");
        QTest::addColumn<QPoint>("help");
        QTest::newRow("room on the right") << QRect(0, 0, 1920, 1080) << QPoint(100, 100) << QPoint(758, 100);
        QTest::newRow("right, moved up") << QRect(0, 0, 1920, 1080) << QPoint(100, 950) << QPoint(758, 862);
        QTest::newRow("room on the left") << QRect(0, 0, 1920, 1080) << QPoint(1200, 100) << QPoint(674, 100);
        QTest::newRow("second screen below a bar") << QRect(1920, 32, 1280, 992) << QPoint(1930, 40) << QPoint(2588, 40);
        QTest::newRow("1280 centred: below") << QRect(0, 0, 1280, 1024) << QPoint(315, 307) << QPoint(315, 724);
        QTest::newRow("1280, low: above") << QRect(0, 0, 1280, 1024) << QPoint(315, 600) << QPoint(315, 374);
        QTest::newRow("1024 centred: over the schematic") << QRect(0, 0, 1024, 768) << QPoint(187, 179) << QPoint(499, 322);
        QTest::newRow("800: the schematic and the warning's edge") << QRect(0, 0, 800, 600) << QPoint(0, 0) << QPoint(282, 143);
    }

    void position()
    {
        QFETCH(QRect, screen);
        QFETCH(QPoint, panel);
        QList<QRect> controls;
        for (const QRect& r : {QRect(56, 88, 97, 17), QRect(56, 104, 145, 24), QRect(56, 152, 145, 89), QRect(320, 96, 81, 17),
                               QRect(408, 96, 65, 19), QRect(472, 96, 41, 17), QRect(576, 96, 57, 25), QRect(16, 296, 289, 49),
                               QRect(16, 365, 618, 36)})
            controls << r.translated(panel);
        QTEST(HelpWindowPosition(screen, QRect(panel, QSize(650, 409)), QRect(panel + QPoint(312, 160), QSize(289, 201)),
                                 controls, QSize(518, 218)),
              "help");
    }

    // On the test screen as well: nothing it explains is hidden.
    void leavesTheControlsInSight()
    {
        QVERIFY(ClickHelp());
        const QRect help = HelpWindow()->frameGeometry();
        QVERIFY(panel->form->screen()->availableGeometry().contains(help));
        for (const char* name : {"Label4", "ModelCombo", "Frame1", "Label2", "ParallelText", "Label3", "Command2"}) {
            QWidget* control = panel->Find(QLatin1String(name));
            QVERIFY2(!help.intersects(QRect(control->mapToGlobal(QPoint(0, 0)), control->size())), name);
        }
    }

    void programRunsUntilBothWindowsAreClosed()
    {
        QVERIFY(ClickHelp());
        QSignalSpy lastClosed(qApp, &QGuiApplication::lastWindowClosed);
        QString afterPanel; // closing a window counts only while the program's event loop runs
        QTimer::singleShot(0, [&] {
            panel->form->close();
            afterPanel = u"%1 closed, help %2"_s.arg(lastClosed.count()).arg(HelpWindow()->isVisible() ? "shown" : "hidden");
            HelpWindow()->close();
            if (lastClosed.isEmpty())
                QCoreApplication::exit(1); // it would otherwise run on with no window
        });
        QCOMPARE(QApplication::exec(), 0);
        QCOMPARE(afterPanel, u"0 closed, help shown"_s);
        QCOMPARE(lastClosed.count(), 1);
    }
};

QTEST_MAIN(HelpTest)
#include "tst_help.moc"

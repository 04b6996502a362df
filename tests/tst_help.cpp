#include "Form1.h"
#include "Panel.h"

#include <QApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTextBlock>
#include <QTextLayout>
#include <QTimer>
#include <QtMath>

#include <algorithm>
#include <optional>

namespace {

int HelpWindowCount()
{
    const auto windows = QApplication::topLevelWidgets();
    return int(std::count_if(windows.cbegin(), windows.cend(), [](QWidget* w) { return qobject_cast<Form1*>(w); }));
}

QPlainTextEdit* Text1(Form1* help)
{
    return help->findChild<QPlainTextEdit*>(QStringLiteral("Text1"));
}

// What the box shows: the same lines, broken by plain line feeds.
QString Shown()
{
    return HelpText().replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

} // namespace

class HelpTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void threeClicksGiveOneWindowInFront();
    void closedWindowComesBackTheSame();
    void panelWorksWithHelpOpen();
    void textTakesNoInput_data();
    void textTakesNoInput();
    void exactTextAsAWhole();
    void exactText_data();
    void exactText();
    void everyLineFitsTheBox();
    void programRunsUntilBothWindowsAreClosed();

private:
    Form1* ClickHelp();

    std::optional<Panel> panel;
};

void HelpTest::init()
{
    panel.emplace();
    QVERIFY(panel->Show());
}

void HelpTest::cleanup()
{
    if (HelpWindow())
        HelpWindow()->close();
    panel.reset();
}

Form1* HelpTest::ClickHelp()
{
    QTest::mouseClick(panel->Find<QPushButton>(QStringLiteral("Command2")), Qt::LeftButton);
    return HelpWindow();
}

void HelpTest::threeClicksGiveOneWindowInFront()
{
    if (!HelpWindow())
        QCOMPARE(HelpWindowCount(), 0); // made on first use
    for (int click = 0; click < 3; ++click) {
        Form1* help = ClickHelp();
        QVERIFY(help && help->isVisible());
        QVERIFY(QTest::qWaitForWindowActive(help));
        QCOMPARE(QApplication::activeWindow(), help);
        QCOMPARE(HelpWindowCount(), 1);
        // Back to the panel, so the next click has to bring the help window forward again.
        panel->form->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(panel->form.get()));
    }
    HelpWindow()->showMinimized(); // out of sight is not in front either
    Form1* help = ClickHelp();
    QVERIFY(!help->isMinimized());
    QVERIFY(QTest::qWaitForWindowActive(help));
    QVERIFY(!help->windowIcon().pixmap(16, 16).isNull() && !help->windowIcon().pixmap(32, 32).isNull());
}

void HelpTest::closedWindowComesBackTheSame()
{
    for (int round = 0; round < 2; ++round) {
        Form1* help = ClickHelp();
        QVERIFY(QTest::qWaitForWindowActive(help));
        QCOMPARE(help->windowTitle(), QStringLiteral("RF Switches - Help "));
        QCOMPARE(help->size(), QSize(518, 218));
        QCOMPARE(Text1(help)->geometry(), QRect(8, 16, 505, 185));
        QCOMPARE(Text1(help)->toPlainText(), Shown());
        QVERIFY(help->close() && !help->isVisible());
    }
    QCOMPARE(HelpWindowCount(), 1);
}

void HelpTest::panelWorksWithHelpOpen()
{
    QVERIFY(QTest::qWaitForWindowActive(ClickHelp()));
    panel->port.accesses.clear();
    auto* c1 = panel->Find<QPushButton>(QStringLiteral("C1"));
    auto* c2 = panel->Find<QPushButton>(QStringLiteral("C2"));
    QTest::mouseClick(c1, Qt::LeftButton);
    QTest::mouseClick(c1, Qt::LeftButton);
    QTest::mouseClick(c2, Qt::LeftButton);
    auto* address = panel->Find<QLineEdit>(QStringLiteral("ParallelText"));
    address->setText(QStringLiteral("956"));
    QTest::keyClick(address, Qt::Key_Return);

    using K = PortAccess::Kind;
    const std::vector<PortAccess> writes{{K::Write, 888, 1}, {K::Write, 888, 0}, {K::Write, 888, 2},
                                         {K::Write, 958, 0}, {K::Write, 956, 0}};
    QVERIFY(panel->port.Writes() == writes);
    QCOMPARE(c1->text() + c2->text(), QStringLiteral("01"));
    QVERIFY(HelpWindow()->isVisible());
}

void HelpTest::textTakesNoInput_data()
{
    QTest::addColumn<int>("action");
    const char* rows[] = {"click", "double click", "drag over the text", "tab", "typing into the text",
                          "typing into the window", "select all, cut, delete"};
    for (int action = 0; action < 7; ++action)
        QTest::newRow(rows[action]) << action;
}

void HelpTest::textTakesNoInput()
{
    QFETCH(int, action);
    Form1* help = ClickHelp();
    QVERIFY(QTest::qWaitForWindowActive(help));
    QPlainTextEdit* text = Text1(help);
    QWidget* viewport = text->viewport();
    const QPoint onWords(60, 25);
    switch (action) {
    case 0: QTest::mouseClick(viewport, Qt::LeftButton, {}, onWords); break;
    case 1: QTest::mouseDClick(viewport, Qt::LeftButton, {}, onWords); break;
    case 2:
        QTest::mousePress(viewport, Qt::LeftButton, {}, onWords);
        QTest::mouseMove(viewport, QPoint(300, 120));
        QTest::mouseRelease(viewport, Qt::LeftButton, {}, QPoint(300, 120));
        break;
    case 3: QTest::keyClick(help, Qt::Key_Tab); QTest::keyClick(help, Qt::Key_Tab); break;
    case 4: QTest::keyClicks(text, QStringLiteral("x y")); QTest::keyClick(text, Qt::Key_Return); break;
    case 5: QTest::keyClicks(help, QStringLiteral("x y")); break;
    case 6:
        QTest::keyClick(text, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(text, Qt::Key_X, Qt::ControlModifier);
        QTest::keyClick(text, Qt::Key_Delete);
        break;
    }
    QVERIFY(!text->hasFocus() && QApplication::focusWidget() != text);
    QVERIFY(!text->textCursor().hasSelection());
    QCOMPARE(text->textCursor().position(), 0); // the caret never moved into the text
    QCOMPARE(text->toPlainText(), Shown());
}

void HelpTest::exactTextAsAWhole()
{
    const QString exact = HelpText();
    QCOMPARE(exact.size(), 594);
    QCOMPARE(exact.count(QStringLiteral("\r\n")), 11);
    QCOMPARE(exact.count(QLatin1Char('\r')), 11); // no lone CR or LF
    QCOMPARE(exact.count(QLatin1Char('\n')), 11);
    QCOMPARE(exact.split(QStringLiteral("\r\n")).size(), 12);
}

void HelpTest::exactText_data()
{
    QTest::addColumn<int>("line");
    QTest::addColumn<int>("leading");
    QTest::addColumn<int>("trailing");
    QTest::addColumn<QString>("text");
    const auto row = [](int line, int leading, int trailing, const char* text) {
        QTest::addRow("line %d", line) << line << leading << trailing << QString::fromLatin1(text);
    };
    row(1, 0, 0, "");
    row(2, 0, 0, "1.  Make sure to connect DC cable to DC voltage suplier.");
    row(3, 5, 1, "     Make sure to connect the test board to LPT output of the PC (parallel output ");
    row(4, 5, 2, "     port for printer, 25 pin connector) by control cable supplied with test board.  ");
    row(5, 0, 0, "");
    row(6, 0, 12, "2.  Choose from list the RF Switch model.            ");
    row(7, 0, 0, "");
    row(8, 0, 0, "3.  Press the Control Bits buttons (C1, C2...Cn) to connect common port of the switch");
    row(9, 5, 1, "     to needed RF port using the Switch's Truth Table from Catalog Spec. ");
    row(10, 5, 0, "     To change control signal value press again the same button.");
    row(11, 5, 0, "     The selected switch state will be presented at the schematic diagram.");
    row(12, 0, 0, "");
}

void HelpTest::exactText()
{
    QFETCH(int, line);
    QFETCH(int, leading);
    QFETCH(int, trailing);
    QFETCH(QString, text);
    const QString actual = HelpText().split(QStringLiteral("\r\n")).value(line - 1);
    QCOMPARE(actual, text);
    const auto spaces = [](auto first, auto last) {
        return int(std::find_if(first, last, [](QChar c) { return c != QLatin1Char(' '); }) - first);
    };
    QCOMPARE(spaces(actual.cbegin(), actual.cend()), leading);
    QCOMPARE(spaces(actual.crbegin(), actual.crend()), trailing);
    QCOMPARE(Text1(ClickHelp())->document()->findBlockByNumber(line - 1).text(), text);
}

void HelpTest::everyLineFitsTheBox()
{
    Form1* help = ClickHelp();
    QVERIFY(QTest::qWaitForWindowExposed(help));
    QCOMPARE(help->grab().size(), QSize(518, 218));
    QPlainTextEdit* text = Text1(help);
    QVERIFY(text->font().pixelSize() == 11 && text->font().bold()); // 8.25 pt at 96 dpi
    QVERIFY(!text->verticalScrollBar()->isVisible() && !text->horizontalScrollBar()->isVisible());
    QCOMPARE(text->verticalScrollBar()->value(), 0);
    QCOMPARE(text->blockCount(), 12);

    // What the box can show: its 505 x 185 less the frame and the document's margin.
    const int margin = qCeil(text->document()->documentMargin());
    const QRect box = text->viewport()->rect().adjusted(0, 0, 0, -margin);
    QVERIFY(box.width() <= 505 && box.height() <= 185 - margin);
    for (QTextBlock block = text->document()->begin(); block.isValid(); block = block.next()) {
        QTextCursor end(block);
        end.movePosition(QTextCursor::EndOfBlock);
        QVERIFY2(text->cursorRect(QTextCursor(block)).top() >= 0 && box.contains(text->cursorRect(end).bottomLeft()),
                 qPrintable(QStringLiteral("line %1 is cut").arg(block.blockNumber() + 1)));
        for (int i = 0; i < block.layout()->lineCount(); ++i)
            QVERIFY(block.layout()->lineAt(i).naturalTextWidth() <= box.width() - 2 * margin);
    }
}

void HelpTest::programRunsUntilBothWindowsAreClosed()
{
    QVERIFY(QApplication::quitOnLastWindowClosed());
    Form1* help = ClickHelp();
    QVERIFY(QTest::qWaitForWindowExposed(help));
    QSignalSpy lastClosed(qApp, &QGuiApplication::lastWindowClosed);

    // Closing windows counts only while the program's event loop runs.
    int afterPanel = -1;
    bool helpStayed = false;
    QTimer::singleShot(0, [&] {
        panel->form->close();
        afterPanel = int(lastClosed.count());
        helpStayed = help->isVisible();
        help->close();
        if (lastClosed.isEmpty())
            QCoreApplication::exit(1); // would otherwise run on with no window
    });
    QCOMPARE(QApplication::exec(), 0);
    QCOMPARE(afterPanel, 0);
    QVERIFY(helpStayed);
    QCOMPARE(lastClosed.count(), 1);
}

QTEST_MAIN(HelpTest)
#include "tst_help.moc"

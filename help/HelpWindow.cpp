#include "HelpWindow.h"

#include "Fonts.h"
#include "SvgIcon.h"
#include "Twips.h"

#include <QPlainTextEdit>
#include <QScreen>
#include <QStringList>

#include <algorithm>

namespace {

Form1* helpWindow = nullptr;

} // namespace

QString HelpText()
{
    static const QStringList lines = {
        QString(),
        QStringLiteral("1.  Make sure to connect DC cable to DC voltage suplier."),
        QStringLiteral("     Make sure to connect the test board to LPT output of the PC (parallel output "),
        QStringLiteral("     port for printer, 25 pin connector) by control cable supplied with test board.  "),
        QString(),
        QStringLiteral("2.  Choose from list the RF Switch model.            "),
        QString(),
        QStringLiteral("3.  Press the Control Bits buttons (C1, C2...Cn) to connect common port of the switch"),
        QStringLiteral("     to needed RF port using the Switch's Truth Table from Catalog Spec. "),
        QStringLiteral("     To change control signal value press again the same button."),
        QStringLiteral("     The selected switch state will be presented at the schematic diagram."),
        QString(),
    };
    return lines.join(QStringLiteral("\r\n"));
}

Form1::Form1(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(QStringLiteral("RF Switches - Help "));
    setWindowIcon(SvgIcon(QStringLiteral(":/help-icon.svg")));
    setFixedSize(PixelsFromTwips(7770), PixelsFromTwips(3270));

    Text1 = new QPlainTextEdit(this);
    Text1->setObjectName(QStringLiteral("Text1"));
    Text1->setGeometry(RectFromTwips(120, 240, 7575, 2775));
    Text1->setFont(PanelFont(8.25, QFont::Bold));
    Text1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Text1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Text1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    Text1->setWordWrapMode(QTextOption::WordWrap);
    // The widget keeps paragraphs apart by itself; CR LF is for the exact text.
    Text1->setPlainText(HelpText().replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    Text1->setReadOnly(true);
    Text1->setEnabled(false);
}

namespace {

// Beside the panel, on its right where the screen has room, else on its left.
void PlaceBeside(QWidget& window, const QWidget& panel)
{
    const QRect frame = panel.frameGeometry();
    const QScreen* screen = panel.screen();
    const QRect room = screen ? screen->availableGeometry() : QRect();
    constexpr int gap = 8;
    QPoint at(frame.right() + 1 + gap, frame.top());
    if (room.isValid() && at.x() + window.frameGeometry().width() > room.right() + 1)
        at.setX(std::max(room.left(), frame.left() - gap - window.frameGeometry().width()));
    window.move(at);
}

} // namespace

void ShowHelpWindow(const QWidget* beside)
{
    if (!helpWindow) {
        helpWindow = new Form1;
        if (beside)
            PlaceBeside(*helpWindow, *beside);
    }
    // A minimised window would stay out of sight however often it is shown.
    helpWindow->setWindowState(helpWindow->windowState() & ~Qt::WindowMinimized);
    helpWindow->show();
    helpWindow->raise();
    helpWindow->activateWindow();
}

Form1* HelpWindow()
{
    return helpWindow;
}

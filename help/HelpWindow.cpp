#include "HelpWindow.h"

#include "Fonts.h"
#include "Palette.h"
#include "SvgIcon.h"
#include "Twips.h"

#include <QPlainTextEdit>
#include <QScreen>
#include <QStringList>

#include <algorithm>
#include <cmath>

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
    setPalette(PanelPalette());

    Text1 = new QPlainTextEdit(this);
    Text1->setObjectName(QStringLiteral("Text1"));
    Text1->setGeometry(RectFromTwips(120, 240, 7575, 2775));
    // Each line on a line of its own, whatever face stands in.
    const qreal margin = Text1->document()->documentMargin();
    Text1->setFont(FittedFont(PanelFont(8.25, QFont::Bold), HelpText().split(QStringLiteral("\r\n")),
                              QSize(Text1->contentsRect().width() - int(std::ceil(2 * margin)) - 1, QWIDGETSIZE_MAX)));
    Text1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Text1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    Text1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    Text1->setWordWrapMode(QTextOption::WordWrap);
    // The widget keeps paragraphs apart by itself; CR LF is for the exact text.
    Text1->setPlainText(HelpText().replace(QStringLiteral("\r\n"), QStringLiteral("\n")));
    Text1->setReadOnly(true);
    // Disabled keeps it out of reach (no focus, caret, selection, editing or
    // scrolling); its text stays as dark as normal text, since pale disabled
    // grey on the box is hard to read.
    Text1->setEnabled(false);
    QPalette readable = Text1->palette();
    for (const auto role : {QPalette::Text, QPalette::Base})
        readable.setColor(QPalette::Disabled, role, readable.color(QPalette::Active, role));
    Text1->setPalette(readable);
}

namespace {

// `rect` moved (not resized) to lie inside `room` as far as it can.
QRect MovedInto(QRect rect, const QRect& room)
{
    rect.moveLeft(std::max(room.left(), std::min(rect.left(), room.right() + 1 - rect.width())));
    rect.moveTop(std::max(room.top(), std::min(rect.top(), room.bottom() + 1 - rect.height())));
    return rect;
}

} // namespace

QPoint HelpWindowPosition(const QRect& room, const QRect& panel, const QRect& schematic,
                          const QList<QRect>& controls, const QSize& help)
{
    constexpr int gap = 8;
    const QRect right(QPoint(panel.right() + 1 + gap, panel.top()), help);
    const QRect left(QPoint(panel.left() - gap - help.width(), panel.top()), help);
    const QRect below(QPoint(panel.left(), panel.bottom() + 1 + gap), help);
    const QRect above(QPoint(panel.left(), panel.top() - gap - help.height()), help);
    for (const QRect& side : {right, left}) {
        QRect at = side;
        at.moveTop(MovedInto(side, room).top());
        if (room.contains(at) && !at.intersects(panel))
            return at.topLeft();
    }
    for (const QRect& side : {below, above}) {
        QRect at = side;
        at.moveLeft(MovedInto(side, room).left());
        if (room.contains(at) && !at.intersects(panel))
            return at.topLeft();
    }

    // No room outside the panel: cover what matters least, the schematic
    // (which the text explains in words) before any control.
    const int xs[] = {schematic.left(), schematic.right() + 1 - help.width(), room.left(), room.right() + 1 - help.width()};
    const int ys[] = {schematic.top(), schematic.bottom() + 1 - help.height(), room.top(), room.bottom() + 1 - help.height()};
    QRect best;
    qint64 leastHidden = -1;
    for (int y : ys) {
        for (int x : xs) {
            const QRect at = MovedInto(QRect(QPoint(x, y), help), room);
            qint64 hidden = 0;
            for (const QRect& control : controls) {
                const QRect covered = at.intersected(control);
                hidden += qint64(covered.width()) * covered.height();
            }
            if (leastHidden < 0 || hidden < leastHidden) {
                best = at;
                leastHidden = hidden;
            }
        }
    }
    return best.topLeft();
}

namespace {

QRect GlobalRect(const QWidget& widget)
{
    return QRect(widget.mapToGlobal(QPoint(0, 0)), widget.size());
}

void PlaceBeside(QWidget& window, const QWidget& panel)
{
    const QScreen* screen = panel.screen();
    if (!screen)
        return;
    QRect schematic;
    QList<QRect> controls;
    for (const QWidget* child : panel.findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        if (child->objectName() == QLatin1String("Picture2"))
            schematic = GlobalRect(*child);
        else if (!child->inherits("PictureBox") && !child->isWindow())
            controls << GlobalRect(*child);
    }
    // Before it is first shown the window's frame is unknown; the panel's
    // frame is the same kind.
    const QSize frame = panel.frameGeometry().size() - panel.size();
    window.move(HelpWindowPosition(screen->availableGeometry(), panel.frameGeometry(), schematic, controls,
                                   window.size() + frame));
}

} // namespace

void ShowHelpWindow(const QWidget* beside)
{
    if (!helpWindow)
        helpWindow = new Form1;
    if (beside && helpWindow->isHidden())
        PlaceBeside(*helpWindow, *beside);
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

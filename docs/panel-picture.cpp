// Draws docs/panel.png from the program's own window: the panel on the
// simulated port with RF COMMON switched to RF1 by a click on C1, and the
// help window beside it, as a user sees them after those two clicks.
//
//   QT_QPA_PLATFORM=offscreen panel-picture OUT.png

#include "Fonts.h"
#include "HelpWindow.h"
#include "Invocation.h"
#include "SwitchForm.h"
#include "SwitchSetup.h"

#include <QApplication>
#include <QPainter>
#include <QPushButton>
#include <QTimer>

#include <cstdio>

namespace {

// The two windows side by side, each in a thin frame as a desktop would
// draw it, on a transparent ground.
QImage SideBySide(const QPixmap& panel, const QPixmap& help)
{
    constexpr int kGap = 16;
    const QSize size(panel.width() + kGap + help.width() + 4, std::max(panel.height(), help.height()) + 2);
    QImage picture(size, QImage::Format_ARGB32);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    painter.setPen(QColor(0x80, 0x80, 0x80));
    int x = 0;
    for (const QPixmap& window : {panel, help}) {
        painter.drawRect(x, 0, window.width() + 1, window.height() + 1);
        painter.drawPixmap(x + 1, 1, window);
        x += window.width() + 2 + kGap;
    }
    return picture;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 2) {
        std::fputs("usage: panel-picture OUT.png\n", stderr);
        return 2;
    }
    QApplication app(argc, argv);
    // As the program sets itself up for its window.
    QApplication::setApplicationName(QStringLiteral("Switch"));
    QApplication::setFont(PanelFont(8.25));
    const Invocation invocation = ParseCommandLine({QStringLiteral("rfswitch-panel"), QStringLiteral("--simulate")});
    QString error;
    const auto setup = SwitchSetup::Create(invocation, {}, &error);
    if (!setup) {
        std::fprintf(stderr, "panel-picture: %s\n", qPrintable(error));
        return 1;
    }
    SwitchFormContext context;
    context.core = &setup->Core();
    context.startPort = StartAddress(invocation);
    SwitchForm form(std::move(context));
    form.show();

    auto* c1 = form.findChild<QPushButton*>(QStringLiteral("C1"));
    auto* help = form.findChild<QPushButton*>(QStringLiteral("Command2"));
    if (!c1 || !help) {
        std::fputs("panel-picture: the panel has no C1 or Command2 button\n", stderr);
        return 1;
    }
    // Once the start-up clearing is done: the two clicks, then the picture
    // when the panel shows C1 at 1 (it redraws at most once a frame).
    setup->Core().WhenIdle([c1, help] {
        c1->click();
        help->click();
    });
    int result = 1;
    QTimer look;
    QObject::connect(&look, &QTimer::timeout, &app, [&] {
        if (c1->text() != QLatin1String("1") || !HelpWindow() || !HelpWindow()->isVisible())
            return;
        const QImage picture = SideBySide(form.grab(), HelpWindow()->grab());
        result = picture.save(QString::fromLocal8Bit(argv[1])) ? 0 : 1;
        if (result)
            std::fprintf(stderr, "panel-picture: cannot write %s\n", argv[1]);
        app.quit();
    });
    look.start(20);
    QTimer::singleShot(10000, &app, [&] {
        std::fputs("panel-picture: the panel did not show RF1 within 10 s\n", stderr);
        app.quit();
    });
    app.exec();
    return result;
}

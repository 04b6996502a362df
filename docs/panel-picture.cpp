// Draws docs/panel.png from the program's own window: the panel on the
// simulated port with RF COMMON switched to RF1 by a click on C1, and the
// help window beside it, as a user sees them after those two clicks.
//
//   QT_QPA_PLATFORM=offscreen panel-picture OUT.png
//   QT_QPA_PLATFORM=offscreen panel-picture --check docs/panel.png OUT.png
//
// With --check it fails where the picture given is not the window as it is
// now, and leaves the window's picture in OUT.png to compare.

#include "Fonts.h"
#include "HelpWindow.h"
#include "Invocation.h"
#include "SwitchForm.h"
#include "SwitchSetup.h"

#include <QApplication>
#include <QFile>
#include <QPainter>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <cstdio>
#include <string_view>

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
    const bool check = argc == 4 && argv[1] == std::string_view("--check");
    if (argc != 2 && !check) {
        std::fputs("usage: panel-picture [--check REFERENCE.png] OUT.png\n", stderr);
        return 2;
    }
    const QString out = QString::fromLocal8Bit(argv[argc - 1]);
    // Whatever the program keeps across runs stays out of the user's folders.
    QTemporaryDir state;
    qputenv("XDG_STATE_HOME", QFile::encodeName(state.path()));
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
        app.quit();
        if (!picture.save(out)) {
            std::fprintf(stderr, "panel-picture: cannot write %s\n", qPrintable(out));
            return;
        }
        result = 0;
        if (check) {
            const QImage reference(QString::fromLocal8Bit(argv[2]));
            if (reference.convertToFormat(picture.format()) != picture) {
                std::fprintf(stderr, "panel-picture: %s is not the window as it is now (%s): run make docs\n", argv[2],
                             qPrintable(out));
                result = 1;
            }
        }
    });
    look.start(20);
    QTimer::singleShot(10000, &app, [&] {
        std::fputs("panel-picture: the panel did not show RF1 within 10 s\n", stderr);
        app.quit();
    });
    app.exec();
    return result;
}

#include "SvgIcon.h"

#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

QIcon SvgIcon(const QString& resource)
{
    QSvgRenderer renderer(resource);
    QIcon icon;
    for (int size : {16, 32, 48}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        renderer.render(&painter);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

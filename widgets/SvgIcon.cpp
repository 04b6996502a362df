#include "SvgIcon.h"
#include "RawImage.h"

#include <QPainter>
#include <QPixmap>
#include <QSvgRenderer>

#include <memory>

QIcon SvgIcon(const QString& resource)
{
    std::unique_ptr<QSvgRenderer> renderer; // only for a size the build did not draw
    QIcon icon;
    for (int size : {16, 32, 48}) {
        QString drawn = resource;
        drawn.replace(QLatin1String(".svg"), QStringLiteral("-%1.pixels").arg(size));
        if (QImage image = RawImage(drawn); !image.isNull()) {
            icon.addPixmap(QPixmap::fromImage(std::move(image)));
            continue;
        }
        if (!renderer)
            renderer = std::make_unique<QSvgRenderer>(resource);
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        renderer->render(&painter);
        painter.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

// Draws an SVG picture at its natural size times SCALE, or WIDTH pixels wide
// ("48px"), at build time, into a
// raw image the panel can show without reading SVG or decoding an image file
// (either costs it more at start-up than the rest of its window): width and
// height as 32-bit little-endian numbers, then the rows of premultiplied
// ARGB32 pixels. It paints into a QImage and never opens a window, so it runs
// without a display.

#include <QFile>
#include <QImage>
#include <QtEndian>
#include <QPainter>
#include <QString>
#include <QSvgRenderer>

#include <cstdio>

int main(int argc, char* argv[])
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: render-picture INPUT.svg OUTPUT SCALE|WIDTHpx\n");
        return 2;
    }
    QString size = QString::fromLocal8Bit(argv[3]);
    const bool inPixels = size.endsWith(QLatin1String("px"));
    if (inPixels)
        size.chop(2);
    bool isNumber = false;
    const int number = size.toInt(&isNumber);
    if (!isNumber || number < 1 || number > (inPixels ? 4096 : 8)) {
        std::fprintf(stderr, "render-picture: bad size %s\n", argv[3]);
        return 2;
    }
    QSvgRenderer renderer(QString::fromLocal8Bit(argv[1]));
    if (!renderer.isValid()) {
        std::fprintf(stderr, "render-picture: cannot read %s\n", argv[1]);
        return 1;
    }
    const QSize natural = renderer.defaultSize();
    const QSize scaled = inPixels ? QSize(number, qRound(qreal(number) * natural.height() / natural.width())) : natural * number;
    QImage image(scaled, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        renderer.render(&painter);
    }
    QFile out(QString::fromLocal8Bit(argv[2]));
    const quint32 header[2] = {qToLittleEndian(quint32(image.width())), qToLittleEndian(quint32(image.height()))};
    const bool written = out.open(QIODevice::WriteOnly)
        && out.write(reinterpret_cast<const char*>(header), sizeof header) == qint64(sizeof header)
        && out.write(reinterpret_cast<const char*>(image.constBits()), image.sizeInBytes()) == image.sizeInBytes();
    if (!written) {
        std::fprintf(stderr, "render-picture: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}

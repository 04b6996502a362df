// Draws an SVG picture at its natural size times SCALE, or WIDTH pixels wide
// ("48px"), at build time, into a raw image the panel can show without
// reading SVG or decoding an image file (either costs it more at start-up
// than the rest of its window); see widgets/RawImage.h for the layout. An
// opaque picture is kept in the fewest bytes that hold it exactly: its
// colours as a table where 256 suffice, else 24-bit pixels. It paints into
// a QImage and never opens a window, so it runs without a display.

#include <QFile>
#include <QImage>
#include <QPainter>
#include <QString>
#include <QSvgRenderer>

#include <cstdio>
#include <unordered_map>

namespace {

// The same pixels in the smallest format that keeps every one of them.
QImage Smallest(const QImage& drawn)
{
    std::unordered_map<QRgb, int> index;
    for (int y = 0; y < drawn.height(); ++y) {
        const auto* row = reinterpret_cast<const QRgb*>(drawn.constScanLine(y));
        for (int x = 0; x < drawn.width(); ++x) {
            if (qAlpha(row[x]) != 255)
                return drawn;
            if (index.size() <= 256)
                index.emplace(row[x], int(index.size()));
        }
    }
    if (index.size() > 256)
        return drawn.convertToFormat(QImage::Format_RGB888);
    QList<QRgb> table(qsizetype(index.size()));
    for (const auto& [colour, i] : index)
        table[i] = colour;
    QImage indexed(drawn.size(), QImage::Format_Indexed8);
    indexed.setColorTable(table);
    for (int y = 0; y < drawn.height(); ++y) {
        const auto* row = reinterpret_cast<const QRgb*>(drawn.constScanLine(y));
        uchar* out = indexed.scanLine(y);
        for (int x = 0; x < drawn.width(); ++x)
            out[x] = uchar(index.at(row[x]));
    }
    return indexed;
}

} // namespace

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
    image = Smallest(image);
    const QList<QRgb> table = image.colorTable();
    QByteArray raw;
    for (const quint32 word : {quint32(image.width()), quint32(image.height()), quint32(image.format()), quint32(table.size())})
        raw.append(reinterpret_cast<const char*>(&word), sizeof word); // in the order of the machine that builds the program, and so runs it
    raw.append(reinterpret_cast<const char*>(table.constData()), table.size() * qsizetype(sizeof(QRgb)));
    raw.append(reinterpret_cast<const char*>(image.constBits()), image.sizeInBytes());
    QFile out(QString::fromLocal8Bit(argv[2]));
    const bool written = out.open(QIODevice::WriteOnly) && out.write(raw) == raw.size();
    if (!written) {
        std::fprintf(stderr, "render-picture: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}

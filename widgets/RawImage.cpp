#include "RawImage.h"

#include <QByteArray>
#include <QResource>

#include <cstring>

QImage RawImage(const QString& resource)
{
    const QResource raw(resource);
    if (!raw.isValid())
        return {};
    // Uncompressed, the bytes are read where they lie in the program;
    // compressed, from a copy unpacked for the image to keep.
    QByteArray* unpacked = nullptr;
    const uchar* data = raw.data();
    qint64 size = raw.size();
    if (raw.compressionAlgorithm() != QResource::NoCompression) {
        unpacked = new QByteArray(raw.uncompressedData());
        data = reinterpret_cast<const uchar*>(unpacked->constData());
        size = unpacked->size();
    }
    quint32 header[4] = {};
    if (size >= qint64(sizeof header))
        std::memcpy(header, data, sizeof header);
    const auto [width, height, format, colours] = header;
    const int depth = format == QImage::Format_ARGB32_Premultiplied ? 32
        : format == QImage::Format_RGB888                          ? 24
        : format == QImage::Format_Indexed8                        ? 8
                                                                   : 0;
    const qint64 stride = (qint64(width) * depth / 8 + 3) / 4 * 4;
    const qint64 pixels = qint64(sizeof header) + qint64(colours) * 4;
    if (depth == 0 || width == 0 || height == 0 || width > 8192 || height > 8192 || colours > (depth == 8 ? 256u : 0u)
        || size != pixels + stride * height) {
        delete unpacked;
        return {};
    }
    // Pixels are read as whole 32-bit words: rows that would not start on
    // such a boundary are copied to where they do.
    const bool aligned = reinterpret_cast<quintptr>(data + pixels) % alignof(quint32) == 0;
    QImage image(data + pixels, int(width), int(height), stride, QImage::Format(format),
                 aligned ? [](void* bytes) { delete static_cast<QByteArray*>(bytes); } : QImageCleanupFunction(nullptr), aligned ? unpacked : nullptr);
    if (colours > 0) {
        QList<QRgb> table(colours);
        std::memcpy(table.data(), data + sizeof header, colours * sizeof(QRgb));
        image.setColorTable(table);
    }
    if (!aligned) {
        image = image.copy();
        delete unpacked;
    }
    return image;
}

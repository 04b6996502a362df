#include "RawImage.h"

#include <QByteArray>
#include <QResource>
#include <QtEndian>

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
    const auto width = size >= 8 ? qFromLittleEndian<quint32>(data) : 0;
    const auto height = size >= 8 ? qFromLittleEndian<quint32>(data + 4) : 0;
    if (width == 0 || height == 0 || width > 8192 || height > 8192 || size != 8 + qint64(width) * height * 4) {
        delete unpacked;
        return {};
    }
    // Pixels are read as whole 32-bit words: rows that would not start on
    // such a boundary are copied to where they do.
    if (reinterpret_cast<quintptr>(data + 8) % alignof(quint32) != 0) {
        QImage copy = QImage(data + 8, int(width), int(height), int(width) * 4, QImage::Format_ARGB32_Premultiplied).copy();
        delete unpacked;
        return copy;
    }
    return QImage(data + 8, int(width), int(height), int(width) * 4, QImage::Format_ARGB32_Premultiplied,
                  [](void* bytes) { delete static_cast<QByteArray*>(bytes); }, unpacked);
}

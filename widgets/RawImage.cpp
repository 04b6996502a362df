#include "RawImage.h"

#include <QByteArray>
#include <QFile>
#include <QtEndian>

QImage RawImage(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    auto* data = new QByteArray(file.readAll());
    const auto width = data->size() >= 8 ? qFromLittleEndian<quint32>(data->constData()) : 0;
    const auto height = data->size() >= 8 ? qFromLittleEndian<quint32>(data->constData() + 4) : 0;
    if (width == 0 || height == 0 || width > 8192 || height > 8192 || qint64(data->size()) != 8 + qint64(width) * height * 4) {
        delete data;
        return {};
    }
    // The image keeps the bytes read, so the pixels are never copied.
    return QImage(reinterpret_cast<uchar*>(data->data()) + 8, int(width), int(height), int(width) * 4,
                  QImage::Format_ARGB32_Premultiplied, [](void* bytes) { delete static_cast<QByteArray*>(bytes); }, data);
}

#pragma once

#include <QByteArray>

// A client's WebSocket frame, masked with a fixed key; `declared` claims a
// payload length other than the payload's own.
inline QByteArray MaskedFrame(int first, const QByteArray& payload, qint64 declared = -1)
{
    const quint64 length = declared < 0 ? quint64(payload.size()) : quint64(declared);
    const int extended = length < 126 ? 0 : length <= 0xFFFF ? 2 : 8;
    QByteArray frame(1, char(first));
    frame += char(0x80 | (extended == 0 ? length : extended == 2 ? 126 : 127));
    for (int shift = 8 * extended - 8; shift >= 0; shift -= 8)
        frame += char((length >> shift) & 0xFF);
    const char key[4] = {0x37, char(0xfa), 0x21, 0x3d};
    frame.append(key, 4);
    for (qsizetype i = 0; i < payload.size(); ++i)
        frame += char(payload[i] ^ key[i % 4]);
    return frame;
}

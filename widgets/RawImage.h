#pragma once

#include <QImage>
#include <QString>

// A picture the build drew beforehand: width and height as 32-bit
// little-endian numbers, then premultiplied ARGB32 rows. Null where there is
// no such file. Showing one costs no SVG reading or image decoding at
// start-up.
QImage RawImage(const QString& path);

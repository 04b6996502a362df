#pragma once

#include <QImage>
#include <QString>

// A picture the build drew beforehand, from the resources: width and height
// as 32-bit little-endian numbers, then premultiplied ARGB32 rows. One kept
// uncompressed is shown from its bytes where they lie in the program,
// without a copy. Null where there is no such resource. Showing one costs no
// SVG reading or image decoding at start-up.
QImage RawImage(const QString& resource);

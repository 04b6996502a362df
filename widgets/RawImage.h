#pragma once

#include <QImage>
#include <QString>

// A picture the build drew beforehand, from the resources: width, height,
// QImage format and colour count as 32-bit words, the colour table, then
// rows padded to 32 bits (premultiplied ARGB32, RGB888 or Indexed8), all in
// the byte order of the machine that built the program. One kept
// uncompressed is shown from its bytes where they lie in the program,
// without a copy. Null where there is no such resource. Showing one costs no
// SVG reading or image decoding at start-up.
QImage RawImage(const QString& resource);

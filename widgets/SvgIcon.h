#pragma once

#include <QIcon>

// An icon drawn from an SVG resource at the usual sizes, without going
// through the SVG icon plugin (whose lookup costs start-up time). Sizes the
// build drew beforehand (NAME-16.pixels and so on, see RawImage) are taken
// as drawn.
QIcon SvgIcon(const QString& resource);

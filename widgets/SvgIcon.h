#pragma once

#include <QIcon>

// An icon drawn from an SVG resource at the usual sizes, without going
// through the SVG icon plugin (whose lookup costs start-up time).
QIcon SvgIcon(const QString& resource);

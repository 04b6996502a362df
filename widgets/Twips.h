#pragma once

#include <QLineF>
#include <QRect>

// Layout is given in twips, 15 to a pixel at 96 dots per inch.
inline constexpr double kTwipsPerPixel = 15.0;

constexpr int PixelsFromTwips(int twips)
{
    // Round to nearest, as the layout's odd positions (550 twips) need.
    return static_cast<int>(twips / kTwipsPerPixel + 0.5);
}

inline QRect RectFromTwips(int left, int top, int width, int height)
{
    return {PixelsFromTwips(left), PixelsFromTwips(top), PixelsFromTwips(width), PixelsFromTwips(height)};
}

inline QLineF LineFromTwips(double x1, double y1, double x2, double y2)
{
    return {x1 / kTwipsPerPixel, y1 / kTwipsPerPixel, x2 / kTwipsPerPixel, y2 / kTwipsPerPixel};
}

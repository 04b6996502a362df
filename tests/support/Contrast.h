#pragma once

#include <QColor>
#include <QHash>
#include <QImage>

#include <algorithm>
#include <cmath>

// Contrast ratio of two colours as WCAG defines it: 1 (none) to 21.
inline double ContrastRatio(const QColor& a, const QColor& b)
{
    const auto luminance = [](const QColor& c) {
        const auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
    };
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// The colour most pixels of `image` have.
inline QColor Background(const QImage& image)
{
    QHash<QRgb, int> counts;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            ++counts[image.pixel(x, y) | 0xFF000000];
    return QColor::fromRgb(std::max_element(counts.cbegin(), counts.cend()).key());
}

// How far the darkest or brightest ink of `image` stands out from its
// background: the strongest contrast of any pixel against it.
inline double InkContrast(const QImage& image)
{
    const QColor background = Background(image);
    double strongest = 1;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            strongest = std::max(strongest, ContrastRatio(QColor::fromRgb(image.pixel(x, y)), background));
    return strongest;
}

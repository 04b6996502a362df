#include "Fonts.h"

#include <QStringList>

#include <cmath>

QFont PanelFont(double points, QFont::Weight weight, bool underline)
{
    QFont font;
    font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"),
                      QStringLiteral("Liberation Sans"), QStringLiteral("Arimo"), QStringLiteral("Arial"),
                      QStringLiteral("Helvetica"), QStringLiteral("DejaVu Sans")});
    font.setStyleHint(QFont::SansSerif);
    font.setPixelSize(static_cast<int>(std::lround(points * 96.0 / 72.0)));
    font.setWeight(weight);
    font.setUnderline(underline);
    font.setItalic(false);
    return font;
}

#include "Fonts.h"

#include <QFontDatabase>
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
    // The usual stand-ins run about 4% wider than the face the layout was
    // drawn for; narrowing them keeps every caption inside its box.
    // (families() rather than hasFamily(): no costly alias resolution)
    static const bool original = [] {
        const QStringList installed = QFontDatabase::families();
        return installed.contains(QStringLiteral("MS Sans Serif")) || installed.contains(QStringLiteral("Microsoft Sans Serif"));
    }();
    if (!original)
        font.setStretch(96);
    return font;
}

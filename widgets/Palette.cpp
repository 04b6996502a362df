#include "Palette.h"

#include <QWidget>

QPalette PanelPalette()
{
    struct Role
    {
        QPalette::ColorRole role;
        QColor normal, disabled;
    };
    const QColor face(240, 240, 240), grey(109, 109, 109), black(Qt::black), white(Qt::white);
    const Role roles[] = {
        {QPalette::WindowText, black, grey},
        {QPalette::Button, face, face},
        {QPalette::Light, white, white},
        {QPalette::Midlight, QColor(227, 227, 227), QColor(227, 227, 227)},
        {QPalette::Dark, QColor(160, 160, 160), QColor(160, 160, 160)},
        {QPalette::Mid, QColor(160, 160, 160), QColor(160, 160, 160)},
        {QPalette::Text, black, grey},
        {QPalette::BrightText, white, white},
        {QPalette::ButtonText, black, grey},
        {QPalette::Base, white, face},
        {QPalette::Window, face, face},
        {QPalette::Shadow, QColor(105, 105, 105), QColor(105, 105, 105)},
        {QPalette::Highlight, QColor(0, 120, 215), QColor(204, 204, 204)},
        {QPalette::HighlightedText, white, grey},
        {QPalette::Link, QColor(0, 0, 255), grey},
        {QPalette::LinkVisited, QColor(128, 0, 128), grey},
        {QPalette::AlternateBase, QColor(247, 247, 247), QColor(247, 247, 247)},
        {QPalette::ToolTipBase, QColor(255, 255, 225), QColor(255, 255, 225)},
        {QPalette::ToolTipText, black, black},
        {QPalette::PlaceholderText, grey, grey},
    };
    QPalette palette;
    for (const Role& r : roles) {
        palette.setColor(QPalette::Active, r.role, r.normal);
        palette.setColor(QPalette::Inactive, r.role, r.normal);
        palette.setColor(QPalette::Disabled, r.role, r.disabled);
    }
    return palette;
}

void SetTextColor(QWidget* widget, const QColor& color)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    widget->setPalette(palette);
}

#pragma once

#include <QColor>
#include <QPalette>

class QWidget;

// The panel's own light colours, every role in every group set, so that a
// dark desktop theme cannot put its light text on the panel's light face
// (nor hide the dark-red "Control Bits:" on a dark one).
QPalette PanelPalette();

// Sets the colour of `widget`'s text (labels, frame titles) in every state.
void SetTextColor(QWidget* widget, const QColor& color);

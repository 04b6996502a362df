#pragma once

#include <QFont>

// The panel's face at a point size given for 96 dots per inch. Sizes become
// pixels so the fixed layout holds its text on screens of any density;
// "MS Sans Serif" where present, else a sans-serif of like metrics.
QFont PanelFont(double points, QFont::Weight weight = QFont::Normal, bool underline = false);

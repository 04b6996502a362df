#pragma once

#include <QPalette>

// The panel's own light colours, every role in every group set, so that a
// dark desktop theme cannot put its light text on the panel's light face
// (nor hide the dark-red "Control Bits:" on a dark one).
QPalette PanelPalette();

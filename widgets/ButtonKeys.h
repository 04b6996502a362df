#pragma once

class QWidget;

// Enter or Return on a focused push button of `window` presses it, as Space
// does; Qt does that only for buttons in dialogs. Covers the buttons that
// exist when it is called.
void PressButtonsOnEnter(QWidget* window);

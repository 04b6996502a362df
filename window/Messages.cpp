#include "Messages.h"

#include "Palette.h"

namespace {

// A message box is a window of its own and takes the desktop's palette, not
// its parent's.
int RunBox(QWidget* parent, QMessageBox::Icon icon, const QString& text, QMessageBox::StandardButtons buttons)
{
    QMessageBox box(icon, QStringLiteral("Switch"), text, buttons, parent);
    box.setPalette(PanelPalette());
    return box.exec();
}

} // namespace

void ShowMessageBox(QWidget* parent, QMessageBox::Icon icon, const QString& text)
{
    RunBox(parent, icon, text, QMessageBox::Ok);
}

bool AskQuestion(QWidget* parent, const QString& text)
{
    return RunBox(parent, QMessageBox::Question, text, QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

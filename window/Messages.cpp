#include "Messages.h"

void ShowMessageBox(QWidget* parent, QMessageBox::Icon icon, const QString& text)
{
    QMessageBox box(icon, QStringLiteral("Switch"), text, QMessageBox::Ok, parent);
    box.exec();
}

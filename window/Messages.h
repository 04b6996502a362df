#pragma once

#include <QMessageBox>

#include <functional>

class QWidget;

// Puts a message in front of the user in a box titled "Switch" with an OK
// button. Tests put their own in its place so that nothing blocks.
using MessageSink = std::function<void(QWidget* parent, QMessageBox::Icon icon, const QString& text)>;

void ShowMessageBox(QWidget* parent, QMessageBox::Icon icon, const QString& text);

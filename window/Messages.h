#pragma once

#include <QMessageBox>

#include <functional>

class QWidget;

// Puts a message in front of the user in a box titled "Switch" with an OK
// button. Tests put their own in its place so that nothing blocks.
using MessageSink = std::function<void(QWidget* parent, QMessageBox::Icon icon, const QString& text)>;

// The boxes come in the panel's own colours, like its windows, whatever the
// desktop's theme.
void ShowMessageBox(QWidget* parent, QMessageBox::Icon icon, const QString& text);

// Asks `text` in a box titled "Switch" with Yes and No; true for Yes.
bool AskQuestion(QWidget* parent, const QString& text);

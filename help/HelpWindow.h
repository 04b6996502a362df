#pragma once

#include <QString>
#include <QWidget>

class QPlainTextEdit;

// The operating instructions, exactly as shown: lines joined by CR LF.
QString HelpText();

// The instructions window: one read-only text beside the panel.
class Form1 : public QWidget
{
    Q_OBJECT

public:
    explicit Form1(QWidget* parent = nullptr);

private:
    QPlainTextEdit* Text1 = nullptr;
};

// The program's one help window: created on first use (placed beside
// `beside`) and kept for the rest of the run; shown without an owner, brought
// to the front and activated.
void ShowHelpWindow(const QWidget* beside = nullptr);

// The help window if it has been created, else nullptr.
Form1* HelpWindow();

#pragma once

#include <QList>
#include <QPoint>
#include <QRect>
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

// Where the help window's frame goes, all in screen pixels: beside the panel
// (right, else left), else below or above it, moved along that side to stay on
// the screen `room`. Where none of these fits, it covers the panel where it
// hides least of `controls`, over the schematic first.
QPoint HelpWindowPosition(const QRect& room, const QRect& panel, const QRect& schematic,
                          const QList<QRect>& controls, const QSize& help);

// The program's one help window: created on first use and kept for the rest
// of the run; placed beside `beside` whenever it comes out of hiding, shown
// without an owner, brought to the front and activated.
void ShowHelpWindow(const QWidget* beside = nullptr);

// The help window if it has been created, else nullptr.
Form1* HelpWindow();

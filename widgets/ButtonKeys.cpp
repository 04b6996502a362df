#include "ButtonKeys.h"

#include <QAbstractButton>
#include <QKeyEvent>

namespace {

class EnterPresses : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() != QEvent::KeyPress)
            return false;
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter)
            return false;
        auto* button = qobject_cast<QAbstractButton*>(watched);
        // A held key presses once: each press of a control bit is a port write.
        if (button && button->isEnabled() && !key->isAutoRepeat())
            button->click();
        return true;
    }
};

} // namespace

void PressButtonsOnEnter(QWidget* window)
{
    auto* filter = new EnterPresses(window);
    for (QAbstractButton* button : window->findChildren<QAbstractButton*>())
        button->installEventFilter(filter);
}

#include "SwitchForm.h"

#include <QApplication>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Switch"));
    SwitchForm form;
    form.show();
    return app.exec();
}

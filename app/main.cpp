#include "Composition.h"
#include "Invocation.h"
#include "OneShot.h"

#include <QStringList>

int main(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const Invocation invocation = ParseCommandLine(arguments);
    if (const auto done = RunWithoutWindow(invocation, argc, argv))
        return *done;
    if (invocation.mode == Invocation::Mode::Headless)
        return RunHeadless(invocation, argc, argv);
    return RunPanel(invocation, argc, argv);
}

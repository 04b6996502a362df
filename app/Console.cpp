#include "Console.h"

void PrintLine(std::FILE* stream, const QString& text)
{
    std::fprintf(stream, "%s\n", text.toLocal8Bit().constData());
    std::fflush(stream);
}

int Fail(int exitCode, const QString& what)
{
    PrintLine(stderr, QStringLiteral("rfswitch-panel: ") + what
                          + (exitCode == kExitUsage ? QStringLiteral("\nTry 'rfswitch-panel --help'.") : QString()));
    return exitCode;
}

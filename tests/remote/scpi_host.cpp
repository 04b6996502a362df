// Stands in for the program's --headless --listen until its command line
// serves SCPI: the switch core on the system's ports, the server, and the
// same one line on stdout.
// Usage: scpi-host --listen [HOST:]PORT [--port ADDRESS] [--simulate]
#include "AddressText.h"
#include "ScpiServer.h"
#include "SwitchCore.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <cstdio>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    const QCommandLineOption listen(QStringLiteral("listen"), QStringLiteral("Where to listen."), QStringLiteral("[HOST:]PORT"));
    const QCommandLineOption port(QStringLiteral("port"), QStringLiteral("Port address."), QStringLiteral("ADDRESS"), QStringLiteral("888"));
    const QCommandLineOption simulate(QStringLiteral("simulate"), QStringLiteral("The simulated port counts."));
    parser.addOptions({listen, port, simulate});
    parser.process(app);

    QString error;
    const auto where = ParseListenAddress(parser.value(listen), &error);
    const auto address = AddressFromText(parser.value(port).toStdString());
    if (!where || !address) {
        std::fprintf(stderr, "scpi-host: %s\n", qPrintable(where ? parser.value(port) : error));
        return 2;
    }
    SwitchCore core;
    core.TakeAddress(*address, true, Source::CommandLine);
    ScpiServer::Options options;
    options.allowSimulated = parser.isSet(simulate);
    ScpiServer server(core, options);
    if (!server.Listen(*where, &error)) {
        std::fprintf(stderr, "scpi-host: %s\n", qPrintable(error));
        return 2;
    }
    std::printf("listening on %s\n", qPrintable(server.Address()));
    std::fflush(stdout);
    return app.exec();
}

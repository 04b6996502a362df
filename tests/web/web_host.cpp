// The switch as the headless program serves it (SCPI and the web page on
// loopback, the simulated port driven as with --simulate), printing the same
// lines, and one thing more for the browser test: "lock" on standard input
// makes another client hold the lock, as SYST:LOCK:REQ? will.
#include "ScpiServer.h"
#include "SimulatedPort.h"
#include "SwitchCore.h"
#include "WebServer.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <cstdio>
#include <iostream>
#include <string>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    SimulatedPort port;
    SwitchCore core(port);
    core.SetAllowSimulated(true);
    core.TakeAddress(4096, true, Source{Source::Kind::StartUp, {}, false});
    ScpiServer scpi(core);
    WebServer web(core);
    if (!scpi.Listen({QHostAddress::LocalHost, 0}) || !web.Listen({QHostAddress::LocalHost, 0}))
        return 1;
    std::printf("listening on %s\nweb page on %s\n", qPrintable(scpi.Address()), qPrintable(web.Url()));
    std::fflush(stdout);
    QSocketNotifier input(0, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, &app, [&] {
        std::string line;
        if (!std::getline(std::cin, line))
            return QCoreApplication::quit();
        const Source holder = Source::Remote("192.0.2.7:5025");
        std::printf("%s %s\n", core.Lock(holder) ? "locked by" : "not locked by", SourceName(holder).c_str());
        std::fflush(stdout);
    });
    return app.exec();
}

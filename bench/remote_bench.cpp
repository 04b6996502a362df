// Prints how fast a script can switch over SCPI: round trips of
// "ROUT:CLOS (@1);*OPC?" and "ROUT:CLOS (@2);*OPC?" alternating, over
// loopback on the simulated port, against the same bytes through a bare
// QTcpServer echo in the same run; the switch operations per second without
// a window and with the panel open (offscreen); round trips while the panel
// shows a message box, against none; switching with each connection's share
// of a turn against a server without shares; whether 1 000 connections
// opened and closed leave any file open behind them; what a channel's label
// in the list costs against its number; and how long *RCL of a saved setup
// takes against the settle time it waits for.
//
// The servers run in this process's event loop; the client is a plain
// blocking socket on a thread of its own, so that it costs both alike.

#include "Figures.h"
#include "Loopback.h"
#include "Identity.h"
#include "RelayCycles.h"
#include "ScpiServer.h"
#include "SimulatedPort.h"
#include "SwitchCore.h"
#include "SwitchForm.h"

#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QPushButton>
#include <QEventLoop>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRoundTrips = 10000;
constexpr int kWarmUp = 200;
constexpr double kMaxRatio = 2.0;
constexpr double kMinOperationsPerSecond = 10000;
constexpr double kMinWindowShare = 2.0 / 3;
constexpr double kMaxBoxRatio = 1.2;
constexpr int kConnections = 1000;
constexpr std::chrono::seconds kSettle{5};
constexpr double kMinFairShare = 0.95;
constexpr int kFairRuns = 5;
constexpr double kMaxLabelCost = 0.05;
constexpr int kRecalls = 100;
constexpr std::chrono::milliseconds kRecallSettle{20};
constexpr double kRecallSlackMs = 1;

const char* const kCommands[] = {"ROUT:CLOS (@1);*OPC?\n", "ROUT:CLOS (@2);*OPC?\n"};
const char* const kLabelled[] = {"ROUT:CLOS (@ANT);*OPC?\n", "ROUT:CLOS (@LOAD);*OPC?\n"};
const char* const kRecall[] = {"*RCL 1;*OPC?\n", "*RCL 2;*OPC?\n"};
const char* const kSave[] = {"ROUT:CLOS (@1);*WAI;*SAV 1;*OPC?\n", "ROUT:CLOS (@2);*WAI;*SAV 2;*OPC?\n"};


struct Run
{
    std::vector<double> microseconds;
    double seconds = 0;
    bool ok = true;
};

// The simulated port, whose reads can be made to fail: a click then cannot
// read the register, and the panel says so in a message box.
class FailingPort final : public PortIo
{
public:
    bool failReads = false;

    PortStatus Open(std::int32_t base) override { return port_.Open(base); }
    PortStatus Refresh() override { return port_.Refresh(); }
    void Close() override { port_.Close(); }
    std::uint8_t PortIn(std::int32_t port) override
    {
        if (failReads)
            throw PortError("simulated port: input/output error");
        return port_.PortIn(port);
    }
    void PortOut(std::int32_t port, std::uint8_t value) override { port_.PortOut(port, value); }

private:
    SimulatedPort port_;
};

// Sends each command (of `commands` in turn), reads up to the answer's LF, times the pair.
Run Client(quint16 port, bool echo, const char* const* commands = kCommands, int count = kRoundTrips)
{
    Run run;
    const int fd = Connect(port, true);
    if (fd < 0) {
        run.ok = false;
        return run;
    }
    char buffer[256];
    const auto begin = Clock::now();
    const int warmUp = std::min(kWarmUp, count);
    for (int i = -warmUp; i < count && run.ok; ++i) {
        const std::string command = commands[(i + warmUp) % 2];
        const auto start = Clock::now();
        send(fd, command.data(), command.size(), 0);
        std::string answer;
        while (answer.empty() || answer.back() != '\n') {
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                run.ok = false;
                break;
            }
            answer.append(buffer, static_cast<std::size_t>(n));
        }
        run.ok = run.ok && answer == (echo ? command : "1\n");
        if (i >= 0)
            run.microseconds.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        if (i == 0)
            run.seconds = -std::chrono::duration<double>(Clock::now() - begin).count();
    }
    run.seconds += std::chrono::duration<double>(Clock::now() - begin).count();
    close(fd);
    return run;
}

// Sends every selection without waiting, then *OPC?, and times them all:
// what the server can switch when the link's round trip is not in the way.
Run Pipelined(quint16 port)
{
    Run run;
    const int fd = Connect(port, false);
    if (fd < 0) {
        run.ok = false;
        return run;
    }
    std::string lines;
    for (int i = 0; i < kRoundTrips; ++i)
        lines += i % 2 ? "ROUT:CLOS (@2)\n" : "ROUT:CLOS (@1)\n";
    lines += "*OPC?\n";
    const auto begin = Clock::now();
    for (std::size_t sent = 0; sent < lines.size() && run.ok;) {
        const ssize_t n = send(fd, lines.data() + sent, lines.size() - sent, 0);
        run.ok = n > 0;
        sent += n > 0 ? std::size_t(n) : 0;
    }
    std::string answer;
    char buffer[64];
    while (run.ok && answer != "1\n") {
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        run.ok = n > 0;
        answer.append(buffer, n > 0 ? std::size_t(n) : 0);
    }
    run.seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    close(fd);
    return run;
}

// Opens a connection, asks *IDN?, closes it, kConnections times; true when
// each was answered.
Run Cycles(quint16 port)
{
    Run run;
    char buffer[256];
    for (int i = 0; i < kConnections && run.ok; ++i) {
        const int fd = Connect(port, true);
        run.ok = fd >= 0 && send(fd, "*IDN?\n", 6, 0) == 6 && recv(fd, buffer, sizeof buffer, 0) > 0;
        if (fd >= 0)
            close(fd);
    }
    return run;
}

int OpenFiles()
{
    return static_cast<int>(QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size());
}

} // namespace

int main(int argc, char* argv[])
{
    // The panel's window is drawn where nobody sees it.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);

    // The bare echo: what loopback and Qt's event loop cost on their own.
    QTcpServer echo;
    QObject::connect(&echo, &QTcpServer::newConnection, &echo, [&echo] {
        while (QTcpSocket* socket = echo.nextPendingConnection()) {
            socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] { socket->write(socket->readAll()); });
        }
    });
    echo.listen(QHostAddress::LocalHost, 0);
    const Run bare = Measure([port = echo.serverPort()] { return Client(port, true); });

    SimulatedSwitch simulated;
    SwitchCore& core = simulated.core;
    ScpiServer server(core, ProgramIdentity(), {});
    server.Listen({QHostAddress::LocalHost, 0});
    int selections = 0;
    QObject::connect(&core, &SwitchCore::Finished, &core, [&selections](const OperationResult&, const Source& source) {
        selections += source.kind == Source::Kind::Remote ? 1 : 0;
    });
    const Run scpi = Measure([port = server.Port()] { return Client(port, false); });
    const int roundTripSelections = selections;
    const Run pipelined = Measure([port = server.Port()] { return Pipelined(port); });
    const int pipelinedSelections = selections;

    // The same with the panel open on the core.
    SwitchFormContext context;
    context.core = &core;
    auto form = std::make_unique<SwitchForm>(context);
    form->show();
    const Run windowed = Measure([port = server.Port()] { return Pipelined(port); });
    form.reset();

    // Connections opened and closed: the server has let go of each once
    // its last one is gone and what it left behind is deleted.
    const auto settled = [&server] {
        QEventLoop settle;
        QObject::connect(&server, &ScpiServer::ClientsChanged, &settle, [&settle](int clients) {
            if (clients == 0)
                QTimer::singleShot(0, &settle, &QEventLoop::quit);
        });
        QTimer::singleShot(kSettle, &settle, &QEventLoop::quit);
        if (server.Clients() > 0)
            settle.exec();
        QCoreApplication::sendPostedEvents();
        return OpenFiles();
    };
    const int filesBefore = settled();
    const Run cycles = Measure([port = server.Port()] { return Cycles(port); });
    const int filesAfter = settled();

    // Switching sent without waiting, with each connection's share of a turn
    // against a server that runs all a connection has at once, as before the
    // shares: alternated, the best of each, so that the machine's noise falls
    // on both alike.
    ConnectionPolicy unbounded;
    unbounded.turnShare = 0;
    ScpiServer greedy(core, ProgramIdentity(), unbounded);
    greedy.Listen({QHostAddress::LocalHost, 0});
    double shared = 0, greedyRate = 0;
    bool sharesOk = true;
    for (int i = 0; i < kFairRuns; ++i) {
        for (auto [port, best] : {std::pair{server.Port(), &shared}, std::pair{greedy.Port(), &greedyRate}}) {
            const Run run = Measure([port = port] { return Pipelined(port); });
            sharesOk = sharesOk && run.ok;
            *best = std::max(*best, kRoundTrips / run.seconds);
        }
    }

    // Round trips with the panel open on a core of its own, then while it
    // shows the message box of a click that could not read the port.
    FailingPort failing;
    SwitchCore boxedCore(failing);
    boxedCore.SetAllowSimulated(true);
    boxedCore.TakeAddress(888, true, Source{});
    ScpiServer boxedServer(boxedCore, ProgramIdentity(), {});
    boxedServer.Listen({QHostAddress::LocalHost, 0});
    SwitchFormContext boxedContext;  // the real message box
    boxedContext.core = &boxedCore;
    SwitchForm panel(boxedContext);
    panel.show();
    const Run noBox = Measure([port = boxedServer.Port()] { return Client(port, false); });
    Run withBox;
    bool boxShown = false;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, &panel, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        watch.stop();
        boxShown = true;
        failing.failReads = false;
        withBox = Measure([port = boxedServer.Port()] { return Client(port, false); });
        box->done(QMessageBox::Ok);
    });
    watch.start(0);
    failing.failReads = true;
    // A button that shows 1 is never refused: its click reads the register first.
    auto* c2 = panel.findChild<QPushButton*>(QStringLiteral("C2"));
    (c2->text() == QLatin1String("1") ? c2 : panel.findChild<QPushButton*>(QStringLiteral("C1")))->click();
    watch.stop();

    // A label in the channel list against the channel's number, on a board
    // whose labels are kept: alternated, the best median of each.
    QTemporaryDir folder;
    RelayCycles kept(folder.path());
    core.SetCycles(&kept);
    core.SetLabel(1, "ANT", Source{});
    core.SetLabel(2, "LOAD", Source{});
    double numbered = 1e9, labelled = 1e9;
    bool labelsOk = true;
    for (int i = 0; i < kFairRuns; ++i) {
        for (auto [commands, best] : {std::pair{kCommands, &numbered}, std::pair{kLabelled, &labelled}}) {
            const Run run = Measure([port = server.Port(), commands = commands] { return Client(port, false, commands); });
            labelsOk = labelsOk && run.ok;
            *best = std::min(*best, Percentile(run.microseconds, 50));
        }
    }
    // *RCL of setups that differ in the path: each switches, then waits for the settle time.
    core.SetSettleTime(kRecallSettle, Source{});
    labelsOk = labelsOk && Measure([port = server.Port()] { return Client(port, false, kSave, 1); }).ok;
    const Run recalls = Measure([port = server.Port()] { return Client(port, false, kRecall, kRecalls); });
    core.SetCycles(nullptr);

    if (!labelsOk || !recalls.ok) {
        std::printf("a round trip with a label or a recall failed\n");
        return 1;
    }
    if (!bare.ok || !scpi.ok || !pipelined.ok || !windowed.ok || !cycles.ok || !noBox.ok || !withBox.ok || !boxShown || !sharesOk) {
        const auto said = [](bool ok) { return ok ? "ok" : "failed"; };
        std::printf("a round trip failed (echo %s, SCPI %s, sent without waiting %s, with the panel %s, connections %s, "
                    "no box %s, with the box %s, box shown %s)\n",
                    said(bare.ok), said(scpi.ok), said(pipelined.ok), said(windowed.ok), said(cycles.ok), said(noBox.ok),
                    said(withBox.ok), boxShown ? "yes" : "no");
        return 1;
    }
    const double bareMedian = Percentile(bare.microseconds, 50);
    const double scpiMedian = Percentile(scpi.microseconds, 50);
    const double roundTripsPerSecond = kRoundTrips / scpi.seconds;
    const double perSecond = kRoundTrips / pipelined.seconds;
    const bool ratioHolds = scpiMedian <= kMaxRatio * bareMedian;
    const bool rateHolds = perSecond >= kMinOperationsPerSecond;

    std::printf("SCPI round trips over loopback, %d alternating selections with *OPC? (simulated port)\n", kRoundTrips);
    std::printf("  bare QTcpServer echo: median %.1f us, p99 %.1f us\n", bareMedian, Percentile(bare.microseconds, 99));
    std::printf("  SCPI server:          median %.1f us, p99 %.1f us\n", scpiMedian, Percentile(scpi.microseconds, 99));
    std::printf("  median ratio %.2f (goal <= %.1f): %s\n", scpiMedian / bareMedian, kMaxRatio, ratioHolds ? "holds" : "MISSED");
    std::printf("  one at a time: %.0f selections per second (the echo's own round trips allow %.0f), %d reached the core\n",
                roundTripsPerSecond, kRoundTrips / bare.seconds, roundTripSelections);
    std::printf("  sent without waiting: %.0f switch operations per second, %d more reached the core (goal >= %.0f/s): %s\n",
                perSecond, pipelinedSelections - roundTripSelections, kMinOperationsPerSecond, rateHolds ? "holds" : "MISSED");
    const double windowedPerSecond = kRoundTrips / windowed.seconds;
    std::printf("  with the panel open: %.0f switch operations per second, %d reached the core, %.2f of the rate without it "
                "(goal >= %.2f): %s\n",
                windowedPerSecond, selections - pipelinedSelections, windowedPerSecond / perSecond, kMinWindowShare,
                windowedPerSecond >= kMinWindowShare * perSecond ? "holds" : "MISSED");
    const double noBoxMedian = Percentile(noBox.microseconds, 50), withBoxMedian = Percentile(withBox.microseconds, 50);
    std::printf("  the panel open, no message box:          median %.1f us, p99 %.1f us\n", noBoxMedian, Percentile(noBox.microseconds, 99));
    std::printf("  the panel showing a message box meanwhile: median %.1f us, p99 %.1f us\n", withBoxMedian,
                Percentile(withBox.microseconds, 99));
    std::printf("  median ratio with the box %.2f (goal <= %.1f): %s\n", withBoxMedian / noBoxMedian, kMaxBoxRatio,
                withBoxMedian <= kMaxBoxRatio * noBoxMedian ? "holds" : "MISSED");
    std::printf("  sent without waiting, a share of %d a turn: %.0f switch operations per second against %.0f running all at once, "
                "%.2f (goal >= %.2f): %s\n",
                ConnectionPolicy().turnShare, shared, greedyRate, shared / greedyRate, kMinFairShare, shared >= kMinFairShare * greedyRate ? "holds" : "MISSED");
    std::printf("  %d connections opened, answered and closed: open files %d before, %d after: %s\n", kConnections,
                filesBefore, filesAfter, filesAfter == filesBefore ? "unchanged" : "LEAKED");
    const double labelCost = (labelled - numbered) / numbered;
    std::printf("  ROUT:CLOS (@ANT) against (@1), best median of %d runs each: %.1f us against %.1f us, the label costs %+.1f %% "
                "(goal <= %.0f %%): %s\n",
                kFairRuns, labelled, numbered, 100 * labelCost, 100 * kMaxLabelCost, labelCost <= kMaxLabelCost ? "holds" : "MISSED");
    const double recallMs = Percentile(recalls.microseconds, 50) / 1000, settleMs = double(kRecallSettle.count());
    if (recallMs < settleMs) {
        std::printf("  *RCL: the setups recalled did not switch (%.2f ms a recall)\n", recallMs);
        return 1;
    }
    std::printf("  *RCL of a saved setup with *OPC?, %d round trips, settle time %.0f ms: median %.2f ms, p99 %.2f ms "
                "(goal: median <= %.0f ms, the settle time plus %.0f ms): %s\n",
                kRecalls, settleMs, recallMs, Percentile(recalls.microseconds, 99) / 1000, settleMs + kRecallSlackMs, kRecallSlackMs,
                recallMs <= settleMs + kRecallSlackMs ? "holds" : "MISSED");
    return 0;
}

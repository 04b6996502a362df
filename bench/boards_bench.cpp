// Several boards behind one server, against one board alone: how long
// "ROUT:CLOS (@101,202);*OPC?" takes with a 20 ms settle time on both (the
// boards settle side by side), switch operations per second through the
// cores with four boards, and the resident memory each further board costs
// (its port layer, core and relay counts, as --board makes them).

#include "Figures.h"
#include "Identity.h"
#include "Loopback.h"
#include "PortLayer.h"
#include "RelayCycles.h"
#include "ScpiServer.h"
#include "SwitchSystem.h"

#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kSettle{20};
constexpr int kSamples = 100;
constexpr int kOperations = 200000;
constexpr int kExtraBoards = 32;

// A board on the simulated port at `address`, every client allowed to drive it.
struct Board
{
    explicit Board(std::int32_t address)
    {
        core.SetAllowSimulated(true);
        core.TakeAddress(address, true, Source{});
    }
    SimulatedPort port;
    SwitchCore core{port};
};

// Selects per second through the cores, turn about over `boards`; 0 where
// one did not verify.
double OperationsPerSecond(std::vector<std::unique_ptr<Board>>& boards)
{
    int verified = 0;
    const auto count = [&verified](const OperationResult& result) { verified += result.Ok() ? 1 : 0; };
    const auto start = Clock::now();
    for (int i = 0; i < kOperations; ++i)
        boards[std::size_t(i) % boards.size()]->core.Select((i / int(boards.size())) % 2 ? RfPath::Rf2 : RfPath::Rf1, Source{}, count);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return verified == kOperations ? kOperations / seconds : 0;
}

double ResidentMiB()
{
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return double(resident) * double(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);

    // One board, and two behind one server, each with the settle time.
    Board alone(888);
    alone.core.SetSettleTime(kSettle, Source{});
    ScpiServer single(alone.core, ProgramIdentity(), {});
    Board first(888), second(632);
    SwitchSystem system;
    system.Add(first.core);
    system.Add(second.core);
    for (Board* board : {&first, &second})
        board->core.SetSettleTime(kSettle, Source{});
    ScpiServer pair(first.core, ProgramIdentity(), {});
    if (!single.Listen({QHostAddress::LocalHost, 0}) || !pair.Listen({QHostAddress::LocalHost, 0})) {
        std::fprintf(stderr, "boards-bench: cannot listen on loopback\n");
        return 1;
    }
    const auto one = Measure([&] { return OpcRoundTrips(single.Port(), {"ROUT:CLOS (@1);*OPC?\n", "ROUT:CLOS (@2);*OPC?\n"}, kSamples); });
    const auto two = Measure([&] { return OpcRoundTrips(pair.Port(), {"ROUT:CLOS (@101,202);*OPC?\n", "ROUT:CLOS (@102,201);*OPC?\n"}, kSamples); });
    if (one.size() != kSamples || two.size() != kSamples) {
        std::fprintf(stderr, "boards-bench: the switch did not answer every *OPC? with 1\n");
        return 1;
    }
    const double together = Median(two) / Median(one);

    // Switching through the cores: four boards against one, best of five.
    std::vector<std::unique_ptr<Board>> oneBoard, fourBoards;
    oneBoard.push_back(std::make_unique<Board>(888));
    for (const std::int32_t address : {888, 632, 956, 1016})
        fourBoards.push_back(std::make_unique<Board>(address));
    double single1 = 0, single4 = 0;
    for (int round = 0; round < 5; ++round) {
        single1 = std::max(single1, OperationsPerSecond(oneBoard));
        single4 = std::max(single4, OperationsPerSecond(fourBoards));
    }
    if (single1 == 0 || single4 == 0) {
        std::fprintf(stderr, "boards-bench: a select did not verify\n");
        return 1;
    }
    const double perOperation = single4 / single1;

    // What each further board holds, as --board makes it.
    QTemporaryDir folder;
    std::vector<std::unique_ptr<PortIo>> layers;
    std::vector<std::unique_ptr<RelayCycles>> counts;
    std::vector<std::unique_ptr<SwitchCore>> cores;
    SwitchSystem many;
    const double before = ResidentMiB();
    for (int i = 0; i < kExtraBoards; ++i) {
        layers.push_back(std::make_unique<PortLayer>(MakeSystemBackends({})));
        counts.push_back(std::make_unique<RelayCycles>(folder.path()));
        cores.push_back(std::make_unique<SwitchCore>(*layers.back()));
        cores.back()->SetCycles(counts.back().get());
        cores.back()->SetAllowSimulated(true);
        many.Add(*cores.back());
        cores.back()->TakeAddress(4096 + 8 * i, true, Source{});
        cores.back()->Select(RfPath::Rf1, Source{});
    }
    const double perBoard = (ResidentMiB() - before) / kExtraBoards;

    std::printf("rfswitch-panel several boards benchmark\n");
    std::printf("  %-44s %-22s %-12s %s\n", "Figure", "Measured", "Goal", "");
    Row("one board, ROUT:CLOS;*OPC? (median)", Format("%.2f ms", Median(one)));
    Row("two boards, ROUT:CLOS (@101,202);*OPC?", Format("%.2f ms", Median(two)));
    Row("two boards against one", Format("%.3fx", together), "<= 1.1x", together <= 1.1);
    Row("selects/s through the core, one board", Format("%.0f", single1));
    Row("selects/s through the cores, four boards", Format("%.0f", single4));
    Row("four boards against one, per operation", Format("%.3fx", perOperation), ">= 0.9x", perOperation >= 0.9);
    Row("resident memory per further board", Format("%.3f MiB", perBoard), "<= 0.5 MiB", perBoard <= 0.5);
    std::printf("\n  %d closes with *OPC? over the raw socket on loopback, 20 ms settle time on every board;\n"
                "  %d selects on the simulated port; %d further boards with a port layer, core and relay counts.\n",
                kSamples, kOperations, kExtraBoards);
    std::printf("BENCH boards (@101,202);*OPC? against one board: %.3fx (goal <= 1.1x) %s; four boards per operation: %.3fx "
                "(goal >= 0.9x) %s; %.3f MiB per further board (goal <= 0.5 MiB) %s\n",
                together, together <= 1.1 ? "met" : "not met", perOperation, perOperation >= 0.9 ? "met" : "not met", perBoard,
                perBoard <= 0.5 ? "met" : "not met");
    return 0;
}

// Prints how late *OPC? answers past the switch's settle time: a client on a
// thread of its own sends "ROUT:CLOS (@1);*OPC?" and "ROUT:CLOS (@2);*OPC?"
// alternating over loopback to the raw socket, on the simulated port, and
// times each from sending to its answer; what exceeds the settle time is the
// lateness (the write and the round trip included). Also the same with no
// settle time, the floor of those two.

#include "Figures.h"
#include "Identity.h"
#include "Loopback.h"
#include "ScpiServer.h"

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr std::chrono::milliseconds kSettle{20};
constexpr int kSamples = 300;
constexpr double kMaxP99Ms = 5;

const std::vector<std::string> kCommands{"ROUT:CLOS (@1);*OPC?\n", "ROUT:CLOS (@2);*OPC?\n"};

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    SimulatedSwitch board;
    ScpiServer server(board.core, ProgramIdentity(), {});
    if (!server.Listen({QHostAddress::LocalHost, 0})) {
        std::fprintf(stderr, "settle-bench: cannot listen on loopback\n");
        return 1;
    }
    const std::vector<double> floor = Measure([&] { return OpcRoundTrips(server.Port(), kCommands, kSamples); });
    board.core.SetSettleTime(kSettle, Source{});
    const std::vector<double> settled = Measure([&] { return OpcRoundTrips(server.Port(), kCommands, kSamples); });
    if (floor.size() != kSamples || settled.size() != kSamples) {
        std::fprintf(stderr, "settle-bench: the switch did not answer every *OPC? with 1\n");
        return 1;
    }
    std::vector<double> late;
    for (const double ms : settled)
        late.push_back(ms - double(kSettle.count()));
    const double early = *std::min_element(late.begin(), late.end());
    const double median = Median(late), p99 = Percentile(late, 99);

    std::printf("rfswitch-panel settle time benchmark\n");
    std::printf("  %-44s %-22s %-12s %s\n", "Figure", "Measured", "Goal", "");
    Row("*OPC? round trip, no settle time (median)", Format("%.3f ms", Median(floor)));
    Row("*OPC? lateness past 20 ms settle (median)", Format("%.3f ms", median));
    Row("*OPC? lateness past 20 ms settle (p99)", Format("%.3f ms", p99), "<= 5 ms", p99 <= kMaxP99Ms);
    Row("*OPC? earliest, past the settle time", Format("%.3f ms", early), ">= 0 ms", early >= 0);
    std::printf("\n  %d selects alternating rf1/rf2 over the raw socket on loopback, each with *OPC?,\n"
                "  timed from sending to the answer; lateness is that time less the settle time.\n",
                kSamples);
    std::printf("BENCH settle *OPC? lateness past %lld ms: median %.3f ms, p99 %.3f ms (goal p99 <= %.0f ms) %s\n",
                static_cast<long long>(kSettle.count()), median, p99, kMaxP99Ms, p99 <= kMaxP99Ms ? "met" : "not met");
    return 0;
}

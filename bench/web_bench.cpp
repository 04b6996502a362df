// Prints how fast a script switches over HTTP against SCPI in the same run:
// round trips of POST /api/select alternating rf1 and rf2 on one kept-alive
// connection, and of "ROUT:CLOS (@n);*OPC?", both on the simulated port over
// loopback, each answered once the switch has moved.

#include "Figures.h"
#include "Loopback.h"
#include "Identity.h"
#include "ScpiServer.h"
#include "SimulatedPort.h"
#include "SwitchCore.h"
#include "WebServer.h"

#include <chrono>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRoundTrips = 2000;
constexpr int kWarmUp = 100;
constexpr double kMaxRatio = 3.0;

struct Run
{
    std::vector<double> microseconds;
    std::size_t answerBytes = 0;
    bool ok = true;
};

// Sends `request(i)` and reads until `complete` holds for what came back,
// which `good` must accept; times each pair.
template <typename Request, typename Complete, typename Good>
Run RoundTrips(quint16 port, Request request, Complete complete, Good good)
{
    Run run;
    const int fd = Connect(port, true);
    run.ok = fd >= 0;
    char buffer[16384];
    for (int i = -kWarmUp; i < kRoundTrips && run.ok; ++i) {
        const std::string sent = request(i);
        const auto start = Clock::now();
        send(fd, sent.data(), sent.size(), 0);
        std::string answer;
        while (run.ok && !complete(answer)) {
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            run.ok = n > 0;
            answer.append(buffer, n > 0 ? std::size_t(n) : 0);
        }
        run.ok = run.ok && good(answer);
        run.answerBytes = answer.size();
        if (i >= 0)
            run.microseconds.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    if (fd >= 0)
        close(fd);
    return run;
}

Run Scpi(quint16 port)
{
    return RoundTrips(
        port, [](int i) { return std::string(i % 2 ? "ROUT:CLOS (@2);*OPC?\n" : "ROUT:CLOS (@1);*OPC?\n"); },
        [](const std::string& answer) { return !answer.empty() && answer.back() == '\n'; },
        [](const std::string& answer) { return answer == "1\n"; });
}

Run Http(quint16 port)
{
    return RoundTrips(
        port,
        [](int i) { return std::string("POST /api/select HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 3\r\n\r\n") + (i % 2 ? "rf2" : "rf1"); },
        [](const std::string& answer) {
            const auto end = answer.find("\r\n\r\n");
            const auto length = answer.find("Content-Length: ");
            return end != std::string::npos && length != std::string::npos
                && answer.size() >= end + 4 + std::stoul(answer.substr(length + 16));
        },
        [](const std::string& answer) { return answer.rfind("HTTP/1.1 200 OK\r\n", 0) == 0; });
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    SimulatedSwitch simulated;
    SwitchCore& core = simulated.core;
    ScpiServer scpi(core, ProgramIdentity(), {});
    WebServer web(core);
    if (!scpi.Listen({QHostAddress::LocalHost, 0}) || !web.Listen({QHostAddress::LocalHost, 0}))
        return 1;
    const Run overScpi = Measure([port = scpi.Port()] { return Scpi(port); });
    const Run overHttp = Measure([port = web.Port()] { return Http(port); });
    if (!overScpi.ok || !overHttp.ok) {
        std::printf("a round trip failed (SCPI %s, HTTP %s)\n", overScpi.ok ? "ok" : "failed", overHttp.ok ? "ok" : "failed");
        return 1;
    }
    const double scpiMedian = Median(overScpi.microseconds);
    const double httpMedian = Median(overHttp.microseconds);
    std::printf("Switching over HTTP and SCPI, %d alternating selections each, loopback, simulated port\n", kRoundTrips);
    Row("SCPI ROUT:CLOS;*OPC? round trip, median", Format("%.1f us", scpiMedian));
    Row("SCPI round trip, p99", Format("%.1f us", Percentile(overScpi.microseconds, 99)));
    Row("HTTP POST /api/select round trip, median", Format("%.1f us", httpMedian));
    Row("HTTP round trip, p99", Format("%.1f us", Percentile(overHttp.microseconds, 99)));
    Row("HTTP answer (headers and state)", Format("%.0f bytes", double(overHttp.answerBytes)));
    Row("HTTP median / SCPI median", Format("%.2f", httpMedian / scpiMedian), "<= 3", httpMedian <= kMaxRatio * scpiMedian);
    return 0;
}

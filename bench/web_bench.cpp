// Prints how fast a script switches over HTTP against SCPI in the same run:
// round trips of POST /api/select alternating rf1 and rf2 on one kept-alive
// connection, and of "ROUT:CLOS (@n);*OPC?", both on the simulated port over
// loopback, each answered once the switch has moved. Then what the web
// server holds for a client that sends request after request and reads none
// of the answers.

#include "Figures.h"
#include "Loopback.h"
#include "Identity.h"
#include "ScpiServer.h"
#include "SimulatedPort.h"
#include "SwitchCore.h"
#include "WebServer.h"

#include <QTimer>

#include <cerrno>
#include <chrono>
#include <fstream>
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

// Pipelined requests for the schematic for `seconds`, none of the answers
// read; the bytes the kernel took.
double Flood(quint16 port, const std::string& requests, int seconds)
{
    const int fd = Connect(port, false);
    if (fd < 0)
        return -1;
    const timeval wait{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
    double sent = 0;
    const auto until = Clock::now() + std::chrono::seconds(seconds);
    while (Clock::now() < until) {
        const ssize_t n = send(fd, requests.data(), requests.size(), MSG_NOSIGNAL);
        if (n <= 0 && errno != EAGAIN)
            break;
        sent += n > 0 ? double(n) : 0;
    }
    close(fd);
    return sent;
}

double ResidentMiB()
{
    std::ifstream status("/proc/self/status");
    for (std::string field; status >> field;)
        if (field == "VmRSS:") {
            double kib = 0;
            status >> kib;
            return kib / 1024;
        }
    return 0;
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

    std::string requests;
    while (requests.size() < 1024 * 1024)
        requests += "GET /schematic.svg HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    std::size_t held = 0;
    QTimer sample;
    QObject::connect(&sample, &QTimer::timeout, [&] { held = std::max(held, web.Buffered()); });
    sample.start(1);
    const double before = ResidentMiB();
    const double taken = Measure([port = web.Port(), &requests] { return Flood(port, requests, 3); });
    const double after = ResidentMiB();
    std::printf("A client that sends requests for 3 s and reads no answer\n");
    Row("requests the kernel took from it", Format("%.1f MiB", taken / (1024 * 1024)));
    Row("held for it by the server, at most", Format("%.0f KiB", double(held) / 1024), "<= 256 KiB", held <= 256 * 1024);
    Row("resident memory, after against before", Format("%+.1f MiB", after - before), "<= 8 MiB", after - before <= 8);
    return 0;
}

// Prints how fast a script switches over VXI-11 against the raw socket in
// the same run: round trips of "ROUT:CLOS (@1);*OPC?" and "(@2)" alternating
// (a device_write and a device_read over VXI-11, a line and its answer over
// the raw socket), on the simulated port, over loopback. The clients are
// Debian's liblxi, as test engineers use it, both ways and interleaved, so
// that whatever slows the machine meanwhile slows both alike; then the
// project's own plain-socket clients; and how many selections a second
// VXI-11 carries when the client does not read between.
//
// The servers run in this process's event loop; the clients on a thread of
// their own.

#include "Figures.h"
#include "Loopback.h"
#include "RpcServer.h"
#include "Identity.h"
#include "ScpiServer.h"
#include "SimulatedPort.h"
#include "SwitchCore.h"
#include "Vxi11Server.h"
#include "vxi11.h"

#include <QCoreApplication>

#ifdef RFSWITCH_LIBLXI
#include <lxi.h>

#include <dlfcn.h>
#include <netconfig.h>
#endif

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRoundTrips = 5000;
constexpr int kWarmUp = 200;
constexpr int kSelections = 5000;
constexpr double kMaxRatio = 2.0;
constexpr long kEnd = 0x08;
constexpr unsigned long kIoTimeoutMs = 10000;

const char* const kRoundTrip[] = {"ROUT:CLOS (@1);*OPC?\n", "ROUT:CLOS (@2);*OPC?\n"};

struct Run
{
    std::vector<double> microseconds;
    double seconds = 0;
    bool ok = true;
};

sockaddr_in Loopback(quint16 port)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return to;
}

// Times each of `count` calls of `once` (which says whether it went right).
template <typename Once>
Run Time(int count, Once once)
{
    Run run;
    for (int i = -kWarmUp; i < count && run.ok; ++i) {
        const auto start = Clock::now();
        run.ok = once(i + kWarmUp);
        if (i >= 0)
            run.microseconds.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    return run;
}

Run RawRoundTrips(quint16 port)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to = Loopback(port);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        close(fd);
        return {{}, 0, false};
    }
    Run run = Time(kRoundTrips, [fd](int i) {
        const std::string command = kRoundTrip[i % 2];
        send(fd, command.data(), command.size(), 0);
        std::string answer;
        char buffer[64];
        while (answer.empty() || answer.back() != '\n') {
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                return false;
            answer.append(buffer, static_cast<std::size_t>(n));
        }
        return answer == "1\n";
    });
    close(fd);
    return run;
}

// Reads exactly `size` bytes.
bool Receive(int fd, char* into, std::size_t size)
{
    for (std::size_t got = 0; got < size;) {
        const ssize_t n = recv(fd, into + got, size - got, 0);
        if (n <= 0)
            return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

// A VXI-11 link over a plain blocking socket, straight to the core channel,
// its calls in libtirpc's RPC messages and rpcgen's XDR routines: a client
// that costs what the raw socket's does.
struct Link
{
    int fd = -1;
    Device_Link id = 0;
    std::uint32_t xid = 0;

    explicit Link(quint16 port) : fd(socket(AF_INET, SOCK_STREAM, 0))
    {
        sockaddr_in to = Loopback(port);
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        Create_LinkParms parms{0, 0, 0, const_cast<char*>("inst0")};
        Create_LinkResp made{};
        if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0
            && Call(create_link, xdr_Create_LinkParms, &parms, xdr_Create_LinkResp, &made) && made.error == 0)
            id = made.lid;
    }
    ~Link()
    {
        Device_Error done{};
        if (id)
            Call(destroy_link, xdr_Device_Link, &id, xdr_Device_Error, &done);
        close(fd);
    }

    template <typename In, typename Out>
    bool Call(rpcproc_t procedure, XdrRoutine<In> encode, In* arguments, XdrRoutine<Out> decode, Out* result)
    {
        rpc_msg call = CallHeader(++xid, DEVICE_CORE, DEVICE_CORE_VERSION, procedure);
        char buffer[1024];
        XDR xdrs;
        xdrmem_create(&xdrs, buffer + 4, sizeof buffer - 4, XDR_ENCODE);
        const bool encoded = xdr_callmsg(&xdrs, &call) && encode(&xdrs, arguments);
        const u_int size = xdr_getpos(&xdrs);
        xdr_destroy(&xdrs);
        const quint32 mark = htonl(0x80000000u | size);
        std::memcpy(buffer, &mark, 4);
        if (!encoded || send(fd, buffer, size + 4, 0) != ssize_t(size + 4) || !Receive(fd, buffer, 4))
            return false;
        std::uint32_t length;
        std::memcpy(&length, buffer, 4);
        std::vector<char> reply((ntohl(length) & 0x7FFFFFFFu));
        if (!Receive(fd, reply.data(), reply.size()))
            return false;
        return DecodeReply(reply.data(), static_cast<u_int>(reply.size()), AsXdrProc(decode), result);
    }

    bool Write(const char* text)
    {
        Device_WriteParms parms{id, kIoTimeoutMs, 0, kEnd, {static_cast<u_int>(std::strlen(text)), const_cast<char*>(text)}};
        Device_WriteResp done{};
        return Call(device_write, xdr_Device_WriteParms, &parms, xdr_Device_WriteResp, &done) && done.error == 0;
    }
    std::string Read()
    {
        Device_ReadParms parms{id, 256, kIoTimeoutMs, 0, 0, 0};
        Device_ReadResp read{};
        const bool ok = Call(device_read, xdr_Device_ReadParms, &parms, xdr_Device_ReadResp, &read) && read.error == 0;
        std::string data = ok ? std::string(read.data.data_val, read.data.data_len) : std::string();
        xdr_free(AsXdrProc(xdr_Device_ReadResp), &read);
        return data;
    }
};

Run Vxi11RoundTrips(quint16 port)
{
    Link link(port);
    if (!link.id)
        return {{}, 0, false};
    return Time(kRoundTrips, [&link](int i) { return link.Write(kRoundTrip[i % 2]) && link.Read() == "1\n"; });
}

// Selections written one after another, then *OPC? read once.
Run Vxi11Selections(quint16 port)
{
    Run run;
    Link link(port);
    const auto begin = Clock::now();
    for (int i = 0; i < kSelections && run.ok; ++i)
        run.ok = link.id && link.Write(i % 2 ? "ROUT:CLOS (@2)" : "ROUT:CLOS (@1)");
    run.ok = run.ok && link.Write("*OPC?") && link.Read() == "1\n";
    run.seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    return run;
}

#ifdef RFSWITCH_LIBLXI

// liblxi finds the core channel through the port mapper on port 111, which
// a benchmark cannot take: that one lookup is answered here with the port
// the server listens on, and the client made as libtirpc's clnt_create
// makes it once it knows the port. Every call after it is liblxi's own.
std::atomic<quint16> coreChannel{0};

} // namespace

extern "C" CLIENT* clnt_create(const char* host, const rpcprog_t program, const rpcvers_t version, const char* nettype)
{
    if (program == DEVICE_CORE && coreChannel != 0) {
        netconfig* tcp = getnetconfigent("tcp");
        sockaddr_in to = Loopback(coreChannel);
        netbuf address{sizeof to, sizeof to, &to};
        CLIENT* client = tcp ? clnt_tli_create(RPC_ANYFD, tcp, &address, program, version, 0, 0) : nullptr;
        if (tcp)
            freenetconfigent(tcp);
        return client;
    }
    using Create = CLIENT* (*)(const char*, rpcprog_t, rpcvers_t, const char*);
    static const auto libtirpc = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "clnt_create"));
    return libtirpc ? libtirpc(host, program, version, nettype) : nullptr;
}

namespace {

struct Interleaved
{
    Run raw;
    Run vxi11;
};

// One query through liblxi: the command sent, its answer read.
bool LxiQuery(int device, const char* command)
{
    constexpr int kTimeoutMs = 10000;
    char answer[64];
    if (lxi_send(device, command, static_cast<int>(std::strlen(command)), kTimeoutMs) < 0)
        return false;
    const int got = lxi_receive(device, answer, sizeof answer, kTimeoutMs);
    return got == 2 && std::memcmp(answer, "1\n", 2) == 0;
}

// liblxi to the raw socket and to VXI-11, one round trip each in turn, the
// one that goes first changing every time.
Interleaved LiblxiRoundTrips(quint16 rawPort, quint16 vxi11Port)
{
    Interleaved runs;
    coreChannel = vxi11Port;
    lxi_init();
    char host[] = "127.0.0.1";
    const int raw = lxi_connect(host, rawPort, nullptr, 5000, RAW);
    const int vxi11 = lxi_connect(host, 0, "inst0", 5000, VXI11);
    runs.raw.ok = runs.vxi11.ok = raw >= 0 && vxi11 >= 0;
    for (int i = -kWarmUp; i < kRoundTrips && runs.raw.ok && runs.vxi11.ok; ++i) {
        const char* command = kRoundTrip[(i + kWarmUp) % 2];
        for (int turn = 0; turn < 2; ++turn) {
            const bool toRaw = (turn == 0) == (i % 2 == 0);
            Run& run = toRaw ? runs.raw : runs.vxi11;
            const auto start = Clock::now();
            run.ok = LxiQuery(toRaw ? raw : vxi11, command);
            if (i >= 0)
                run.microseconds.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
    }
    if (raw >= 0)
        lxi_disconnect(raw);
    if (vxi11 >= 0)
        lxi_disconnect(vxi11);
    return runs;
}

#endif

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    SimulatedSwitch simulated;
    SwitchCore& core = simulated.core;
    ScpiServer raw(core, ProgramIdentity(), {});
    Vxi11Server vxi11(core, ProgramIdentity(), {});
    if (!raw.Listen({QHostAddress::LocalHost, 0}) || !vxi11.Listen(QHostAddress::LocalHost)) {
        std::printf("the servers could not listen on loopback\n");
        return 1;
    }
    std::printf("VXI-11 against the raw socket, %d round trips of \"ROUT:CLOS (@n);*OPC?\" each (simulated port)\n",
                kRoundTrips);
    bool ok = true;
#ifdef RFSWITCH_LIBLXI
    const Interleaved lxi = Measure([raw = raw.Port(), port = vxi11.Port()] { return LiblxiRoundTrips(raw, port); });
    if (lxi.raw.ok && lxi.vxi11.ok) {
        const double rawMedian = Median(lxi.raw.microseconds);
        const double rpcMedian = Median(lxi.vxi11.microseconds);
        Row("liblxi, raw socket, median / p99",
            Format("%.1f us", rawMedian) + Format(" / %.1f us", Percentile(lxi.raw.microseconds, 99)));
        Row("liblxi, VXI-11 (write + read), median / p99",
            Format("%.1f us", rpcMedian) + Format(" / %.1f us", Percentile(lxi.vxi11.microseconds, 99)));
        Row("liblxi, VXI-11 / raw socket, medians", Format("%.2f", rpcMedian / rawMedian), "<= 2",
            rpcMedian / rawMedian <= kMaxRatio);
    } else {
        std::printf("  a round trip through liblxi failed (raw socket %s, VXI-11 %s)\n", lxi.raw.ok ? "ok" : "failed",
                    lxi.vxi11.ok ? "ok" : "failed");
        ok = false;
    }
#else
    std::printf("  liblxi is not installed (liblxi-dev): its rows are left out\n");
#endif
    const Run socket = Measure([port = raw.Port()] { return RawRoundTrips(port); });
    const Run rpc = Measure([port = vxi11.Port()] { return Vxi11RoundTrips(port); });
    const Run selections = Measure([port = vxi11.Port()] { return Vxi11Selections(port); });
    if (!socket.ok || !rpc.ok || !selections.ok) {
        std::printf("a round trip failed (raw socket %s, VXI-11 %s, selections %s)\n", socket.ok ? "ok" : "failed",
                    rpc.ok ? "ok" : "failed", selections.ok ? "ok" : "failed");
        return 1;
    }
    const double rawMedian = Median(socket.microseconds);
    const double rpcMedian = Median(rpc.microseconds);
    Row("own client, raw socket, median / p99", Format("%.1f us", rawMedian) + Format(" / %.1f us", Percentile(socket.microseconds, 99)));
    Row("own client, VXI-11, median / p99",
        Format("%.1f us", rpcMedian) + Format(" / %.1f us", Percentile(rpc.microseconds, 99)));
    Row("own client, VXI-11 / raw socket, medians", Format("%.2f", rpcMedian / rawMedian));
    Row("VXI-11 selections per second (writes, no reads)", Format("%.0f /s", kSelections / selections.seconds));
    return ok ? 0 : 1;
    return 0;
}

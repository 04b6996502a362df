// Prints how fast a script talks HiSLIP against the raw socket in the same
// run, and HiSLIP over TLS against plain HiSLIP: round trips of "*IDN?" and
// of "ROUT:CLOS (@n);*OPC?" with (@1) and (@2) alternating, on the
// simulated port, over loopback, the three clients taking turns so that
// whatever slows the machine meanwhile slows them alike.
//
// The servers run in this process's event loop; the clients, plain
// blocking sockets (OpenSSL's own for TLS), on a thread of their own.

#include "Figures.h"
#include "HislipMessage.h"
#include "HislipServer.h"
#include "Identity.h"
#include "Loopback.h"
#include "ScpiServer.h"
#include "Tls.h"

#include <QCoreApplication>
#include <QHostInfo>
#include <QTemporaryDir>

#include <openssl/ssl.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRoundTrips = 4000;
constexpr int kWarmUp = 200;
constexpr double kMaxHislipRatio = 1.3;
constexpr double kMaxTlsRatio = 1.5;

// One way to the server: a socket, with TLS on it once started.
struct Stream
{
    int fd = -1;
    SSL* ssl = nullptr;

    bool Write(const std::string& bytes) const
    {
        if (ssl)
            return SSL_write(ssl, bytes.data(), int(bytes.size())) == int(bytes.size());
        return send(fd, bytes.data(), bytes.size(), 0) == ssize_t(bytes.size());
    }
    bool Read(char* into, std::size_t size) const
    {
        for (std::size_t got = 0; got < size;) {
            const long n = ssl ? SSL_read(ssl, into + got, int(size - got)) : recv(fd, into + got, size - got, 0);
            if (n <= 0)
                return false;
            got += std::size_t(n);
        }
        return true;
    }
    bool StartTls(SSL_CTX* context)
    {
        ssl = SSL_new(context);
        SSL_set_fd(ssl, fd);
        return SSL_connect(ssl) == 1;
    }
    void Close()
    {
        SSL_free(ssl);
        close(fd);
    }
};

struct Hislip
{
    Stream sync, async;
    std::uint32_t id = hislip::kFirstMessageId;
    bool delivered = false;

    bool Send(const Stream& stream, hislip::Type type, std::uint8_t control, std::uint32_t parameter, const std::string& payload = {})
    {
        return stream.Write(hislip::Encode(type, control, parameter, payload));
    }
    bool Receive(const Stream& stream, hislip::Header& header, std::string& payload)
    {
        char head[hislip::kHeaderSize];
        if (!stream.Read(head, sizeof head))
            return false;
        const auto decoded = hislip::DecodeHeader(std::string_view(head, sizeof head));
        if (!decoded)
            return false;
        header = *decoded;
        payload.resize(std::size_t(header.length));
        return stream.Read(payload.data(), payload.size());
    }

    bool Open(quint16 port, SSL_CTX* tls)
    {
        sync.fd = Connect(port, true);
        hislip::Header header;
        std::string payload;
        if (sync.fd < 0 || !Send(sync, hislip::Type::Initialize, 0, hislip::Pack(hislip::kVersion2_0, 0x4242), "hislip0")
            || !Receive(sync, header, payload))
            return false;
        async.fd = Connect(port, true);
        if (async.fd < 0 || !Send(async, hislip::Type::AsyncInitialize, 0, hislip::Low(header.parameter)) || !Receive(async, header, payload))
            return false;
        if (!tls)
            return true;
        return Send(async, hislip::Type::AsyncStartTls, 0, 0) && Receive(async, header, payload) && header.control == 1
            && async.StartTls(tls) && Send(sync, hislip::Type::StartTls, 0, 0) && sync.StartTls(tls);
    }

    std::string Query(const std::string& text)
    {
        if (!Send(sync, hislip::Type::DataEnd, delivered ? 1 : 0, id, text))
            return {};
        id += 2;
        std::string answer, payload;
        hislip::Header header;
        do {
            if (!Receive(sync, header, payload))
                return {};
            answer += payload;
        } while (header.type != hislip::Type::DataEnd);
        delivered = true;
        return answer;
    }
};

struct Raw
{
    int fd = -1;
    std::string Query(const std::string& text) const
    {
        const std::string line = text + '\n';
        if (send(fd, line.data(), line.size(), 0) != ssize_t(line.size()))
            return {};
        std::string answer;
        char buffer[256];
        while (answer.empty() || answer.back() != '\n') {
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                return {};
            answer.append(buffer, std::size_t(n));
        }
        return answer;
    }
};

struct Times
{
    std::vector<double> raw, hislip, tls;
    bool ok = true;
    std::string failure;
};

template <typename Query>
double Timed(Query query, const std::string& expected, Times& times, const char* who)
{
    const auto start = Clock::now();
    const std::string answer = query();
    if (answer != expected && times.ok) {
        times.ok = false;
        times.failure = std::string(who) + " answered \"" + answer + "\"";
    }
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

// The three clients take turns, each starting a round in its turn.
Times RoundTrips(quint16 rawPort, quint16 hislipPort, SSL_CTX* tls, bool idn)
{
    Times times;
    Raw raw{Connect(rawPort, true)};
    Hislip plain, secure;
    if (raw.fd < 0 || !plain.Open(hislipPort, nullptr) || !secure.Open(hislipPort, tls)) {
        times.ok = false;
        times.failure = "a client could not connect";
        return times;
    }
    const std::string identity = "rfswitch-panel,QTR7-415KM,0," RFSWITCH_VERSION "\n";
    for (int i = -kWarmUp; i < kRoundTrips && times.ok; ++i) {
        const std::string command = idn ? "*IDN?" : i % 2 ? "ROUT:CLOS (@2);*OPC?" : "ROUT:CLOS (@1);*OPC?";
        const std::string expected = idn ? identity : "1\n";
        double took[3] = {0, 0, 0};
        for (int turn = 0; turn < 3; ++turn) {
            const int which = (turn + i) % 3;
            if (which == 0)
                took[0] = Timed([&] { return raw.Query(command); }, expected, times, "the raw socket");
            else if (which == 1)
                took[1] = Timed([&] { return plain.Query(command); }, expected, times, "HiSLIP");
            else
                took[2] = Timed([&] { return secure.Query(command); }, expected, times, "HiSLIP over TLS");
        }
        if (i >= 0) {
            times.raw.push_back(took[0]);
            times.hislip.push_back(took[1]);
            times.tls.push_back(took[2]);
        }
    }
    close(raw.fd);
    plain.sync.Close();
    plain.async.Close();
    secure.sync.Close();
    secure.async.Close();
    return times;
}

std::string MedianAndTail(const std::vector<double>& samples)
{
    return Format("%.1f us", Median(samples)) + Format(" / %.1f us", Percentile(samples, 99));
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir state;
    QString made, error;
    const auto credentials = TlsCredentials::SelfSigned(state.path(), QHostInfo::localHostName(), {QHostAddress::LocalHost}, &made, &error);
    if (!credentials) {
        std::printf("no certificate for the benchmark: %s\n", qPrintable(error));
        return 1;
    }
    SimulatedSwitch simulated;
    ScpiServer raw(simulated.core, ProgramIdentity(), {});
    HislipOptions options;
    options.tls = credentials;
    HislipServer hislip(simulated.core, ProgramIdentity(), {}, options);
    if (!raw.Listen({QHostAddress::LocalHost, 0}) || !hislip.Listen({QHostAddress::LocalHost, 0})) {
        std::printf("the servers could not listen on loopback\n");
        return 1;
    }
    SSL_CTX* client = SSL_CTX_new(TLS_client_method());
    SSL_CTX_set_min_proto_version(client, TLS1_2_VERSION);
    std::printf("HiSLIP against the raw socket, and HiSLIP over TLS against plain, %d round trips each, taking turns "
                "(simulated port)\n", kRoundTrips);
    for (const bool idn : {true, false}) {
        const Times times = Measure([&] { return RoundTrips(raw.Port(), hislip.Port(), client, idn); });
        if (!times.ok) {
            std::printf("a round trip failed: %s\n", times.failure.c_str());
            return 1;
        }
        const char* what = idn ? "*IDN?" : "ROUT:CLOS (@n);*OPC?";
        const double hislipRatio = Median(times.hislip) / Median(times.raw);
        const double tlsRatio = Median(times.tls) / Median(times.hislip);
        std::printf(" %s\n", what);
        Row("raw socket round trip, median / p99", MedianAndTail(times.raw));
        Row("HiSLIP round trip, median / p99", MedianAndTail(times.hislip));
        Row("HiSLIP over TLS round trip, median / p99", MedianAndTail(times.tls));
        Row("HiSLIP / raw socket, medians", Format("%.2f", hislipRatio), "<= 1.3", hislipRatio <= kMaxHislipRatio);
        Row("HiSLIP over TLS / plain HiSLIP, medians", Format("%.2f", tlsRatio), "<= 1.5", tlsRatio <= kMaxTlsRatio);
    }
    SSL_CTX_free(client);
    return 0;
}

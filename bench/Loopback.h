#pragma once

// What the network benchmarks share: the switch they serve, a plain
// blocking client socket to a server of this process, and a client run on a
// thread of its own while the servers run in this thread's event loop, so
// that it costs them all alike.

#include "SimulatedPort.h"
#include "SwitchCore.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>

#include <chrono>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

// The switch on the simulated port at 888, every client allowed to drive it
// as with --simulate.
struct SimulatedSwitch
{
    SimulatedSwitch()
    {
        core.SetAllowSimulated(true);
        core.TakeAddress(888, true, Source{});
    }
    SimulatedPort port;
    SwitchCore core{port};
};

// A TCP connection to `port` on this machine, or -1; `noDelay` sends each
// command at once instead of letting Nagle gather them.
inline int Connect(quint16 port, bool noDelay)
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int one = 1;
    if (noDelay)
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Runs `client` on a thread while this thread's event loop serves (also one
// running already, such as a message box's); its result.
template <typename Client>
auto Measure(Client client)
{
    decltype(client()) run;
    QThread* thread = QThread::create([&run, client] { run = client(); });
    QEventLoop loop;
    QObject::connect(thread, &QThread::finished, &loop, &QEventLoop::quit);
    thread->start();
    loop.exec();
    thread->wait();
    delete thread;
    return run;
}

// Milliseconds from sending each of `commands` (in turn, `samples` in all)
// to its answer "1", over one connection; fewer where one was not answered so.
inline std::vector<double> OpcRoundTrips(quint16 port, const std::vector<std::string>& commands, int samples)
{
    std::vector<double> milliseconds;
    const int fd = Connect(port, true);
    if (fd < 0)
        return milliseconds;
    for (int i = 0; i < samples; ++i) {
        const std::string& command = commands[std::size_t(i) % commands.size()];
        const auto start = std::chrono::steady_clock::now();
        if (write(fd, command.data(), command.size()) != ssize_t(command.size()))
            break;
        char answer[16];
        std::size_t got = 0;
        while (got == 0 || answer[got - 1] != '\n') {
            const ssize_t n = read(fd, answer + got, sizeof answer - got);
            if (n <= 0)
                break;
            got += std::size_t(n);
        }
        if (got != 2 || answer[0] != '1')
            break;
        milliseconds.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    close(fd);
    return milliseconds;
}

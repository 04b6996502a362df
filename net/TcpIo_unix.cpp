#include "TcpIo.h"

#include <algorithm>
#include <cerrno>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tcp {

namespace {

Io Result(ssize_t n, bool receiving)
{
    if (n > 0)
        return {Io::Status::Moved, static_cast<std::size_t>(n)};
    if (n == 0 && receiving)
        return {Io::Status::Closed, 0};
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        return {Io::Status::WouldBlock, 0};
    return {Io::Status::Failed, 0};
}

void Option(Handle socket, int level, int name, int value)
{
    setsockopt(static_cast<int>(socket), level, name, &value, sizeof value);
}

} // namespace

Io Receive(Handle socket, char* buffer, std::size_t size)
{
    return Result(recv(static_cast<int>(socket), buffer, size, 0), true);
}

Io Send(Handle socket, const char* data, std::size_t size)
{
    // A client that has gone fails the send; it does not stop the program.
    return Result(send(static_cast<int>(socket), data, size, MSG_NOSIGNAL), false);
}

void Prepare(Handle socket, std::chrono::seconds giveUp)
{
    const int fd = static_cast<int>(socket);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    Option(socket, IPPROTO_TCP, TCP_NODELAY, 1);
    // Quiet for half the time, then four probes spread over the other half.
    constexpr int kProbes = 4;
    const int seconds = std::max<int>(static_cast<int>(giveUp.count()), 2);
    const int interval = std::max(seconds / 2 / kProbes, 1);
    Option(socket, SOL_SOCKET, SO_KEEPALIVE, 1);
    Option(socket, IPPROTO_TCP, TCP_KEEPIDLE, std::max(seconds - kProbes * interval, 1));
    Option(socket, IPPROTO_TCP, TCP_KEEPINTVL, interval);
    Option(socket, IPPROTO_TCP, TCP_KEEPCNT, kProbes);
    // Answers the client never acknowledges give up after the same time.
    Option(socket, IPPROTO_TCP, TCP_USER_TIMEOUT, seconds * 1000);
}

void Close(Handle socket, bool reset)
{
    if (reset) {
        const linger now{1, 0};
        setsockopt(static_cast<int>(socket), SOL_SOCKET, SO_LINGER, &now, sizeof now);
    }
    close(static_cast<int>(socket));
}

namespace {

std::string AddressText(const sockaddr_storage& peer, std::uint16_t& port)
{
    char text[INET6_ADDRSTRLEN] = "";
    if (peer.ss_family == AF_INET6) {
        const auto& six = reinterpret_cast<const sockaddr_in6&>(peer);
        inet_ntop(AF_INET6, &six.sin6_addr, text, sizeof text);
        port = ntohs(six.sin6_port);
    } else {
        const auto& four = reinterpret_cast<const sockaddr_in&>(peer);
        inet_ntop(AF_INET, &four.sin_addr, text, sizeof text);
        port = ntohs(four.sin_port);
    }
    return text;
}

// Opened before the table can fill up; -1 while it is lent out.
int reserve = open("/dev/null", O_RDONLY | O_CLOEXEC);

} // namespace

std::string PeerAddress(Handle socket, std::uint16_t& port)
{
    sockaddr_storage peer{};
    socklen_t size = sizeof peer;
    port = 0;
    if (getpeername(static_cast<int>(socket), reinterpret_cast<sockaddr*>(&peer), &size) != 0)
        return {};
    return AddressText(peer, port);
}

std::string LocalAddress(Handle socket, std::uint16_t& port)
{
    sockaddr_storage local{};
    socklen_t size = sizeof local;
    port = 0;
    if (getsockname(static_cast<int>(socket), reinterpret_cast<sockaddr*>(&local), &size) != 0)
        return {};
    return AddressText(local, port);
}

bool DropPending(Handle listener)
{
    if (reserve >= 0)
        close(reserve);
    const int pending = accept4(static_cast<int>(listener), nullptr, nullptr, SOCK_CLOEXEC);
    if (pending >= 0)
        Close(pending, true);
    reserve = open("/dev/null", O_RDONLY | O_CLOEXEC);
    return pending >= 0;
}

} // namespace tcp

#include "TcpIo.h"

#include <algorithm>

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>

namespace tcp {

namespace {

Io Result(int n, bool receiving)
{
    if (n > 0)
        return {Io::Status::Moved, static_cast<std::size_t>(n)};
    if (n == 0 && receiving)
        return {Io::Status::Closed, 0};
    const int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK || error == WSAEINTR)
        return {Io::Status::WouldBlock, 0};
    return {Io::Status::Failed, 0};
}

} // namespace

Io Receive(Handle socket, char* buffer, std::size_t size)
{
    return Result(recv(static_cast<SOCKET>(socket), buffer, static_cast<int>(std::min<std::size_t>(size, 1 << 30)), 0), true);
}

Io Send(Handle socket, const char* data, std::size_t size)
{
    return Result(send(static_cast<SOCKET>(socket), data, static_cast<int>(std::min<std::size_t>(size, 1 << 30)), 0), false);
}

void Prepare(Handle socket, std::chrono::seconds giveUp)
{
    const auto s = static_cast<SOCKET>(socket);
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    const BOOL yes = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&yes), sizeof yes);
    // Quiet for half the time, then probes every second until it is up
    // (Windows sends ten).
    const long milliseconds = std::max<long>(static_cast<long>(giveUp.count()), 20) * 1000;
    tcp_keepalive keepAlive{1, static_cast<ULONG>(milliseconds / 2), static_cast<ULONG>(milliseconds / 20)};
    DWORD returned = 0;
    WSAIoctl(s, SIO_KEEPALIVE_VALS, &keepAlive, sizeof keepAlive, nullptr, 0, &returned, nullptr, nullptr);
}

void Close(Handle socket, bool reset)
{
    if (reset) {
        const linger now{1, 0};
        setsockopt(static_cast<SOCKET>(socket), SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&now), sizeof now);
    }
    closesocket(static_cast<SOCKET>(socket));
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

} // namespace

std::string PeerAddress(Handle socket, std::uint16_t& port)
{
    sockaddr_storage peer{};
    int size = sizeof peer;
    port = 0;
    if (getpeername(static_cast<SOCKET>(socket), reinterpret_cast<sockaddr*>(&peer), &size) != 0)
        return {};
    return AddressText(peer, port);
}

std::string LocalAddress(Handle socket, std::uint16_t& port)
{
    sockaddr_storage local{};
    int size = sizeof local;
    port = 0;
    if (getsockname(static_cast<SOCKET>(socket), reinterpret_cast<sockaddr*>(&local), &size) != 0)
        return {};
    return AddressText(local, port);
}

bool DropPending(Handle listener)
{
    // Windows has no per-process descriptor limit to reserve against.
    const SOCKET pending = accept(static_cast<SOCKET>(listener), nullptr, nullptr);
    if (pending == INVALID_SOCKET)
        return false;
    Close(static_cast<Handle>(pending), true);
    return true;
}

} // namespace tcp

// The servers' own socket calls on Windows (net/TcpIo_win.cpp) against a
// client on loopback, and the TLS files (net/KeyFile_win.cpp) on disk, run
// under Wine: what the client receives, and what a file holds.
#include "Expect.h"
#include "KeyFile.h"
#include "TcpIo.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <fstream>
#include <sstream>

namespace {

sockaddr_in listening{};  // the listener's address

std::uint16_t PortOf(SOCKET socket)
{
    sockaddr_in address{};
    int size = sizeof address;
    getsockname(socket, reinterpret_cast<sockaddr*>(&address), &size);
    return ntohs(address.sin_port);
}

// Waits until `socket` has something to read, or its end.
void Readable(SOCKET socket)
{
    fd_set ready;
    FD_ZERO(&ready);
    FD_SET(socket, &ready);
    timeval limit{10, 0};
    select(0, &ready, nullptr, nullptr, &limit);
}

SOCKET Connected()
{
    const SOCKET client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    const DWORD limit = 10000;  // milliseconds: a test that waits longer has failed
    setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&limit), sizeof limit);
    connect(client, reinterpret_cast<const sockaddr*>(&listening), sizeof listening);
    return client;
}

// What the client reads until the connection ends. A connection turned
// away ends with a reset on Windows, and in order under Wine: both "ended".
std::string Drained(SOCKET client)
{
    std::string got;
    char buffer[64];
    int n;
    while ((n = recv(client, buffer, sizeof buffer, 0)) > 0)
        got.append(buffer, std::size_t(n));
    const int error = n == 0 ? 0 : WSAGetLastError();
    closesocket(client);
    return got + (error == 0 || error == WSAECONNRESET ? "ended" : "error " + std::to_string(error));
}

std::string Said(tcp::Io io)
{
    static const char* const statuses[] = {"moved ", "would block", "closed", "failed"};
    return statuses[int(io.status)] + (io.status == tcp::Io::Status::Moved ? std::to_string(io.bytes) : "");
}

// Writes `text` as the TLS files are written: "written", or "not written"
// and the system's error number (Wine's words for it are its own).
std::string Written(const std::string& path, bool ownerOnly, const char* text, bool whole)
{
    std::string error;
    if (keyfile::WriteWhole(path, ownerOnly, [=](std::FILE* file) { return std::fputs(text, file) >= 0 && whole; }, error))
        return "written";
    return "not written" + error.substr(std::min(error.rfind(" ("), error.size()));
}

std::string Contents(const std::string& path)
{
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

} // namespace

int main()
{
    WSADATA version;
    WSAStartup(MAKEWORD(2, 2), &version);
    const SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    listening.sin_family = AF_INET;
    listening.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener, reinterpret_cast<const sockaddr*>(&listening), sizeof listening);
    listen(listener, 4);
    listening.sin_port = htons(PortOf(listener));
    u_long nonBlocking = 1;  // as the servers' listeners are
    ioctlsocket(listener, FIONBIO, &nonBlocking);
    char buffer[64];

    // A client that asks, then half-closes: it is still answered, then the
    // connection ends in order. (Each stream's parts are taken in order.)
    SOCKET client = Connected();
    Readable(listener);
    tcp::Handle server = accept(listener, nullptr, nullptr);
    tcp::Prepare(server, std::chrono::seconds(20));
    std::uint16_t peerPort = 0, localPort = 0;
    std::ostringstream seen;
    seen << tcp::PeerAddress(server, peerPort) << ':' << peerPort << ' ' << tcp::LocalAddress(server, localPort) << ':' << localPort;
    Expect(seen.str(), "127.0.0.1:" + std::to_string(PortOf(client)) + " 127.0.0.1:" + std::to_string(PortOf(listener)), "addresses");
    seen.str("");
    seen << Said(tcp::Receive(server, buffer, sizeof buffer));
    send(client, "*IDN?\n", 6, 0);
    Readable(server);
    seen << ", " << Said(tcp::Receive(server, buffer, sizeof buffer));
    shutdown(client, SD_SEND);
    Readable(server);
    seen << ", " << Said(tcp::Receive(server, buffer, sizeof buffer)) << ", " << Said(tcp::Send(server, "answer\n", 7));
    tcp::Close(server, false);
    seen << "; client: " << Drained(client);
    Expect(seen.str(), "would block, moved 6, closed, moved 7; client: answer\nended", "half-closed client");

    // Turned away with a reset: once accepted, and still pending.
    seen.str("");
    client = Connected();
    Readable(listener);
    tcp::Close(accept(listener, nullptr, nullptr), true);
    seen << Drained(client);
    client = Connected();
    Readable(listener);
    seen << std::boolalpha << ", dropped: " << tcp::DropPending(listener) << ", " << Drained(client) << ", again: " << tcp::DropPending(listener);
    Expect(seen.str(), "ended, dropped: true, ended, again: false", "turned away");

    // A file written whole over the old one, or not at all.
    seen.str("");
    seen << Written("key.pem", true, "A", true) << ' ' << Contents("key.pem") << ", " << Written("key.pem", false, "B", true) << ' '
         << Contents("key.pem") << ", " << Written("key.pem", false, "C", false) << ' ' << Contents("key.pem") << Contents("key.pem.new")
         << ", " << Written("none\\key.pem", false, "D", true);
    Expect(seen.str(), "written A, written B, not written B, not written (error 3)", "key file");

    std::printf("%d failed\n", failed);
    return failed == 0 ? 0 : 1;
}

#pragma once

// Addresses as every server takes and names them.

#include <QAbstractSocket>
#include <QHostAddress>
#include <QString>

#include <optional>
#include <vector>

// Where to listen, from the option value [HOST:]PORT: "5025" is
// 127.0.0.1:5025, "0" any free port; an IPv6 host goes in brackets,
// "[::1]:5025"; "[::]" is every address, IPv4 and IPv6 alike; a host name,
// "localhost:5025", is kept as given until ListenHosts looks it up.
struct ListenAddress
{
    QHostAddress host;  // null for a name
    quint16 port = 0;
    QString name{};     // the host name as given, else empty
};
std::optional<ListenAddress> ParseListenAddress(const QString& text, QString* error = nullptr);

// The addresses to listen on for `address`: its own, or each address its
// name has, IPv4 ones first, looked up once (this blocks: at start, before
// anything is served). "localhost" is the loopback addresses this machine
// has, whatever the resolver says. Empty, with why, where a name has none.
std::vector<QHostAddress> ListenHosts(const ListenAddress& address, QString* error = nullptr);

// Where a server listens: the address an option gave, and each address its
// host name stands for (ListenHosts).
struct ListenPlace
{
    ListenAddress address;
    std::vector<QHostAddress> hosts;

    // How clients name the server: by the name it was given, by the
    // machine's name where it listens on every address, else by its address.
    QString ClientHost() const;
    // "127.0.0.1:5025 and [::1]:5025": each host at `port`.
    QString Places(quint16 port) const;
};

// Why nothing can listen on `host`:`port` (`error` and `words`: the
// socket's): PortInUse for a port in use, else the address and the system's
// words.
QString ListenFailure(const QHostAddress& host, quint16 port, QAbstractSocket::SocketError error, const QString& words);
// "port 8080 on 127.0.0.1 is in use by another program".
QString PortInUse(const QHostAddress& host, quint16 port);

// Whether `host` is an any-address (every interface).
bool IsAnyAddress(const QHostAddress& host);

// An IPv4 address mapped into IPv6 (a dual-stack socket's peer) as the IPv4
// one; any other as it is.
QHostAddress Unmapped(const QHostAddress& address);
// "127.0.0.1", "[::1]", "[::]": an address as it goes into HOST:PORT, a URL
// or a VISA resource string, unmapped.
QString HostText(const QHostAddress& address);
// "127.0.0.1:50432", "[::1]:50432".
QString PeerText(const QHostAddress& address, quint16 port);

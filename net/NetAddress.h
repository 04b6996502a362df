#pragma once

// Addresses as every server takes and names them.

#include <QHostAddress>
#include <QString>

#include <optional>

// Where to listen, from the option value [HOST:]PORT: "5025" is
// 127.0.0.1:5025, "0" any free port; an IPv6 host goes in brackets,
// "[::1]:5025"; "[::]" is every address, IPv4 and IPv6 alike.
struct ListenAddress
{
    QHostAddress host;
    quint16 port = 0;
};
std::optional<ListenAddress> ParseListenAddress(const QString& text, QString* error = nullptr);

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

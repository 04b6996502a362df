#pragma once

#include "ScpiSession.h"

#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QStringList>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

class QTcpServer;
class SwitchCore;

// Where to listen, from the option value [HOST:]PORT: "5025" is
// 127.0.0.1:5025, "0" any free port; an IPv6 host goes in brackets,
// "[::1]:5025".
struct ListenAddress
{
    QHostAddress host;
    quint16 port = 0;
};
std::optional<ListenAddress> ParseListenAddress(const QString& text, QString* error = nullptr);

// An IPv4 address mapped into IPv6 (a dual-stack socket's peer) as the IPv4
// one; any other as it is.
QHostAddress Unmapped(const QHostAddress& address);
// "127.0.0.1", "[::1]": an address as it goes into HOST:PORT, a URL or a
// VISA resource string, unmapped.
QString HostText(const QHostAddress& address);
// "127.0.0.1:50432", "[::1]:50432".
QString PeerText(const QHostAddress& address, quint16 port);

// The peers --allow lets in: ADDRESS/PREFIX or a single ADDRESS each.
using Subnets = std::vector<std::pair<QHostAddress, int>>;
std::optional<Subnets> ParseAllowList(const QStringList& texts, QString* error = nullptr);

struct ScpiServerOptions
{
    QString maker = QStringLiteral("rfswitch-panel");
    QString model = QStringLiteral("QTR7-415KM");
    QString serial = QStringLiteral("0");
    QString version;  // empty: the program's own
    Subnets allow;    // empty: any peer that reaches the address
    // A connection with no command for this long is closed (0: never).
    std::chrono::seconds idleTimeout{0};
    // A client that has vanished (no answer to keepalive probes, nothing
    // acknowledged) is given up on, and its slot freed, after this long.
    std::chrono::seconds keepAlive{120};
};

// SCPI over raw TCP for test scripts (VISA's TCPIP::host::port::SOCKET), on
// the panel's switch core: remote commands queue with panel clicks and
// show in the panel at once.
class ScpiServer : public QObject
{
    Q_OBJECT

public:
    static constexpr int kMaxClients = 8;

    using Options = ScpiServerOptions;

    explicit ScpiServer(SwitchCore& core, Options options = {}, QObject* parent = nullptr);
    ~ScpiServer() override;

    bool Listen(const ListenAddress& address, QString* error = nullptr);
    // "127.0.0.1:5025" once listening (the port it got for port 0), else empty.
    QString Address() const;
    quint16 Port() const;
    int Clients() const { return static_cast<int>(connections_.size()); }
    // Empty on loopback; elsewhere the warning that anyone who reaches the
    // address can switch the board (`rawIo`: through a process run as root).
    QString ExposureWarning(bool rawIo) const;

signals:
    void Listening(const QString& address);
    void ClientsChanged(int clients);
    // A connection was turned away: who, and why.
    void Refused(const QString& peer, const QString& why);

private:
    struct Connection;

    void Accept(qintptr socket);
    bool Allowed(const QHostAddress& peer) const;
    void Read(Connection& connection);
    void Send(Connection& connection, std::string_view bytes);
    void Forget(Connection& connection);

    SwitchCore& core_;
    Options options_;
    QTcpServer* server_;
    std::map<Connection*, std::unique_ptr<Connection>> connections_;
};

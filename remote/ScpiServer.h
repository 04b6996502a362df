#pragma once

#include "ScpiSession.h"

#include <QHostAddress>
#include <QObject>
#include <QString>

#include <map>
#include <memory>
#include <optional>

class QTcpServer;
class QTcpSocket;
class SwitchCore;
class SwitchInstrument;

// Where to listen, from the option value [HOST:]PORT: "5025" is
// 127.0.0.1:5025, "0" any free port; an IPv6 host goes in brackets,
// "[::1]:5025".
struct ListenAddress
{
    QHostAddress host;
    quint16 port = 0;
};
std::optional<ListenAddress> ParseListenAddress(const QString& text, QString* error = nullptr);

struct ScpiServerOptions
{
    QString maker = QStringLiteral("rfswitch-panel");
    QString model = QStringLiteral("QTR7-415KM");
    QString version;  // empty: the program's own
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
    int Clients() const { return clients_; }

signals:
    void Listening(const QString& address);
    void ClientsChanged(int clients);

private:
    struct Connection;

    void Accept();
    void Read(Connection& connection);
    void Forget(QTcpSocket* socket);

    SwitchCore& core_;
    Options options_;
    QTcpServer* server_;
    std::map<QTcpSocket*, std::unique_ptr<Connection>> connections_;
    int clients_ = 0;
};

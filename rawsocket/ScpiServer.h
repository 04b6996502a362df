#pragma once

#include "ConnectionPolicy.h"
#include "Identity.h"
#include "NetAddress.h"

#include <QObject>
#include <QPointer>
#include <QString>

#include <vector>

class Connection;
class ScpiClient;
class Door;
class SwitchCore;

// SCPI over raw TCP for test scripts (VISA's TCPIP::host::port::SOCKET), on
// the panel's switch core: remote commands queue with panel clicks and
// show in the panel at once. Each connection is a client of its own; its
// lock ends with it.
class ScpiServer : public QObject
{
    Q_OBJECT

public:
    static constexpr int kMaxClients = 8;

    // `policy.maxConnections` is kMaxClients unless set lower.
    ScpiServer(SwitchCore& core, Identity identity, ConnectionPolicy policy, QObject* parent = nullptr);
    ~ScpiServer() override;

    bool Listen(const ListenAddress& address, QString* error = nullptr);
    // "127.0.0.1:5025" once listening (the port it got for port 0), else empty.
    QString Address() const;
    QHostAddress Host() const;
    quint16 Port() const;
    int Clients() const;
    // SCPI errors its clients have not read yet, summed over them.
    int ErrorsQueued() const;

signals:
    void ClientsChanged(int clients);
    // A connection was turned away or closed by the policy: who, and why.
    void Refused(const QString& peer, const QString& why);

private:
    void Serve(Connection* connection);

    SwitchCore& core_;
    Identity identity_;
    Door* door_;
    std::vector<QPointer<ScpiClient>> clients_;
};

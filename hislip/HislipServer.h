#pragma once

#include "ConnectionPolicy.h"
#include "Identity.h"
#include "NetAddress.h"

#include <QObject>
#include <QString>

#include <memory>

class Connection;
class Door;
class HislipLocks;
class SwitchCore;
class TlsCredentials;
namespace hislip {
class SessionTable;
}

struct HislipOptions
{
    // Offered for StartTLS (HiSLIP 2.0) where set.
    std::shared_ptr<const TlsCredentials> tls;
    // A session may do nothing but start TLS until both its channels run
    // over it; a client below HiSLIP 2.0 is refused.
    bool tlsRequired = false;
};

// HiSLIP (VISA's TCPIP::host::hislip0::INSTR) on the panel's switch core:
// each session, a synchronous and an asynchronous connection paired by its
// id, is a SCPI client of its own, named "hislip:PEER/sessionN"; its lock
// and whatever it left running end with it.
class HislipServer : public QObject
{
    Q_OBJECT

public:
    static constexpr int kMaxSessions = 8;
    static constexpr quint16 kDefaultPort = 4880;

    // `policy.maxConnections` counts sessions (two connections each), at
    // most kMaxSessions.
    HislipServer(SwitchCore& core, Identity identity, ConnectionPolicy policy, HislipOptions options = {},
                 QObject* parent = nullptr);
    ~HislipServer() override;

    bool Listen(const ListenAddress& address, QString* error = nullptr);
    QString Address() const;
    QHostAddress Host() const;
    quint16 Port() const;
    int Sessions() const;

    struct Context;

signals:
    void SessionsChanged(int sessions);
    // A connection was turned away or closed by the policy: who, and why.
    void Refused(const QString& peer, const QString& why);

private:
    void Greet(Connection* connection);

    std::unique_ptr<Context> context_;
    // Last, so that its connections, and the sessions on them, go first.
    std::unique_ptr<Door> door_;
};

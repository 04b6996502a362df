#pragma once

#include "ConnectionPolicy.h"
#include "Identity.h"
#include "Listener.h"

#include <QString>

#include <memory>

class Connection;
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
class HislipServer : public DoorListener
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

    int Sessions() const;
    // SCPI errors in the sessions' queues, summed.
    int ErrorsQueued() const;

    QString Protocol() const override { return QStringLiteral("hislip"); }
    // First: locks of its own, service requests and TLS.
    int Preference() const override { return 1; }
    int Clients() const override { return Sessions(); }
    std::optional<ServerLoad> Load() const override;
    Words Started() const override;
    QString Resource(const QString& host) const override;
    std::vector<ServiceOffer> Offers() const override;

    struct Context;

private:
    void Serve(Connection* connection) override;

    std::unique_ptr<Context> context_;
};

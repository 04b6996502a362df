#pragma once

#include "ConnectionPolicy.h"
#include "Identity.h"
#include "Listener.h"

#include <QPointer>
#include <QString>

#include <vector>

class Connection;
class ScpiClient;
class SwitchCore;

// SCPI over raw TCP for test scripts (VISA's TCPIP::host::port::SOCKET), on
// the panel's switch core: remote commands queue with panel clicks and
// show in the panel at once. Each connection is a client of its own; its
// lock ends with it.
class ScpiServer : public DoorListener
{
    Q_OBJECT

public:
    static constexpr int kMaxClients = 8;

    // `policy.maxConnections` is kMaxClients unless set lower.
    ScpiServer(SwitchCore& core, Identity identity, ConnectionPolicy policy, QObject* parent = nullptr);
    ~ScpiServer() override;

    // SCPI errors its clients have not read yet, summed over them.
    int ErrorsQueued() const;

    QString Protocol() const override { return QStringLiteral("scpi"); }
    // After HiSLIP and VXI-11, which have locks and service requests of their own.
    int Preference() const override { return 3; }
    int Clients() const override;
    std::optional<ServerLoad> Load() const override;
    Words Started() const override;
    QString Resource(const QString& host) const override;
    std::vector<ServiceOffer> Offers() const override;

private:
    void Serve(Connection* connection) override;

    SwitchCore& core_;
    Identity identity_;
    std::vector<QPointer<ScpiClient>> clients_;
};

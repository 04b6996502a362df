#pragma once

// How VXI-11 clients learn the port of the core channel: they ask the port
// mapper on port 111. Where the system's rpcbind runs, the program is
// registered with it (and withdrawn at the end); where no port mapper
// answers and this program may bind port 111, it answers GETPORT and DUMP
// (rpcinfo -p) itself, as instruments do, on TCP and UDP, to the peers
// --allow lets in.

#include "ConnectionPolicy.h"
#include "Listener.h"

#include <QHostAddress>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <vector>

class QLocalSocket;
class RpcServer;

class PortMapper : public Listener
{
    Q_OBJECT

public:
    // rpcbind's socket for registrations from this machine.
    static constexpr const char* kRpcbindSocket = "/run/rpcbind.sock";
    static constexpr quint16 kPortMapperPort = 111;

    // Lookups at once on TCP; each takes a moment.
    static constexpr int kMaxConnections = 32;

    // The policy holds for its own port mapper, with kMaxConnections.
    explicit PortMapper(ConnectionPolicy policy, QObject* parent = nullptr);
    // One that, once opened at a place (its own port mapper's port there),
    // makes `program` `version` on TCP `port` known there.
    PortMapper(ConnectionPolicy policy, std::uint32_t program, std::uint32_t version, quint16 port, QObject* parent = nullptr);
    ~PortMapper() override;

    // Makes `program` `version` on TCP `port` of `hosts` (a host name's
    // addresses, or one) known; Said says how. Its own port mapper answers
    // on `mapperPort` of each (0: a free one, for tests).
    void Start(const std::vector<QHostAddress>& hosts, std::uint32_t program, std::uint32_t version, quint16 port,
               quint16 mapperPort = kPortMapperPort);
    // Where its own port mapper answers; 0 where rpcbind does.
    quint16 OwnPort() const;
    // The line Said gave, once it has.
    const QString& Line() const { return line_; }

    // Refusals: a peer turned away from its own port mapper on TCP, or
    // closed by the policy (datagrams from a peer not let in are dropped
    // unheard).
    QString Protocol() const override { return QStringLiteral("portmap"); }
    // VXI-11's service, announced at the port mapper: after the ways in a
    // client connects to directly.
    int Preference() const override { return 4; }
    int Clients() const override { return 0; }
    std::vector<ServiceOffer> Offers() const override;

protected:
    // Never fails: how it settles is said.
    bool ListenAt(const ListenPlace& place, QString* failure) override;

private:
    void Register(const QString& whyNotOwn);
    void ReadRegistration();
    void Settle(const QString& line);

    ConnectionPolicy policy_;
    QHostAddress host_;
    std::uint32_t program_ = 0;
    std::uint32_t version_ = 0;
    quint16 port_ = 0;
    RpcServer* own_ = nullptr;
    QLocalSocket* rpcbind_ = nullptr;
    QByteArray replies_;
    QString whyNotOwn_;
    bool registered_ = false;
    QTimer timeout_;
    QString line_;
};

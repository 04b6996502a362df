#pragma once

#include "ConnectionPolicy.h"
#include "NetAddress.h"

#include <QDateTime>
#include <QObject>
#include <QString>

#include <functional>
#include <map>
#include <memory>
#include <vector>

class Connection;
class QTcpServer;
class TlsCredentials;

// A listening TCP socket with the connection policy applied at the door,
// the same for every server: a peer --allow does not let in, or one past
// the cap, is reset with nothing to read and reported at most once a minute
// per peer address; a full descriptor table neither stops this listener
// nor, through the one descriptor kept in reserve, the others; every
// connection let in gets keepalive and the idle timeout. It may listen on
// several addresses (a host name's): the policy and its counts are the
// same for all of them.
class Door : public QObject
{
    Q_OBJECT

public:
    // `protocol` names the server in refusals ("SCPI", "VXI-11", "HTTP").
    Door(QString protocol, ConnectionPolicy policy, QObject* parent = nullptr);
    ~Door() override;

    // Every connection let in runs over TLS from its first byte (HTTPS).
    void SetTls(std::shared_ptr<const TlsCredentials> credentials) { tls_ = std::move(credentials); }
    // Asked, when a peer would be turned away for the cap or for its share
    // of it (`ownShare`: one of its own must go), to close a connection that
    // can go (an idle keep-alive one) if there is one.
    void SetMakeRoom(std::function<void(const QHostAddress& peer, bool ownShare)> makeRoom) { makeRoom_ = std::move(makeRoom); }
    // Listens on one more address; `error`: ListenFailure's words.
    bool Listen(const ListenAddress& address, QString* error = nullptr);
    bool Listening() const;
    // The first address actually bound, "[::]:5025" or "127.0.0.1:5025";
    // empty before.
    QString Address() const;
    QHostAddress Host() const;
    quint16 Port() const;
    int Connections() const { return static_cast<int>(open_.size()); }
    int ConnectionsOf(const QHostAddress& peer) const;
    const ConnectionPolicy& Policy() const { return policy_; }
    const QString& Protocol() const { return protocol_; }

signals:
    // A connection was let in: its protocol takes it up now.
    void Opened(Connection* connection);
    void ConnectionsChanged(int connections);
    // A peer was turned away (at most once a minute per peer address; `why`
    // counts those not reported since), or a connection closed by the
    // policy (idle, or a deadline missed).
    void Refused(const QString& peer, const QString& why);

private:
    void Accept(qintptr socket);
    // Why `peer` cannot be let in now, after room has been made where it can; empty where it can.
    QString Turnaway(const QHostAddress& peer);
    void Refuse(const QString& peer, const QString& address, const QString& why);
    void Recover(QTcpServer* listener);

    QString protocol_;
    ConnectionPolicy policy_;
    std::vector<QTcpServer*> listeners_;
    std::map<Connection*, bool> open_;
    std::shared_ptr<const TlsCredentials> tls_;
    std::function<void(const QHostAddress&, bool)> makeRoom_;
    struct Reported
    {
        QDateTime at;
        int since = 0;
    };
    std::map<QString, Reported> reported_;  // by peer address
};

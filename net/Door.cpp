#include "Door.h"

#include "Connection.h"
#include "TcpIo.h"
#include "Tls.h"

#include <QTcpServer>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace {

// Hands each accepted socket over as it is: the connection reads and
// writes it itself.
class Listener final : public QTcpServer
{
public:
    std::function<void(qintptr)> incoming;

protected:
    void incomingConnection(qintptr socket) override { incoming(socket); }
};

constexpr qint64 kReportEvery = 60;  // seconds, per peer address
constexpr std::size_t kPeersRemembered = 1024;

} // namespace

Door::Door(QString protocol, ConnectionPolicy policy, QObject* parent)
    : QObject(parent), protocol_(std::move(protocol)), policy_(std::move(policy))
{
}

Door::~Door()
{
    // Connections go before the listener that counts them.
    for (const auto& [connection, open] : open_) {
        connection->disconnect(this);
        delete connection;
    }
}

bool Door::Listen(const ListenAddress& address, QString* error)
{
    auto* listener = new Listener;
    listener->setParent(this);
    listener->incoming = [this](qintptr socket) { Accept(socket); };
    connect(listener, &QTcpServer::acceptError, this, [this, listener] { Recover(listener); });
    if (!listener->listen(address.host, address.port)) {
        if (error)
            *error = ListenFailure(address.host, address.port, listener->serverError(), listener->errorString());
        delete listener;
        return false;
    }
    listeners_.push_back(listener);
    return true;
}

bool Door::Listening() const
{
    return !listeners_.empty();
}

QString Door::Address() const
{
    return listeners_.empty() ? QString() : PeerText(listeners_.front()->serverAddress(), listeners_.front()->serverPort());
}

QHostAddress Door::Host() const
{
    return listeners_.empty() ? QHostAddress() : listeners_.front()->serverAddress();
}

quint16 Door::Port() const
{
    return listeners_.empty() ? quint16(0) : listeners_.front()->serverPort();
}

void Door::Accept(qintptr socket)
{
    std::uint16_t port = 0;
    const QHostAddress peer = Unmapped(QHostAddress(QString::fromStdString(tcp::PeerAddress(socket, port))));
    const QString why = policy_.allow.Admits(peer) ? Turnaway(peer) : QStringLiteral("not a peer that --allow lets in");
    if (!why.isEmpty()) {
        // Closed with a reset: nothing arrives that a client could take for an answer.
        tcp::Close(socket, true);
        Refuse(PeerText(peer, port), HostText(peer), why);
        return;
    }
    tcp::Prepare(socket, policy_.keepAlive);
    auto* connection = new Connection(socket, policy_, this);
    open_.emplace(connection, true);
    connect(connection, &Connection::Closed, this, [this, connection](const QString& why) {
        if (open_.erase(connection) == 0)
            return;
        if (connection->Enforced())
            emit Refused(connection->PeerText(), why);
        connection->Release();
        emit ConnectionsChanged(Connections());
    });
    if (tls_)
        connection->StartTls(*tls_);
    emit ConnectionsChanged(Connections());
    emit Opened(connection);
}

int Door::ConnectionsOf(const QHostAddress& peer) const
{
    return static_cast<int>(std::count_if(open_.begin(), open_.end(), [&peer](const auto& open) { return open.first->PeerAddress() == peer; }));
}

QString Door::Turnaway(const QHostAddress& peer)
{
    const auto full = [this, &peer] { return ConnectionsOf(peer) >= policy_.PerPeer(); };
    const auto over = [this, &full] { return full() || Connections() >= policy_.maxConnections; };
    if (over() && makeRoom_)
        makeRoom_(peer, full());
    if (full())
        return QStringLiteral("%1 connections from %2 already, as many as one peer may hold").arg(policy_.PerPeer()).arg(HostText(peer));
    if (Connections() >= policy_.maxConnections)
        return QStringLiteral("%1 clients are connected already").arg(policy_.maxConnections);
    return {};
}

void Door::Refuse(const QString& peer, const QString& address, const QString& why)
{
    const QDateTime now = QDateTime::currentDateTimeUtc();
    if (reported_.size() > kPeersRemembered)
        std::erase_if(reported_, [&now](const auto& entry) { return entry.second.at.secsTo(now) >= kReportEvery; });
    Reported& last = reported_[address];
    if (last.at.isValid() && last.at.secsTo(now) < kReportEvery) {
        ++last.since;
        return;
    }
    const int since = std::exchange(last.since, 0);
    last.at = now;
    emit Refused(peer, since == 0 ? why : QStringLiteral("%1 (%2 more from %3 in the last minute)").arg(why).arg(since).arg(address));
}

void Door::Recover(QTcpServer* listener)
{
    // The listener paused itself: a full descriptor table, most likely.
    // The pending connection is turned away through the reserve, and it
    // listens again; where even that failed it tries again shortly.
    const bool dropped = tcp::DropPending(listener->socketDescriptor());
    if (dropped)
        Refuse(QStringLiteral("a peer"), QStringLiteral("(no descriptor)"),
               QStringLiteral("no file descriptor free to take the connection"));
    if (dropped)
        listener->resumeAccepting();
    else
        QTimer::singleShot(100, listener, &QTcpServer::resumeAccepting);
}

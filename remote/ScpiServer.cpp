#include "ScpiServer.h"

#include "SwitchInstrument.h"
#include "TcpIo.h"

#include <QSocketNotifier>
#include <QTcpServer>
#include <QTimer>

#include <algorithm>
#include <utility>

namespace {

// Taken from a socket at a time; with the socket's own buffer this bounds
// what one client can make the panel hold while its commands wait.
constexpr std::size_t kReadChunk = 16 * 1024;
// Answers a client has not read yet: past this, its commands wait for it.
constexpr std::size_t kMaxUnsent = 1024 * 1024;

// Hands each accepted socket over as it is: the server reads and writes
// it itself.
class Listener final : public QTcpServer
{
public:
    std::function<void(qintptr)> incoming;

protected:
    void incomingConnection(qintptr socket) override { incoming(socket); }
};

} // namespace

QHostAddress Unmapped(const QHostAddress& address)
{
    bool ipv4 = false;
    const quint32 value = address.toIPv4Address(&ipv4);
    return ipv4 ? QHostAddress(value) : address;
}

QString HostText(const QHostAddress& address)
{
    const QHostAddress plain = Unmapped(address);
    return plain.protocol() == QAbstractSocket::IPv6Protocol ? QStringLiteral("[%1]").arg(plain.toString()) : plain.toString();
}

QString PeerText(const QHostAddress& address, quint16 port)
{
    return QStringLiteral("%1:%2").arg(HostText(address)).arg(port);
}

std::optional<ListenAddress> ParseListenAddress(const QString& text, QString* error)
{
    const auto fail = [error, &text](const QString& why) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(text, why);
        return std::nullopt;
    };
    QString host = QStringLiteral("127.0.0.1");
    QString port = text;
    if (text.startsWith(QLatin1Char('['))) {
        const qsizetype end = text.indexOf(QStringLiteral("]:"));
        if (end < 0)
            return fail(QStringLiteral("expected [IPv6 address]:PORT"));
        host = text.mid(1, end - 1);
        port = text.mid(end + 2);
    } else if (const qsizetype colon = text.lastIndexOf(QLatin1Char(':')); colon >= 0) {
        host = text.left(colon);
        port = text.mid(colon + 1);
        if (host.contains(QLatin1Char(':')))
            return fail(QStringLiteral("an IPv6 address goes in brackets, e.g. [::1]:5025"));
    }
    ListenAddress address;
    if (!address.host.setAddress(host))
        return fail(QStringLiteral("\"%1\" is not an IP address").arg(host));
    const bool digits = !port.isEmpty() && port.size() <= 5
        && std::all_of(port.begin(), port.end(), [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); });
    if (!digits || port.toUInt() > 65535)
        return fail(QStringLiteral("the port is a number from 0 to 65535 (0: any free one)"));
    address.port = static_cast<quint16>(port.toUInt());
    return address;
}

std::optional<Subnets> ParseAllowList(const QStringList& texts, QString* error)
{
    Subnets subnets;
    for (const QString& text : texts) {
        QHostAddress address;
        std::pair<QHostAddress, int> subnet = text.contains(QLatin1Char('/'))
            ? QHostAddress::parseSubnet(text)
            : address.setAddress(text) ? std::pair(address, address.protocol() == QAbstractSocket::IPv6Protocol ? 128 : 32)
                                       : std::pair(QHostAddress(), -1);
        if (subnet.second < 0) {
            if (error)
                *error = QStringLiteral("%1: not an ADDRESS/PREFIX such as 192.168.1.0/24 or 10.0.0.7").arg(text);
            return std::nullopt;
        }
        subnets.push_back(std::move(subnet));
    }
    return subnets;
}

struct ScpiServer::Connection
{
    tcp::Handle socket = -1;
    std::unique_ptr<SwitchInstrument> instrument;
    std::shared_ptr<ScpiSession> session;
    std::unique_ptr<QSocketNotifier> readable;
    std::unique_ptr<QSocketNotifier> writable;
    QTimer idle;
    std::string outbox;  // answers the system has not taken yet
    bool ended = false;  // the client sends nothing more: closed, idle or gone
    bool lost = false;   // nothing reaches it any more

    ~Connection()
    {
        // The session goes before what its answers would be written to.
        session.reset();
        readable.reset();
        writable.reset();
        tcp::Close(socket, false);
    }
};

ScpiServer::ScpiServer(SwitchCore& core, Options options, QObject* parent)
    : QObject(parent), core_(core), options_(std::move(options))
{
    if (options_.version.isEmpty())
        options_.version = QStringLiteral(RFSWITCH_REMOTE_VERSION);
    auto* listener = new Listener;
    listener->setParent(this);
    listener->incoming = [this](qintptr socket) { Accept(socket); };
    server_ = listener;
}

ScpiServer::~ScpiServer()
{
    connections_.clear();
}

bool ScpiServer::Listen(const ListenAddress& address, QString* error)
{
    if (!server_->listen(address.host, address.port)) {
        if (error)
            *error = server_->errorString();
        return false;
    }
    emit Listening(Address());
    return true;
}

QString ScpiServer::Address() const
{
    if (!server_->isListening())
        return {};
    return PeerText(server_->serverAddress(), server_->serverPort());
}

quint16 ScpiServer::Port() const
{
    return server_->serverPort();
}

QString ScpiServer::ExposureWarning(bool rawIo) const
{
    if (server_->serverAddress().isLoopback())
        return {};
    return QStringLiteral("listening on %1: anyone who can reach this address can switch the board%2%3")
        .arg(Address(),
             rawIo ? QStringLiteral(", through a process that runs as root (--raw-io)") : QString(),
             options_.allow.empty() ? QStringLiteral("; --allow limits who may connect") : QString());
}

bool ScpiServer::Allowed(const QHostAddress& peer) const
{
    return options_.allow.empty() || std::any_of(options_.allow.begin(), options_.allow.end(), [&peer](const auto& subnet) {
               return peer.isInSubnet(subnet);
           });
}

void ScpiServer::Accept(qintptr socket)
{
    std::uint16_t port = 0;
    QHostAddress peer(QString::fromStdString(tcp::PeerAddress(socket, port)));
    // A client on IPv4 reaching a server on [::] is named by its IPv4 address.
    peer = Unmapped(peer);
    const Source source = Source::Remote(PeerText(peer, port).toStdString());
    QString why;
    if (!Allowed(peer))
        why = QStringLiteral("not a peer that --allow lets in");
    else if (Clients() >= kMaxClients)
        why = QStringLiteral("%1 clients are connected already").arg(kMaxClients);
    if (!why.isEmpty()) {
        // Closed with a reset: nothing arrives that a client could take for an answer.
        tcp::Close(socket, true);
        core_.Refused(source, "connect", why.toStdString());
        emit Refused(QString::fromStdString(source.peer), why);
        return;
    }
    tcp::Prepare(socket, options_.keepAlive);

    auto connection = std::make_unique<Connection>();
    Connection* c = connection.get();
    c->socket = socket;
    c->instrument = std::make_unique<SwitchInstrument>(core_, source);
    c->session = ScpiSession::Create(*c->instrument, {options_.maker.toStdString(), options_.model.toStdString(),
                                                      options_.serial.toStdString(), options_.version.toStdString()});
    c->session->SetOutput([this, c](std::string_view answer) { Send(*c, answer); });
    c->session->SetResumed([this, c] { Read(*c); });
    c->readable = std::make_unique<QSocketNotifier>(socket, QSocketNotifier::Read);
    c->writable = std::make_unique<QSocketNotifier>(socket, QSocketNotifier::Write);
    c->writable->setEnabled(false);
    connect(c->readable.get(), &QSocketNotifier::activated, this, [this, c] { Read(*c); });
    connect(c->writable.get(), &QSocketNotifier::activated, this, [this, c] {
        Send(*c, {});
        Read(*c);
    });
    if (options_.idleTimeout.count() > 0) {
        c->idle.setSingleShot(true);
        c->idle.setInterval(options_.idleTimeout);
        connect(&c->idle, &QTimer::timeout, this, [this, c] {
            core_.Refused(c->instrument->Client(), "keep-open",
                          "no command for " + std::to_string(options_.idleTimeout.count()) + " s (--idle-timeout): closed");
            c->ended = true;
            Read(*c);
        });
        c->idle.start();
    }
    connections_.emplace(c, std::move(connection));
    emit ClientsChanged(Clients());
    Read(*c);
}

void ScpiServer::Read(Connection& c)
{
    // Commands run in the order sent: nothing new is taken while one waits
    // for the port, or while the client leaves its answers unread.
    char buffer[kReadChunk];
    while (!c.ended && !c.session->Waiting() && c.outbox.size() < kMaxUnsent) {
        const tcp::Io io = tcp::Receive(c.socket, buffer, sizeof buffer);
        if (io.status == tcp::Io::Status::WouldBlock)
            break;
        if (io.status != tcp::Io::Status::Moved) {
            c.ended = true;
            c.lost = c.lost || io.status == tcp::Io::Status::Failed;
            break;
        }
        if (c.idle.interval() > 0)
            c.idle.start();
        c.session->Feed(std::string_view(buffer, io.bytes));
    }
    c.readable->setEnabled(!c.ended && !c.session->Waiting() && c.outbox.size() < kMaxUnsent);
    // A client that has gone still has every complete line it sent carried
    // out; one that only stopped sending gets every answer.
    if (c.ended && !c.session->Waiting() && (c.outbox.empty() || c.lost))
        Forget(c);
}

void ScpiServer::Send(Connection& c, std::string_view bytes)
{
    if (c.lost)
        return;
    c.outbox.append(bytes);
    std::size_t sent = 0;
    while (sent < c.outbox.size()) {
        const tcp::Io io = tcp::Send(c.socket, c.outbox.data() + sent, c.outbox.size() - sent);
        if (io.status != tcp::Io::Status::Moved) {
            c.lost = io.status == tcp::Io::Status::Failed;
            break;
        }
        sent += io.bytes;
    }
    c.outbox.erase(0, c.lost ? std::string::npos : sent);
    c.writable->setEnabled(!c.outbox.empty());
    c.session->SetOutputUnread(!c.outbox.empty());
}

void ScpiServer::Forget(Connection& c)
{
    // Runs from inside the connection's own callbacks: it goes once they
    // have returned. Its lock ends now.
    const auto it = connections_.find(&c);
    if (it == connections_.end())
        return;
    c.instrument->Unlock();
    c.readable->setEnabled(false);
    c.writable->setEnabled(false);
    c.idle.stop();
    auto gone = std::make_shared<std::unique_ptr<Connection>>(std::move(it->second));
    connections_.erase(it);
    QMetaObject::invokeMethod(this, [gone] {}, Qt::QueuedConnection);
    emit ClientsChanged(Clients());
}

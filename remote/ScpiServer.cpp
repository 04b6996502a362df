#include "ScpiServer.h"

#include "SwitchInstrument.h"

#include <QTcpServer>
#include <QTcpSocket>

#include <algorithm>
#include <utility>

namespace {

// Taken from a socket at a time; with the socket's own buffer this bounds
// what one client can make the panel hold while its commands wait.
constexpr qint64 kReadChunk = 64 * 1024;
// Answers a client has not read yet: past this, its commands wait for it.
constexpr qint64 kMaxUnsent = 1024 * 1024;

const char* const kTooMany = "refused: this switch serves at most 8 clients at a time; close another connection first\n";

} // namespace

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

struct ScpiServer::Connection
{
    QTcpSocket* socket = nullptr;
    std::unique_ptr<SwitchInstrument> instrument;
    std::shared_ptr<ScpiSession> session;
    bool gone = false;
};

ScpiServer::ScpiServer(SwitchCore& core, Options options, QObject* parent)
    : QObject(parent), core_(core), options_(std::move(options)),
      server_(new QTcpServer(this))
{
    if (options_.version.isEmpty())
        options_.version = QStringLiteral(RFSWITCH_REMOTE_VERSION);
    connect(server_, &QTcpServer::newConnection, this, &ScpiServer::Accept);
}

ScpiServer::~ScpiServer()
{
    // Sessions go before the sockets their answers would be written to, and
    // a socket closing now reports to nobody.
    for (const auto& [socket, connection] : connections_)
        socket->disconnect(this);
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
    const QHostAddress host = server_->serverAddress();
    const QString text = host.protocol() == QAbstractSocket::IPv6Protocol
        ? QStringLiteral("[%1]").arg(host.toString()) : host.toString();
    return QStringLiteral("%1:%2").arg(text).arg(server_->serverPort());
}

quint16 ScpiServer::Port() const
{
    return server_->serverPort();
}

void ScpiServer::Accept()
{
    while (QTcpSocket* socket = server_->nextPendingConnection()) {
        if (clients_ >= kMaxClients) {
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            socket->write(kTooMany);
            socket->disconnectFromHost();
            continue;
        }
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        // Unread bytes stay with the system: a flooding client is slowed, not buffered.
        socket->setReadBufferSize(kReadChunk);

        auto connection = std::make_unique<Connection>();
        Connection* c = connection.get();
        c->socket = socket;
        const QHostAddress peer = socket->peerAddress();
        const QString host = peer.protocol() == QAbstractSocket::IPv6Protocol ? QStringLiteral("[%1]").arg(peer.toString())
                                                                               : peer.toString();
        c->instrument = std::make_unique<SwitchInstrument>(
            core_, Source::Remote(QStringLiteral("%1:%2").arg(host).arg(socket->peerPort()).toStdString()));
        ScpiOptions options{options_.maker.toStdString(), options_.model.toStdString(), options_.version.toStdString()};
        c->session = ScpiSession::Create(*c->instrument, std::move(options));
        c->session->SetOutput([c](std::string_view answer) {
            if (!c->gone)
                c->socket->write(answer.data(), static_cast<qint64>(answer.size()));
        });
        c->session->SetResumed([this, c] { Read(*c); });
        connections_.emplace(socket, std::move(connection));

        connect(socket, &QTcpSocket::readyRead, this, [this, c] { Read(*c); });
        connect(socket, &QTcpSocket::bytesWritten, this, [this, c] { Read(*c); });
        connect(socket, &QTcpSocket::disconnected, this, [this, c] {
            c->gone = true;
            --clients_;
            emit ClientsChanged(clients_);
            Read(*c);
        });
        ++clients_;
        emit ClientsChanged(clients_);
        Read(*c);
    }
}

void ScpiServer::Read(Connection& connection)
{
    // Commands run in the order sent: nothing new is taken while one waits
    // for the port, or while the client leaves its answers unread.
    QTcpSocket* socket = connection.socket;
    while (!connection.session->Waiting() && (connection.gone || socket->bytesToWrite() < kMaxUnsent)
           && socket->bytesAvailable() > 0) {
        const QByteArray bytes = socket->read(kReadChunk);
        connection.session->Feed(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())));
    }
    // A client that has gone still has every complete line it sent carried out.
    if (connection.gone && !connection.session->Waiting() && socket->bytesAvailable() == 0)
        Forget(socket);
}

void ScpiServer::Forget(QTcpSocket* socket)
{
    // Runs from inside the connection's own callbacks: the socket and the
    // session go once they have returned.
    const auto it = connections_.find(socket);
    if (it == connections_.end())
        return;
    auto connection = std::make_shared<std::unique_ptr<Connection>>(std::move(it->second));
    connections_.erase(it);
    socket->disconnect(this);
    socket->deleteLater();
    QMetaObject::invokeMethod(this, [connection] {}, Qt::QueuedConnection);
}

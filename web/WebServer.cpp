#include "WebServer.h"

#include "SwitchCore.h"
#include "TcpIo.h"

#include <QFile>
#include <QHostInfo>
#include <QHttpServer>
#include <QJsonDocument>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTime>
#include <QWebSocket>

#include <algorithm>
#include <functional>
#include <utility>

namespace {

using Status = QHttpServerResponder::StatusCode;
using Method = QHttpServerRequest::Method;

// Messages a page has not taken yet: past this it is closed, and reconnects
// to the state as it is then.
constexpr qint64 kMaxUnsent = 1024 * 1024;

// A TCP server that hands on only the connections `admit` lets in.
class AdmittingServer : public QTcpServer
{
public:
    AdmittingServer(std::function<bool(const QHostAddress&, quint16)> admit, QObject* parent)
        : QTcpServer(parent), admit_(std::move(admit))
    {
    }

protected:
    void incomingConnection(qintptr handle) override
    {
        auto* socket = new QTcpSocket(this);
        if (socket->setSocketDescriptor(handle) && admit_(socket->peerAddress(), socket->peerPort())) {
            // A page's update goes out at once, not after the last one's acknowledgement.
            socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
            addPendingConnection(socket);
            return;
        }
        socket->abort();
        socket->deleteLater();
    }

private:
    std::function<bool(const QHostAddress&, quint16)> admit_;
};

Source PeerSource(const QHostAddress& peer, quint16 port)
{
    return Source::Remote(QStringLiteral("http:%1:%2").arg(HostText(peer)).arg(port).toStdString());
}

QHttpServerResponse Reply(const QByteArray& mime, const QByteArray& body, Status status = Status::Ok)
{
    QHttpServerResponse response(mime, body, status);
    // What the page shows is the state now; it loads nothing from elsewhere
    // and is shown in no other site's frame.
    response.addHeader("Cache-Control", "no-store");
    response.addHeader("X-Content-Type-Options", "nosniff");
    response.addHeader("Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'");
    return response;
}

QHttpServerResponse Json(const QJsonObject& object, Status status = Status::Ok)
{
    return Reply("application/json", QJsonDocument(object).toJson(QJsonDocument::Compact), status);
}

QJsonObject ErrorJson(const ScpiError& error)
{
    return {{QStringLiteral("code"), error.code}, {QStringLiteral("message"), error.message}, {QStringLiteral("detail"), error.detail}};
}

// Whether `host` (a Host header, with or without the port) names this
// machine: an address, localhost or the machine's own name. A page from a
// name that merely resolves to it (DNS rebinding) may not switch.
bool NamesThisMachine(const QString& host)
{
    QString name = host.startsWith(u'[') ? host.mid(1, host.indexOf(u']') - 1) : host.section(u':', 0, 0);
    name = name.toLower();
    const QString self = QHostInfo::localHostName().toLower();
    return !name.isEmpty()
        && (!QHostAddress(name).isNull() || name == QLatin1String("localhost") || name == self || name.startsWith(self + u'.'));
}

// Why a request to change the switch is refused as not the page's own, or
// nothing. A script sends neither Origin nor Sec-Fetch-Site; a browser
// sends them with every such request.
QString CrossSite(const QByteArray& host, const QByteArray& origin, const QByteArray& site)
{
    if ((!site.isEmpty() && site != "same-origin" && site != "none")
        || (!origin.isEmpty() && origin.compare("http://" + host, Qt::CaseInsensitive) != 0))
        return QStringLiteral("sent from another site's page: only this switch's own page may switch it");
    if (!NamesThisMachine(QString::fromLatin1(host)))
        return QStringLiteral("sent to \"%1\", which does not name this machine").arg(QString::fromLatin1(host.left(80)));
    return {};
}

} // namespace

struct WebServer::Page
{
    std::unique_ptr<QWebSocket> socket;
    qint64 unsent = 0;
};

WebServer::WebServer(SwitchCore& core, Options options, QObject* parent)
    : QObject(parent), core_(core), options_(std::move(options)), http_(std::make_unique<QHttpServer>())
{
    push_.setSingleShot(true);
    connect(&push_, &QTimer::timeout, this, &WebServer::Push);
    connect(&core_, &SwitchCore::Changed, this, &WebServer::Schedule);
    connect(&core_, &SwitchCore::Logged, this, [this](const std::string& line) {
        operations_.push_back(QTime::currentTime().toString(QStringLiteral("HH:mm:ss.zzz ")) + QString::fromStdString(line));
        if (operations_.size() > kOperationsShown)
            operations_.pop_front();
        Schedule();
    });
    connect(http_.get(), &QHttpServer::newWebSocketConnection, this, &WebServer::Follow);
    Route();
}

WebServer::~WebServer()
{
    for (const auto& page : pages_)
        page->socket->disconnect(this);
}

void WebServer::Route()
{
    const auto file = [](const QString& resource, const QByteArray& mime) {
        QFile source(resource);
        source.open(QIODevice::ReadOnly);
        return [mime, body = source.readAll()] { return Reply(mime, body); };
    };
    http_->route(QStringLiteral("/"), Method::Get, file(QStringLiteral(":/web/page.html"), "text/html; charset=utf-8"));
    http_->route(QStringLiteral("/page.js"), Method::Get, file(QStringLiteral(":/web/page.js"), "text/javascript; charset=utf-8"));
    http_->route(QStringLiteral("/page.css"), Method::Get, file(QStringLiteral(":/web/page.css"), "text/css; charset=utf-8"));
    http_->route(QStringLiteral("/schematic.svg"), Method::Get, file(QStringLiteral(":/schematic.svg"), "image/svg+xml"));
    http_->route(QStringLiteral("/api/state"), Method::Get, [this] { return Json(State()); });
    http_->route(QStringLiteral("/api/select"), Method::Post,
                 [this](const QHttpServerRequest& request, QHttpServerResponder&& responder) { Select(request, std::move(responder)); });
    http_->route(QStringLiteral("/api/select"), Method::AnyKnown, [] {
        QHttpServerResponse refused = Json({{QStringLiteral("error"), QJsonObject{{QStringLiteral("message"),
                                                                                  QStringLiteral("only POST switches")}}}},
                                           Status::MethodNotAllowed);
        refused.addHeader("Allow", "POST");
        return refused;
    });
    // Qt upgrades a WebSocket request only on a path that a route takes;
    // the upgrade answers it (Follow), the route only a request for no upgrade.
    http_->route(QStringLiteral("/api/events"), Method::Get, [](const QHttpServerRequest& request, QHttpServerResponder&& responder) {
        if (request.value("Upgrade").compare("websocket", Qt::CaseInsensitive) != 0)
            Reply("text/plain", "a WebSocket stream of the state\n", Status::UpgradeRequired).write(std::move(responder));
    });
    http_->route(QStringLiteral("/lxi/identification"), Method::Get, [this](const QHttpServerRequest&, QHttpServerResponder&& responder) {
        Reply("text/xml; charset=utf-8", IdentificationXml(options_.identity, responder.socket()->localAddress(), Port(), options_.resources))
            .write(std::move(responder));
    });
}

void WebServer::Select(const QHttpServerRequest& request, QHttpServerResponder&& responder)
{
    const QTcpSocket* socket = responder.socket();
    const Source source = PeerSource(socket->peerAddress(), socket->peerPort());
    const QString crossSite = CrossSite(request.value("Host"), request.value("Origin"), request.value("Sec-Fetch-Site"));
    if (!crossSite.isEmpty()) {
        core_.Refused(source, "select", crossSite.toStdString());
        Json({{QStringLiteral("error"), QJsonObject{{QStringLiteral("message"), crossSite}}}}, Status::Forbidden).write(std::move(responder));
        return;
    }
    const auto path = PathFromText(request.body());
    if (!path) {
        const ScpiError error = IllegalPath(QString::fromUtf8(request.body().trimmed()));
        core_.Refused(source, "select", error.detail.toStdString());
        QJsonObject answer = State();
        answer.insert(QStringLiteral("error"), ErrorJson(error));
        Json(answer, Status::BadRequest).write(std::move(responder));
        return;
    }
    // Answered once the switch has moved, which may be after other
    // clients' operations queued before this one.
    auto pending = std::make_shared<QHttpServerResponder>(std::move(responder));
    // A client that hangs up before its turn has it switch nothing later,
    // whether or not this process has looked since.
    auto lifetime = std::make_shared<Lifetime>([socket = QPointer<QTcpSocket>(pending->socket())] {
        return socket && socket->state() == QAbstractSocket::ConnectedState && !tcp::PeerGone(socket->socketDescriptor());
    });
    connect(pending->socket(), &QTcpSocket::disconnected, pending->socket(), [lifetime] { lifetime->End(); });
    Source asked = source;
    asked.alive = lifetime->Token();
    core_.Select(*path, asked, [self = QPointer<WebServer>(this), pending, socket = QPointer<QTcpSocket>(pending->socket())](
                                    const OperationResult& result) {
        if (!self || !socket)
            return;
        QJsonObject answer = self->State();
        const ScpiError error = ApiError(result);
        answer.insert(QStringLiteral("result"), QLatin1String(OutcomeName(result.outcome)));
        if (error.code != 0)
            answer.insert(QStringLiteral("error"), ErrorJson(error));
        Json(answer, Status(error.httpStatus)).write(std::move(*pending));
    });
}

void WebServer::Follow()
{
    while (http_->hasPendingWebSocketConnections()) {
        std::unique_ptr<QWebSocket> socket = http_->nextPendingWebSocketConnection();
        const QNetworkRequest& request = socket->request();
        QString refused = CrossSite(request.rawHeader("Host"), request.rawHeader("Origin"), request.rawHeader("Sec-Fetch-Site"));
        if (pages_.size() >= std::size_t(kMaxPages))
            refused = QStringLiteral("at most %1 pages follow the switch at a time").arg(kMaxPages);
        if (!refused.isEmpty()) {
            QWebSocket* closing = socket.release();
            connect(closing, &QWebSocket::disconnected, closing, &QObject::deleteLater);
            closing->close(QWebSocketProtocol::CloseCodePolicyViolated, refused);
            continue;
        }
        auto page = std::make_unique<Page>();
        page->socket = std::move(socket);
        Page* p = page.get();
        connect(p->socket.get(), &QWebSocket::bytesWritten, this, [p](qint64 bytes) { p->unsent = std::max<qint64>(0, p->unsent - bytes); });
        connect(p->socket.get(), &QWebSocket::disconnected, this, [this, p] {
            const auto it = std::find_if(pages_.begin(), pages_.end(), [p](const auto& page) { return page.get() == p; });
            if (it == pages_.end())
                return;
            (*it)->socket.release()->deleteLater();
            pages_.erase(it);
        });
        pages_.push_back(std::move(page));
        p->unsent += p->socket->sendTextMessage(QString::fromUtf8(QJsonDocument(State()).toJson(QJsonDocument::Compact)));
    }
}

void WebServer::Schedule()
{
    // At once when the last push is a frame old, else at the frame's end:
    // after the operation under way, which may change more before it ends.
    if (pages_.empty() || push_.isActive())
        return;
    const auto since = lastPush_.isValid() ? lastPush_.elapsed() : qint64(kFrame.count());
    push_.start(std::chrono::milliseconds(std::max<qint64>(0, kFrame.count() - since)));
}

void WebServer::Push()
{
    lastPush_.start();
    const QString message = QString::fromUtf8(QJsonDocument(State()).toJson(QJsonDocument::Compact));
    for (const auto& page : pages_) {
        if (page->unsent > kMaxUnsent)
            page->socket->close(QWebSocketProtocol::CloseCodeGoingAway, QStringLiteral("messages not taken"));
        else
            page->unsent += page->socket->sendTextMessage(message);
    }
}

QJsonObject WebServer::State() const
{
    return StateJson(core_, QStringList(operations_.begin(), operations_.end()));
}

bool WebServer::Admit(const QHostAddress& peer, quint16 port)
{
    const QHostAddress plain = Unmapped(peer);
    if (options_.policy.allow.Admits(plain))
        return true;
    emit Refused(PeerText(plain, port), QStringLiteral("not a peer that --allow lets in"));
    return false;
}

bool WebServer::Listen(const ListenAddress& address, QString* error)
{
    auto* tcp = new AdmittingServer([this](const QHostAddress& peer, quint16 port) { return Admit(peer, port); }, this);
    if (!tcp->listen(address.host, address.port)) {
        if (error)
            *error = tcp->errorString();
        delete tcp;
        return false;
    }
    http_->bind(tcp);
    tcp_ = tcp;
    emit Listening(Url());
    return true;
}

QString WebServer::Url() const
{
    if (!tcp_)
        return {};
    return QStringLiteral("http://%1:%2/").arg(HostText(tcp_->serverAddress())).arg(tcp_->serverPort());
}

quint16 WebServer::Port() const
{
    return tcp_ ? tcp_->serverPort() : 0;
}

QList<WebService> WebServer::Services() const
{
    return {
        {QStringLiteral("_http._tcp"), Port(), {{"path", "/"}}},
        {QStringLiteral("_lxi._tcp"),
         Port(),
         {{"txtvers", "1"},
          {"Manufacturer", QByteArray::fromStdString(options_.identity.maker)},
          {"Model", QByteArray::fromStdString(options_.identity.model)},
          {"SerialNumber", QByteArray::fromStdString(options_.identity.serial)},
          {"FirmwareVersion", QByteArray::fromStdString(options_.identity.version)}}},
    };
}

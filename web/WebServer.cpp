#include "WebServer.h"
#include "OperationLog.h"

#include "Connection.h"
#include "Door.h"
#include "HttpSession.h"
#include "SwitchCore.h"
#include "SwitchSystem.h"
#include "WebSocket.h"

#include <QFile>
#include <QHostInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTime>

#include <algorithm>
#include <tuple>
#include <utility>

namespace {

using Headers = std::vector<std::pair<std::string, std::string>>;

Source PeerSource(const Connection& link)
{
    return Source::Remote(QStringLiteral("http:%1:%2").arg(HostText(link.PeerAddress())).arg(link.PeerPort()).toStdString());
}

HttpAnswer Reply(std::string mime, std::string body, int status = 200, Headers headers = {})
{
    // What the page shows is the state now; it loads nothing from elsewhere
    // and is shown in no other site's frame.
    headers.insert(headers.end(), {{"Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'"},
                                   {"X-Content-Type-Options", "nosniff"},
                                   {"Cache-Control", "no-store"},
                                   {"Content-Type", std::move(mime)}});
    return {status, std::move(headers), std::move(body)};
}

HttpAnswer Json(const QJsonObject& object, int status = 200, Headers headers = {})
{
    return Reply("application/json", QJsonDocument(object).toJson(QJsonDocument::Compact).toStdString(), status, std::move(headers));
}

HttpAnswer Error(int status, const QString& message, Headers headers = {})
{
    return Json({{QStringLiteral("error"), QJsonObject{{QStringLiteral("message"), message}}}}, status, std::move(headers));
}

QJsonObject ErrorJson(const ScpiError& error)
{
    return {{QStringLiteral("code"), error.code}, {QStringLiteral("message"), error.message}, {QStringLiteral("detail"), error.detail}};
}

bool IsMethod(std::string_view method)
{
    for (const std::string_view known : {"GET", "HEAD", "POST", "PUT", "DELETE", "CONNECT", "OPTIONS", "TRACE", "PATCH"})
        if (method == known)
            return true;
    return false;
}

// Whether `authority` (a Host header: a name or an address, and perhaps a
// port) names this machine exactly: an address, localhost, the machine's
// own name, or that name in .local, or the name it was `given` to listen
// on. A page from any other name that merely resolves to it (DNS
// rebinding) is served nothing.
bool NamesThisMachine(std::string_view authority, const QString& given)
{
    const QString host = QString::fromLatin1(authority.data(), qsizetype(authority.size())).toLower();
    const bool bracketed = host.startsWith(u'[');
    const qsizetype end = bracketed ? host.indexOf(u']') + 1 : host.indexOf(u':');
    if (bracketed && end == 0)
        return false;
    const QString name = end < 0 ? host : host.left(end);
    const QString port = end < 0 ? QString() : host.mid(end);
    if (!port.isEmpty() && (port.size() < 2 || port.front() != u':' || !std::all_of(port.begin() + 1, port.end(), [](QChar c) { return c.isDigit(); })))
        return false;
    if (bracketed)
        return QHostAddress(name.mid(1, name.size() - 2)).protocol() == QAbstractSocket::IPv6Protocol;
    // A name of digits and dots alone is no name anyone can register.
    if (std::all_of(name.begin(), name.end(), [](QChar c) { return c.isDigit() || c == u'.'; }))
        return QHostAddress(name).protocol() == QAbstractSocket::IPv4Protocol;
    const QString self = QHostInfo::localHostName().toLower();
    return name == QLatin1String("localhost") || (!self.isEmpty() && (name == self || name == self + QLatin1String(".local")))
        || (!given.isEmpty() && name == given.toLower());
}

// Whether `origin` is the page's own: the host and port the request went to,
// over either scheme (one port serves one of them).
bool SameOrigin(const QString& origin, std::string_view host)
{
    for (const QLatin1String scheme : {QLatin1String("http://"), QLatin1String("https://")})
        if (origin.compare(scheme + QLatin1String(host), Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

// Why a request to change the switch, or to follow it, is refused as not
// the page's own, or nothing. A script sends neither Origin nor
// Sec-Fetch-Site; a browser sends them with every such request.
QString CrossSite(const HttpRequest& request)
{
    const QString origin = QString::fromLatin1(request.Header("Origin"));
    const std::string_view site = request.Header("Sec-Fetch-Site");
    if ((!site.empty() && site != "same-origin" && site != "none") || (!origin.isEmpty() && !SameOrigin(origin, request.Authority())))
        return QStringLiteral("sent from another site's page: only this switch's own page may switch it");
    return {};
}

// Why a request is not served as sent to another machine, or nothing. A
// page whose name was made to resolve here (DNS rebinding) would read the
// machine's name and MAC address, the lock's holder and the last
// operations. Only HTTP/1.0 may leave Host out, and no browser does.
QString Misdirected(const HttpRequest& request, const QString& given)
{
    const std::string_view host = request.Authority();
    if (host.empty() || NamesThisMachine(host, given))
        return {};
    return QStringLiteral("sent to \"%1\", which does not name this machine").arg(QString::fromLatin1(host.substr(0, 80)));
}

ConnectionPolicy PagePolicy(ConnectionPolicy policy)
{
    policy.maxConnections = WebServer::kMaxConnections;
    return policy;
}

} // namespace

WebServer::WebServer(SwitchCore& core, Options options, QObject* parent)
    : DoorListener(options.tls ? QStringLiteral("HTTPS") : QStringLiteral("HTTP"), PagePolicy(options.policy), parent), core_(core),
      options_(std::move(options))
{
    Entrance().SetTls(options_.tls);
    Entrance().SetMakeRoom([this](const QHostAddress& peer, bool ownShare) { MakeRoom(peer, ownShare); });

    for (const auto& [path, resource, mime] : {std::tuple{"/", ":/web/page.html", "text/html; charset=utf-8"},
                                               std::tuple{"/page.js", ":/web/page.js", "text/javascript; charset=utf-8"},
                                               std::tuple{"/page.css", ":/web/page.css", "text/css; charset=utf-8"},
                                               std::tuple{"/schematic.svg", ":/schematic.svg", "image/svg+xml"},
                                               // The window's icon, where every browser asks for one.
                                               std::tuple{"/favicon.ico", ":/switch-icon.svg", "image/svg+xml"}}) {
        QFile source(QString::fromLatin1(resource));
        source.open(QIODevice::ReadOnly);
        files_[path] = {mime, source.readAll().toStdString()};
    }
    // A tab, a bookmark and a history entry name the switch by its machine.
    std::string& page = files_["/"].body;
    const std::string title = "<title>RF switch</title>";
    if (const auto at = page.find(title); at != std::string::npos)
        page.replace(at, title.size(), "<title>RF switch on " + QHostInfo::localHostName().toHtmlEscaped().toStdString() + "</title>");

    push_.setSingleShot(true);
    connect(&push_, &QTimer::timeout, this, &WebServer::Push);
    // Every board served changes the state; their lines go to the one list.
    for (int board = 1; board <= BoardCount(core_); ++board) {
        SwitchCore& each = BoardOf(core_, board);
        connect(&each, &SwitchCore::Changed, this, &WebServer::Schedule);
        connect(&each, &SwitchCore::Finished, this, [this](const OperationResult& result, const Source& source) {
            counts_.Count(source, result.outcome);
        });
        connect(&each, &SwitchCore::Logged, this, [this](const std::string& line) {
            // The time of day as the log has it ("2026-…T21:04:26.861+01:00"), without reading the zone again.
            std::string shown;
            shown.reserve(48 + line.size());
            AppendLocalTimeNow(shown);
            shown.erase(0, 11).resize(12);
            operations_.push_back(QString::fromStdString(shown.append(1, ' ').append(line)));
            if (operations_.size() > kOperationsShown)
                operations_.pop_front();
            Schedule();
        });
    }
}

WebServer::~WebServer() = default;

void WebServer::Serve(Connection* connection)
{
    std::erase_if(sessions_, [](const auto& session) { return session.isNull(); });
    const HttpSite site{[this](const HttpRequest& request, HttpSession& session) { Handle(request, session); },
                        [](const HttpRefusal& refusal) { return Error(refusal.status, QString::fromStdString(refusal.why)); }};
    sessions_.emplace_back(new HttpSession(*connection, {{kMaxHead, kMaxBody}, options_.deadline}, site));
}

void WebServer::MakeRoom(const QHostAddress& peer, bool ownShare)
{
    // A browser keeps spare connections open for a while: the one that has
    // waited longest gives way to a client that has none.
    HttpSession* oldest = nullptr;
    for (const auto& session : sessions_)
        if (session && session->IdleFor() >= 0 && (!ownShare || session->Link().PeerAddress() == peer)
            && (!oldest || session->IdleFor() > oldest->IdleFor()))
            oldest = session;
    if (oldest)
        oldest->GiveUp();
}

void WebServer::Handle(const HttpRequest& request, HttpSession& session)
{
    const std::string_view path = request.Path();
    const std::string& method = request.method;
    // 421, not 403: the name is another server's, and the same request sent
    // to this machine's name or address is served.
    // /lxi/identification included: LXI tools ask at the address they found, which passes.
    if (const QString elsewhere = Misdirected(request, options_.name); !elsewhere.isEmpty()) {
        if (path == "/api/select" && method == "POST")
            core_.Refused(PeerSource(session.Link()), "select", elsewhere.toStdString());
        session.Answer(Error(421, elsewhere));
        return;
    }
    if (!IsMethod(method)) {
        session.Answer(Error(501, QStringLiteral("GET, HEAD and POST only")));
        return;
    }
    // /api/select switches board 1, or the board its JSON body names;
    // /api/boards/N/select board N.
    int board = path == "/api/select" ? 1 : 0;
    if (path.starts_with("/api/boards/") && path.ends_with("/select")) {
        const std::string_view number = path.substr(12, path.size() - 12 - 7);
        board = core_.System() ? core_.System()->BoardNamed(number) : number == "1" ? 1 : 0;
        if (board == 0 || number.empty() || number.find_first_not_of("0123456789") != std::string_view::npos) {
            session.Answer(Error(404, QStringLiteral("no board %1").arg(QString::fromUtf8(number.data(), qsizetype(number.size())))));
            return;
        }
    }
    if (board != 0) {
        if (method == "POST")
            Select(request, session, path == "/api/select" ? 0 : board);
        else
            session.Answer(Error(405, QStringLiteral("only POST switches"), {{"Allow", "POST"}}));
        return;
    }
    const auto file = files_.find(path);
    const bool known = file != files_.end() || path == "/api/state" || path == "/api/events" || path == "/lxi/identification"
        || path == "/metrics";
    if (!known) {
        session.Answer(Error(404, QStringLiteral("nothing here")));
        return;
    }
    if (method != "GET" && method != "HEAD") {
        session.Answer(Error(405, QStringLiteral("only GET and HEAD"), {{"Allow", "GET, HEAD"}}));
        return;
    }
    if (file != files_.end()) {
        session.Answer(Reply(file->second.mime, file->second.body));
    } else if (path == "/api/state") {
        session.Answer(Json(State()));
    } else if (path == "/metrics") {
        session.Answer(Reply("text/plain; version=0.0.4; charset=utf-8", Metrics()));
    } else if (path == "/lxi/identification") {
        const Connection& link = session.Link();
        session.Answer(Reply("text/xml; charset=utf-8",
                             IdentificationXml(options_.identity, link.LocalAddress(), Port(), bool(options_.tls), options_.resources,
                                               FactsOf(Unmapped(link.LocalAddress())))
                                 .toStdString()));
    } else if (method == "GET" && websocket::AsksUpgrade(request)) {
        Follow(request, session);
    } else {
        session.Answer(Reply("text/plain", "a WebSocket stream of the state\n", 426, {{"Upgrade", "websocket"}, {"Connection", "Upgrade"}}));
    }
}

void WebServer::Select(const HttpRequest& request, HttpSession& session, int board)
{
    const Source source = PeerSource(session.Link());
    const QByteArray body = QByteArray::fromStdString(request.body);
    // Named by the path, else by the body, else board 1.
    const int boards = BoardCount(core_);
    if (board == 0)
        board = SelectedBoard(body).value_or(1);
    if (board < 1 || board > boards) {
        core_.Refused(source, "select", "no board " + std::to_string(board));
        session.Answer(Error(404, QStringLiteral("no board %1: the boards are 1 to %2").arg(board).arg(boards)));
        return;
    }
    SwitchCore& core = BoardOf(core_, board);
    const QString crossSite = CrossSite(request);
    if (!crossSite.isEmpty()) {
        core.Refused(source, "select", crossSite.toStdString());
        session.Answer(Error(403, crossSite));
        return;
    }
    const auto path = PathFromText(SelectedName(body), core.Labels());
    if (!path) {
        const ScpiError error = IllegalPath(QString::fromUtf8(body.trimmed()));
        core.Refused(source, "select", error.detail.toStdString());
        QJsonObject answer = State();
        answer.insert(QStringLiteral("error"), ErrorJson(error));
        session.Answer(Json(answer, 400));
        return;
    }
    // Answered once the switch has moved and settled, which may be after
    // other clients' operations queued before this one.
    // A client whose connection has ended before its turn has it switch nothing later.
    auto lifetime = std::make_shared<Lifetime>([link = QPointer<Connection>(&session.Link())] { return link && link->Open(); });
    connect(&session.Link(), &Connection::Closed, &session, [lifetime] { lifetime->End(); });
    Source asked = source;
    asked.alive = lifetime->Token();
    core.Select(*path, asked, [self = QPointer<WebServer>(this), session = QPointer<HttpSession>(&session), &core](const OperationResult& result) {
        if (!self)
            return;
        core.WhenSettled([self, session, result] {
            if (!self || !session)
                return;
            QJsonObject answer = self->State();
            const ScpiError error = ApiError(result);
            answer.insert(QStringLiteral("result"), QLatin1String(OutcomeName(result.outcome)));
            if (error.code != 0)
                answer.insert(QStringLiteral("error"), ErrorJson(error));
            session->Answer(Json(answer, error.httpStatus));
        });
    });
}

void WebServer::Follow(const HttpRequest& request, HttpSession& session)
{
    const QString crossSite = CrossSite(request);
    if (!crossSite.isEmpty()) {
        session.Answer(Error(403, crossSite));
        return;
    }
    HttpAnswer switching = websocket::Handshake(request);
    if (switching.status != 101) {
        session.Answer(Reply("text/plain", std::move(switching.body), switching.status, std::move(switching.headers)));
        return;
    }
    WebSocketSession::Limits limits;
    limits.maxMessage = kMaxMessage;
    // Pinged within --idle-timeout, a page that is still there is not idle.
    limits.ping = std::chrono::milliseconds(options_.policy.idleTimeout) / 2;
    if (WebSocketSession* page = session.Upgrade(switching, limits, websocket::Frame(websocket::Opcode::Text, StateText()))) {
        pages_.emplace_back(page);
        connect(page, &QObject::destroyed, this, [this] { emit ClientsChanged(Viewers()); }, Qt::QueuedConnection);
        emit ClientsChanged(Viewers());
    }
}

void WebServer::Schedule()
{
    // At once when the last push is a frame old, else at the frame's end:
    // after the operation under way, which may change more before it ends.
    std::erase_if(pages_, [](const auto& page) { return page.isNull(); });
    if (pages_.empty() || push_.isActive())
        return;
    const auto since = lastPush_.isValid() ? lastPush_.elapsed() : qint64(kFrame.count());
    push_.start(std::chrono::milliseconds(std::max<qint64>(0, kFrame.count() - since)));
}

void WebServer::Push()
{
    lastPush_.start();
    const std::string frame = websocket::Frame(websocket::Opcode::Text, StateText());
    for (const auto& page : pages_)
        if (page)
            page->Send(frame);
}

QJsonObject WebServer::State() const
{
    QJsonObject state = StateJson(core_, QStringList(operations_.begin(), operations_.end()));
    // Several boards: each board's own state too, board 1's again first.
    if (const SwitchSystem* system = core_.System(); system && system->Count() > 1) {
        QJsonArray boards;
        for (int board = 1; board <= system->Count(); ++board) {
            QJsonObject one = StateJson(system->Core(board), {});
            one.remove(QStringLiteral("operations"));
            one.insert(QStringLiteral("board"), board);
            one.insert(QStringLiteral("name"), QString::fromStdString(system->Name(board)));
            boards.append(one);
        }
        state.insert(QStringLiteral("boards"), boards);
    }
    if (!options_.fingerprint.isEmpty())
        state[QStringLiteral("certificate")] = options_.fingerprint;
    if (!options_.plain.isEmpty())
        state[QStringLiteral("plain")] = options_.plain;
    return state;
}

std::string WebServer::Metrics() const
{
    std::vector<ServerLoad> servers = options_.servers ? options_.servers() : std::vector<ServerLoad>();
    servers.push_back(*Load());
    return SwitchMetrics(core_, options_.identity, counts_, servers);
}

std::string WebServer::StateText() const
{
    return QJsonDocument(State()).toJson(QJsonDocument::Compact).toStdString();
}

int WebServer::Connections() const
{
    return Entrance().Connections();
}

int WebServer::Viewers() const
{
    return static_cast<int>(std::count_if(pages_.begin(), pages_.end(), [](const auto& page) { return !page.isNull(); }));
}

std::size_t WebServer::Buffered() const
{
    std::size_t bytes = 0;
    for (const auto& session : sessions_)
        bytes += session ? session->Buffered() : 0;
    for (const auto& page : pages_)
        bytes += page ? page->Buffered() : 0;
    return bytes;
}

QString WebServer::Scheme() const
{
    return options_.tls ? QStringLiteral("https") : QStringLiteral("http");
}

std::optional<ServerLoad> WebServer::Load() const
{
    return ServerLoad{Scheme().toStdString(), Connections()};
}

Listener::Words WebServer::Started() const
{
    // Named as the SCPI lines name the host; the addresses first where the name is not one.
    const ListenAddress& given = Place().address;
    const bool named = !given.name.isEmpty() || IsAnyAddress(given.host);
    return {.line = QStringLiteral("web page on ") + (named ? Place().Places(Port()) + QStringLiteral(": ") : QString()) + Page(),
            .exposure = QStringLiteral("web page on ") + Page()};
}

QString WebServer::Page() const
{
    return QStringLiteral("%1://%2:%3/").arg(Scheme(), Place().ClientHost()).arg(Port());
}

std::vector<ServiceOffer> WebServer::Offers() const
{
    // Each with the TXT records of its own (the identity's are every service's).
    std::vector<ServiceOffer> offers;
    for (const auto& [type, txt] : {std::pair{QStringLiteral("_%1._tcp").arg(Scheme()), TxtRecords{{"path", "/"}}},
                                    std::pair{QStringLiteral("_lxi._tcp"), TxtRecords{}}})
        for (const QHostAddress& host : Place().hosts)
            offers.push_back({type, host, Port(), txt});
    return offers;
}

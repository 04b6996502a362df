#include "ScpiServer.h"

#include "Connection.h"
#include "Door.h"
#include "ScpiSession.h"
#include "SwitchInstrument.h"

#include <algorithm>
#include <utility>

// One connection's SCPI session; it ends with its connection.
class ScpiClient final : public QObject
{
public:
    ScpiClient(Connection& connection, SwitchCore& core, const Identity& identity)
        : QObject(&connection), connection_(connection),
          instrument_(core, Source::Remote(connection.PeerText().toStdString())),
          session_(ScpiSession::Create(instrument_, identity))
    {
        session_->SetOutput([this](std::string_view answer) {
            connection_.Send(answer);
            session_->SetOutputUnread(connection_.Unsent() > 0);
        });
        session_->SetResumed([this] { Continue(); });
        session_->SetShare([this] { return connection_.Spend(); });
        connection.SetResume([this] { session_->Continue(); });
        connection.SetReceiver([this](std::string_view bytes) {
            session_->Feed(bytes);
            connection_.Hold(session_->Waiting());
        });
        connect(&connection, &Connection::Drained, this, [this] {
            session_->SetOutputUnread(false);
            Continue();
        });
        connect(&connection, &Connection::PeerClosed, this, &ScpiClient::Continue);
        // Nothing it sent runs after it has gone, and its lock ends now.
        connect(&connection, &Connection::Closed, this, [this] {
            session_->DeviceClear();
            instrument_.Leave();
        });
    }

    int ErrorsQueued() const { return static_cast<int>(session_->Errors().size()); }

private:
    // Commands run in the order sent: nothing new is taken while one waits
    // for the port. A client that only stopped sending gets every answer.
    void Continue()
    {
        connection_.Hold(session_->Waiting());
        if (connection_.PeerFinished() && session_->Idle())
            connection_.Finish(QStringLiteral("the client closed"));
    }

    Connection& connection_;
    SwitchInstrument instrument_;
    std::shared_ptr<ScpiSession> session_;
};

namespace {

ConnectionPolicy ClientPolicy(ConnectionPolicy policy)
{
    policy.maxConnections = std::min(policy.maxConnections, ScpiServer::kMaxClients);
    return policy;
}

} // namespace

ScpiServer::ScpiServer(SwitchCore& core, Identity identity, ConnectionPolicy policy, QObject* parent)
    : DoorListener(QStringLiteral("SCPI"), ClientPolicy(std::move(policy)), parent), core_(core), identity_(std::move(identity))
{
    connect(&Entrance(), &Door::ConnectionsChanged, this, &Listener::ClientsChanged);
}

ScpiServer::~ScpiServer() = default;

int ScpiServer::Clients() const
{
    return Entrance().Connections();
}

int ScpiServer::ErrorsQueued() const
{
    int errors = 0;
    for (const auto& client : clients_)
        errors += client ? client->ErrorsQueued() : 0;
    return errors;
}

std::optional<ServerLoad> ScpiServer::Load() const
{
    return ServerLoad{"scpi-raw", Clients(), ErrorsQueued()};
}

Listener::Words ScpiServer::Started() const
{
    const QString listening = QStringLiteral("listening on ") + Place().Places(Port());
    return {.line = listening,
            .later = QStringLiteral("raw socket: ") + Resource(Place().ClientHost()),
            .exposure = listening,
            .forAddresses = true,
            .plain = QStringLiteral("the raw socket on %1 (--raw-socket)").arg(Place().Places(Port()))};
}

QString ScpiServer::Resource(const QString& host) const
{
    // Both at once: the host may be a "%1" left for the web page to fill in.
    return QStringLiteral("TCPIP0::%1::%2::SOCKET").arg(host, QString::number(Port()));
}

std::vector<ServiceOffer> ScpiServer::Offers() const
{
    std::vector<ServiceOffer> offers;
    for (const QHostAddress& host : Place().hosts)
        offers.push_back({QStringLiteral("_scpi-raw._tcp"), host, Port(), {}});
    return offers;
}

void ScpiServer::Serve(Connection* connection)
{
    std::erase_if(clients_, [](const auto& client) { return client.isNull(); });
    clients_.emplace_back(new ScpiClient(*connection, core_, identity_));
}

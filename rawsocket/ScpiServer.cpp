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

ScpiServer::ScpiServer(SwitchCore& core, Identity identity, ConnectionPolicy policy, QObject* parent)
    : QObject(parent), core_(core), identity_(std::move(identity))
{
    policy.maxConnections = std::min(policy.maxConnections, kMaxClients);
    door_ = new Door(QStringLiteral("SCPI"), std::move(policy), this);
    connect(door_, &Door::Opened, this, &ScpiServer::Serve);
    connect(door_, &Door::ConnectionsChanged, this, &ScpiServer::ClientsChanged);
    connect(door_, &Door::Refused, this, &ScpiServer::Refused);
}

ScpiServer::~ScpiServer() = default;

bool ScpiServer::Listen(const ListenAddress& address, QString* error)
{
    return door_->Listen(address, error);
}

QString ScpiServer::Address() const
{
    return door_->Address();
}

QHostAddress ScpiServer::Host() const
{
    return door_->Host();
}

quint16 ScpiServer::Port() const
{
    return door_->Port();
}

int ScpiServer::Clients() const
{
    return door_->Connections();
}

int ScpiServer::ErrorsQueued() const
{
    int errors = 0;
    for (const auto& client : clients_)
        errors += client ? client->ErrorsQueued() : 0;
    return errors;
}

void ScpiServer::Serve(Connection* connection)
{
    std::erase_if(clients_, [](const auto& client) { return client.isNull(); });
    clients_.emplace_back(new ScpiClient(*connection, core_, identity_));
}

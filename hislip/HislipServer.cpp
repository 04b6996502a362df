#include "HislipServer.h"

#include "Connection.h"
#include "HislipContext.h"
#include "HislipMessage.h"
#include "HislipSession.h"

#include <algorithm>

using namespace hislip;

namespace {

// InitializeResponse's control bit 1 (HiSLIP 2.0): the client must start TLS.
constexpr std::uint8_t kEncryptionMandatory = 1 << 1;

// A new connection until its first message says which channel it is.
class Greeting final : public QObject
{
public:
    Greeting(Connection& connection, HislipServer::Context& context)
        : QObject(&connection), connection_(connection), context_(context)
    {
        connection.SetDeadline(std::chrono::seconds(10), QStringLiteral("no HiSLIP Initialize"));
        connection.SetReceiver([this](std::string_view bytes) {
            reader_.Append(bytes);
            Read();
        });
        connect(&connection, &Connection::PeerClosed, this, [this] { connection_.Finish(QStringLiteral("the client closed")); });
    }

private:
    void Read()
    {
        const MessageReader::Next message = reader_.Take();
        if (message.kind == MessageReader::Kind::NeedMore)
            return;
        if (message.kind != MessageReader::Kind::Message) {
            Fatal(FatalCode::PoorlyFormedHeader, "not a HiSLIP message header");
            return;
        }
        if (message.header.type == Type::Initialize)
            Initialize(message);
        else if (message.header.type == Type::AsyncInitialize)
            AsyncInitialize(message);
        else
            Fatal(FatalCode::InvalidInitialization, "a session starts with Initialize, its second channel with AsyncInitialize");
    }

    void Initialize(const MessageReader::Next& message)
    {
        const std::uint16_t version = NegotiateVersion(High(message.header.parameter), kVersion2_0);
        if (!message.payload.empty() && message.payload != "hislip0") {
            Fatal(FatalCode::InvalidInitialization, "no instrument \"" + message.payload.substr(0, 64) + "\" here: this is hislip0");
            return;
        }
        if (context_.options.tlsRequired && version < kVersion2_0) {
            Fatal(FatalCode::Unidentified, "encryption required (--tls-required): HiSLIP 2.0 with TLS only");
            return;
        }
        const auto id = context_.table.Open(connection_.PeerAddress().toString().toStdString());
        if (!id) {
            Fatal(FatalCode::MaximumClientsExceeded,
                  context_.table.Size() >= std::size_t(context_.maxSessions)
                      ? std::to_string(context_.maxSessions) + " sessions are open already"
                      : std::to_string(context_.table.MaxPerHost()) + " sessions of this host are open already, as many as one host may hold");
            return;
        }
        connection_.SetDeadline(std::chrono::milliseconds(0), {});
        const std::uint8_t control = context_.options.tlsRequired ? kEncryptionMandatory : 0;
        connection_.Send(Encode(Type::InitializeResponse, control, Pack(version, *id)));
        // The session takes the connection over, and this goes.
        new HislipSession(context_, connection_, *id, version, reader_.TakeRest());
        if (context_.changed)
            context_.changed();
        deleteLater();
    }

    void AsyncInitialize(const MessageReader::Next& message)
    {
        const std::uint16_t id = Low(message.header.parameter);
        const auto pairing = context_.table.Pair(id, connection_.PeerAddress().toString().toStdString());
        if (pairing != SessionTable::Pairing::Paired) {
            Fatal(FatalCode::InvalidInitialization,
                  pairing == SessionTable::Pairing::Unknown         ? "no session " + std::to_string(id)
                  : pairing == SessionTable::Pairing::AlreadyPaired ? "session " + std::to_string(id) + " has its asynchronous channel"
                                                                    : "session " + std::to_string(id) + " is another host's");
            return;
        }
        connection_.SetDeadline(std::chrono::milliseconds(0), {});
        connection_.SetReceiver({});
        context_.sessions.at(id)->AttachAsync(connection_, reader_.TakeRest());
        deleteLater();
    }

    void Fatal(FatalCode code, const std::string& why)
    {
        connection_.SetReceiver({});
        connection_.Send(Encode(Type::FatalError, static_cast<std::uint8_t>(code), 0, why));
        connection_.Finish(QString::fromStdString(why));
    }

    Connection& connection_;
    HislipServer::Context& context_;
    MessageReader reader_{HislipSession::kMaxPayload};
};

} // namespace

namespace {

// Two connections a session, and room for one more session's greeting, so
// that a client past the cap hears why.
ConnectionPolicy ChannelPolicy(ConnectionPolicy policy)
{
    policy.maxConnections = 2 * std::min(policy.maxConnections, HislipServer::kMaxSessions) + 2;
    return policy;
}

} // namespace

HislipServer::HislipServer(SwitchCore& core, Identity identity, ConnectionPolicy policy, HislipOptions options, QObject* parent)
    : DoorListener(QStringLiteral("HiSLIP"), ChannelPolicy(policy), parent),
      context_(std::make_unique<Context>(core, std::move(identity), std::move(options),
                                         std::size_t(std::min(policy.maxConnections, kMaxSessions)),
                                         [this] { emit ClientsChanged(Sessions()); }))
{
}

HislipServer::~HislipServer()
{
    // Its connections, and the sessions on them, before what they share.
    Shut();
}

int HislipServer::Sessions() const
{
    return static_cast<int>(context_->sessions.size());
}

int HislipServer::ErrorsQueued() const
{
    int errors = 0;
    for (const auto& [id, session] : context_->sessions)
        errors += session->ErrorsQueued();
    return errors;
}

std::optional<ServerLoad> HislipServer::Load() const
{
    return ServerLoad{"hislip", Sessions(), ErrorsQueued()};
}

Listener::Words HislipServer::Started() const
{
    const QString places = QStringLiteral("HiSLIP on ") + Place().Places(Port());
    return {.line = QStringLiteral("%1: %2%3").arg(places, Resource(Place().ClientHost()),
                                                   context_->options.tlsRequired ? QStringLiteral(" (encrypted only)") : QString()),
            .exposure = places};
}

QString HislipServer::Resource(const QString& host) const
{
    // VISA names a port other than HiSLIP's own after the device name.
    const QString device = Port() == kDefaultPort ? QStringLiteral("hislip0") : QStringLiteral("hislip0,%1").arg(Port());
    return QStringLiteral("TCPIP0::%1::%2::INSTR").arg(host, device);
}

std::vector<ServiceOffer> HislipServer::Offers() const
{
    std::vector<ServiceOffer> offers;
    for (const QHostAddress& host : Place().hosts)
        offers.push_back({QStringLiteral("_hislip._tcp"), host, Port(), {}});
    return offers;
}

void HislipServer::Serve(Connection* connection)
{
    new Greeting(*connection, *context_);
}

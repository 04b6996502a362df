#include "RemoteControl.h"

#include "Console.h"
#include "HislipServer.h"
#include "Invocation.h"
#include "Listener.h"
#include "OperationLog.h"
#include "ScpiServer.h"
#include "StopSignals.h"
#include "SwitchCore.h"
#include "SwitchSetup.h"
#include "Tls.h"
#include "WebServer.h"

#include <QHostInfo>

#include <algorithm>
#include <utility>

#ifdef RFSWITCH_LAN
#include "Announcer.h"
#include "PortMapper.h"
#include "Vxi11Server.h"
#endif

namespace {

// The hosts that HiSLIP and the page over HTTPS listen on, which the
// self-signed certificate names.
QList<QHostAddress> TlsHosts(const Invocation& invocation)
{
    QList<QHostAddress> hosts;
    for (const QString& given : {invocation.listen, invocation.hislipAddress, invocation.https})
        if (const auto where = given.isEmpty() ? std::nullopt : ParseListenAddress(given))
            for (const QHostAddress& host : ListenHosts(*where))
                hosts << host;
    return hosts;
}

// "10.0.0.0/8", "10.0.0.0/8 or fd00::/8", "a, b or c".
QString OneOf(const QStringList& texts)
{
    return texts.size() < 2 ? texts.join(QString()) : texts.mid(0, texts.size() - 1).join(QStringLiteral(", ")) + QStringLiteral(" or ") + texts.last();
}

void Print(const QString& line)
{
    PrintLine(stdout, line);
}

} // namespace

#ifdef RFSWITCH_LAN

bool RemoteControl::StartVxi11(SwitchSetup& setup, const ListenPlace& listen)
{
    // On free ports of --listen's addresses, found through the port mapper on its own.
    auto vxi11 = std::make_unique<Vxi11Server>(setup.Core(), identity_, policy_);
    const Vxi11Server& channel = *vxi11;
    return Serve(setup, std::move(vxi11), {{listen.address.host, 0, listen.address.name}, listen.hosts},
                 QStringLiteral("--listen HOST:PORT, or leave VXI-11 out with --no-vxi11"))
        && Serve(setup, std::make_unique<PortMapper>(policy_, Vxi11Server::kCoreProgram, Vxi11Server::kCoreVersion, channel.Port()),
                 {{listen.address.host, PortMapper::kPortMapperPort, listen.address.name}, listen.hosts}, {});
}

void RemoteControl::Announce()
{
    std::vector<ServiceOffer> offers;
    for (const auto& server : servers_)
        for (ServiceOffer& offer : server->Offers())
            offers.push_back(std::move(offer));
    // Other machines can reach a server only where it listens beyond loopback.
    QStringList local;
    for (const ServiceOffer& offer : offers)
        if (Unmapped(offer.host).isLoopback() && !local.contains(HostText(offer.host)))
            local << HostText(offer.host);
    if (!local.isEmpty())
        Print(QStringLiteral("DNS-SD: not announced: %1 %2 reached from this machine only")
                  .arg(local.join(QStringLiteral(" and ")), local.size() == 1 ? QStringLiteral("is") : QStringLiteral("are")));
    const std::vector<Announcement> services = Announcements(offers, identity_);
    if (services.empty())
        return;
    auto announcer = std::make_unique<Announcer>(identity_);
    connect(announcer.get(), &Announcer::Said, this, Print);
    QuitOnStopSignals();
    for (const Announcement& service : services)
        announcer->Add(service);
    announcer_ = std::move(announcer);
}

#else

bool RemoteControl::StartVxi11(SwitchSetup&, const ListenPlace&)
{
    return true;
}

void RemoteControl::Announce()
{
}

#endif

RemoteControl::RemoteControl() = default;
RemoteControl::~RemoteControl() = default;

std::unique_ptr<RemoteControl> RemoteControl::Start(const Invocation& invocation, SwitchSetup& setup, Failure* failure)
{
    std::unique_ptr<RemoteControl> remote(new RemoteControl);
    const auto started = [&remote, &invocation, &setup] {
        QString error;
        const auto allow = AllowList::Parse(invocation.allow, &error);
        if (!allow)
            return remote->Failed(kExitUsage, QStringLiteral("--allow ") + error);
        // One policy for every way in.
        remote->identity_ = ProgramIdentity(invocation.serial.toStdString(), setup.Core().Model());
        remote->policy_.allow = *allow;
        remote->policy_.idleTimeout = std::chrono::seconds(invocation.idleTimeout);
        remote->policy_.keepAlive = KeepAliveFromEnvironment();
        remote->allowed_ = OneOf(invocation.allow);
        remote->rawIo_ = invocation.rawIo;
        return (invocation.listen.isEmpty() || remote->StartListen(invocation, setup))
            && (invocation.http.isEmpty() || remote->StartWeb(invocation, setup, false))
            && (invocation.https.isEmpty() || remote->StartWeb(invocation, setup, true));
    };
    if (!started()) {
        if (failure)
            *failure = remote->failure_;
        return nullptr;
    }
    remote->Announce();
    return remote;
}

bool RemoteControl::Failed(int code, const QString& words)
{
    failure_ = {Fail(code, words), words};
    return false;
}

std::optional<ListenPlace> RemoteControl::Resolve(const QString& option, const QString& given)
{
    QString error;
    const auto address = ParseListenAddress(given, &error);
    if (!address) {
        Failed(kExitUsage, QStringLiteral("%1 %2").arg(option, error));
        return std::nullopt;
    }
    std::vector<QHostAddress> hosts = ListenHosts(*address, &error);
    // The resolver's answer depends on the network it asks: a failure to run, not bad usage.
    if (hosts.empty()) {
        Failed(kExitCannotServe, QStringLiteral("%1 %2: %3: give an address, or a name this machine resolves").arg(option, given, error));
        return std::nullopt;
    }
    return ListenPlace{*address, std::move(hosts)};
}

bool RemoteControl::Serve(SwitchSetup& setup, std::unique_ptr<Listener> server, const ListenPlace& place, const QString& with)
{
    Report(*server, setup.Core());
    connect(server.get(), &Listener::Said, this, Print);
    QString failure;
    if (!server->Open(place, &failure))
        return Failed(kExitCannotServe, failure + QStringLiteral(" with ") + with);
    connect(server.get(), &Listener::ClientsChanged, this, &RemoteControl::Changed);
    const Listener::Words words = server->Started();
    if (!words.line.isEmpty())
        Print(words.line);
    if (!words.later.isEmpty())
        later_ << words.later;
    // Where a warning names the addresses alone, it speaks for every server there.
    if (!words.exposure.isEmpty() && warned_ != place.hosts)
        WarnExposure(setup, words.exposure, place.hosts);
    if (words.forAddresses)
        warned_ = place.hosts;
    if (!words.plain.isEmpty())
        plainDoors_ << words.plain;
    const auto after = std::upper_bound(servers_.begin(), servers_.end(), server->Preference(),
                                        [](int preference, const auto& other) { return preference < other->Preference(); });
    servers_.insert(after, std::move(server));
    return true;
}

void RemoteControl::SayLater()
{
    for (const QString& line : std::exchange(later_, {}))
        Print(line);
}

void RemoteControl::Report(Listener& server, SwitchCore& core)
{
    connect(&server, &Listener::Refused, this, [this, &core, protocol = server.Protocol()](const QString& peer, const QString& why) {
        core.Refused(Source::Remote(QStringLiteral("%1:%2").arg(protocol, peer).toStdString()), "connect", why.toStdString());
        PrintLine(stderr, QStringLiteral("rfswitch-panel: refused %1 client %2: %3").arg(protocol, peer, why));
        refusal_ = QStringLiteral("Refused %1 client %2: %3").arg(protocol, peer, why);
        emit Changed();
    });
}

void RemoteControl::WarnExposure(SwitchSetup& setup, const QString& what, const std::vector<QHostAddress>& hosts)
{
    if (std::all_of(hosts.begin(), hosts.end(), [](const QHostAddress& host) { return Unmapped(host).isLoopback(); }))
        return;
    const QString who = !allowed_.isEmpty() ? QStringLiteral("clients from ") + allowed_
                        : hosts.size() > 1  ? QStringLiteral("anyone who can reach these addresses")
                                            : QStringLiteral("anyone who can reach this address");
    Warn(setup, QStringLiteral("%1: %2 can switch the board%3%4")
                    .arg(what, who, rawIo_ ? QStringLiteral(", through a process that runs as root (--raw-io)") : QString(),
                         allowed_.isEmpty() ? QStringLiteral("; --allow limits who may connect") : QString()));
}

void RemoteControl::Warn(SwitchSetup& setup, const QString& warning)
{
    if (warning.isEmpty())
        return;
    warnings_ << warning;
    PrintLine(stderr, QStringLiteral("rfswitch-panel: warning: ") + warning);
    if (OperationLog* log = setup.Log())
        log->Append("remote-server warning: " + warning.toStdString());
}

bool RemoteControl::StartListen(const Invocation& invocation, SwitchSetup& setup)
{
    const auto listen = Resolve(QStringLiteral("--listen"), invocation.listen);
    if (!listen)
        return false;
    host_ = listen->ClientHost();
    // Stopped by a signal, the servers are withdrawn from rpcbind and Avahi.
    QuitOnStopSignals();
    // One line a server.
    if (invocation.rawSocket && !Serve(setup, std::make_unique<ScpiServer>(setup.Core(), identity_, policy_), *listen, QStringLiteral("--listen HOST:PORT")))
        return false;
    if (invocation.hislip && !StartHislip(invocation, setup, *listen))
        return false;
    if (invocation.vxi11 && !StartVxi11(setup, *listen))
        return false;
    SayLater();
    // The warning on --listen's addresses is its servers' alone.
    warned_.reset();
    if (invocation.tlsRequired)
        WarnPlain(setup);
    return true;
}

void RemoteControl::WarnPlain(SwitchSetup& setup)
{
    if (plainDoors_.isEmpty())
        return;
    plain_ = plainDoors_.join(QStringLiteral(" and "));
    Warn(setup, QStringLiteral("--tls-required, yet control is open in plain text too: ") + plain_);
}

bool RemoteControl::StartTls(const Invocation& invocation, bool needed)
{
    if (std::exchange(tlsTried_, true))
        return tls_ || !needed;
    QString error;
    const bool given = !invocation.tlsCertificate.isEmpty();
    if (given) {
        tls_ = TlsCredentials::Load(invocation.tlsCertificate, invocation.tlsKey, &error);
        // Said at start rather than by every client's handshake; a key that others can read is no secret.
        const QString outOfDate = tls_ ? tls_->OutOfDate() : QString();
        const QString exposure = tls_ ? TlsCredentials::KeyExposure(invocation.tlsKey) : QString();
        if (!outOfDate.isEmpty())
            error = QStringLiteral("--tls-cert %1 %2").arg(invocation.tlsCertificate, outOfDate);
        else if (!exposure.isEmpty())
            error = QStringLiteral("--tls-key %1 is %2: chmod 600 it").arg(invocation.tlsKey, exposure);
        if (!outOfDate.isEmpty() || !exposure.isEmpty())
            tls_.reset();
    } else {
        QString made;
        tls_ = TlsCredentials::SelfSigned(StateFolder(invocation), QHostInfo::localHostName(), TlsHosts(invocation), &made, &error);
        if (tls_ && !made.isEmpty())
            PrintLine(stdout, QStringLiteral("made a self-signed TLS certificate for %1: %2 (%3)").arg(QHostInfo::localHostName(), tls_->CertificateFile(), made));
    }
    if (!tls_) {
        if (needed || given)
            return Failed(kExitUsage, QStringLiteral("TLS: %1").arg(error));
        PrintLine(stderr, QStringLiteral("rfswitch-panel: warning: no TLS (%1; --state-dir names a folder to keep a certificate in)").arg(error));
        return true;
    }
    PrintLine(stdout, QStringLiteral("TLS certificate %1, SHA-256 fingerprint %2").arg(tls_->CertificateFile(), tls_->Fingerprint()));
    return true;
}

bool RemoteControl::StartHislip(const Invocation& invocation, SwitchSetup& setup, const ListenPlace& listen)
{
    // Beside --listen at HiSLIP's own port; a test's port 0 picks a free one for both.
    ListenPlace where{{listen.address.host, listen.address.port == 0 ? quint16(0) : HislipServer::kDefaultPort, listen.address.name}, listen.hosts};
    if (!invocation.hislipAddress.isEmpty()) {
        const auto given = Resolve(QStringLiteral("--hislip"), invocation.hislipAddress);
        if (!given)
            return false;
        where = *given;
    }
    if (!StartTls(invocation, invocation.tlsRequired))
        return false;
    HislipOptions options;
    options.tls = tls_;
    options.tlsRequired = invocation.tlsRequired;
    return Serve(setup, std::make_unique<HislipServer>(setup.Core(), identity_, policy_, options), where,
                 QStringLiteral("--hislip HOST:PORT, or leave HiSLIP out with --no-hislip"));
}

bool RemoteControl::StartWeb(const Invocation& invocation, SwitchSetup& setup, bool tls)
{
    const QString option = tls ? QStringLiteral("--https") : QStringLiteral("--http");
    const QString given = tls ? invocation.https : invocation.http;
    if (tls && !StartTls(invocation, true))
        return false;
    const auto where = Resolve(option, given);
    if (!where)
        return false;
    WebServerOptions options;
    options.identity = identity_;
    options.policy = policy_;
    if (tls)
        options.tls = tls_;
    if (tls_)
        options.fingerprint = tls_->Fingerprint();
    // The page names the other ways in as a client would type them, its own host in place of %1.
    for (const auto& server : servers_)
        if (const QString resource = server->Resource(QStringLiteral("%1")); !resource.isEmpty())
            options.resources << resource;
    options.plain = plain_;
    options.name = where->address.name;
    // The other servers' figures for /metrics: each web server counts its own connections.
    options.servers = [this, tls] { return Load(tls ? "https" : "http"); };
    if (!Serve(setup, std::make_unique<WebServer>(setup.Core(), std::move(options)), *where, option + QStringLiteral(" HOST:PORT")))
        return false;
    SayLater();
    return true;
}

std::vector<ServerLoad> RemoteControl::Load(const std::string& asking) const
{
    std::vector<ServerLoad> servers;
    for (const auto& server : servers_)
        if (const auto load = server->Load(); load && load->server != asking)
            servers.push_back(*load);
    return servers;
}

int RemoteControl::Clients() const
{
    if (servers_.empty())
        return -1;
    int clients = 0;
    for (const auto& server : servers_)
        clients += server->Clients();
    return clients;
}

QStringList RemoteControl::Lines() const
{
    QStringList lines;
    if (!refusal_.isEmpty())
        lines << refusal_;
    for (const QString& warning : warnings_)
        lines << QStringLiteral("Warning: ") + warning;
    for (const auto& server : servers_)
        if (const QString page = server->Page(); !page.isEmpty())
            lines << QStringLiteral("Web page on ") + page;
    for (const auto& server : servers_)
        if (const QString resource = server->Resource(host_); !resource.isEmpty())
            lines << resource;
    return lines;
}

// The module's entry point (see RemoteService.h).
extern "C" Q_DECL_EXPORT RemoteService* rfswitch_start_remote(const Invocation& invocation, SwitchSetup& setup,
                                                               RemoteService::Failure* failure)
{
    return RemoteControl::Start(invocation, setup, failure).release();
}

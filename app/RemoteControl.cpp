#include "RemoteControl.h"

#include "Console.h"
#include "HislipServer.h"
#include "Invocation.h"
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

QString SocketResource(const QString& host, quint16 port)
{
    // Both at once: the host may be a "%1" left for the web page to fill in.
    return QStringLiteral("TCPIP0::%1::%2::SOCKET").arg(host, QString::number(port));
}

QString InstrResource(const QString& host)
{
    return QStringLiteral("TCPIP0::%1::inst0::INSTR").arg(host);
}

QString HislipResource(const QString& host, quint16 port)
{
    // VISA names a port other than HiSLIP's own after the device name.
    const QString device = port == HislipServer::kDefaultPort ? QStringLiteral("hislip0") : QStringLiteral("hislip0,%1").arg(port);
    return QStringLiteral("TCPIP0::%1::%2::INSTR").arg(host, device);
}

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

// How clients name a server at `where`: by the name it was given, by the
// machine's name where it listens on every address, else by its address.
QString ClientHost(const ListenAddress& where)
{
    if (!where.name.isEmpty())
        return where.name;
    return IsAnyAddress(where.host) ? QHostInfo::localHostName() : HostText(where.host);
}

// "127.0.0.1:5025 and [::1]:5025"
QString Places(const std::vector<QHostAddress>& hosts, quint16 port)
{
    QStringList places;
    for (const QHostAddress& host : hosts)
        places << PeerText(host, port);
    return places.join(QStringLiteral(" and "));
}

// "10.0.0.0/8", "10.0.0.0/8 or fd00::/8", "a, b or c".
QString OneOf(const QStringList& texts)
{
    return texts.size() < 2 ? texts.join(QString()) : texts.mid(0, texts.size() - 1).join(QStringLiteral(", ")) + QStringLiteral(" or ") + texts.last();
}

} // namespace

#ifdef RFSWITCH_LAN

namespace {

// VXI-11's core channel, as the port mapper names it.
constexpr std::uint32_t kVxi11Program = 0x0607AF;
constexpr std::uint32_t kVxi11Version = 1;
constexpr quint16 kPortMapperPort = 111;

void Print(const QString& line)
{
    PrintLine(stdout, line);
}

} // namespace

struct RemoteControl::Lan
{
    std::unique_ptr<Vxi11Server> vxi11;
    std::unique_ptr<PortMapper> portMapper;
    std::unique_ptr<Announcer> announcer;
    // Every server that may be announced, as it started.
    std::vector<ServiceOffer> offers;
};

bool RemoteControl::StartLan(const Invocation& invocation, SwitchSetup& setup)
{
    SwitchCore& core = setup.Core();
    if (!lan_)
        lan_ = std::make_unique<Lan>();
    QuitOnStopSignals();
    if (invocation.vxi11) {
        lan_->vxi11 = std::make_unique<Vxi11Server>(core, identity_, policy_);
        Report(lan_->vxi11.get(), core, QStringLiteral("vxi11"));
        for (const QHostAddress& host : hosts_) {
            QString error;
            if (!lan_->vxi11->Listen(host, &error))
                return Failed(kExitCannotServe, QStringLiteral("VXI-11: %1: choose another address with --listen HOST:PORT, or leave VXI-11 out "
                                                               "with --no-vxi11").arg(error));
        }
        connect(lan_->vxi11.get(), &Vxi11Server::LinksChanged, this, &RemoteControl::Changed);
        Print(QStringLiteral("VXI-11 on port %1: %2").arg(lan_->vxi11->Port()).arg(InstrResource(host_)));
        // Where the raw socket is there, its warning names the address already.
        if (!raw_)
            WarnExposure(setup, QStringLiteral("VXI-11 on port %1").arg(lan_->vxi11->Port()), hosts_, invocation.rawIo);
        lan_->portMapper = std::make_unique<PortMapper>(policy_);
        Report(lan_->portMapper.get(), core, QStringLiteral("portmap"));
        connect(lan_->portMapper.get(), &PortMapper::Settled, this, Print);
        lan_->portMapper->Start(hosts_, kVxi11Program, kVxi11Version, lan_->vxi11->Port());
    }
    if (raw_)
        Print(QStringLiteral("raw socket: ") + SocketResource(host_, raw_->Port()));
    for (const QHostAddress& host : hosts_) {
        if (raw_)
            Offer({QStringLiteral("_scpi-raw._tcp"), host, raw_->Port(), {}});
        // VXI-11 clients start at the port mapper, which names the channel's port.
        if (lan_->vxi11)
            Offer({QStringLiteral("_vxi-11._tcp"), host, kPortMapperPort, {}});
    }
    return true;
}

void RemoteControl::Offer(ServiceOffer offer)
{
    if (!lan_)
        lan_ = std::make_unique<Lan>();
    lan_->offers.push_back(std::move(offer));
}

void RemoteControl::Announce()
{
    if (!lan_)
        return;
    // Other machines can reach a server only where it listens beyond loopback.
    QStringList local;
    for (const ServiceOffer& offer : lan_->offers)
        if (Unmapped(offer.host).isLoopback() && !local.contains(HostText(offer.host)))
            local << HostText(offer.host);
    if (!local.isEmpty())
        Print(QStringLiteral("DNS-SD: not announced: %1 %2 reached from this machine only")
                  .arg(local.join(QStringLiteral(" and ")), local.size() == 1 ? QStringLiteral("is") : QStringLiteral("are")));
    const std::vector<Announcement> services = Announcements(lan_->offers, identity_);
    if (services.empty())
        return;
    lan_->announcer = std::make_unique<Announcer>(QString::fromStdString(identity_.model));
    connect(lan_->announcer.get(), &Announcer::Said, this, Print);
    QuitOnStopSignals();
    for (const Announcement& service : services)
        lan_->announcer->Add(service);
}

#else

struct RemoteControl::Lan
{
};

bool RemoteControl::StartLan(const Invocation&, SwitchSetup&)
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

std::optional<RemoteControl::Where> RemoteControl::Resolve(const QString& option, const QString& given)
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
    return Where{*address, std::move(hosts)};
}

template <typename Server>
bool RemoteControl::ListenOnEach(Server& server, const std::vector<QHostAddress>& hosts, quint16 port, const QString& with)
{
    for (const QHostAddress& host : hosts) {
        const quint16 at = &host == &hosts.front() ? port : server.Port();
        QString error;
        if (!server.Listen(ListenAddress{host, at}, &error))
            return Failed(kExitCannotServe, error
                                                + (error == PortInUse(host, at) ? QStringLiteral(": stop it or choose another port with ")
                                                                                : QStringLiteral(": choose another address or port with "))
                                                + with);
    }
    return true;
}

template <typename Server>
void RemoteControl::Report(Server* server, SwitchCore& core, const QString& protocol)
{
    connect(server, &Server::Refused, this, [this, &core, protocol](const QString& peer, const QString& why) {
        core.Refused(Source::Remote(QStringLiteral("%1:%2").arg(protocol, peer).toStdString()), "connect", why.toStdString());
        PrintLine(stderr, QStringLiteral("rfswitch-panel: refused %1 client %2: %3").arg(protocol, peer, why));
        refusal_ = QStringLiteral("Refused %1 client %2: %3").arg(protocol, peer, why);
        emit Changed();
    });
}

void RemoteControl::WarnExposure(SwitchSetup& setup, const QString& what, const std::vector<QHostAddress>& hosts, bool rawIo)
{
    if (std::all_of(hosts.begin(), hosts.end(), [](const QHostAddress& host) { return Unmapped(host).isLoopback(); }))
        return;
    const QString who = !allowed_.isEmpty() ? QStringLiteral("clients from ") + allowed_
                        : hosts.size() > 1  ? QStringLiteral("anyone who can reach these addresses")
                                            : QStringLiteral("anyone who can reach this address");
    Warn(setup, QStringLiteral("%1: %2 can switch the board%3%4")
                    .arg(what, who, rawIo ? QStringLiteral(", through a process that runs as root (--raw-io)") : QString(),
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
    const auto where = Resolve(QStringLiteral("--listen"), invocation.listen);
    if (!where)
        return false;
    hosts_ = where->hosts;
    host_ = ClientHost(where->address);
    if (invocation.rawSocket) {
        raw_ = std::make_unique<ScpiServer>(setup.Core(), identity_, policy_);
        Report(raw_.get(), setup.Core(), QStringLiteral("scpi"));
        if (!ListenOnEach(*raw_, hosts_, where->address.port, QStringLiteral("--listen HOST:PORT")))
            return false;
        const QString listening = QStringLiteral("listening on ") + Places(hosts_, raw_->Port());
        PrintLine(stdout, listening);
        WarnExposure(setup, listening, hosts_, invocation.rawIo);
        connect(raw_.get(), &ScpiServer::ClientsChanged, this, &RemoteControl::Changed);
    }
    if (invocation.hislip && !StartHislip(invocation, setup, *where))
        return false;
    if (!StartLan(invocation, setup))
        return false;
    if (invocation.tlsRequired)
        WarnPlain(setup);
    return true;
}

void RemoteControl::WarnPlain(SwitchSetup& setup)
{
    QStringList plain;
    if (raw_)
        plain << QStringLiteral("the raw socket on %1 (--raw-socket)").arg(Places(hosts_, raw_->Port()));
#ifdef RFSWITCH_LAN
    if (lan_ && lan_->vxi11)
        plain << QStringLiteral("VXI-11 on port %1 (--vxi11)").arg(lan_->vxi11->Port());
#endif
    if (plain.isEmpty())
        return;
    plain_ = plain.join(QStringLiteral(" and "));
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

bool RemoteControl::StartHislip(const Invocation& invocation, SwitchSetup& setup, const Where& listen)
{
    // Beside --listen at HiSLIP's own port; a test's port 0 picks a free one for both.
    Where where{{listen.address.host, listen.address.port == 0 ? quint16(0) : HislipServer::kDefaultPort, listen.address.name}, listen.hosts};
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
    hislip_ = std::make_unique<HislipServer>(setup.Core(), identity_, policy_, options);
    Report(hislip_.get(), setup.Core(), QStringLiteral("hislip"));
    if (!ListenOnEach(*hislip_, where.hosts, where.address.port, QStringLiteral("--hislip HOST:PORT, or leave HiSLIP out with --no-hislip")))
        return false;
    connect(hislip_.get(), &HislipServer::SessionsChanged, this, &RemoteControl::Changed);
    const QString places = Places(where.hosts, hislip_->Port());
    PrintLine(stdout, QStringLiteral("HiSLIP on %1: %2%3")
                          .arg(places, HislipResource(ClientHost(where.address), hislip_->Port()),
                               invocation.tlsRequired ? QStringLiteral(" (encrypted only)") : QString()));
    if (!raw_ || where.hosts != listen.hosts)
        WarnExposure(setup, QStringLiteral("HiSLIP on ") + places, where.hosts, invocation.rawIo);
#ifdef RFSWITCH_LAN
    for (const QHostAddress& host : where.hosts)
        Offer({QStringLiteral("_hislip._tcp"), host, hislip_->Port(), {}});
#endif
    return true;
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
    if (hislip_)
        options.resources << HislipResource(QStringLiteral("%1"), hislip_->Port());
#ifdef RFSWITCH_LAN
    if (lan_ && lan_->vxi11)
        options.resources << InstrResource(QStringLiteral("%1"));
#endif
    if (raw_)
        options.resources << SocketResource(QStringLiteral("%1"), raw_->Port());
    options.plain = plain_;
    options.name = where->address.name;
    // The other servers' figures for /metrics: each web server counts its own connections.
    options.servers = [this, tls] { return Load(tls ? "https" : "http"); };
    auto& web = tls ? secureWeb_ : web_;
    web = std::make_unique<WebServer>(setup.Core(), std::move(options));
    Report(web.get(), setup.Core(), tls ? QStringLiteral("https") : QStringLiteral("http"));
    if (!ListenOnEach(*web, where->hosts, where->address.port, option + QStringLiteral(" HOST:PORT")))
        return false;
    connect(web.get(), &WebServer::ViewersChanged, this, &RemoteControl::Changed);
    // Named as the SCPI lines name the host; the addresses first where the name is not one.
    const QString url = QStringLiteral("%1://%2:%3/").arg(tls ? "https" : "http", ClientHost(where->address)).arg(web->Port());
    const bool named = !where->address.name.isEmpty() || IsAnyAddress(where->address.host);
    PrintLine(stdout, QStringLiteral("web page on ") + (named ? Places(where->hosts, web->Port()) + QStringLiteral(": ") : QString()) + url);
    WarnExposure(setup, QStringLiteral("web page on ") + url, where->hosts, invocation.rawIo);
    pages_ << url;
#ifdef RFSWITCH_LAN
    for (const WebService& service : web->Services())
        for (const QHostAddress& host : where->hosts)
            Offer({service.type, host, service.port, service.txt});
#endif
    return true;
}

std::vector<ServerLoad> RemoteControl::Load(const std::string& asking) const
{
    std::vector<ServerLoad> servers;
    if (raw_)
        servers.push_back({"scpi-raw", raw_->Clients(), raw_->ErrorsQueued()});
#ifdef RFSWITCH_LAN
    if (lan_ && lan_->vxi11)
        servers.push_back({"vxi-11", lan_->vxi11->Links(), lan_->vxi11->ErrorsQueued()});
#endif
    if (hislip_)
        servers.push_back({"hislip", hislip_->Sessions(), hislip_->ErrorsQueued()});
    if (web_ && asking != "http")
        servers.push_back({"http", web_->Connections()});
    if (secureWeb_ && asking != "https")
        servers.push_back({"https", secureWeb_->Connections()});
    return servers;
}

int RemoteControl::Clients() const
{
    if (!raw_ && !hislip_ && !web_ && !secureWeb_)
        return -1;
#ifdef RFSWITCH_LAN
    const int links = lan_ && lan_->vxi11 ? lan_->vxi11->Links() : 0;
#else
    const int links = 0;
#endif
    return (raw_ ? raw_->Clients() : 0) + links + (hislip_ ? hislip_->Sessions() : 0) + (web_ ? web_->Viewers() : 0)
        + (secureWeb_ ? secureWeb_->Viewers() : 0);
}

QStringList RemoteControl::Lines() const
{
    QStringList lines;
    if (!refusal_.isEmpty())
        lines << refusal_;
    for (const QString& warning : warnings_)
        lines << QStringLiteral("Warning: ") + warning;
    for (const QString& page : pages_)
        lines << QStringLiteral("Web page on ") + page;
    if (hislip_)
        lines << HislipResource(host_, hislip_->Port());
#ifdef RFSWITCH_LAN
    if (lan_ && lan_->vxi11)
        lines << InstrResource(host_);
#endif
    if (raw_)
        lines << SocketResource(host_, raw_->Port());
    return lines;
}

// The module's entry point (see RemoteService.h).
extern "C" Q_DECL_EXPORT RemoteService* rfswitch_start_remote(const Invocation& invocation, SwitchSetup& setup,
                                                               RemoteService::Failure* failure)
{
    return RemoteControl::Start(invocation, setup, failure).release();
}

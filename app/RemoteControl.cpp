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
            hosts << where->host;
    return hosts;
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

bool RemoteControl::StartLan(const Invocation& invocation, SwitchSetup& setup, const QHostAddress& host)
{
    SwitchCore& core = setup.Core();
    if (!lan_)
        lan_ = std::make_unique<Lan>();
    QuitOnStopSignals();
    if (invocation.vxi11) {
        lan_->vxi11 = std::make_unique<Vxi11Server>(core, identity_, policy_);
        Report(lan_->vxi11.get(), core, QStringLiteral("vxi11"));
        QString error;
        if (!lan_->vxi11->Listen(host, &error)) {
            Fail(kExitUsage, QStringLiteral("--listen %1: VXI-11: %2").arg(invocation.listen, error));
            return false;
        }
        connect(lan_->vxi11.get(), &Vxi11Server::LinksChanged, this, &RemoteControl::Changed);
        Print(QStringLiteral("VXI-11 on port %1: %2").arg(lan_->vxi11->Port()).arg(InstrResource(host_)));
        // Where the raw socket is there, its warning names the address already.
        if (!raw_)
            WarnExposure(setup, QStringLiteral("VXI-11 on port %1").arg(lan_->vxi11->Port()), host, invocation.rawIo);
        lan_->portMapper = std::make_unique<PortMapper>(policy_);
        Report(lan_->portMapper.get(), core, QStringLiteral("portmap"));
        connect(lan_->portMapper.get(), &PortMapper::Settled, this, Print);
        lan_->portMapper->Start(host, kVxi11Program, kVxi11Version, lan_->vxi11->Port());
    }
    if (raw_) {
        Print(QStringLiteral("raw socket: ") + SocketResource(host_, raw_->Port()));
        Offer({QStringLiteral("_scpi-raw._tcp"), host, raw_->Port(), {}});
    }
    // VXI-11 clients start at the port mapper, which names the channel's port.
    if (lan_->vxi11)
        Offer({QStringLiteral("_vxi-11._tcp"), host, kPortMapperPort, {}});
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
    for (const QString& host : local)
        Print(QStringLiteral("DNS-SD: not announced: %1 is reached from this machine only").arg(host));
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

bool RemoteControl::StartLan(const Invocation&, SwitchSetup&, const QHostAddress&)
{
    return true;
}

void RemoteControl::Announce()
{
}

#endif

RemoteControl::RemoteControl() = default;
RemoteControl::~RemoteControl() = default;

std::unique_ptr<RemoteControl> RemoteControl::Start(const Invocation& invocation, SwitchSetup& setup)
{
    std::unique_ptr<RemoteControl> remote(new RemoteControl);
    QString error;
    const auto allow = AllowList::Parse(invocation.allow, &error);
    if (!allow) {
        Fail(kExitUsage, QStringLiteral("--allow ") + error);
        return nullptr;
    }
    // One policy for every way in.
    remote->identity_ = ProgramIdentity(invocation.serial.toStdString());
    remote->policy_.allow = *allow;
    remote->policy_.idleTimeout = std::chrono::seconds(invocation.idleTimeout);
    remote->policy_.keepAlive = KeepAliveFromEnvironment();
    if (!invocation.listen.isEmpty() && !remote->StartListen(invocation, setup))
        return nullptr;
    if (!invocation.http.isEmpty() && !remote->StartWeb(invocation, setup, false))
        return nullptr;
    if (!invocation.https.isEmpty() && !remote->StartWeb(invocation, setup, true))
        return nullptr;
    remote->Announce();
    return remote;
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

void RemoteControl::WarnExposure(SwitchSetup& setup, const QString& what, const QHostAddress& host, bool rawIo)
{
    if (host.isLoopback())
        return;
    Warn(setup, QStringLiteral("%1: anyone who can reach this address can switch the board%2%3")
                    .arg(what, rawIo ? QStringLiteral(", through a process that runs as root (--raw-io)") : QString(),
                         policy_.allow.Empty() ? QStringLiteral("; --allow limits who may connect") : QString()));
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
    QString error;
    const auto where = ParseListenAddress(invocation.listen, &error);
    if (!where) {
        Fail(kExitUsage, QStringLiteral("--listen %1: %2").arg(invocation.listen, error));
        return false;
    }
    // Listening on every address, the machine is reached by its name.
    host_ = IsAnyAddress(where->host) ? QHostInfo::localHostName() : HostText(where->host);
    if (invocation.rawSocket) {
        raw_ = std::make_unique<ScpiServer>(setup.Core(), identity_, policy_);
        Report(raw_.get(), setup.Core(), QStringLiteral("scpi"));
        if (!raw_->Listen(*where, &error)) {
            Fail(kExitUsage, QStringLiteral("--listen %1: %2").arg(invocation.listen, error));
            return false;
        }
        PrintLine(stdout, QStringLiteral("listening on ") + raw_->Address());
        WarnExposure(setup, QStringLiteral("listening on ") + raw_->Address(), where->host, invocation.rawIo);
        connect(raw_.get(), &ScpiServer::ClientsChanged, this, &RemoteControl::Changed);
    }
    if (invocation.hislip && !StartHislip(invocation, setup, *where))
        return false;
    if (!StartLan(invocation, setup, where->host))
        return false;
    if (invocation.tlsRequired)
        WarnPlain(setup);
    return true;
}

void RemoteControl::WarnPlain(SwitchSetup& setup)
{
    QStringList plain;
    if (raw_)
        plain << QStringLiteral("the raw socket on %1 (--raw-socket)").arg(raw_->Address());
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
        if (needed || given) {
            Fail(kExitUsage, QStringLiteral("TLS: %1").arg(error));
            return false;
        }
        PrintLine(stderr, QStringLiteral("rfswitch-panel: warning: no TLS (%1; --state-dir names a folder to keep a certificate in)").arg(error));
        return true;
    }
    PrintLine(stdout, QStringLiteral("TLS certificate %1, SHA-256 fingerprint %2").arg(tls_->CertificateFile(), tls_->Fingerprint()));
    return true;
}

bool RemoteControl::StartHislip(const Invocation& invocation, SwitchSetup& setup, const ListenAddress& listen)
{
    QString error;
    // Beside --listen at HiSLIP's own port; a test's port 0 picks a free one for both.
    ListenAddress where{listen.host, listen.port == 0 ? quint16(0) : HislipServer::kDefaultPort};
    if (!invocation.hislipAddress.isEmpty()) {
        const auto given = ParseListenAddress(invocation.hislipAddress, &error);
        if (!given) {
            Fail(kExitUsage, QStringLiteral("--hislip %1: %2").arg(invocation.hislipAddress, error));
            return false;
        }
        where = *given;
    }
    if (!StartTls(invocation, invocation.tlsRequired))
        return false;
    HislipOptions options;
    options.tls = tls_;
    options.tlsRequired = invocation.tlsRequired;
    hislip_ = std::make_unique<HislipServer>(setup.Core(), identity_, policy_, options);
    Report(hislip_.get(), setup.Core(), QStringLiteral("hislip"));
    if (!hislip_->Listen(where, &error)) {
        Fail(kExitUsage, QStringLiteral("HiSLIP on %1: %2 (--hislip [HOST:]PORT listens elsewhere, --no-hislip not at all)")
                             .arg(PeerText(where.host, where.port), error));
        return false;
    }
    connect(hislip_.get(), &HislipServer::SessionsChanged, this, &RemoteControl::Changed);
    const QString host = IsAnyAddress(where.host) ? QHostInfo::localHostName() : HostText(where.host);
    PrintLine(stdout, QStringLiteral("HiSLIP on %1: %2%3")
                          .arg(hislip_->Address(), HislipResource(host, hislip_->Port()),
                               invocation.tlsRequired ? QStringLiteral(" (encrypted only)") : QString()));
    if (!raw_ || where.host != listen.host)
        WarnExposure(setup, QStringLiteral("HiSLIP on ") + hislip_->Address(), where.host, invocation.rawIo);
#ifdef RFSWITCH_LAN
    Offer({QStringLiteral("_hislip._tcp"), where.host, hislip_->Port(), {}});
#endif
    return true;
}

bool RemoteControl::StartWeb(const Invocation& invocation, SwitchSetup& setup, bool tls)
{
    const QString option = tls ? QStringLiteral("--https") : QStringLiteral("--http");
    const QString given = tls ? invocation.https : invocation.http;
    if (tls && !StartTls(invocation, true))
        return false;
    QString error;
    const auto where = ParseListenAddress(given, &error);
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
    // The other servers' figures for /metrics: each web server counts its own connections.
    options.servers = [this, tls] { return Load(tls ? "https" : "http"); };
    auto& web = tls ? secureWeb_ : web_;
    web = std::make_unique<WebServer>(setup.Core(), std::move(options));
    Report(web.get(), setup.Core(), tls ? QStringLiteral("https") : QStringLiteral("http"));
    if (!where || !web->Listen(*where, &error)) {
        Fail(kExitUsage, QStringLiteral("%1 %2: %3").arg(option, given, error));
        return false;
    }
    connect(web.get(), &WebServer::ViewersChanged, this, &RemoteControl::Changed);
    PrintLine(stdout, QStringLiteral("web page on ") + web->Url());
    WarnExposure(setup, QStringLiteral("web page on ") + web->Url(), where->host, invocation.rawIo);
#ifdef RFSWITCH_LAN
    for (const WebService& service : web->Services())
        Offer({service.type, where->host, service.port, service.txt});
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
    for (const auto* web : {web_.get(), secureWeb_.get()})
        if (web)
            lines << QStringLiteral("Web page on ") + web->Url();
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

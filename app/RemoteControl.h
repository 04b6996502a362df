#pragma once

#include "ConnectionPolicy.h"
#include "Identity.h"
#include "Metrics.h"
#include "NetAddress.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

class Announcer;
class HislipServer;
struct ServiceOffer;
class ScpiServer;
class TlsCredentials;
class SwitchCore;
class SwitchSetup;
class WebServer;
struct Invocation;

// What --listen and --http offer: SCPI on the raw socket, HiSLIP (unless
// --no-hislip) with TLS on the certificate, and, where the system has them
// (not on Windows), VXI-11 with its port mapper (unless --no-vxi11); the
// web page; the DNS-SD announcement of each that listens
// beyond loopback; the VISA resource strings and the page's address,
// printed as the log's lines and shown in the panel; and, where it listens
// beyond loopback, the warning that anyone who reaches it can switch the
// board, and each client turned away.
class RemoteControl : public QObject
{
    Q_OBJECT

public:
    // nullptr, with the reason printed, when a server cannot listen; one
    // that serves nothing when neither option is given.
    static std::unique_ptr<RemoteControl> Start(const Invocation& invocation, SwitchSetup& setup);
    ~RemoteControl() override;

    // For the panel: the clients of every server, the page's viewers among
    // them (-1 where nothing is served), and the lines to show, the most
    // pressing first: the last client turned away, the warnings, the page's
    // address and the resource strings.
    int Clients() const;
    QStringList Lines() const;

signals:
    // The clients came or went, or one was turned away.
    void Changed();

private:
    struct Lan;

    RemoteControl();
    // --listen: the raw socket (but with --tls-required unless named),
    // HiSLIP and VXI-11.
    bool StartListen(const Invocation& invocation, SwitchSetup& setup);
    // With --tls-required: which doors serve plain text all the same.
    void WarnPlain(SwitchSetup& setup);
    bool StartLan(const Invocation& invocation, SwitchSetup& setup, const QHostAddress& host);
    bool StartHislip(const Invocation& invocation, SwitchSetup& setup, const ListenAddress& listen);
    // The certificate for TLS, loaded or made once; false (with the reason
    // said) where it cannot be had and TLS is asked for; `needed`: without
    // it, nothing that was asked for can be served.
    bool StartTls(const Invocation& invocation, bool needed);
    // The page over plain HTTP (--http) or over TLS (--https).
    bool StartWeb(const Invocation& invocation, SwitchSetup& setup, bool tls);
    void Warn(SwitchSetup& setup, const QString& warning);
    // Where `address` is reached beyond this machine: that anyone who
    // reaches it can switch the board, and how to narrow that.
    void WarnExposure(SwitchSetup& setup, const QString& what, const QHostAddress& host, bool rawIo);
    // Every refusal of `server` goes to the log, stderr and the panel.
    template <typename Server>
    void Report(Server* server, SwitchCore& core, const QString& protocol);
    // The servers' clients and queued errors, for the metrics of the web
    // server `asking` ("http", "https"), which counts its own.
    std::vector<ServerLoad> Load(const std::string& asking) const;
    // A server that listens, for DNS-SD (where the system has it).
    void Offer(ServiceOffer offer);
    // Announces by DNS-SD what the servers offer, once all have started.
    void Announce();

    Identity identity_;
    ConnectionPolicy policy_;
    QString host_;  // as a VISA resource names it
    std::unique_ptr<ScpiServer> raw_;
    std::unique_ptr<HislipServer> hislip_;
    std::shared_ptr<const TlsCredentials> tls_;
    bool tlsTried_ = false;
    std::unique_ptr<Lan> lan_;
    std::unique_ptr<WebServer> web_;
    std::unique_ptr<WebServer> secureWeb_;
    QStringList warnings_;
    QString plain_;  // the doors open in plain text despite --tls-required
    QString refusal_;  // the last client turned away
};

#pragma once

#include "ConnectionPolicy.h"
#include "Identity.h"
#include "NetAddress.h"
#include "RemoteService.h"
#include "ServerLoad.h"

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <optional>
#include <vector>

class Listener;
class TlsCredentials;
class SwitchCore;
class SwitchSetup;
struct Invocation;

// What --listen and --http offer: SCPI on the raw socket, HiSLIP (unless
// --no-hislip) with TLS on the certificate, and, where the system has them
// (not on Windows), VXI-11 with its port mapper (unless --no-vxi11); the
// web page; the DNS-SD announcement of each that listens
// beyond loopback; the VISA resource strings and the page's address,
// printed as the log's lines and shown in the panel; and, where it listens
// beyond loopback, the warning of who can switch the board (anyone who
// reaches it, or the clients --allow lets in), and each client turned away.
// A host name is looked up once, at start, and each of its addresses served.
// Every server is a Listener, started, reported and listed the same way.
class RemoteControl : public RemoteService
{
    Q_OBJECT

public:
    // nullptr, with the reason printed (and in `failure`), when a server
    // cannot listen; one that serves nothing when neither option is given.
    static std::unique_ptr<RemoteControl> Start(const Invocation& invocation, SwitchSetup& setup, Failure* failure = nullptr);
    ~RemoteControl() override;

    // The lines: the last client turned away, the warnings, the page's
    // address and the resource strings.
    int Clients() const override;
    QStringList Lines() const override;

private:
    RemoteControl();
    // Says why nothing is served; false.
    bool Failed(int code, const QString& words);
    // The value `given` of `option` parsed, its host name looked up.
    std::optional<ListenPlace> Resolve(const QString& option, const QString& given);
    // Opens `server` at `place` and keeps it: its refusals reported, its
    // line printed, its exposure warned of. Where it cannot listen, the
    // failure with what to choose `with` ("--http HOST:PORT").
    bool Serve(SwitchSetup& setup, std::unique_ptr<Listener> server, const ListenPlace& place, const QString& with);
    // The lines the servers said they would say later, now.
    void SayLater();
    // --listen: the raw socket (but with --tls-required unless named),
    // HiSLIP and VXI-11.
    bool StartListen(const Invocation& invocation, SwitchSetup& setup);
    // With --tls-required: which doors serve plain text all the same.
    void WarnPlain(SwitchSetup& setup);
    bool StartHislip(const Invocation& invocation, SwitchSetup& setup, const ListenPlace& listen);
    bool StartVxi11(SwitchSetup& setup, const ListenPlace& listen);
    // The certificate for TLS, loaded or made once; false (with the reason
    // said) where it cannot be had and TLS is asked for; `needed`: without
    // it, nothing that was asked for can be served.
    bool StartTls(const Invocation& invocation, bool needed);
    // The page over plain HTTP (--http) or over TLS (--https).
    bool StartWeb(const Invocation& invocation, SwitchSetup& setup, bool tls);
    void Warn(SwitchSetup& setup, const QString& warning);
    // Where one of `hosts` is reached beyond this machine: who can switch
    // the board there (anyone who reaches it, and how to narrow that, or the
    // clients --allow lets in).
    void WarnExposure(SwitchSetup& setup, const QString& what, const std::vector<QHostAddress>& hosts);
    // Every refusal of `server` goes to the log, stderr and the panel.
    void Report(Listener& server, SwitchCore& core);
    // The servers' clients and queued errors, for the metrics of the web
    // server `asking` ("http", "https"), which counts its own.
    std::vector<ServerLoad> Load(const std::string& asking) const;
    // Announces by DNS-SD what the servers offer, once all have started.
    void Announce();

    Identity identity_;
    ConnectionPolicy policy_;
    QString allowed_;  // --allow's subnets, as given, in words
    bool rawIo_ = false;
    Failure failure_;
    QString host_;  // where --listen listens, as a VISA resource names it
    std::shared_ptr<const TlsCredentials> tls_;
    bool tlsTried_ = false;
    // Every server, in the order clients are offered them (Preference).
    std::vector<std::unique_ptr<Listener>> servers_;
    QStringList later_;  // the lines to say once the servers of an option have started
    QStringList plainDoors_;  // those that serve plain text, as they started
    // Where a warning names the addresses of --listen for every server there.
    std::optional<std::vector<QHostAddress>> warned_;
    std::unique_ptr<QObject> announcer_;  // DNS-SD's, where the system has it
    QStringList warnings_;
    QString plain_;  // the doors open in plain text despite --tls-required
    QString refusal_;  // the last client turned away
};

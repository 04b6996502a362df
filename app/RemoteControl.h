#pragma once

#include <QHostAddress>
#include <QObject>
#include <QString>

#include <memory>

class Announcer;
class ScpiServer;
class SwitchCore;
class WebServer;
struct Invocation;

// What --listen and --http offer: SCPI on the raw socket and, where the
// system has them (not on Windows), VXI-11 with its port mapper (unless
// --no-vxi11); the web page; the DNS-SD announcement of each that listens
// beyond loopback; and the VISA resource strings and the page's address,
// printed as the log's lines and shown in the panel.
class RemoteControl : public QObject
{
    Q_OBJECT

public:
    // nullptr, with the reason printed, when a server cannot listen; one
    // that serves nothing when neither option is given.
    static std::unique_ptr<RemoteControl> Start(const Invocation& invocation, SwitchCore& core);
    ~RemoteControl() override;

    // For the panel's status strip: the resource strings, the clients and
    // the page's address; empty when nothing is served.
    QString Note() const;

signals:
    // The clients came or went.
    void Changed();

private:
    struct Lan;

    RemoteControl();
    bool StartRaw(const Invocation& invocation, SwitchCore& core);
    bool StartLan(const Invocation& invocation, SwitchCore& core, const QHostAddress& host);
    bool StartWeb(const Invocation& invocation, SwitchCore& core);
    // The announcer, made on first use; nullptr where nothing announces.
    Announcer* DnsSd();

    QString host_;  // as a VISA resource names it
    std::unique_ptr<ScpiServer> raw_;
    std::unique_ptr<Lan> lan_;
    std::unique_ptr<WebServer> web_;
};

#pragma once

#include <QHostAddress>
#include <QObject>
#include <QString>

#include <memory>

class Announcer;
class ScpiServer;
class SwitchCore;
struct Invocation;

// What --listen offers: SCPI on the raw socket and, where the system has
// them (not on Windows), VXI-11 with its port mapper (unless --no-vxi11) and
// the DNS-SD announcement of both; and the VISA resource strings that reach
// them, printed as the log's lines and shown in the panel.
class RemoteControl : public QObject
{
    Q_OBJECT

public:
    // nullptr, with the reason printed, when the servers cannot listen.
    static std::unique_ptr<RemoteControl> Start(const Invocation& invocation, SwitchCore& core);
    ~RemoteControl() override;

    // For the panel's status strip: the resource strings and the clients.
    QString Note() const;
    // More services (a web page) are announced through this; nullptr where
    // the servers listen on loopback only, or nothing announces.
    Announcer* DnsSd();

signals:
    // The clients came or went.
    void Changed();

private:
    struct Lan;

    RemoteControl();
    bool StartLan(const Invocation& invocation, SwitchCore& core, const QHostAddress& host);

    QString host_;  // as a VISA resource names it
    std::unique_ptr<ScpiServer> raw_;
    std::unique_ptr<Lan> lan_;
};

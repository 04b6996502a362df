#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class SwitchSetup;
struct Invocation;

// What the program serves to remote clients, as the panel and the headless
// server see it. The servers live in a module of their own, loaded only where
// --listen, --http or --https asks for one, so that a window that serves
// nothing loads none of what only they use (TLS, RPC, DNS-SD) and starts as
// fast as a window can.
class RemoteService : public QObject
{
    Q_OBJECT

public:
    // Why it did not start: the exit code and the words printed.
    struct Failure
    {
        int code = 0;
        QString words;
    };

    // What the invocation asks to serve, started; one that serves nothing
    // where it asks for nothing. nullptr, with the reason printed (and in
    // `failure`), where a server cannot start or the module cannot be loaded.
    static std::unique_ptr<RemoteService> Start(const Invocation& invocation, SwitchSetup& setup, Failure* failure = nullptr);

    // For the panel: the clients of every server, the page's viewers among
    // them (-1 where nothing is served), and the lines to show, the most
    // pressing first.
    virtual int Clients() const = 0;
    virtual QStringList Lines() const = 0;

signals:
    // The clients came or went, or one was turned away.
    void Changed();
};

// The module's entry point, looked up by this name.
#define RFSWITCH_REMOTE_ENTRY "rfswitch_start_remote"
using StartRemote = RemoteService* (*)(const Invocation&, SwitchSetup&, RemoteService::Failure*);

#pragma once

#include "ConnectionPolicy.h"
#include "NetAddress.h"
#include "ServerLoad.h"
#include "ServiceOffer.h"

#include <QObject>
#include <QString>

#include <optional>
#include <vector>

class Connection;
class Door;

// One way in to the switch, as the program starts, reports and lists it
// whatever its protocol: it listens at a place (each address of a host
// name) with the policy it was made with, tells of every client it turns
// away, counts its clients, and names itself in the start-up lines, the
// panel, /metrics and DNS-SD. A new protocol is a listener of its own and
// one line where the servers are started.
class Listener : public QObject
{
    Q_OBJECT

public:
    // What it says once it listens; empty: nothing.
    struct Words
    {
        QString line{};  // "HiSLIP on 127.0.0.1:4880: TCPIP0::…"
        // Once every server of its option has said its line: the resource
        // string where its line names none.
        QString later{};
        // What the warning of who can reach it names ("HiSLIP on …").
        QString exposure{};
        // The exposure names its addresses alone ("listening on …"), and so
        // stands for the other servers of its option on them.
        bool forAddresses = false;
        // With --tls-required, how the warning that control is open in plain
        // text all the same names it; empty where it encrypts.
        QString plain{};
    };

    using QObject::QObject;

    // Listens at each of `place`'s addresses, the first at its port (0: a
    // free one), the others at the port the first got. False with
    // `failure`, why not and what to choose instead ("port 5025 on
    // 127.0.0.1 is in use by another program: stop it or choose another
    // port"), for the option that chooses it to follow.
    bool Open(const ListenPlace& place, QString* failure = nullptr);
    // Where it was opened.
    const ListenPlace& Place() const { return place_; }

    // How refusals name its clients ("scpi", "hislip", "http").
    virtual QString Protocol() const = 0;
    // Where clients choose among the ways in (the resource strings the panel
    // and the page list, the services DNS-SD announces), the lower first.
    virtual int Preference() const = 0;
    // The clients it serves now, as the panel counts them.
    virtual int Clients() const = 0;
    // Its clients and unread errors for /metrics; none where it is not counted there.
    virtual std::optional<ServerLoad> Load() const { return std::nullopt; }
    virtual Words Started() const { return {}; }
    // The VISA resource string clients open it by, `host` naming this
    // machine ("%1" for the page to fill in); empty: none.
    virtual QString Resource(const QString& /*host*/) const { return {}; }
    // The page's address, as a browser is given it; empty: it serves none.
    virtual QString Page() const { return {}; }
    // What DNS-SD may announce of it.
    virtual std::vector<ServiceOffer> Offers() const { return {}; }

signals:
    // A peer was turned away, or a connection closed by the policy: who, and why.
    void Refused(const QString& peer, const QString& why);
    void ClientsChanged(int clients);
    // A line that comes after its start (how the port mapper settled).
    void Said(const QString& line);

protected:
    // Open's listening.
    virtual bool ListenAt(const ListenPlace& place, QString* failure) = 0;

private:
    ListenPlace place_;
};

// A listener on one door, the same for every server that has one: its
// addresses, port, connections and refusals are the door's, and each
// connection the door lets in is the server's to Serve.
class DoorListener : public Listener
{
    Q_OBJECT

public:
    // Listens on one more address; `error`: ListenFailure's words.
    bool Listen(const ListenAddress& address, QString* error = nullptr);
    // The first address's port (the one it got for port 0); 0 before.
    quint16 Port() const;

protected:
    // `protocol` names it in the door's words ("SCPI", "HTTP").
    DoorListener(const QString& protocol, ConnectionPolicy policy, QObject* parent = nullptr);
    ~DoorListener() override;

    Door& Entrance() const { return *door_; }
    virtual void Serve(Connection* connection) = 0;
    // Closes the door and every connection now: for a server whose sessions
    // must end before the parts of its own they use. Nothing else is asked
    // of it after.
    void Shut();
    bool ListenAt(const ListenPlace& place, QString* failure) override;

private:
    Door* door_;
};

#pragma once

// Announces the switch's services by DNS-SD through the system's Avahi
// daemon, so that LAN instrument tools (lxi discover --mdns, VISA's
// browsers) find it without an address typed: each service under one
// instance name showing the model and the host, with the TXT records that
// LXI tools read. Withdrawn when the announcer goes. Without Avahi it says
// so in one line and the program goes on; a daemon that starts later is
// used then.

#include "Services.h"

#include <QObject>
#include <QString>

#include <memory>
#include <vector>

struct AvahiClient;
struct AvahiEntryGroup;
class AvahiQtPoll;

class Announcer : public QObject
{
    Q_OBJECT

public:
    // The instance is named by InstrumentName, on the host name Avahi has.
    explicit Announcer(Identity identity, QObject* parent = nullptr);
    ~Announcer() override;

    // Announces `service` for as long as the announcer lives, its TXT
    // records in the order given.
    void Add(const Announcement& service);

signals:
    // How the announcement went: announced under a name, or why not.
    void Said(const QString& line);

private:
    void Connect();
    void ClientChanged(AvahiClient* client, int state);
    void GroupChanged(int state);
    void Publish();
    void Say(const QString& line);

    std::unique_ptr<AvahiQtPoll> poll_;
    AvahiClient* client_ = nullptr;
    AvahiEntryGroup* group_ = nullptr;
    Identity identity_;
    QString name_;
    std::vector<Announcement> services_;
    QString said_;
};

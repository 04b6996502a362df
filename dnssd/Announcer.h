#pragma once

// Announces the switch's services by DNS-SD through the system's Avahi
// daemon, so that LAN instrument tools (lxi discover --mdns, VISA's
// browsers) find it without an address typed: each service under one
// instance name showing the model and the host, with the TXT records that
// LXI tools read. Withdrawn when the announcer goes. Without Avahi it says
// so in one line and the program goes on; a daemon that starts later is
// used then.

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>
#include <vector>

struct AvahiClient;
struct AvahiEntryGroup;
class AvahiQtPoll;

class Announcer : public QObject
{
    Q_OBJECT

public:
    // `model` names the instance, "QTR7-415KM on bench-pc"; `txt` holds the
    // TXT records every service gets ("Model=QTR7-415KM").
    explicit Announcer(QString model, QStringList txt, QObject* parent = nullptr);
    ~Announcer() override;

    // Announces a service of `type` ("_scpi-raw._tcp") on `port`, with these
    // TXT records besides the common ones, for as long as the announcer lives.
    void Add(const QString& type, quint16 port, const QStringList& txt = {});

signals:
    // How the announcement went: announced under a name, or why not.
    void Said(const QString& line);

private:
    struct Service
    {
        QString type;
        quint16 port;
        QStringList txt;
    };

    void Connect();
    void ClientChanged(AvahiClient* client, int state);
    void GroupChanged(int state);
    void Publish();
    void Say(const QString& line);

    std::unique_ptr<AvahiQtPoll> poll_;
    AvahiClient* client_ = nullptr;
    AvahiEntryGroup* group_ = nullptr;
    QString model_;
    QStringList txt_;
    QString name_;
    std::vector<Service> services_;
    QString said_;
};

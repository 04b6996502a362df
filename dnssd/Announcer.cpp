#include "Announcer.h"

#include "AvahiQtPoll.h"

#include <avahi-client/client.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/strlst.h>

#include <QStringList>

#include <utility>

namespace {

AvahiStringList* TxtList(const TxtRecords& records)
{
    // Each record goes in front, and Avahi sends a list from its back: they
    // go out in the order given.
    AvahiStringList* list = nullptr;
    for (const auto& [key, value] : records)
        list = avahi_string_list_add_pair_arbitrary(list, key.constData(), reinterpret_cast<const uint8_t*>(value.constData()),
                                                    std::size_t(value.size()));
    return list;
}

QString Words(int error)
{
    return QString::fromUtf8(avahi_strerror(error));
}

} // namespace

Announcer::Announcer(Identity identity, QObject* parent)
    : QObject(parent), poll_(std::make_unique<AvahiQtPoll>()), identity_(std::move(identity))
{
    // From the event loop: what it says then finds its listeners connected.
    QMetaObject::invokeMethod(this, &Announcer::Connect, Qt::QueuedConnection);
}

Announcer::~Announcer()
{
    // Freeing the client withdraws what it announced.
    if (client_)
        avahi_client_free(client_);
}

void Announcer::Connect()
{
    int error = 0;
    // Without the daemon the client waits for it rather than failing.
    AvahiClient* client = avahi_client_new(
        poll_->Poll(), AVAHI_CLIENT_NO_FAIL,
        [](AvahiClient* c, AvahiClientState state, void* self) { static_cast<Announcer*>(self)->ClientChanged(c, state); },
        this, &error);
    client_ = client;
    if (error == AVAHI_ERR_NO_DAEMON)
        Say(QStringLiteral("DNS-SD: Avahi is not running: the switch is not announced"));
    else if (!client)
        Say(QStringLiteral("DNS-SD: the switch is not announced: %1").arg(Words(error)));
    else if (avahi_client_get_state(client) == AVAHI_CLIENT_CONNECTING)
        ClientChanged(client, AVAHI_CLIENT_CONNECTING);
}

void Announcer::Add(const Announcement& service)
{
    services_.push_back(service);
    if (client_ && avahi_client_get_state(client_) == AVAHI_CLIENT_S_RUNNING)
        Publish();
}

void Announcer::ClientChanged(AvahiClient* client, int state)
{
    // Called from inside avahi_client_new, before it has returned the client.
    client_ = client;
    switch (state) {
    case AVAHI_CLIENT_S_RUNNING:
        Publish();
        return;
    case AVAHI_CLIENT_S_COLLISION:
    case AVAHI_CLIENT_S_REGISTERING:
        // The host name changes: announced again once it is settled.
        if (group_)
            avahi_entry_group_reset(group_);
        return;
    case AVAHI_CLIENT_CONNECTING:
        Say(QStringLiteral("DNS-SD: Avahi is not running: the switch is announced once it starts"));
        return;
    case AVAHI_CLIENT_FAILURE:
        break;
    }
    const int error = avahi_client_errno(client);
    group_ = nullptr;
    avahi_client_free(client);
    client_ = nullptr;
    if (error == AVAHI_ERR_DISCONNECTED) {
        // The daemon went (a restart): wait for it again.
        Connect();
        return;
    }
    Say(QStringLiteral("DNS-SD: the switch is not announced: %1").arg(Words(error)));
}

void Announcer::GroupChanged(int state)
{
    if (state == AVAHI_ENTRY_GROUP_ESTABLISHED) {
        QStringList types;
        for (const Announcement& service : services_)
            types << service.type;
        Say(QStringLiteral("DNS-SD: announced as \"%1\" (%2)").arg(name_, types.join(QStringLiteral(", "))));
    } else if (state == AVAHI_ENTRY_GROUP_COLLISION) {
        // Another host on the network has the name: the next free one.
        char* other = avahi_alternative_service_name(name_.toUtf8().constData());
        name_ = QString::fromUtf8(other);
        avahi_free(other);
        Publish();
    } else if (state == AVAHI_ENTRY_GROUP_FAILURE) {
        Say(QStringLiteral("DNS-SD: the switch is not announced: %1").arg(Words(avahi_client_errno(client_))));
    }
}

void Announcer::Publish()
{
    if (services_.empty())
        return;
    if (name_.isEmpty())
        name_ = QString::fromStdString(InstrumentName(identity_, avahi_client_get_host_name(client_)));
    if (!group_) {
        group_ = avahi_entry_group_new(
            client_, [](AvahiEntryGroup*, AvahiEntryGroupState state, void* self) { static_cast<Announcer*>(self)->GroupChanged(state); },
            this);
        if (!group_) {
            Say(QStringLiteral("DNS-SD: the switch is not announced: %1").arg(Words(avahi_client_errno(client_))));
            return;
        }
    }
    avahi_entry_group_reset(group_);
    for (const Announcement& service : services_) {
        AvahiStringList* txt = TxtList(service.txt);
        const AvahiIfIndex where = service.interfaceIndex > 0 ? AvahiIfIndex(service.interfaceIndex) : AVAHI_IF_UNSPEC;
        const int error = avahi_entry_group_add_service_strlst(group_, where, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0),
                                                               name_.toUtf8().constData(), service.type.toUtf8().constData(),
                                                               nullptr, nullptr, service.port, txt);
        avahi_string_list_free(txt);
        if (error == AVAHI_ERR_COLLISION) {
            GroupChanged(AVAHI_ENTRY_GROUP_COLLISION);
            return;
        }
        if (error < 0) {
            Say(QStringLiteral("DNS-SD: %1 not announced: %2").arg(service.type, Words(error)));
            return;
        }
    }
    avahi_entry_group_commit(group_);
}

void Announcer::Say(const QString& line)
{
    // One line for each thing that happens, not one for each retry.
    if (line == said_)
        return;
    said_ = line;
    emit Said(line);
}

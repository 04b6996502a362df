#include "Listener.h"

#include "Connection.h"
#include "Door.h"

#include <utility>

bool Listener::Open(const ListenPlace& place, QString* failure)
{
    place_ = place;
    return ListenAt(place, failure);
}

DoorListener::DoorListener(const QString& protocol, ConnectionPolicy policy, QObject* parent)
    : Listener(parent), door_(new Door(protocol, std::move(policy), this))
{
    connect(door_, &Door::Opened, this, [this](Connection* connection) { Serve(connection); });
    connect(door_, &Door::Refused, this, &Listener::Refused);
}

DoorListener::~DoorListener() = default;

bool DoorListener::Listen(const ListenAddress& address, QString* error)
{
    return door_->Listen(address, error);
}

quint16 DoorListener::Port() const
{
    return door_->Port();
}

void DoorListener::Shut()
{
    delete std::exchange(door_, nullptr);
}

bool DoorListener::ListenAt(const ListenPlace& place, QString* failure)
{
    for (const QHostAddress& host : place.hosts) {
        const quint16 at = &host == &place.hosts.front() ? place.address.port : Port();
        QString error;
        if (!Listen({host, at}, &error)) {
            if (failure)
                *failure = error + (error == PortInUse(host, at) ? QStringLiteral(": stop it or choose another port")
                                                                 : QStringLiteral(": choose another address or port"));
            return false;
        }
    }
    return true;
}

#include "Services.h"

#include "NetAddress.h"

#include <QNetworkInterface>

#include <algorithm>

TxtRecords ServiceTxt(const Identity& identity, const TxtRecords& own)
{
    TxtRecords txt{{"txtvers", "1"},
                   {"Manufacturer", QByteArray::fromStdString(identity.maker)},
                   {"Model", QByteArray::fromStdString(identity.model)},
                   {"SerialNumber", QByteArray::fromStdString(identity.serial)},
                   {"FirmwareVersion", QByteArray::fromStdString(identity.version)}};
    for (const auto& record : own) {
        const bool known = std::any_of(txt.begin(), txt.end(), [&](const auto& have) { return have.first.compare(record.first, Qt::CaseInsensitive) == 0; });
        if (!known)
            txt.append(record);
    }
    return txt;
}

int InterfaceWith(const QHostAddress& address)
{
    for (const QNetworkInterface& card : QNetworkInterface::allInterfaces())
        for (const QNetworkAddressEntry& entry : card.addressEntries())
            if (entry.ip().isEqual(address, QHostAddress::TolerantConversion))
                return card.index();
    return 0;
}

std::vector<Announcement> Announcements(const std::vector<ServiceOffer>& offers, const Identity& identity,
                                        const std::function<int(const QHostAddress&)>& interfaceWith)
{
    std::vector<Announcement> announced;
    for (const ServiceOffer& offer : offers) {
        const QHostAddress host = Unmapped(offer.host);
        // One service of a type under the switch's name: the first offered
        // (the page over HTTP before the one over HTTPS).
        const bool taken = std::any_of(announced.begin(), announced.end(), [&](const Announcement& a) { return a.type == offer.type; });
        if (host.isNull() || host.isLoopback() || taken)
            continue;
        int where = Announcement::kEveryInterface;
        if (!IsAnyAddress(host) && (where = interfaceWith(host)) <= 0)
            continue;
        announced.push_back({offer.type, offer.port, ServiceTxt(identity, offer.txt), where});
    }
    return announced;
}

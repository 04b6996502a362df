#include "AllowList.h"

#include "NetAddress.h"

#include <algorithm>

std::optional<AllowList> AllowList::Parse(const QStringList& texts, QString* error)
{
    AllowList list;
    for (const QString& text : texts) {
        QHostAddress address;
        std::pair<QHostAddress, int> subnet = text.contains(QLatin1Char('/'))
            ? QHostAddress::parseSubnet(text)
            : address.setAddress(text) ? std::pair(address, address.protocol() == QAbstractSocket::IPv6Protocol ? 128 : 32)
                                       : std::pair(QHostAddress(), -1);
        if (subnet.second < 0) {
            if (error)
                *error = QStringLiteral("%1: not an ADDRESS/PREFIX such as 192.168.1.0/24 or 10.0.0.7").arg(text);
            return std::nullopt;
        }
        list.subnets_.push_back(std::move(subnet));
    }
    return list;
}

bool AllowList::Admits(const QHostAddress& peer) const
{
    const QHostAddress plain = Unmapped(peer);
    return subnets_.empty()
        || std::any_of(subnets_.begin(), subnets_.end(), [&plain](const auto& subnet) { return plain.isInSubnet(subnet); });
}

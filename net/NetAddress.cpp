#include "NetAddress.h"

#include <QHostInfo>
#include <QNetworkInterface>
#include <QRegularExpression>
#include <QStringList>

#include <algorithm>

bool IsAnyAddress(const QHostAddress& host)
{
    return host == QHostAddress::Any || host == QHostAddress::AnyIPv4 || host == QHostAddress::AnyIPv6;
}

QHostAddress Unmapped(const QHostAddress& address)
{
    bool ipv4 = false;
    const quint32 value = address.toIPv4Address(&ipv4);
    return ipv4 && address != QHostAddress::Any ? QHostAddress(value) : address;
}

QString HostText(const QHostAddress& address)
{
    if (address == QHostAddress::Any || address == QHostAddress::AnyIPv6)
        return QStringLiteral("[::]");
    const QHostAddress plain = Unmapped(address);
    return plain.protocol() == QAbstractSocket::IPv6Protocol ? QStringLiteral("[%1]").arg(plain.toString()) : plain.toString();
}

QString PeerText(const QHostAddress& address, quint16 port)
{
    return QStringLiteral("%1:%2").arg(HostText(address)).arg(port);
}

std::optional<ListenAddress> ParseListenAddress(const QString& text, QString* error)
{
    const auto fail = [error, &text](const QString& why) {
        if (error)
            *error = QStringLiteral("%1: %2").arg(text, why);
        return std::nullopt;
    };
    QString host = QStringLiteral("127.0.0.1");
    QString port = text;
    if (text.startsWith(QLatin1Char('['))) {
        const qsizetype end = text.indexOf(QStringLiteral("]:"));
        if (end < 0)
            return fail(QStringLiteral("expected [IPv6 address]:PORT"));
        host = text.mid(1, end - 1);
        port = text.mid(end + 2);
    } else if (const qsizetype colon = text.lastIndexOf(QLatin1Char(':')); colon >= 0) {
        host = text.left(colon);
        port = text.mid(colon + 1);
        if (host.contains(QLatin1Char(':')))
            return fail(QStringLiteral("an IPv6 address goes in brackets, e.g. [::1]:5025"));
    }
    // A name is looked up only once it is to be served (ListenHosts).
    static const QRegularExpression name(QStringLiteral("^[A-Za-z0-9]([A-Za-z0-9._-]{0,251}[A-Za-z0-9])?$"));
    ListenAddress address;
    if (!address.host.setAddress(host)) {
        if (!name.match(host).hasMatch())
            return fail(QStringLiteral("\"%1\" is not an IP address or a host name").arg(host));
        address.name = host;
    }
    // "::" means every address to a user, IPv4 ones too: Qt's Any is dual stack.
    if (address.host == QHostAddress::AnyIPv6)
        address.host = QHostAddress::Any;
    const bool digits = !port.isEmpty() && port.size() <= 5
        && std::all_of(port.begin(), port.end(), [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); });
    if (!digits || port.toUInt() > 65535)
        return fail(QStringLiteral("the port is a number from 0 to 65535 (0: any free one)"));
    address.port = static_cast<quint16>(port.toUInt());
    return address;
}

std::vector<QHostAddress> ListenHosts(const ListenAddress& address, QString* error)
{
    if (address.name.isEmpty())
        return {address.host};
    std::vector<QHostAddress> hosts;
    if (address.name.compare(QLatin1String("localhost"), Qt::CaseInsensitive) == 0) {
        hosts.emplace_back(QHostAddress::LocalHost);
        if (QNetworkInterface::allAddresses().contains(QHostAddress(QHostAddress::LocalHostIPv6)))
            hosts.emplace_back(QHostAddress::LocalHostIPv6);
        return hosts;
    }
    const QHostInfo found = QHostInfo::fromName(address.name);
    for (const QHostAddress& each : found.addresses())
        if (std::find(hosts.begin(), hosts.end(), Unmapped(each)) == hosts.end())
            hosts.push_back(Unmapped(each));
    std::stable_partition(hosts.begin(), hosts.end(), [](const QHostAddress& host) { return host.protocol() == QAbstractSocket::IPv4Protocol; });
    if (hosts.empty() && error)
        *error = QStringLiteral("%1 has no address (%2)").arg(address.name, found.errorString());
    return hosts;
}

QString PortInUse(const QHostAddress& host, quint16 port)
{
    return QStringLiteral("port %1 on %2 is in use by another program").arg(port).arg(HostText(host));
}

QString ListenFailure(const QHostAddress& host, quint16 port, QAbstractSocket::SocketError error, const QString& words)
{
    if (error == QAbstractSocket::AddressInUseError)
        return PortInUse(host, port);
    return QStringLiteral("cannot listen on %1: %2").arg(PeerText(host, port), words);
}

QString ListenPlace::ClientHost() const
{
    if (!address.name.isEmpty())
        return address.name;
    return IsAnyAddress(address.host) ? QHostInfo::localHostName() : HostText(address.host);
}

QString ListenPlace::Places(quint16 port) const
{
    QStringList places;
    for (const QHostAddress& host : hosts)
        places << PeerText(host, port);
    return places.join(QStringLiteral(" and "));
}

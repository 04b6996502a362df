#include "NetAddress.h"

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
    ListenAddress address;
    if (!address.host.setAddress(host))
        return fail(QStringLiteral("\"%1\" is not an IP address").arg(host));
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

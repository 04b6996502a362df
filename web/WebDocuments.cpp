#include "WebDocuments.h"

#include "BoardModel.h"
#include "NetAddress.h"
#include "OutcomeError.h"
#include "PortText.h"
#include "StatusLine.h"
#include "SwitchCore.h"

#include <QFile>
#include <QHostInfo>
#include <QtEndian>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkInterface>
#include <QXmlStreamWriter>

#include <algorithm>
#include <cmath>

namespace {

const char* ReachName(PortReach reach)
{
    switch (reach) {
    case PortReach::Real:
        return "real";
    case PortReach::Simulated:
        return "simulated";
    case PortReach::Refused:
        return "refused";
    case PortReach::Absent:
    case PortReach::Unusable:
        break;
    }
    return "unusable";
}

// Where the panel puts the contacts for `bits`; nothing for C1=1 with C2=1,
// where it leaves them as they were.
QJsonValue Contacts(const BoardModel& model, ControlBits bits)
{
    if (bits.c1 && bits.c2)
        return QJsonValue::Null;
    const SwitchState state = bits.c1 ? SwitchState::CommonToRf1 : bits.c2 ? SwitchState::CommonToRf2 : SwitchState::AllTerminated;
    QJsonArray lines;
    for (const Segment& line : model.Contacts(state))
        lines.append(QJsonArray{line.x1, line.y1, line.x2, line.y2});
    return lines;
}

QJsonObject Labels(const ChannelLabels& labels)
{
    QJsonObject named;
    for (const int channel : {1, 2})
        named.insert(QStringLiteral("rf%1").arg(channel),
                     labels.Of(channel).empty() ? QJsonValue::Null : QJsonValue(QString::fromStdString(labels.Of(channel))));
    return named;
}

ScpiError Error(int code, int httpStatus, const std::string& text, const std::string& detail)
{
    const QString words = QString::fromStdString(detail);
    return {code, httpStatus, QString::fromStdString(text) + (words.isEmpty() ? QString() : QStringLiteral("; ") + words), words};
}

} // namespace

QJsonObject StateJson(const SwitchCore& core, const QStringList& operations)
{
    const PortStatus& status = core.Status();
    const auto bits = core.State();
    const StatusText line = StatusLine(core);
    const CycleCounts cycles = core.Cycles();
    const QString warning = CyclesWarning(cycles);
    // Every page is a client of its own, none of which holds the lock.
    const QString refused = SwitchingRefused(core, Source::Remote("http"));
    return {
        {QStringLiteral("model"), QString::fromStdString(core.Model().name)},
        {QStringLiteral("path"), bits ? QJsonValue(QLatin1String(PathName(*bits))) : QJsonValue::Null},
        {QStringLiteral("words"), PathWords(bits)},
        {QStringLiteral("bits"), bits ? QJsonValue(QJsonObject{{QStringLiteral("c1"), bits->c1}, {QStringLiteral("c2"), bits->c2}})
                                      : QJsonValue::Null},
        {QStringLiteral("port"), int(core.Address())},
        {QStringLiteral("place"), QString::fromStdString(core.Address() < 1 ? std::to_string(core.Address()) : Place(core.Address()))},
        {QStringLiteral("device"), QString::fromStdString(status.device)},
        {QStringLiteral("reach"), QLatin1String(ReachName(status.reach))},
        {QStringLiteral("simulated"), status.IsSimulated()},
        {QStringLiteral("status"), line.text},
        {QStringLiteral("colour"), line.colour.name()},
        {QStringLiteral("lock"), core.LockHolder() ? QJsonValue(QString::fromStdString(SourceName(*core.LockHolder()))) : QJsonValue::Null},
        {QStringLiteral("refused"), refused.isEmpty() ? QJsonValue::Null : QJsonValue(refused)},
        {QStringLiteral("contacts"), bits ? Contacts(core.Model(), *bits) : QJsonValue::Null},
        {QStringLiteral("operations"), QJsonArray::fromStringList(operations)},
        {QStringLiteral("labels"), Labels(core.Labels())},
        {QStringLiteral("cycles"), QJsonObject{{QStringLiteral("rf1"), double(cycles.rf1)},
                                               {QStringLiteral("rf2"), double(cycles.rf2)},
                                               {QStringLiteral("limit"), cycles.limit ? QJsonValue(double(cycles.limit)) : QJsonValue::Null},
                                               {QStringLiteral("warning"), warning.isEmpty() ? QJsonValue::Null : QJsonValue(warning)}}},
    };
}

std::optional<RfPath> PathFromText(QByteArrayView text, const ChannelLabels& labels)
{
    QByteArray name = text.trimmed().toByteArray();
    if (const int channel = labels.ChannelOf(name.toStdString()))
        return channel == 1 ? RfPath::Rf1 : RfPath::Rf2;
    name = name.toLower();
    if (name == "rf1")
        return RfPath::Rf1;
    if (name == "rf2")
        return RfPath::Rf2;
    if (name == "off")
        return RfPath::Off;
    return std::nullopt;
}

QByteArray SelectedName(const QByteArray& body)
{
    // A string alone is JSON in an array.
    const QJsonArray json = QJsonDocument::fromJson("[" + body + "]").array();
    if (json.size() != 1)
        return body;
    const QJsonValue name = json.first().isObject() ? json.first().toObject().value(QLatin1String("path")) : json.first();
    return name.isString() ? name.toString().toUtf8() : QByteArray();
}

std::optional<int> SelectedBoard(const QByteArray& body)
{
    const QJsonObject json = QJsonDocument::fromJson(body).object();
    if (!json.contains(QLatin1String("board")))
        return std::nullopt;
    const QJsonValue board = json.value(QLatin1String("board"));
    // Not a whole number: no board has that number.
    return board.isDouble() && board.toDouble() == std::floor(board.toDouble()) && std::abs(board.toDouble()) < 1e6 ? board.toInt() : 0;
}

ScpiError ApiError(const OperationResult& result)
{
    const OutcomeError error = ErrorFor(result);
    if (error.code == 0)
        return {};
    return Error(error.code, error.httpStatus, error.words, error.detail);
}

ScpiError IllegalPath(const QString& text)
{
    return Error(-224, 400, "Illegal parameter value", "\"" + text.left(40).toStdString() + "\" is not rf1, rf2, off or a channel's label");
}

QHostAddress DefaultGateway(QByteArrayView table, const QString& interface)
{
    QHostAddress best;
    quint64 bestMetric = ~quint64(0);
    for (const QByteArray& line : table.toByteArray().split('\n')) {
        const QList<QByteArray> f = line.simplified().split(' ');
        bool ok = true;
        QHostAddress hop;
        quint64 metric = 0;
        if (f.size() == 11 && f[0] == interface.toLatin1() && f[1] == "00000000" && f[7] == "00000000") {
            // Iface Destination Gateway Flags RefCnt Use Metric Mask ...: the
            // addresses as the kernel holds them in memory, in network order.
            const quint32 flags = f[3].toUInt(&ok, 16);
            if (!ok || (flags & 0x3) != 0x3)  // up, through a gateway
                continue;
            hop = QHostAddress(qFromBigEndian(f[2].toUInt(&ok, 16)));
            metric = f[6].toULongLong();
        } else if (f.size() == 10 && f[9] == interface.toLatin1() && f[0] == QByteArray(32, '0') && f[1] == "00") {
            // Destination length Source length Next-hop Metric RefCnt Use Flags Iface.
            const QByteArray bytes = QByteArray::fromHex(f[4]);
            if (bytes.size() != 16 || bytes == QByteArray(16, '\0'))
                continue;
            hop = QHostAddress(reinterpret_cast<const quint8*>(bytes.constData()));
            metric = f[5].toULongLong(&ok, 16);
        } else {
            continue;
        }
        if (ok && !hop.isNull() && metric < bestMetric) {
            best = hop;
            bestMetric = metric;
        }
    }
    return best;
}

InterfaceFacts FactsOf(const QHostAddress& address)
{
    InterfaceFacts facts;
    for (const QNetworkInterface& card : QNetworkInterface::allInterfaces()) {
        const QList<QNetworkAddressEntry> entries = card.addressEntries();
        const auto entry = std::find_if(entries.begin(), entries.end(), [&](const QNetworkAddressEntry& e) { return e.ip() == address; });
        if (entry == entries.end())
            continue;
        facts.name = card.name();
        facts.mask = entry->netmask();
        facts.mac = card.hardwareAddress();
        facts.dhcp = !entry->isPermanent();
        facts.autoIp = std::any_of(entries.begin(), entries.end(), [](const QNetworkAddressEntry& e) {
            return e.ip().isInSubnet(QHostAddress(QStringLiteral("169.254.0.0")), 16);
        });
        break;
    }
    QFile routes(address.protocol() == QAbstractSocket::IPv6Protocol ? QStringLiteral("/proc/net/ipv6_route") : QStringLiteral("/proc/net/route"));
    if (!facts.name.isEmpty() && routes.open(QIODevice::ReadOnly))
        facts.gateway = DefaultGateway(routes.readAll(), facts.name);
    return facts;
}

QByteArray IdentificationXml(const Identity& identity, const QHostAddress& local, quint16 port, bool tls, const QStringList& resources,
                             const InterfaceFacts& facts)
{
    const QString host = HostText(local);
    const QString url = QStringLiteral("%1://%2:%3/").arg(tls ? "https" : "http", host).arg(port);
    const QHostAddress address = Unmapped(local);
    const bool ipv6 = address.protocol() == QAbstractSocket::IPv6Protocol;
    // Where the system has no value, the schema's strings for none.
    const QString none = ipv6 ? QStringLiteral("::") : QStringLiteral("0.0.0.0");
    const auto text = [](bool value) { return value ? QStringLiteral("true") : QStringLiteral("false"); };
    QByteArray document;
    QXmlStreamWriter xml(&document);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    const QString lxi = QStringLiteral("http://www.lxistandard.org/InstrumentIdentification/1.0");
    const QString xsi = QStringLiteral("http://www.w3.org/2001/XMLSchema-instance");
    xml.writeDefaultNamespace(lxi);
    xml.writeNamespace(xsi, QStringLiteral("xsi"));
    xml.writeStartElement(lxi, QStringLiteral("LXIDevice"));
    xml.writeAttribute(xsi, QStringLiteral("schemaLocation"), lxi + u' ' + lxi + QStringLiteral("/LXIIdentification.xsd"));
    // In the schema's order.
    xml.writeTextElement(lxi, QStringLiteral("Manufacturer"), QString::fromStdString(identity.maker));
    xml.writeTextElement(lxi, QStringLiteral("Model"), QString::fromStdString(identity.model));
    xml.writeTextElement(lxi, QStringLiteral("SerialNumber"), QString::fromStdString(identity.serial));
    xml.writeTextElement(lxi, QStringLiteral("FirmwareRevision"), QString::fromStdString(identity.version));
    xml.writeTextElement(lxi, QStringLiteral("ManufacturerDescription"), QStringLiteral("RF switch test board on a parallel port"));
    xml.writeTextElement(lxi, QStringLiteral("HomepageURL"), url);
    // The name DNS-SD announces it by.
    xml.writeTextElement(lxi, QStringLiteral("UserDescription"),
                         QString::fromStdString(InstrumentName(identity, QHostInfo::localHostName().toStdString())));
    xml.writeTextElement(lxi, QStringLiteral("IdentificationURL"), url + QStringLiteral("lxi/identification"));

    xml.writeStartElement(lxi, QStringLiteral("Interface"));
    xml.writeAttribute(xsi, QStringLiteral("type"), QStringLiteral("NetworkInformation"));
    xml.writeAttribute(QStringLiteral("InterfaceType"), QStringLiteral("LXI"));
    xml.writeAttribute(QStringLiteral("IPType"), ipv6 ? QStringLiteral("IPv6") : QStringLiteral("IPv4"));
    if (!facts.name.isEmpty())
        xml.writeAttribute(QStringLiteral("InterfaceName"), facts.name);
    for (const QString& resource : resources)
        xml.writeTextElement(lxi, QStringLiteral("InstrumentAddressString"), resource.arg(host));
    xml.writeTextElement(lxi, QStringLiteral("Hostname"), QHostInfo::localHostName());
    xml.writeTextElement(lxi, QStringLiteral("IPAddress"), address.toString());
    xml.writeTextElement(lxi, QStringLiteral("SubnetMask"), facts.mask.isNull() ? none : facts.mask.toString());
    xml.writeTextElement(lxi, QStringLiteral("MACAddress"), facts.mac.isEmpty() ? QStringLiteral("00:00:00:00:00:00") : facts.mac);
    xml.writeTextElement(lxi, QStringLiteral("Gateway"), facts.gateway.isNull() ? none : facts.gateway.toString());
    xml.writeTextElement(lxi, QStringLiteral("DHCPEnabled"), text(facts.dhcp));
    xml.writeTextElement(lxi, QStringLiteral("AutoIPEnabled"), text(facts.autoIp));
    xml.writeEndElement();
    xml.writeTextElement(lxi, QStringLiteral("LXIVersion"), QLatin1String(kLxiVersion));
    xml.writeEndElement();
    xml.writeEndDocument();
    return document;
}

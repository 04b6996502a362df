#include "WebDocuments.h"

#include "NetAddress.h"
#include "OutcomeError.h"
#include "PortText.h"
#include "Schematic.h"
#include "StatusLine.h"
#include "SwitchCore.h"

#include <QHostInfo>
#include <QJsonArray>
#include <QNetworkInterface>
#include <QXmlStreamWriter>

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
QJsonValue Contacts(ControlBits bits)
{
    if (bits.c1 && bits.c2)
        return QJsonValue::Null;
    const SwitchState state = bits.c1 ? SwitchState::CommonToRf1 : bits.c2 ? SwitchState::CommonToRf2 : SwitchState::AllTerminated;
    QJsonArray lines;
    for (const Segment& line : ContactLinesFor(state))
        lines.append(QJsonArray{line.x1, line.y1, line.x2, line.y2});
    return lines;
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
    return {
        {QStringLiteral("path"), bits ? QJsonValue(QLatin1String(PathName(*bits))) : QJsonValue::Null},
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
        {QStringLiteral("contacts"), bits ? Contacts(*bits) : QJsonValue::Null},
        {QStringLiteral("operations"), QJsonArray::fromStringList(operations)},
    };
}

std::optional<RfPath> PathFromText(QByteArrayView text)
{
    const QByteArray name = text.trimmed().toByteArray().toLower();
    if (name == "rf1")
        return RfPath::Rf1;
    if (name == "rf2")
        return RfPath::Rf2;
    if (name == "off")
        return RfPath::Off;
    return std::nullopt;
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
    return Error(-224, 400, "Illegal parameter value", "\"" + text.left(40).toStdString() + "\" is not rf1, rf2 or off");
}

QByteArray IdentificationXml(const Identity& identity, const QHostAddress& local, quint16 port, const QStringList& resources)
{
    const QString host = HostText(local);
    const QString url = QStringLiteral("http://%1:%2/").arg(host).arg(port);
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
    xml.writeTextElement(lxi, QStringLiteral("Manufacturer"), QString::fromStdString(identity.maker));
    xml.writeTextElement(lxi, QStringLiteral("Model"), QString::fromStdString(identity.model));
    xml.writeTextElement(lxi, QStringLiteral("SerialNumber"), QString::fromStdString(identity.serial));
    xml.writeTextElement(lxi, QStringLiteral("FirmwareRevision"), QString::fromStdString(identity.version));
    xml.writeTextElement(lxi, QStringLiteral("ManufacturerDescription"), QStringLiteral("RF switch test board on a parallel port"));
    xml.writeTextElement(lxi, QStringLiteral("HomepageURL"), url);
    xml.writeTextElement(lxi, QStringLiteral("IdentificationURL"), url + QStringLiteral("lxi/identification"));

    xml.writeStartElement(lxi, QStringLiteral("Interface"));
    xml.writeAttribute(xsi, QStringLiteral("type"), QStringLiteral("NetworkInformation"));
    xml.writeAttribute(QStringLiteral("InterfaceType"), QStringLiteral("LXI"));
    const QHostAddress address = Unmapped(local);
    xml.writeAttribute(QStringLiteral("IPType"), address.protocol() == QAbstractSocket::IPv6Protocol ? QStringLiteral("IPv6")
                                                                                                    : QStringLiteral("IPv4"));
    // The network interface the client came in by, where the system names it.
    QNetworkInterface card;
    QNetworkAddressEntry entry;
    for (const QNetworkInterface& candidate : QNetworkInterface::allInterfaces())
        for (const QNetworkAddressEntry& e : candidate.addressEntries())
            if (e.ip() == address) {
                card = candidate;
                entry = e;
            }
    if (card.isValid())
        xml.writeAttribute(QStringLiteral("InterfaceName"), card.name());
    for (const QString& resource : resources)
        xml.writeTextElement(lxi, QStringLiteral("InstrumentAddressString"), resource.arg(host));
    xml.writeTextElement(lxi, QStringLiteral("Hostname"), QHostInfo::localHostName());
    xml.writeTextElement(lxi, QStringLiteral("IPAddress"), address.toString());
    if (card.isValid()) {
        xml.writeTextElement(lxi, QStringLiteral("SubnetMask"), entry.netmask().toString());
        if (!card.hardwareAddress().isEmpty())
            xml.writeTextElement(lxi, QStringLiteral("MACAddress"), card.hardwareAddress());
    }
    xml.writeEndElement();
    xml.writeEndElement();
    xml.writeEndDocument();
    return document;
}

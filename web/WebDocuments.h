#pragma once

// What the web server answers, built from the switch core's own types: the
// state as the page and scripts read it, the SCPI error an operation's
// outcome amounts to, and the LXI identification document.

#include "Identity.h"
#include "SwitchTypes.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QHostAddress>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <optional>

class SwitchCore;

// The state as the port last read it back: "path" (rf1, rf2, off,
// forbidden; null when unknown) and "words" (the path as the panel says it),
// "bits", "port", "place", "device", "reach", "simulated", "status" and
// "colour" (the panel's status line), "lock" (the holder's name or null),
// "refused" (why the page cannot switch now, or null), "contacts" (the schematic's three contact lines in
// twips; null where the panel leaves them as they were), "operations"
// (the last log lines, oldest first) and "cycles" (the closures "rf1" and
// "rf2" of the board, their "limit" or null, and the "warning" at the limit
// or null), "labels" (the board's labels of "rf1" and "rf2", or null).
QJsonObject StateJson(const SwitchCore& core, const QStringList& operations);

// The path a request names: "rf1", "rf2", "off" or a channel's label, in
// any case, blanks around.
std::optional<RfPath> PathFromText(QByteArrayView text, const ChannelLabels& labels = {});
// What the body of a POST to /api/select names: the text of a JSON string,
// or of a JSON object's "path" ({"path":"rf1"}); any other body as it is.
QByteArray SelectedName(const QByteArray& body);
// The board a JSON object body names ({"board":2,"path":"rf1"}); none where it names none.
std::optional<int> SelectedBoard(const QByteArray& body);

// The error a SCPI client would find in its queue for the same outcome, and
// the HTTP status it answers with (OutcomeError's one table).
struct ScpiError
{
    int code = 0;          // 0: verified, no error
    int httpStatus = 200;
    QString message;       // as SYST:ERR? gives it: "Command protected; <detail>"
    QString detail;        // the core's words alone
};
ScpiError ApiError(const OperationResult& result);
// -224, for a path that is not rf1, rf2, off or a label.
ScpiError IllegalPath(const QString& text);


// The LXI device standard's version that the identification document follows.
constexpr const char* kLxiVersion = "1.5";

// What the system says of the network interface that has an address.
struct InterfaceFacts
{
    QString name;          // "eth0"; empty where no interface has the address
    QHostAddress mask;     // the subnet mask, or an IPv6 prefix as a mask
    QString mac;           // "00:00:00:00:00:00" where it has none
    QHostAddress gateway;  // the default route's next hop through it; null where none
    bool dhcp = false;     // the address is leased for a while, as DHCP clients set them
    bool autoIp = false;   // the interface has an IPv4 link-local address (169.254/16)
};
InterfaceFacts FactsOf(const QHostAddress& address);

// The next hop of the default route through `interface` with the lowest
// metric, from the routing table as /proc/net/route (IPv4) or
// /proc/net/ipv6_route (IPv6) gives it; null where there is none.
QHostAddress DefaultGateway(QByteArrayView table, const QString& interface);

// The LXI identification document for a client that reached the server at
// `local` on `port` (over HTTPS where `tls`): every element the LXI
// identification schema requires (maker, model, serial, firmware revision,
// descriptions, URLs in the scheme the client used, the LXI version) and one
// interface with `resources` (VISA resource strings, "%1" standing for the
// address as the client reached it) and what `facts` say of the address.
QByteArray IdentificationXml(const Identity& identity, const QHostAddress& local, quint16 port, bool tls, const QStringList& resources,
                             const InterfaceFacts& facts);


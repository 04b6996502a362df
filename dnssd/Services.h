#pragma once

// What the switch announces by DNS-SD, decided apart from Avahi: which
// servers are announced, on which interface, and every service's TXT records.

#include "Identity.h"
#include "ServiceOffer.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>

#include <functional>
#include <vector>

// A service as Avahi is asked to announce it.
struct Announcement
{
    static constexpr int kEveryInterface = -1;

    QString type;
    quint16 port = 0;
    TxtRecords txt;
    int interfaceIndex = kEveryInterface;
};

// The TXT records of every service: "txtvers" first, then the maker, model,
// serial number and firmware version LXI tools read, then the service's
// own; each key once (keys compare without regard to case).
TxtRecords ServiceTxt(const Identity& identity, const TxtRecords& own = {});

// The index of the network interface that has `address`; 0 where none has.
int InterfaceWith(const QHostAddress& address);

// What is announced of `offers`: nothing of a server that listens on
// loopback (nobody else reaches it), a server on every address on every
// interface, and one on a single address on that address's interface
// alone (`interfaceWith`), or nowhere where no interface has it. Of two
// offers of one type the first is announced.
std::vector<Announcement> Announcements(const std::vector<ServiceOffer>& offers, const Identity& identity,
                                        const std::function<int(const QHostAddress&)>& interfaceWith = InterfaceWith);

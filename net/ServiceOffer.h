#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QString>

using TxtRecords = QList<QPair<QByteArray, QByteArray>>;

// A server that may be announced by DNS-SD: its service type
// ("_scpi-raw._tcp"), where it listens, and TXT records of its own
// ("path=/").
struct ServiceOffer
{
    QString type;
    QHostAddress host;
    quint16 port = 0;
    TxtRecords txt;
};

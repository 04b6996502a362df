#pragma once

// What a signal carried, as text a comparison can print.

#include <QSignalSpy>
#include <QStringList>

// Each emission's arguments, joined by " | ".
inline QStringList Emitted(const QSignalSpy& spy)
{
    QStringList emitted;
    for (const QList<QVariant>& arguments : spy) {
        QStringList texts;
        for (const QVariant& argument : arguments)
            texts << argument.toString();
        emitted << texts.join(QLatin1String(" | "));
    }
    return emitted;
}

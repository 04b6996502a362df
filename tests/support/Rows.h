#pragma once

// A table row's values in one statement, and what a signal carried, as text a
// comparison can print.

#include <QSignalSpy>
#include <QStringList>
#include <QTest>

#include <tuple>

// The current row's columns: auto [text, count] = Fetch<QString, int>("text", "count").
template <typename... Types, typename... Names>
std::tuple<Types...> Fetch(Names... names)
{
    return {*static_cast<Types*>(QTest::qData(names, qMetaTypeId<Types>()))...};
}

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

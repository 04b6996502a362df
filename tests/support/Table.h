#pragma once

#include <QTest>

#include <tuple>

// Declares a table's columns, one type for each name: AddColumns<QString, int>("text", "address").
template <typename... Types, typename... Names>
void AddColumns(Names... names)
{
    (QTest::addColumn<Types>(names), ...);
}

// Several columns of the current row at once, as QFETCH takes one:
// const auto [text, address] = Fetch<QString, int>("text", "address").
template <typename... Types, typename... Names>
std::tuple<Types...> Fetch(Names... names)
{
    return {*static_cast<Types*>(QTest::qData(names, qMetaTypeId<Types>()))...};
}

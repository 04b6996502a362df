#pragma once

#include <QTest>

// Declares a table's columns, one type for each name: AddColumns<QString, int>("text", "address").
template <typename... Types, typename... Names>
void AddColumns(Names... names)
{
    (QTest::addColumn<Types>(names), ...);
}

// The current row's value in `column`, where QFETCH's variable would serve once.
template <typename T>
T Cell(const char* column)
{
    return *static_cast<T*>(QTest::qData(column, qMetaTypeId<T>()));
}

#pragma once

#include <QTest>

// Declares a table's columns, one type for each name: AddColumns<QString, int>("text", "address").
template <typename... Types, typename... Names>
void AddColumns(Names... names)
{
    (QTest::addColumn<Types>(names), ...);
}

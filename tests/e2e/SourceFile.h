#pragma once

#include <QList>
#include <QString>
#include <QVariantMap>

namespace vf::test {

// One source table read straight through libmdb, independently of the program's own reader:
// every row as a map from the upper-cased column name to its value. Integers read as int,
// date-times as naive UTC QDateTime from the stored OLE date, texts whole as QString. libmdb
// gives a null and an empty text the same length 0: both read as a null QVariant.
QList<QVariantMap> readSourceTable(const QString& mdbPath, const QString& tableName);

// An OLE date (days since 30 December 1899; before it, the fraction is the time of day counted
// forward) as a naive UTC date-time, to the millisecond.
QDateTime fromOleDate(double days);

} // namespace vf::test

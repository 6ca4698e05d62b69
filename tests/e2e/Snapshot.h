#pragma once

#include "support/TestDestination.h"

#include <QString>
#include <QStringList>

namespace vf::test {

// A text on one line: backslashes and line breaks escaped.
QString oneLine(QString text);
QString sha256(const QByteArray& bytes);

// What an import leaves behind, one line per item, for comparisons: each destination table the
// run writes (its rows and their hash), ID_VALUES in full, each link table's pairs (their number
// and hash) and the copied letters (their number, and the hash of their names and contents).
QStringList destinationState(const TestDestination& destination, const QString& programFolder,
                             const QString& baseFolder);

// Triggers that refuse records in every phase: by text where a refused row's identifier is
// handed out again (users, correspondents), by identifier elsewhere; inserts and updates. Only
// those of the tables given, when some are.
bool addRefusingTriggers(const TestDestination& destination, const QStringList& tables = {});

} // namespace vf::test

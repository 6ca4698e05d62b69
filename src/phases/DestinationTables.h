#pragma once

#include <QString>
#include <QStringList>

namespace vf {

struct RunContext;

// True when the folder (ending with its separator) holds the destination product's Paradox
// tables: "metatable.db", "metafield.db", "tablelink.db", "patients.db" and "medecins.db".
bool IsParadoxBase(const QString& folder);

// The destination tables the purge empties besides its fixed list: the names, in upper case,
// that begin with "DATA". Outside Paradox mode they come from the destination's catalogue
// (a "DBO." owner prefix dropped, names of 11 characters or more left out); in Paradox mode from
// the "*.db" files of the destination folder, without their extensions, that the destination's
// catalogue lists as well.
QStringList filterDestinationTables(const QStringList& names, bool paradox);
QStringList destinationTableList(RunContext& context, bool paradox);

} // namespace vf

#include "phases/DestinationTables.h"

#include "base/IniFile.h"
#include "base/Reporter.h"
#include "destination/DestinationConnection.h"
#include "phases/RunContext.h"

#include <QDir>
#include <QSet>

namespace vf {

bool IsParadoxBase(const QString& folder)
{
    for (const char* name : {"metatable.db", "metafield.db", "tablelink.db", "patients.db", "medecins.db"})
        if (findFileNoCase(folder, QString::fromLatin1(name)).isEmpty())
            return false;
    return true;
}

QStringList filterDestinationTables(const QStringList& names, bool paradox)
{
    QStringList kept;
    for (QString name : names) {
        name = name.toUpper();
        if (paradox) {
            const qsizetype dot = name.indexOf(QLatin1Char('.'));
            if (dot >= 0)
                name.truncate(dot);
        } else {
            if (name.contains(QStringLiteral("DBO.")))
                name = name.mid(4, 100);
            if (name.size() >= 11)
                continue;
        }
        if (name.startsWith(QStringLiteral("DATA")))
            kept.append(name);
    }
    return kept;
}

QStringList destinationTableList(RunContext& context, bool paradox)
{
    context.reporter.setStatus(QStringLiteral("Récupération des tables de la base Talmérosin..."));
    const QStringList catalogue = context.dest.tables();
    QStringList names = paradox
        ? QDir(context.talmerosPath).entryList({QStringLiteral("*.db")}, QDir::Files, QDir::Name | QDir::IgnoreCase)
        : catalogue;
    context.reporter.setStatus(QStringLiteral("Récupération des tables de la base Talmérosin terminée"));
    names = filterDestinationTables(names, paradox);
    if (paradox) {
        // Anyone who can write into the destination folder names its files: a file is only a
        // candidate, purged when the destination has a table of that name.
        QSet<QString> tables;
        for (const QString& table : catalogue)
            tables.insert(table.toUpper());
        names.removeIf([&](const QString& name) { return !tables.contains(name); });
    }
    return names;
}

} // namespace vf

#include "phases/RunContext.h"

#include "base/Errors.h"
#include "base/Reporter.h"
#include "destination/DestinationConnection.h"
#include "source/SourceConnection.h"

namespace vf {

QString linkedTableOf(const QString& linkFileName)
{
    QString table = linkFileName;
    if (table.endsWith(QStringLiteral(".db"), Qt::CaseInsensitive))
        table.chop(3);
    table = table.toUpper();
    if (table == QStringLiteral("SYNTHESES"))
        return QStringLiteral("MOTCONSU");
    return table;
}

RunContext::RunContext(Reporter& reporter, ImportLog& log, SourceConnection& source, DestinationConnection& dest,
                       IdValues& idValues)
    : reporter(reporter), log(log), source(source), dest(dest), idValues(idValues), work(dest, reporter)
{
}

void RunContext::openPhaseLinkTable(LinkTable& table, const QString& fileName)
{
    OpenLinkTable(table, linksFolder, fileName, log, reporter);
    settlePending(table, dest, reporter);
    if (const int unprinted = table.unprintedCount(); unprinted > 0)
        reporter.appendLine(QStringLiteral("Table de liens %1 d'une version précédente : ses %2 enregistrements déjà importés "
                                           "prennent la base V3 telle qu'elle est aujourd'hui comme point de départ ; leurs "
                                           "changements antérieurs ne seront pas reportés.")
                                .arg(fileName)
                                .arg(unprinted));
    pairsAtOpen.insert(fileName.toLower(), table.count());
}

void RunContext::ensureOpen(LinkTable& table, const QString& fileName)
{
    if (!table.isOpen())
        OpenLinkTable(table, linksFolder, fileName, log, reporter);
}

bool RunContext::openSource(SourceQuery& query, const QString& errorText)
{
    try {
        query.open();
        return true;
    } catch (const Error& error) {
        reporter.errorBox(errorText + error.message());
        unfinished = true;
        return false;
    }
}

} // namespace vf

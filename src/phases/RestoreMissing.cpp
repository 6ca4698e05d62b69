#include "base/Conversions.h"
#include "base/Errors.h"
#include "base/Reporter.h"
#include "destination/DestinationConnection.h"
#include "links/LinkTable.h"
#include "phases/Phases.h"
#include "phases/RunContext.h"

#include <QSet>

namespace vf {

void restoreMissingRecords(RunContext& context)
{
    for (const PairedRows& kind : pairedRows(context.talmerosPath)) {
        if (!isPlainIdentifier(kind.table) || !isPlainIdentifier(kind.idColumn))
            continue;
        const LinkTableContents contents = readLinkTable(context.linksFolder, kind.linkTable);
        if (contents.pairs.isEmpty())
            continue;
        QSet<qint32> rows;
        try {
            DestQuery query(context.dest, QStringLiteral("SELECT %1 FROM %2").arg(kind.idColumn, kind.table));
            for (query.open(); !query.eof(); query.next())
                rows.insert(query.value(0).toInt());
            query.close();
        } catch (const ConnectionLost&) {
            throw;
        } catch (const Error&) {
            continue; // a table the destination lacks: its phase reports it
        }
        QList<qint32> gone;
        for (auto pair = contents.pairs.cbegin(); pair != contents.pairs.cend(); ++pair)
            if (!rows.contains(pair.value()))
                gone.append(pair.key());
        if (gone.isEmpty())
            continue;
        LinkTable table;
        OpenLinkTable(table, context.linksFolder, kind.linkTable, context.log, context.reporter);
        table.forget(gone);
        context.reporter.appendLine(QStringLiteral("%1 %2 dont la ligne a été supprimée dans Talmérosin seront importés de "
                                                   "nouveau (--restore-missing).")
                                        .arg(gone.size())
                                        .arg(kind.what));
    }
}

} // namespace vf

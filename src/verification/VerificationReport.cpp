#include "verification/VerificationReport.h"

#include "base/VisibleText.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <functional>
#include <map>

namespace vf {
namespace {

// The columns of the table, in their order, with the list titles of the records behind them.
struct StateColumn {
    RecordState state;
    QString header;
    QString list;
};

const QList<StateColumn> kColumns = {
    {RecordState::Imported, QStringLiteral("Importés"), QStringLiteral("Importés")},
    {RecordState::Refused, QStringLiteral("Refusés"), QStringLiteral("Refusés pour une raison connue")},
    {RecordState::ToImport, QStringLiteral("À importer"), QStringLiteral("À importer")},
    {RecordState::Pending, QStringLiteral("En attente"), QStringLiteral("En attente")},
    {RecordState::Missing, QStringLiteral("Absents"), QStringLiteral("Absents de la destination")},
};

const int kFirstToImport = 10; // records to import named on the terminal and on paper, per kind

int total(const Verification& verification, RecordState state)
{
    int sum = 0;
    for (const VerifiedKind& kind : verification.kinds)
        sum += kind.count(state);
    return sum;
}

int totalSource(const Verification& verification)
{
    int sum = 0;
    for (const VerifiedKind& kind : verification.kinds)
        sum += int(kind.records.size());
    return sum;
}

int changedTotal(const Verification& verification)
{
    int sum = 0;
    for (const VerifiedKind& kind : verification.kinds)
        sum += kind.changedCount();
    return sum;
}

// A record changed in the source since its import, with the fields that differ.
QString changedText(const VerifiedRecord& record)
{
    QString text = record.name;
    if (!record.patient.isEmpty())
        text += QStringLiteral(" — ") + record.patient;
    if (!record.changedFields.isEmpty())
        text += QStringLiteral(" : ") + record.changedFields.join(QStringLiteral(", "));
    return text;
}

// The records of a kind changed in the source since their import, then those deleted from it:
// each list with its title.
QList<std::pair<QString, QStringList>> changeLists(const VerifiedKind& kind)
{
    QList<std::pair<QString, QStringList>> lists;
    QStringList changed;
    for (const VerifiedRecord& record : kind.records)
        if (record.changed)
            changed.append(changedText(record));
    if (!changed.isEmpty())
        lists.append({QStringLiteral("Changés dans la base V3 depuis leur importation (champs changés)"), changed});
    QStringList deleted;
    for (const VerifiedRecord& record : kind.deletedInSource)
        deleted.append(record.name);
    if (!deleted.isEmpty())
        lists.append({QStringLiteral("Supprimés de la base V3 depuis leur importation (la base Talmérosin les garde)"), deleted});
    return lists;
}

QString resultLine(const Verification& verification)
{
    if (!verification.runRefusal.isEmpty())
        return QStringLiteral("La migration n'est pas complète, et l'importation serait refusée : ") + verification.runRefusal;
    if (verification.complete()) {
        if (const int refused = total(verification, RecordState::Refused); refused > 0)
            return QStringLiteral("La migration est complète, sauf %1 enregistrements refusés : voir le détail.").arg(refused);
        return QStringLiteral("La migration est complète : tout ce qui peut être importé l'a été.");
    }
    QString line = QStringLiteral("La migration n'est pas complète : %1 à importer, %2 en attente, %3 absents de la destination.")
                       .arg(total(verification, RecordState::ToImport))
                       .arg(total(verification, RecordState::Pending))
                       .arg(total(verification, RecordState::Missing));
    if (const int changed = changedTotal(verification); changed > 0)
        line += QStringLiteral(" %1 changés dans la base V3 depuis leur importation restent à reporter.").arg(changed);
    if (const QStringList missing = verification.wholeKindsMissing(); !missing.isEmpty())
        line += QStringLiteral(" Rien n'est importé pour : ") + missing.join(QStringLiteral(" ; "));
    return line;
}

// What to do, in order: each kind missing as a whole, then each reason of refusal with its count.
struct Action {
    QString what; // the kind, or the reason
    int count;
    QString action;
};
QList<Action> actions(const Verification& verification)
{
    QList<Action> list;
    for (const VerifiedKind& kind : verification.kinds)
        if (!kind.wholeKindMissing.isEmpty())
            list.append({kind.title + QStringLiteral(" : ") + kind.wholeKindMissing, int(kind.records.size()),
                         kind.wholeKindAction});
    std::map<QString, int> reasons;
    std::map<QString, int> absences;
    for (const VerifiedKind& kind : verification.kinds)
        for (const VerifiedRecord& record : kind.records) {
            if (record.state == RecordState::Refused)
                ++reasons[refusalReason(record)];
            else if (record.state == RecordState::Missing)
                ++absences[missingReason(record)];
        }
    for (const auto& [reason, count] : reasons)
        list.append({reason, count, refusalAction(reason)});
    for (const auto& [reason, count] : absences)
        list.append({reason, count, missingAction(reason)});
    return list;
}

QString stateKey(RecordState state)
{
    switch (state) {
    case RecordState::Imported: return QStringLiteral("imported");
    case RecordState::Refused: return QStringLiteral("refused");
    case RecordState::ToImport: return QStringLiteral("to_import");
    case RecordState::Pending: return QStringLiteral("pending");
    case RecordState::Missing: return QStringLiteral("missing");
    }
    return QString();
}

QString dateLine(const Verification& verification)
{
    return QStringLiteral("Vérification de la migration du ") + verification.at.toString(QStringLiteral("dd/MM/yyyy HH:mm:ss"));
}

QList<std::pair<QString, QString>> paths(const Verification& verification)
{
    return {{QStringLiteral("Base V3"), QDir::toNativeSeparators(verification.v3Path)},
            {QStringLiteral("Dossier des courriers"), QDir::toNativeSeparators(verification.courriersPath)},
            {QStringLiteral("Dossier Base de Talmérosin"), QDir::toNativeSeparators(verification.talmerosPath)},
            {QStringLiteral("Serveur Talmérosin"), verification.server},
            {QStringLiteral("Base Talmérosin"), verification.database},
            {QStringLiteral("Programme"), verification.program}};
}

QString recordText(const VerifiedRecord& record)
{
    QString text = record.name;
    if (!record.patient.isEmpty())
        text += QStringLiteral(" — ") + record.patient;
    return record.detail.isEmpty() ? text : text + QStringLiteral(" : ") + record.detail;
}

// A text for the page: markup characters escaped, and the characters that the terminal shows
// as escapes shown the same way: control characters, which no XML text may hold, and the
// bidirectional controls, which would reorder what the doctor reads.
QString escaped(const QString& text)
{
    return withVisibleControls(text).toHtmlEscaped().replace(QLatin1Char('\''), QStringLiteral("&#39;"));
}

// Horizontal bars, one per kind: imported, to import and missing as shares of the source records.
QString barChart(const Verification& verification)
{
    struct Part {
        RecordState state;
        const char* colour;
    };
    const QList<Part> parts = {{RecordState::Imported, "#2e7d32"}, {RecordState::Refused, "#757575"},
                               {RecordState::ToImport, "#f9a825"}, {RecordState::Pending, "#1565c0"},
                               {RecordState::Missing, "#c62828"}};
    const int labelWidth = 230, barWidth = 420, rowHeight = 26, top = 30;
    const int height = top + rowHeight * int(verification.kinds.size()) + 10;
    QString svg = QStringLiteral("<svg xmlns=\"http://www.w3.org/2000/svg\" role=\"img\" width=\"%1\" height=\"%2\" "
                                 "viewBox=\"0 0 %1 %2\" font-family=\"sans-serif\" font-size=\"13\">\n"
                                 "<title>Importés, refusés, à importer, en attente et absents par type d'enregistrement</title>\n")
                      .arg(labelWidth + barWidth + 90)
                      .arg(height);
    int x = 0;
    for (const Part& part : parts) {
        const QString label = std::find_if(kColumns.cbegin(), kColumns.cend(), [&](const StateColumn& column) {
                                  return column.state == part.state;
                              })->header;
        svg += QStringLiteral("<rect x=\"%1\" y=\"6\" width=\"12\" height=\"12\" fill=\"%2\"/>"
                              "<text x=\"%3\" y=\"17\">%4</text>\n")
                   .arg(x)
                   .arg(QLatin1String(part.colour))
                   .arg(x + 16)
                   .arg(label);
        x += 120;
    }
    int y = top;
    for (const VerifiedKind& kind : verification.kinds) {
        const int source = int(kind.records.size());
        svg += QStringLiteral("<text x=\"0\" y=\"%1\">%2</text>\n").arg(y + 15).arg(escaped(kind.title));
        svg += QStringLiteral("<rect x=\"%1\" y=\"%2\" width=\"%3\" height=\"18\" fill=\"none\" stroke=\"#888\"/>\n")
                   .arg(labelWidth)
                   .arg(y + 2)
                   .arg(barWidth);
        double offset = labelWidth;
        for (const Part& part : parts) {
            const int count = kind.count(part.state);
            if (count == 0 || source == 0)
                continue;
            const double width = double(barWidth) * count / source;
            svg += QStringLiteral("<rect class=\"%1\" x=\"%2\" y=\"%3\" width=\"%4\" height=\"18\" fill=\"%5\"/>\n")
                       .arg(stateKey(part.state).replace(QLatin1Char('_'), QLatin1Char('-')))
                       .arg(offset, 0, 'f', 1)
                       .arg(y + 2)
                       .arg(width, 0, 'f', 1)
                       .arg(QLatin1String(part.colour));
            offset += width;
        }
        svg += QStringLiteral("<text x=\"%1\" y=\"%2\">%3</text>\n").arg(labelWidth + barWidth + 8).arg(y + 15).arg(source);
        y += rowHeight;
    }
    return svg + QStringLiteral("</svg>\n");
}

// One line of the records that were not imported or need an action.
struct ProblemRow {
    QString kind;
    QString name;
    QString patient;
    QString detail;
};

// The records of one reason, with their number (records to import beyond the first of each kind
// are counted but not listed: the appendix lists them).
struct ProblemGroup {
    QString title;
    int count = 0;
    QList<ProblemRow> rows;
};

// The particulars of a record beyond the reason of its group ("le dossier n°12 n'est pas dans la
// base V3" for "patient non importé : le dossier n°12 n'est pas dans la base V3").
QString beyondReason(const QString& detail, const QString& reason)
{
    if (detail == reason)
        return QString();
    if (const QString lead = reason + QStringLiteral(" : "); detail.startsWith(lead))
        return detail.mid(lead.size());
    return detail;
}

// Every record not imported or needing an action, by reason, in the order in which the
// technician deals with them: what the destination lost, what a run left pending, changes of the
// source not carried yet, what is left to import, then the refusals for a known reason and the
// records deleted from the source.
QList<ProblemGroup> problemGroups(const Verification& verification)
{
    QList<ProblemGroup> groups;
    const auto addGroups = [&](const std::map<QString, ProblemGroup>& byReason) {
        for (const auto& [reason, group] : byReason)
            groups.append(group);
    };

    std::map<QString, ProblemGroup> missing;
    for (const VerifiedKind& kind : verification.kinds)
        for (const VerifiedRecord& record : kind.records)
            if (record.state == RecordState::Missing) {
                const QString reason = missingReason(record);
                ProblemGroup& group = missing[reason];
                group.title = QStringLiteral("Absents de la base Talmérosin : ") + reason;
                ++group.count;
                group.rows.append({kind.title, record.name, record.patient, record.detail});
            }
    addGroups(missing);

    ProblemGroup pending{QStringLiteral("En attente : laissés par une importation interrompue, la prochaine les règle"), 0, {}};
    ProblemGroup changed{QStringLiteral("Changés dans la base V3 depuis leur importation"), 0, {}};
    ProblemGroup toImport{QStringLiteral("À importer : la prochaine importation les importe"), 0, {}};
    ProblemGroup deleted{QStringLiteral("Supprimés de la base V3 depuis leur importation (la base Talmérosin les garde)"), 0, {}};
    std::map<QString, ProblemGroup> refused;
    for (const VerifiedKind& kind : verification.kinds) {
        int listed = 0;
        for (const VerifiedRecord& record : kind.records) {
            if (record.state == RecordState::Missing)
                continue;
            if (record.state == RecordState::Pending) {
                ++pending.count;
                pending.rows.append({kind.title, record.name, record.patient, record.detail});
            } else if (record.changed) {
                ++changed.count;
                changed.rows.append({kind.title, record.name, record.patient,
                                     QStringLiteral("champs changés : ") + record.changedFields.join(QStringLiteral(", "))});
            } else if (record.state == RecordState::ToImport) {
                ++toImport.count;
                if (listed++ < kFirstToImport)
                    toImport.rows.append({kind.title, record.name, record.patient, record.detail});
            } else if (record.state == RecordState::Refused && kind.wholeKindMissing.isEmpty()) {
                const QString reason = refusalReason(record);
                ProblemGroup& group = refused[reason];
                group.title = QStringLiteral("Refusés : ") + reason;
                ++group.count;
                group.rows.append({kind.title, record.name, record.patient, beyondReason(record.detail, reason)});
            }
        }
        if (const int more = kind.count(RecordState::ToImport) - kFirstToImport; more > 0)
            toImport.rows.append({kind.title, QStringLiteral("… et %1 autres (voir l'annexe)").arg(more), QString(), QString()});
        // A kind that no record of can be imported is one line, its records in the appendix.
        if (!kind.wholeKindMissing.isEmpty() && kind.count(RecordState::Refused) > 0) {
            ProblemGroup& group = refused[QStringLiteral("aucun enregistrement du type ne peut être importé")];
            group.title = QStringLiteral("Refusés : aucun enregistrement du type ne peut être importé");
            group.count += kind.count(RecordState::Refused);
            group.rows.append({kind.title, QStringLiteral("les %1 enregistrements (voir l'annexe)").arg(kind.count(RecordState::Refused)),
                               QString(), kind.wholeKindMissing});
        }
        for (const VerifiedRecord& record : kind.deletedInSource) {
            ++deleted.count;
            deleted.rows.append({kind.title, record.name, record.patient, record.detail});
        }
    }
    for (const ProblemGroup& group : {pending, changed, toImport})
        if (group.count > 0)
            groups.append(group);
    addGroups(refused);
    if (deleted.count > 0)
        groups.append(deleted);
    return groups;
}

const char* const kStyle = R"(
body { font-family: sans-serif; margin: 2em; color: #111; background: #fff; }
h1 { font-size: 1.5em; }
.result { font-weight: bold; padding: .5em; border: 2px solid #2e7d32; }
.result.incomplete { border-color: #c62828; }
dl { display: grid; grid-template-columns: max-content auto; gap: .2em 1em; }
dt { font-weight: bold; }
dd { margin: 0; word-break: break-all; }
table { border-collapse: collapse; margin: 1em 0; }
th, td { border: 1px solid #888; padding: .25em .6em; }
td { text-align: right; }
thead th { background: #eee; }
tbody th { text-align: left; font-weight: normal; }
.attention { font-weight: bold; color: #c62828; }
section { margin: 1em 0; }
details { margin: .3em 0 .3em 1em; }
summary { cursor: pointer; }
tfoot th, tfoot td { font-weight: bold; }
.actions td { text-align: left; }
.note { margin: .2em 0; font-size: .9em; }
table.records { width: 100%; font-size: .85em; margin: .3em 0 .8em; }
table.records th, table.records td { text-align: left; padding: 0 .4em; }
.signature { margin-top: 2em; break-inside: avoid; }
.signature p { margin: 1.5em 0; }
#appendix { margin-top: 2em; }
li { font-size: .9em; }
@media print {
  body { margin: 0; font-size: 10pt; }
  .result, #summary, .actions, svg { break-inside: avoid; }
  h2, h3 { break-after: avoid; }
  thead th { background: none; }
  tr { break-inside: avoid; }
  table.records { font-size: 8pt; }
  .screen-only, #print-appendix { display: none; }
  #print-appendix:not(:checked) ~ #appendix { display: none; }
  #appendix { break-before: page; }
}
)";

} // namespace

QStringList verificationSummary(const Verification& verification)
{
    QStringList lines{dateLine(verification)};
    for (const auto& [label, path] : paths(verification))
        lines.append(label + QStringLiteral(" : ") + path);
    lines.append(QString());

    int titleWidth = 0;
    for (const VerifiedKind& kind : verification.kinds)
        titleWidth = std::max(titleWidth, int(kind.title.size()));
    QString header = QStringLiteral("Enregistrements").leftJustified(titleWidth) + QStringLiteral("  Source");
    for (const StateColumn& column : kColumns)
        header += QStringLiteral("  ") + column.header;
    lines.append(header);
    for (const VerifiedKind& kind : verification.kinds) {
        QString line = kind.title.leftJustified(titleWidth) + QStringLiteral("  ")
            + QString::number(kind.records.size()).rightJustified(6);
        for (const StateColumn& column : kColumns)
            line += QStringLiteral("  ") + QString::number(kind.count(column.state)).rightJustified(int(column.header.size()));
        lines.append(line);
    }
    QString totals = QStringLiteral("Total").leftJustified(titleWidth) + QStringLiteral("  ")
        + QString::number(totalSource(verification)).rightJustified(6);
    for (const StateColumn& column : kColumns)
        totals += QStringLiteral("  ") + QString::number(total(verification, column.state)).rightJustified(int(column.header.size()));
    lines.append(totals);
    for (const VerifiedKind& kind : verification.kinds)
        if (kind.identicalFiles >= 0)
            lines.append(QStringLiteral("%1 : %2 fichiers copiés identiques à leur courrier source.")
                             .arg(kind.title)
                             .arg(kind.identicalFiles));
    for (const VerifiedKind& kind : verification.kinds)
        for (const auto& [title, records] : changeLists(kind)) {
            lines.append(QString());
            lines.append(kind.title + QStringLiteral(" : ") + title + QStringLiteral(" :"));
            for (const QString& record : records)
                lines.append(QStringLiteral("  ") + record);
        }

    // The records that need a look, every one; then the first records to import of each kind.
    for (const RecordState state : {RecordState::Missing, RecordState::Pending, RecordState::Refused, RecordState::ToImport}) {
        const auto column = std::find_if(kColumns.cbegin(), kColumns.cend(),
                                         [state](const StateColumn& c) { return c.state == state; });
        if (total(verification, state) == 0)
            continue;
        lines.append(QString());
        lines.append(column->list + QStringLiteral(" :"));
        for (const VerifiedKind& kind : verification.kinds) {
            int shown = 0;
            const int count = kind.count(state);
            for (const VerifiedRecord& record : kind.records) {
                if (record.state != state)
                    continue;
                if (state == RecordState::ToImport && shown == kFirstToImport) {
                    lines.append(QStringLiteral("  %1 : … et %2 autres").arg(kind.title).arg(count - shown));
                    break;
                }
                lines.append(QStringLiteral("  ") + kind.title + QStringLiteral(" : ") + recordText(record));
                ++shown;
            }
        }
    }
    if (const QList<Action> todo = actions(verification); !todo.isEmpty()) {
        lines.append(QString());
        lines.append(QStringLiteral("Que faire :"));
        for (const Action& action : todo)
            lines.append(QStringLiteral("  %1 (%2) : %3").arg(action.what).arg(action.count).arg(action.action));
    }
    lines.append(QString());
    lines.append(resultLine(verification));
    return lines;
}

SummaryTable verificationTable(const Verification& verification)
{
    SummaryTable table;
    table.columns.append(QStringLiteral("Source"));
    for (const StateColumn& column : kColumns)
        table.columns.append(column.header);
    const auto row = [](const QString& title, int source, const std::function<int(RecordState)>& count) {
        SummaryTable::Row result{title, {source}};
        for (const StateColumn& column : kColumns)
            result.figures.append(count(column.state));
        return result;
    };
    for (const VerifiedKind& kind : verification.kinds)
        table.rows.append(row(kind.title, int(kind.records.size()), [&](RecordState state) { return kind.count(state); }));
    table.rows.append(row(QStringLiteral("Total"), totalSource(verification),
                          [&](RecordState state) { return total(verification, state); }));
    return table;
}

QByteArray verificationHtml(const Verification& verification)
{
    QString html = QStringLiteral("<!DOCTYPE html>\n<html xmlns=\"http://www.w3.org/1999/xhtml\" lang=\"fr\">\n<head>\n"
                                  "<meta charset=\"utf-8\"/>\n<meta name=\"generator\" content=\"velquor-fusion\"/>\n<title>Vérification de la migration</title>\n<style>")
        + QString::fromUtf8(kStyle) + QStringLiteral("</style>\n</head>\n<body>\n");
    html += QStringLiteral("<h1>") + escaped(dateLine(verification)) + QStringLiteral("</h1>\n");
    html += QStringLiteral("<p class=\"result%1\">%2</p>\n")
                .arg(verification.complete() ? QString() : QStringLiteral(" incomplete"), escaped(resultLine(verification)));
    html += QStringLiteral("<dl>\n");
    for (const auto& [label, path] : paths(verification))
        html += QStringLiteral("<dt>") + escaped(label) + QStringLiteral("</dt><dd>") + escaped(path) + QStringLiteral("</dd>\n");
    html += QStringLiteral("</dl>\n");

    html += QStringLiteral("<table id=\"summary\">\n<thead><tr><th>Enregistrements</th><th>Source</th>");
    for (const StateColumn& column : kColumns)
        html += QStringLiteral("<th>") + escaped(column.header) + QStringLiteral("</th>");
    html += QStringLiteral("<th>Fichiers identiques</th></tr></thead>\n<tbody>\n");
    for (const VerifiedKind& kind : verification.kinds) {
        html += QStringLiteral("<tr><th>") + escaped(kind.title) + QStringLiteral("</th><td>")
            + QString::number(kind.records.size()) + QStringLiteral("</td>");
        for (const StateColumn& column : kColumns) {
            const int count = kind.count(column.state);
            const bool attention = count > 0 && column.state != RecordState::Imported && column.state != RecordState::Refused;
            html += QStringLiteral("<td%1>%2</td>").arg(attention ? QStringLiteral(" class=\"attention\"") : QString()).arg(count);
        }
        html += QStringLiteral("<td>") + (kind.identicalFiles >= 0 ? QString::number(kind.identicalFiles) : QString())
            + QStringLiteral("</td></tr>\n");
    }
    html += QStringLiteral("</tbody>\n<tfoot><tr><th>Total</th><td>%1</td>").arg(totalSource(verification));
    for (const StateColumn& column : kColumns)
        html += QStringLiteral("<td>%1</td>").arg(total(verification, column.state));
    html += QStringLiteral("<td></td></tr></tfoot>\n</table>\n");
    // Where the destination's rows count otherwise than the source's records, the table says why.
    for (const VerifiedKind& kind : verification.kinds)
        if (!kind.unit.isEmpty())
            html += QStringLiteral("<p class=\"note\"><strong>%1</strong> : %2.</p>\n").arg(escaped(kind.title), escaped(kind.unit));
    html += QStringLiteral("<div class=\"screen-only\">\n") + barChart(verification) + QStringLiteral("</div>\n");
    if (const QList<Action> todo = actions(verification); !todo.isEmpty()) {
        html += QStringLiteral("<h2>Que faire</h2>\n<table class=\"actions\">\n<thead><tr><th>Raison</th><th>Nombre</th>"
                               "<th>Que faire</th></tr></thead>\n<tbody>\n");
        for (const Action& action : todo)
            html += QStringLiteral("<tr><td>%1</td><td>%2</td><td>%3</td></tr>\n")
                        .arg(escaped(action.what))
                        .arg(action.count)
                        .arg(escaped(action.action));
        html += QStringLiteral("</tbody>\n</table>\n");
    }

    // What the doctor signs for: every record not imported or needing an action, by reason.
    const QList<ProblemGroup> groups = problemGroups(verification);
    int problems = 0;
    for (const ProblemGroup& group : groups)
        problems += group.count;
    html += QStringLiteral("<h2 id=\"problems\">Enregistrements non importés ou à traiter (%1)</h2>\n").arg(problems);
    if (groups.isEmpty())
        html += QStringLiteral("<p>Aucun : chaque enregistrement de la base V3 est dans la base Talmérosin.</p>\n");
    for (const ProblemGroup& group : groups) {
        html += QStringLiteral("<section class=\"problem\">\n<h3>%1 (%2)</h3>\n").arg(escaped(group.title)).arg(group.count);
        html += QStringLiteral("<table class=\"records\">\n<thead><tr><th>Type</th><th>Enregistrement</th><th>Patient</th>"
                               "<th>Détail</th></tr></thead>\n<tbody>\n");
        for (const ProblemRow& row : group.rows)
            html += QStringLiteral("<tr><td>%1</td><td>%2</td><td>%3</td><td>%4</td></tr>\n")
                        .arg(escaped(row.kind), escaped(row.name), escaped(row.patient), escaped(row.detail));
        html += QStringLiteral("</tbody>\n</table>\n</section>\n");
    }

    html += QStringLiteral("<section class=\"signature\">\n<h2>Visa</h2>\n<p>Vérification relue par (nom, qualité) :</p>\n"
                           "<p>Le :</p>\n<p>Signature :</p>\n</section>\n");

    // Every record, in lists that open on a click (closed, a list costs the browser nothing to
    // lay out); on paper only when the technician ticks the box, and then the lists opened.
    html += QStringLiteral("<input type=\"checkbox\" id=\"print-appendix\"/>\n<label for=\"print-appendix\" class=\"screen-only\">"
                           "Imprimer aussi l'annexe : les listes ouvertes ci-dessous</label>\n");
    html += QStringLiteral("<div id=\"appendix\">\n<h2>Annexe : les enregistrements un par un</h2>\n");
    for (const VerifiedKind& kind : verification.kinds) {
        html += QStringLiteral("<section>\n<h3>") + escaped(kind.title) + QStringLiteral("</h3>\n");
        if (!kind.unit.isEmpty())
            html += QStringLiteral("<p>") + escaped(kind.unit) + QStringLiteral("</p>\n");
        for (const StateColumn& column : kColumns) {
            const int count = kind.count(column.state);
            if (count == 0)
                continue;
            html += QStringLiteral("<details><summary>%1 (%2)</summary>\n<ol>\n").arg(escaped(column.list)).arg(count);
            for (const VerifiedRecord& record : kind.records)
                if (record.state == column.state)
                    html += QStringLiteral("<li>") + escaped(recordText(record)) + QStringLiteral("</li>\n");
            html += QStringLiteral("</ol>\n</details>\n");
        }
        for (const auto& [title, records] : changeLists(kind)) {
            html += QStringLiteral("<details><summary>%1 (%2)</summary>\n<ol>\n").arg(escaped(title)).arg(records.size());
            for (const QString& record : records)
                html += QStringLiteral("<li>") + escaped(record) + QStringLiteral("</li>\n");
            html += QStringLiteral("</ol>\n</details>\n");
        }
        html += QStringLiteral("</section>\n");
    }
    html += QStringLiteral("</div>\n</body>\n</html>\n");
    return html.toUtf8();
}

// The first bytes of a JSON report: the generator comes first, before the keys in their order.
constexpr char kJsonGenerator[] = "{\n    \"generator\": \"velquor-fusion\",\n";

bool isVerificationReport(const QByteArray& head)
{
    return (head.startsWith("<!DOCTYPE html>\n") && head.left(512).contains("<meta name=\"generator\" content=\"velquor-fusion\"/>"))
        || head.startsWith(kJsonGenerator);
}

} // namespace vf

namespace vf {

QByteArray verificationJson(const Verification& verification)
{
    QJsonObject counts;
    const auto countsOf = [](const std::function<int(RecordState)>& count, int source) {
        QJsonObject object{{QStringLiteral("source"), source}};
        for (const RecordState state :
             {RecordState::Imported, RecordState::Refused, RecordState::ToImport, RecordState::Pending, RecordState::Missing})
            object.insert(stateKey(state), count(state));
        return object;
    };
    QJsonArray kinds;
    for (const VerifiedKind& kind : verification.kinds) {
        QJsonObject object = countsOf([&](RecordState state) { return kind.count(state); }, int(kind.records.size()));
        object.insert(QStringLiteral("title"), kind.title);
        object.insert(QStringLiteral("changed"), kind.changedCount());
        object.insert(QStringLiteral("deleted_in_source"), int(kind.deletedInSource.size()));
        if (kind.identicalFiles >= 0)
            object.insert(QStringLiteral("identical_files"), kind.identicalFiles);
        if (!kind.unit.isEmpty())
            object.insert(QStringLiteral("unit"), kind.unit);
        if (!kind.wholeKindMissing.isEmpty()) {
            object.insert(QStringLiteral("whole_kind_missing"), kind.wholeKindMissing);
            object.insert(QStringLiteral("action"), kind.wholeKindAction);
        }
        QJsonArray records;
        for (const VerifiedRecord& record : kind.records) {
            QJsonObject item{{QStringLiteral("name"), record.name},
                             {QStringLiteral("state"), record.changed ? QStringLiteral("changed") : stateKey(record.state)}};
            if (record.changed)
                item.insert(QStringLiteral("fields"), QJsonArray::fromStringList(record.changedFields));
            if (!record.patient.isEmpty())
                item.insert(QStringLiteral("patient"), record.patient);
            if (!record.detail.isEmpty())
                item.insert(QStringLiteral("detail"), record.detail);
            if (record.state == RecordState::Refused)
                item.insert(QStringLiteral("reason"), refusalReason(record));
            records.append(item);
        }
        for (const VerifiedRecord& record : kind.deletedInSource)
            records.append(QJsonObject{{QStringLiteral("name"), record.name},
                                       {QStringLiteral("state"), QStringLiteral("deleted_in_source")},
                                       {QStringLiteral("detail"), record.detail}});
        object.insert(QStringLiteral("records"), records);
        kinds.append(object);
    }
    QJsonArray todo;
    for (const Action& action : actions(verification))
        todo.append(QJsonObject{{QStringLiteral("reason"), action.what},
                                {QStringLiteral("count"), action.count},
                                {QStringLiteral("action"), action.action}});
    const QJsonObject root{
        {QStringLiteral("date"), verification.at.toString(Qt::ISODate)},
        {QStringLiteral("program"), verification.program},
        {QStringLiteral("destination"),
         QJsonObject{{QStringLiteral("server"), verification.server}, {QStringLiteral("database"), verification.database}}},
        {QStringLiteral("paths"),
         QJsonObject{{QStringLiteral("source"), QDir::toNativeSeparators(verification.v3Path)},
                     {QStringLiteral("letters"), QDir::toNativeSeparators(verification.courriersPath)},
                     {QStringLiteral("destination"), QDir::toNativeSeparators(verification.talmerosPath)}}},
        {QStringLiteral("complete"), verification.complete()},
        {QStringLiteral("result"), resultLine(verification)},
        {QStringLiteral("totals"),
         countsOf([&](RecordState state) { return total(verification, state); }, totalSource(verification))},
        {QStringLiteral("actions"), todo},
        {QStringLiteral("kinds"), kinds},
    };
    return QJsonDocument(root).toJson(QJsonDocument::Indented).replace(0, 2, kJsonGenerator);
}

} // namespace vf

#include "import/VerificationReport.h"

#include <QDir>

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

const int kFirstToImport = 10; // records to import named on the terminal, per kind

int total(const Verification& verification, RecordState state)
{
    int sum = 0;
    for (const VerifiedKind& kind : verification.kinds)
        sum += kind.count(state);
    return sum;
}

QString resultLine(const Verification& verification)
{
    if (verification.complete())
        return QStringLiteral("La migration est complète : tout ce qui peut être importé l'a été.");
    return QStringLiteral("La migration n'est pas complète : %1 à importer, %2 en attente, %3 absents de la destination.")
        .arg(total(verification, RecordState::ToImport))
        .arg(total(verification, RecordState::Pending))
        .arg(total(verification, RecordState::Missing));
}

QString dateLine(const Verification& verification)
{
    return QStringLiteral("Vérification de la migration du ") + verification.at.toString(QStringLiteral("dd/MM/yyyy HH:mm:ss"));
}

QList<std::pair<QString, QString>> paths(const Verification& verification)
{
    return {{QStringLiteral("Base V3"), QDir::toNativeSeparators(verification.v3Path)},
            {QStringLiteral("Dossier des courriers"), QDir::toNativeSeparators(verification.courriersPath)},
            {QStringLiteral("Dossier Base de Talmérosin"), QDir::toNativeSeparators(verification.talmerosPath)}};
}

QString recordText(const VerifiedRecord& record)
{
    return record.detail.isEmpty() ? record.name : record.name + QStringLiteral(" : ") + record.detail;
}

// A text for the page: markup characters escaped, control characters (which no XML text may
// hold) shown as spaces.
QString escaped(QString text)
{
    for (QChar& c : text)
        if (c.unicode() < 0x20 && c != QLatin1Char('\n') && c != QLatin1Char('\t'))
            c = QLatin1Char(' ');
    return text.toHtmlEscaped().replace(QLatin1Char('\''), QStringLiteral("&#39;"));
}

// Horizontal bars, one per kind: imported, to import and missing as shares of the source records.
QString barChart(const Verification& verification)
{
    struct Part {
        RecordState state;
        const char* colour;
    };
    const QList<Part> parts = {{RecordState::Imported, "#2e7d32"}, {RecordState::ToImport, "#f9a825"},
                               {RecordState::Missing, "#c62828"}};
    const int labelWidth = 230, barWidth = 420, rowHeight = 26, top = 30;
    const int height = top + rowHeight * int(verification.kinds.size()) + 10;
    QString svg = QStringLiteral("<svg xmlns=\"http://www.w3.org/2000/svg\" role=\"img\" width=\"%1\" height=\"%2\" "
                                 "viewBox=\"0 0 %1 %2\" font-family=\"sans-serif\" font-size=\"13\">\n"
                                 "<title>Importés, à importer et absents par type d'enregistrement</title>\n")
                      .arg(labelWidth + barWidth + 90)
                      .arg(height);
    int x = labelWidth;
    for (const Part& part : parts) {
        const QString label = part.state == RecordState::Imported ? QStringLiteral("Importés")
            : part.state == RecordState::ToImport                 ? QStringLiteral("À importer")
                                                                  : QStringLiteral("Absents");
        svg += QStringLiteral("<rect x=\"%1\" y=\"6\" width=\"12\" height=\"12\" fill=\"%2\"/>"
                              "<text x=\"%3\" y=\"17\">%4</text>\n")
                   .arg(x)
                   .arg(QLatin1String(part.colour))
                   .arg(x + 16)
                   .arg(label);
        x += 110;
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
                       .arg(part.state == RecordState::Imported ? QStringLiteral("imported")
                            : part.state == RecordState::ToImport ? QStringLiteral("to-import")
                                                                  : QStringLiteral("missing"))
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
li { font-size: .9em; }
@media print {
  body { margin: 0; }
  .result, table, svg { break-inside: avoid; }
  thead th { background: none; }
  summary { list-style: none; font-weight: bold; }
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
    for (const VerifiedKind& kind : verification.kinds)
        if (kind.identicalFiles >= 0)
            lines.append(QStringLiteral("%1 : %2 fichiers copiés identiques à leur courrier source.")
                             .arg(kind.title)
                             .arg(kind.identicalFiles));

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
    lines.append(QString());
    lines.append(resultLine(verification));
    return lines;
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
    html += QStringLiteral("</tbody>\n</table>\n");
    html += barChart(verification);

    html += QStringLiteral("<h2>Les enregistrements</h2>\n");
    for (const VerifiedKind& kind : verification.kinds) {
        html += QStringLiteral("<section>\n<h3>") + escaped(kind.title) + QStringLiteral("</h3>\n");
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
        html += QStringLiteral("</section>\n");
    }
    html += QStringLiteral("</body>\n</html>\n");
    return html.toUtf8();
}

bool isVerificationReport(const QByteArray& head)
{
    return head.startsWith("<!DOCTYPE html>\n") && head.left(512).contains("<meta name=\"generator\" content=\"velquor-fusion\"/>");
}

} // namespace vf

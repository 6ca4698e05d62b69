#include "phases/CatchUp.h"

#include "base/Errors.h"
#include "base/Reporter.h"
#include "phases/PhaseText.h"
#include "source/SourceConnection.h"

#include <QDateTime>
#include <QFileInfo>

namespace vf {

QStringList doctorFields()
{
    return {QStringLiteral("NOM"), QStringLiteral("PRENOM"), QStringLiteral("VILLE"), QStringLiteral("ADRESSE"),
            QStringLiteral("CODE POSTAL"), QStringLiteral("TELEPHONE")};
}

QStringList correspondentFields()
{
    return {QStringLiteral("CODE FONCTION"), QStringLiteral("NOM"), QStringLiteral("PRENOM"), QStringLiteral("VILLE"),
            QStringLiteral("RUE"), QStringLiteral("CODE POSTAL"), QStringLiteral("TELEPHONE PERSONNEL"),
            QStringLiteral("TELEPHONE PROFESSIONNEL"), QStringLiteral("FAX"), QStringLiteral("DIVERS")};
}

QStringList patientFields()
{
    QStringList fields{QStringLiteral("NOM"), QStringLiteral("PRENOM"), QStringLiteral("DATE NAISSANCE"),
                       QStringLiteral("CODE TYPE SEXE"), QStringLiteral("ADRESSE"),
                       QStringLiteral("CODE MEDECIN PROPRIETAIRE"), QStringLiteral("NOM DE NAISSANCE"),
                       QStringLiteral("CODE POSTAL"), QStringLiteral("VILLE"), QStringLiteral("TEL DOMICILE"),
                       QStringLiteral("TEL BUREAU"), QStringLiteral("FAX"), QStringLiteral("NUMERO SECURITE SOCIAL")};
    for (int n = 1; n <= 6; ++n)
        fields.append(QStringLiteral("CODE CORRESPONDANT ") + QString::number(n));
    return fields;
}

QStringList historyFields()
{
    return {QStringLiteral("CODE PATIENT"), QStringLiteral("CODE ANTECEDENT"), QStringLiteral("DATE"),
            QStringLiteral("LIBELLE"), QStringLiteral("DONNEES")};
}

QStringList headerFields()
{
    return {QStringLiteral("CODE PATIENT"), QStringLiteral("Date"), QStringLiteral("code medecin"), QStringLiteral("DONNEES")};
}

QStringList sheetFields()
{
    return {QStringLiteral("code patient"), QStringLiteral("date"), QStringLiteral("code medecin"), QStringLiteral("DONNEES")};
}

QStringList letterFields()
{
    return {QStringLiteral("CODE PATIENT"), QStringLiteral("NOM FICHIER"), QStringLiteral("LIBELLE"), QStringLiteral("DATE")};
}

QHash<qint32, quint64> detailPrints(SourceConnection& source, const QString& detailTable)
{
    QHash<qint32, quint64> prints;
    SourceQuery details(source, QStringLiteral("SELECT CodeTitre, niveau, DONNEES FROM [") + detailTable
                                    + QStringLiteral("] ORDER BY CodeTitre, CodeLigne"));
    details.openUncounted();
    const int titre = details.columnPosition(QStringLiteral("CodeTitre"));
    const int niveau = details.columnPosition(QStringLiteral("niveau"));
    const int donnees = details.columnPosition(QStringLiteral("DONNEES"));
    // Each line's level and text as read: what its indented text is made of.
    while (!details.eof()) {
        const qint32 code = details.value(titre).toInt();
        const QString text = details.textValue(donnees);
        auto found = prints.find(code);
        if (found == prints.end())
            found = prints.insert(code, 0xcbf29ce484222325ull);
        const quint64 line[2] = {fingerprintOf(details.value(niveau)), fingerprintOf(text)};
        *found = fingerprint64(line, sizeof line, *found);
        details.next();
    }
    details.close();
    return prints;
}

QHash<qint32, quint64> readDetailPrints(SourceConnection& source, const QString& detailTable, Reporter& reporter)
{
    try {
        return detailPrints(source, detailTable);
    } catch (const Error& error) {
        reporter.appendLine(kErrorPrefix + error.message());
        return {};
    }
}

QVariant letterFilePrint(const QString& path)
{
    if (path.isEmpty())
        return QVariant();
    const QFileInfo file(path);
    return QString::number(file.size()) + QLatin1Char(' ') + QString::number(file.lastModified().toMSecsSinceEpoch());
}

bool sourceUnchanged(const PairPrints& stored, const SourcePrint& now)
{
    return !stored.source.isEmpty() && stored.source == now.bytes();
}

Carry carryDecision(const PairPrints& stored, quint64 destNow, quint64 wouldWrite)
{
    if (stored.source.isEmpty())
        return Carry::Baseline;
    if (destNow == stored.dest || destNow == wouldWrite)
        return Carry::Rewrite;
    return Carry::Kept;
}

QList<QVariant> writtenValues(const Columns& columns)
{
    QList<QVariant> values;
    for (qsizetype i = 1; i < columns.size(); ++i) {
        const QVariant& value = columns.at(i).second;
        // A value as the destination gives it back: dates to the second, numbers as numbers.
        if (value.typeId() == QMetaType::QDateTime && !value.isNull())
            values.append(QVariant(naiveDateTime(value).toSecsSinceEpoch()));
        else if (value.typeId() == QMetaType::Int && !value.isNull())
            values.append(QVariant(value.toLongLong()));
        else
            values.append(value.isNull() ? QVariant() : QVariant(value.toString()));
    }
    return values;
}

quint64 rowPrintNow(UnitOfWork& work, const QString& table, const QString& idColumn, qint32 id, const Columns& columns,
                    bool alone)
{
    QList<std::pair<QString, bool>> names;
    for (qsizetype i = 1; i < columns.size(); ++i)
        names.append({columns.at(i).first, columns.at(i).second.typeId() == QMetaType::QString});
    QList<QVariant> read;
    if (alone)
        read = work.storedRow(table, idColumn, id, names);
    QList<QVariant> values;
    for (qsizetype i = 1; i < columns.size(); ++i) {
        const int written = columns.at(i).second.typeId();
        const QVariant stored = alone ? read.at(i - 1) : work.stored(table, idColumn, id, columns.at(i).first, written == QMetaType::QString);
        if (!stored.isValid() || stored.isNull())
            values.append(QVariant());
        else if (written == QMetaType::QDateTime)
            values.append(QVariant(naiveDateTime(stored).toSecsSinceEpoch()));
        else if (written == QMetaType::Int)
            values.append(QVariant(stored.toLongLong()));
        else
            values.append(QVariant(stored.toString()));
    }
    return destPrint(values);
}

QString keptLine(const QString& record)
{
    return record + QStringLiteral(" a changé dans la base V3 depuis son importation, mais aussi dans la base Talmérosin : "
                                   "la version de Talmérosin est gardée.");
}

Carry carryRow(UnitOfWork& work, LinkTable& links, qint32 code, const SourcePrint& print,
               const QString& table, const QString& idColumn, qint32 id, const Columns& columns, const QString& record,
               Carried& carried)
{
    const PairPrints stored = links.prints(code);
    const quint64 wouldWrite = destPrint(writtenValues(columns));
    quint64 now = 0;
    try {
        // A pair without prints (imported before they were kept) is one of many: its row is read
        // with its neighbours'. A record changed in the source is one of few: its row alone.
        now = rowPrintNow(work, table, idColumn, id, columns, !stored.source.isEmpty());
    } catch (const Error& error) {
        work.line(kErrorPrefix + error.message());
        return Carry::Unchanged;
    }
    const Carry carry = carryDecision(stored, now, wouldWrite);
    switch (carry) {
    case Carry::Unchanged:
        break;
    case Carry::Baseline:
        work.reprint(code, {print.bytes(), now});
        break;
    case Carry::Rewrite: {
        Columns values = columns.mid(1);
        if (const Written updated = work.update({table, idColumn, {id}, values}); !updated) {
            work.line(QStringLiteral("Impossible d'actualiser ") + record + QStringLiteral(" : ") + updated.message());
            return Carry::Unchanged;
        }
        work.reprint(code, {print.bytes(), wouldWrite});
        ++carried.updated;
        break;
    }
    case Carry::Kept:
        work.line(keptLine(record));
        work.reprint(code, {print.bytes(), stored.dest});
        ++carried.kept;
        break;
    }
    return carry;
}

Carry carryPart(UnitOfWork& work, LinkTable& links, qint32 code, const SourcePrint& print, const QString& table,
                const QString& idColumn, const QList<qint32>& rows, const QString& column, const QString& newPart,
                const QString& record, Carried& carried)
{
    if (rows.isEmpty())
        return Carry::Unchanged;
    const PairPrints stored = links.prints(code);
    QString text;
    try {
        text = work.stored(table, idColumn, rows.constFirst(), column).toString();
    } catch (const Error& error) {
        work.line(kErrorPrefix + error.message());
        return Carry::Unchanged;
    }
    const quint64 wouldWrite = partPrint(newPart);
    if (stored.source.isEmpty()) {
        // Before prints were kept: the part is the one the source gives now, when the text holds it.
        work.reprint(code, {print.bytes(), findPart(text, wouldWrite) ? wouldWrite : 0});
        return Carry::Baseline;
    }
    const std::optional<qsizetype> at = stored.dest != 0 ? findPart(text, stored.dest) : std::nullopt;
    if (!at) {
        if (findPart(text, wouldWrite)) {
            work.reprint(code, {print.bytes(), wouldWrite});
            return Carry::Unchanged;
        }
        work.line(keptLine(record));
        work.reprint(code, {print.bytes(), stored.dest});
        ++carried.kept;
        return Carry::Kept;
    }
    const QString rewritten = text.left(*at) + newPart + text.mid(*at + qsizetype(stored.dest >> 40));
    if (const Written updated = work.update({table, idColumn, rows, {{column, rewritten}}}); !updated) {
        work.line(QStringLiteral("Impossible d'actualiser ") + record + QStringLiteral(" : ") + updated.message());
        return Carry::Unchanged;
    }
    work.reprint(code, {print.bytes(), wouldWrite});
    ++carried.updated;
    return Carry::Rewrite;
}

} // namespace vf

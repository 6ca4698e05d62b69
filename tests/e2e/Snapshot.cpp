#include "Snapshot.h"

#include "ProgramFolder.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QSqlDatabase>
#include <QSqlQuery>

namespace vf::test {

// A text on one line: backslashes and line breaks escaped.
QString oneLine(QString text)
{
    text.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    text.replace(QLatin1Char('\r'), QStringLiteral("\\r"));
    text.replace(QLatin1Char('\n'), QStringLiteral("\\n"));
    return text;
}

namespace {

// One value, typed, on one line.
QString valueText(const QVariant& value)
{
    if (value.isNull())
        return QStringLiteral("null");
    if (value.metaType() == QMetaType::fromType<QDateTime>())
        return QStringLiteral("t:") + value.toDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
    return QStringLiteral("v:") + oneLine(value.toString());
}

QString rowsText(const QList<QVariantMap>& rows)
{
    QString text;
    for (const QVariantMap& row : rows) {
        for (auto it = row.cbegin(); it != row.cend(); ++it)
            text += it.key() + QLatin1Char('=') + valueText(it.value()) + QLatin1Char('\t');
        text += QLatin1Char('\n');
    }
    return text;
}

// The destination tables the run writes, with the column that orders their rows.
const QList<QPair<QString, QString>> kTables = {
    {QStringLiteral("MEDECINS"), QStringLiteral("MEDECINS_ID")},
    {QStringLiteral("MEDTRAIT"), QStringLiteral("MEDTRAIT_ID")},
    {QStringLiteral("PATIENTS"), QStringLiteral("PATIENTS_ID")},
    {QStringLiteral("PATMEDTR"), QStringLiteral("PATMEDTR_ID")},
    {QStringLiteral("ANTECED"), QStringLiteral("ANTECED_ID")},
    {QStringLiteral("MOTCONSU"), QStringLiteral("MOTCONSU_ID")},
    {QStringLiteral("ORDONNANCES"), QStringLiteral("ORDONNANCES_ID")},
    {QStringLiteral("LETTERS"), QStringLiteral("LETTERS_ID")},
};

QStringList linkPairs(const QString& linksFolder)
{
    QStringList lines;
    for (const QString& file : QDir(linksFolder).entryList({QStringLiteral("*.db")}, QDir::Files, QDir::Name)) {
        QString pairs;
        int count = 0;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("golden-links"));
            db.setDatabaseName(QDir(linksFolder).filePath(file));
            db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
            if (db.open()) {
                QSqlQuery q(db);
                q.exec(QStringLiteral("SELECT SOURCE, DEST FROM LINKS ORDER BY SOURCE"));
                while (q.next()) {
                    pairs += q.value(0).toString() + QLatin1Char(' ') + q.value(1).toString() + QLatin1Char('\n');
                    ++count;
                }
            }
        }
        QSqlDatabase::removeDatabase(QStringLiteral("golden-links"));
        lines.append(QStringLiteral("links %1 %2 %3").arg(file).arg(count).arg(sha256(pairs.toUtf8())));
    }
    return lines;
}

QString lettersSummary(const QString& lettersFolder)
{
    QStringList files;
    QDirIterator it(lettersFolder, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.append(QDir(lettersFolder).relativeFilePath(path) + QLatin1Char(' ') + sha256(readFile(path)));
    }
    files.sort();
    return QStringLiteral("letters %1 %2").arg(files.size()).arg(sha256(files.join(QLatin1Char('\n')).toUtf8()));
}

// Triggers that refuse records in every phase: by text where a refused row's identifier is
// handed out again (users, correspondents), by identifier elsewhere; inserts and updates.
struct Refusal {
    const char* table;
    const char* event; // INSERT or UPDATE
    const char* condition;
};
const Refusal kRefusals[] = {
    {"MEDECINS", "INSERT", "length(NEW.PRENOM) % 3 = 0"},
    {"MEDTRAIT", "INSERT", "length(NEW.NOM) % 4 = 1"},
    {"PATIENTS", "INSERT", "NEW.PATIENTS_ID % 17 = 5"},
    {"PATMEDTR", "INSERT", "NEW.MEDTRAIT_ID % 5 = 2"},
    {"ANTECED", "INSERT", "NEW.ANTECED_ID % 13 = 7"},
    {"ANTECED", "UPDATE", "NEW.ANTECED_ID % 11 = 3"},
    {"MOTCONSU", "INSERT", "NEW.MOTCONSU_ID % 29 = 11"},
    {"MOTCONSU", "UPDATE", "NEW.MOTCONSU_ID % 7 = 1"},
    {"ORDONNANCES", "INSERT", "NEW.ORDONNANCES_ID % 19 = 4"},
    {"ORDONNANCES", "UPDATE", "NEW.ORDONNANCES_ID % 9 = 2"},
    {"LETTERS", "INSERT", "NEW.LETTERS_ID % 23 = 6"},
};

} // namespace

bool addRefusingTriggers(const TestDestination& destination, const QStringList& tables)
{
    const bool sqlite = destination.backend() == Backend::SQLite;
    const bool tds = destination.backend() == Backend::TDS;
    if (!sqlite && !tds
        && !destination.exec(QStringLiteral("CREATE FUNCTION refuse_row() RETURNS trigger AS $$ BEGIN "
                                            "RAISE EXCEPTION 'refus de la ligne par %', TG_NAME; END $$ "
                                            "LANGUAGE plpgsql")))
        return false;
    int n = 0;
    for (const Refusal& refusal : kRefusals) {
        const QString name = QStringLiteral("refuse_%1").arg(++n);
        if (!tables.isEmpty() && !tables.contains(QLatin1String(refusal.table)))
            continue;
        QString condition = QLatin1String(refusal.condition);
        // SQL Server undoes the whole transaction on an error raised in a trigger: there a row is
        // refused by a constraint, as on insert only (the conditions hold on what updates keep).
        if (tds && QLatin1String(refusal.event) != QLatin1String("INSERT"))
            continue;
        const QString sql = tds
            ? QStringLiteral("ALTER TABLE %2 ADD CONSTRAINT %1 CHECK (NOT (%3))")
                  .arg(name, QLatin1String(refusal.table),
                       condition.replace(QLatin1String("NEW."), QString()).replace(QLatin1String("length("), QLatin1String("LEN(")))
            : sqlite
            ? QStringLiteral("CREATE TRIGGER %1 BEFORE %2 ON %3 WHEN %4 BEGIN SELECT RAISE(ABORT, "
                             "'refus de la ligne par %1'); END")
                  .arg(name, QLatin1String(refusal.event), QLatin1String(refusal.table), QLatin1String(refusal.condition))
            : QStringLiteral("CREATE TRIGGER %1 BEFORE %2 ON %3 FOR EACH ROW WHEN (%4) EXECUTE FUNCTION refuse_row()")
                  .arg(name, QLatin1String(refusal.event), QLatin1String(refusal.table), QLatin1String(refusal.condition));
        if (!destination.exec(sql))
            return false;
    }
    return true;
}

QString sha256(const QByteArray& bytes)
{
    return QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
}

QStringList destinationState(const TestDestination& destination, const QString& programFolder,
                             const QString& baseFolder)
{
    QStringList state;
    for (const auto& [table, id] : kTables) {
        const QList<QVariantMap> rows = destination.rows(QStringLiteral("SELECT * FROM %1 ORDER BY %2").arg(table, id));
        state.append(QStringLiteral("table %1 %2 %3").arg(table).arg(rows.size()).arg(sha256(rowsText(rows).toUtf8())));
    }
    for (const QString& line :
         rowsText(destination.rows(QStringLiteral("SELECT * FROM ID_VALUES ORDER BY KEY_NAME"))).split(u'\n'))
        if (!line.isEmpty())
            state.append(QStringLiteral("id-values ") + line);
    state += linkPairs(destinationLinksTables(programFolder));
    state.append(lettersSummary(baseFolder + QStringLiteral("LETTERS")));
    return state;
}

} // namespace vf::test

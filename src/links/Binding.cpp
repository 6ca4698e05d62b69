#include "links/Binding.h"

#include "base/Conversions.h"
#include "base/Errors.h"
#include "base/Reporter.h"
#include "destination/DestinationConnection.h"
#include "links/LinkTable.h"
#include "source/SourceConnection.h"

#include <QCryptographicHash>
#include <QDate>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QMultiHash>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSet>

#include <algorithm>
#include <cstdlib>

namespace vf {
namespace {

const QString kIdentityFile = QStringLiteral("Destination.txt");
const QString kPatients = QStringLiteral("Patients.db");
constexpr int kSample = 200;
// Patients of a destination without link tables that are not the source's, from which it counts as
// another practice's base (fewer: patients entered by hand before the migration).
constexpr int kOtherPractice = 10;

bool isSqliteDriver(const QString& driver)
{
    return driver.contains(QStringLiteral("sqlite"), Qt::CaseInsensitive);
}

// A person as both sides name it: name and first name without accents, case or extra blanks,
// and the birth date when there is one.
struct Person {
    QString names;
    QDate birth;

    bool sameAs(const Person& other) const
    {
        // A day either way: a date-time read back through another time zone.
        return names == other.names
            && (!birth.isValid() || !other.birth.isValid() || std::abs(birth.daysTo(other.birth)) <= 1);
    }
};

QString normalisedName(const QString& text)
{
    QString plain;
    for (const QChar c : text.normalized(QString::NormalizationForm_D))
        if (!c.isMark())
            plain.append(c.isLetterOrNumber() ? c.toUpper() : QChar(u' '));
    return plain.simplified();
}

QDate dateOf(const QVariant& value)
{
    if (value.isNull())
        return {};
    if (value.metaType() == QMetaType::fromType<QDateTime>())
        return value.toDateTime().date();
    if (value.metaType() == QMetaType::fromType<QDate>())
        return value.toDate();
    const QString text = value.toString().trimmed();
    const QDate iso = QDate::fromString(text.left(10), Qt::ISODate);
    return iso.isValid() ? iso : QDate::fromString(text.left(10), QStringLiteral("dd/MM/yyyy"));
}

Person personOf(const QVariant& name, const QVariant& firstName, const QVariant& birth)
{
    return {normalisedName(name.toString() + u' ' + firstName.toString()), dateOf(birth)};
}

// The source's patients by their codes: one pass over [GLB PATIENT].
QHash<qint32, Person> sourcePatients(SourceConnection& source)
{
    QHash<qint32, Person> people;
    SourceQuery query(source, QStringLiteral("select * from [GLB PATIENT]"));
    query.open();
    for (; !query.eof(); query.next())
        people.insert(query.value(QStringLiteral("CODE PATIENT")).toInt(),
                      personOf(query.value(QStringLiteral("NOM")), query.value(QStringLiteral("PRENOM")),
                               query.value(QStringLiteral("DATE NAISSANCE"))));
    query.close();
    return people;
}

// Rows of PATIENTS by PATIENTS_ID: those named, or every row when `ids` is empty.
QHash<qint32, Person> destinationPatients(DestinationConnection& dest, const QList<qint32>& ids)
{
    QString sql = QStringLiteral("SELECT PATIENTS_ID, NOM, PRENOM, NE_LE FROM PATIENTS");
    if (!ids.isEmpty()) {
        QStringList list;
        for (const qint32 id : ids)
            list.append(QString::number(id));
        sql += QStringLiteral(" WHERE PATIENTS_ID IN (") + list.join(u',') + u')';
    }
    QHash<qint32, Person> people;
    DestQuery query(dest, sql);
    for (query.open(); !query.eof(); query.next())
        people.insert(query.value(0).toInt(), personOf(query.value(1), query.value(2), query.value(3)));
    query.close();
    return people;
}

// Up to `size` pairs spread evenly over the source codes.
QList<std::pair<qint32, qint32>> samplePairs(const QHash<qint32, qint32>& pairs, int size = kSample)
{
    QList<qint32> codes = pairs.keys();
    std::sort(codes.begin(), codes.end());
    QList<std::pair<qint32, qint32>> sample;
    const qsizetype count = std::min<qsizetype>(codes.size(), size);
    for (qsizetype i = 0; i < count; ++i) {
        const qint32 code = codes[i * codes.size() / count];
        sample.append({code, pairs.value(code)});
    }
    return sample;
}

// The identifiers among `ids` that a table holds: one statement.
QSet<qint32> rowsHeld(DestinationConnection& dest, const QString& table, const QString& idColumn, const QList<qint32>& ids)
{
    QSet<qint32> held;
    if (ids.isEmpty())
        return held;
    QStringList list;
    for (const qint32 id : ids)
        list.append(QString::number(id));
    DestQuery query(dest, QStringLiteral("SELECT %1 FROM %2 WHERE %1 IN (%3)").arg(idColumn, table, list.join(u',')));
    for (query.open(); !query.eof(); query.next())
        held.insert(query.value(0).toInt());
    query.close();
    return held;
}

// The paired patients of a sample set against the destination and the source.
struct Comparison {
    int sampled = 0;
    int gone = 0;    // the pair's row is no longer in PATIENTS
    int matched = 0; // the row is the source's patient of that code

    bool rowsGone() const { return gone * 10 > sampled; }
    bool samePractice() const { return matched * 2 >= sampled - gone; }
};

// pending: pairs whose rows a program that died may not have committed; those whose rows exist
// are compared as the pairs are, the others are left out.
Comparison compare(const QHash<qint32, qint32>& pairs, const QHash<qint32, Person>& people, DestinationConnection& dest,
                   const QHash<qint32, qint32>& pending = {})
{
    QHash<qint32, qint32> all = pending;
    all.insert(pairs);
    const QList<std::pair<qint32, qint32>> sample = samplePairs(all);
    if (sample.isEmpty())
        return {};
    QList<qint32> ids;
    for (const auto& pair : sample)
        ids.append(pair.second);
    const QHash<qint32, Person> rows = destinationPatients(dest, ids);
    Comparison comparison;
    for (const auto& [code, id] : sample) {
        const auto row = rows.constFind(id);
        const bool settled = pairs.contains(code);
        if (row == rows.constEnd() && !settled)
            continue;
        ++comparison.sampled;
        if (row == rows.constEnd())
            ++comparison.gone;
        else if (people.contains(code) && people.value(code).sameAs(*row))
            ++comparison.matched;
    }
    return comparison;
}

// The patients a destination holds already: how many are the source's (by name and birth date),
// and how many in all.
struct Held {
    int found = 0;
    int rows = 0;
};

// written: rows that this program's own pending pairs stand for, which do not count.
Held alreadyHeld(const QHash<qint32, Person>& people, DestinationConnection& dest, const QSet<qint32>& written)
{
    QMultiHash<QString, QDate> held;
    const QHash<qint32, Person> rows = destinationPatients(dest, {});
    for (auto row = rows.cbegin(); row != rows.cend(); ++row)
        if (!written.contains(row.key()))
            held.insert(row->names, row->birth);
    Held result{0, int(held.size())};
    for (const Person& person : people) {
        const QList<QDate> births = held.values(person.names);
        result.found += std::any_of(births.begin(), births.end(),
                                    [&](const QDate& birth) { return person.sameAs({person.names, birth}); });
    }
    return result;
}

QStringList linkFiles(const QString& folder)
{
    return QDir(folder).entryList({QStringLiteral("*.db")}, QDir::Files, QDir::Name);
}

// Moves the link tables kept directly in LinksTables (with their write-ahead logs) into folder.
QStringList adopt(const QString& linksRoot, const QString& folder)
{
    QStringList moved;
    const QDir root(linksRoot);
    for (const QString& file : linkFiles(linksRoot)) {
        for (const QString& suffix : {QStringLiteral("-wal"), QStringLiteral("-shm")})
            if (QFileInfo::exists(root.filePath(file + suffix)))
                QFile::rename(root.filePath(file + suffix), QDir(folder).filePath(file + suffix));
        if (!QFile::rename(root.filePath(file), QDir(folder).filePath(file)))
            throw Error(QStringLiteral("la table de liens %1 ne peut pas être déplacée dans %2")
                            .arg(QDir::toNativeSeparators(root.filePath(file)), QDir::toNativeSeparators(folder)));
        moved.append(file);
    }
    return moved;
}

void createFolder(const QString& folder, const DestinationIdentity& identity)
{
    if (!QDir().mkpath(folder))
        throw Error(QStringLiteral("le dossier %1 ne peut pas être créé").arg(QDir::toNativeSeparators(folder)));
    const QString path = QDir(folder).filePath(kIdentityFile);
    if (QFileInfo::exists(path))
        return;
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(identity.description().toUtf8()) < 0 || !file.commit())
        throw Error(QStringLiteral("le fichier %1 ne peut pas être écrit : %2")
                        .arg(QDir::toNativeSeparators(path), file.errorString()));
}

QString recreated(int gone, int sampled, const QString& folder, const QString& what = QString())
{
    const QString lost = what.isEmpty()
        ? QStringLiteral("les patients que cette migration y a importés (%1 sur %2 vérifiés sont absents)").arg(gone).arg(sampled)
        : QStringLiteral("les enregistrements que cette migration y a importés (%1 : %2 sur %3 vérifiés sont absents)")
              .arg(what)
              .arg(gone)
              .arg(sampled);
    return QStringLiteral("La base Talmérosin ne contient plus ") + lost
        + QStringLiteral(" : elle a été recréée ou restaurée d'une sauvegarde plus ancienne. Rien n'a "
                         "été écrit. Pour tout importer de nouveau dans cette base, cochez « Vider la base avant importation » "
                         "(--purge) ; pour l'importer comme une base neuve sans la vider, déplacez d'abord le dossier des "
                         "tables de liens %1 hors de LinksTables ; sinon, remettez la base qui a reçu la migration.")
              .arg(QDir::toNativeSeparators(folder));
}

QString unreadablePatients(const QString& reason, const QString& folder)
{
    return QStringLiteral(
               "La table des patients de la base V3 ne peut pas être lue (%1) : rien ne permet de vérifier que cette base "
               "V3 est celle du cabinet déjà importé dans cette base Talmérosin (tables de liens %2). Rien n'a été écrit. "
               "Réparez la base V3 de ce cabinet ou choisissez-la ; pour tout importer de nouveau, cochez « Vider la base "
               "avant importation » (--purge).")
        .arg(reason, QDir::toNativeSeparators(folder));
}

QString otherPractice(const Comparison& comparison)
{
    return QStringLiteral(
               "La base Access V3 n'est pas celle du cabinet déjà importé dans cette base Talmérosin : sur %1 "
               "patients déjà importés vérifiés, %2 seulement sont les mêmes personnes (nom, prénom, date de "
               "naissance). Réunir deux cabinets dans une même base n'est pas prévu. Rien n'a été écrit. "
               "Choisissez la base V3 de ce cabinet, ou une autre base Talmérosin pour l'autre cabinet.")
        .arg(comparison.sampled - comparison.gone)
        .arg(comparison.matched);
}

QString filledElsewhere(int others)
{
    return QStringLiteral(
               "La base Talmérosin contient déjà %1 patients qui ne sont pas ceux de la base V3, et ce dossier de "
               "programme n'a pas de tables de liens pour elle : elle a reçu un autre cabinet. Réunir deux cabinets "
               "dans une même base n'est pas prévu. Rien n'a été écrit. Choisissez une base Talmérosin vide pour ce "
               "cabinet, ou cochez « Vider la base avant importation » (--purge) pour remplacer son contenu.")
        .arg(others);
}

QString importedElsewhere(int found, int total)
{
    return QStringLiteral(
               "La base Talmérosin contient déjà %1 des %2 patients de la base V3 (nom, prénom, date de naissance), "
               "mais ce dossier de programme n'a pas de tables de liens pour elle : la migration a été faite depuis "
               "un autre dossier de programme, une autre machine, un autre compte, ou sous un autre nom de serveur "
               "ou de base. Rien n'a été écrit. Reprenez les tables de liens de cette migration-là (dossier "
               "LinksTables), ou cochez « Vider la base avant importation » (--purge) pour tout importer de nouveau.")
        .arg(found)
        .arg(total);
}

} // namespace

QString DestinationIdentity::key() const
{
    const QString text = driver + u'\n' + server + u'\n' + database + u'\n' + port;
    return QString::fromLatin1(QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Sha256).toHex().left(16));
}

QString DestinationIdentity::caseFoldedKey() const
{
    DestinationIdentity folded = *this;
    if (!isSqliteDriver(driver))
        folded.database = database.toLower();
    return folded.key();
}

QString DestinationIdentity::description() const
{
    return QStringLiteral("Tables de liens de la base Talmérosin :\npilote ODBC : %1\nserveur : %2\nbase : %3\nport : %4\n")
        .arg(driver, server, database, port);
}

DestinationIdentity destinationIdentity(const QString& driver, const QString& server, const QString& database,
                                        const QString& options)
{
    DestinationIdentity identity;
    identity.driver = driver.trimmed().toLower();
    const QRegularExpressionMatch port =
        QRegularExpression(QStringLiteral("(?:^|;)\\s*port\\s*=\\s*([^;]*)"), QRegularExpression::CaseInsensitiveOption)
            .match(options);
    identity.port = port.hasMatch() ? port.captured(1).trimmed() : QString();
    if (isSqliteDriver(identity.driver)) {
        const QFileInfo file(database.trimmed());
        identity.database = file.exists() ? file.canonicalFilePath() : QDir::cleanPath(file.absoluteFilePath());
    } else {
        identity.server = server.trimmed().toLower();
        identity.database = database.trimmed();
    }
    return identity;
}

QString destinationLinksFolder(const QString& linksRoot, const DestinationIdentity& identity)
{
    return QDir(linksRoot).filePath(identity.key());
}

namespace {

// The database that a folder's identity file names.
QString identifiedDatabase(const QString& folder)
{
    QFile file(QDir(folder).filePath(kIdentityFile));
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const QString prefix = QStringLiteral("base : ");
    for (const QString& line : QString::fromUtf8(file.readAll()).split(u'\n'))
        if (line.startsWith(prefix))
            return line.mid(prefix.size());
    return QString();
}

// Whether a folder's link tables hold a pair or a pending pair.
bool holdsPairs(const QString& folder)
{
    for (const QString& file : linkFiles(folder)) {
        const LinkTableContents contents = readLinkTable(folder, file);
        if (!contents.pairs.isEmpty() || !contents.pending.isEmpty())
            return true;
    }
    return false;
}

// Whether the link tables of a folder are this destination's: their patients are its rows.
bool sameDestination(const QString& folder, const QHash<qint32, Person>& people, DestinationConnection& dest)
{
    const QHash<qint32, qint32> pairs = readLinkTable(folder, kPatients).pairs;
    const Comparison comparison = compare(pairs, people, dest);
    return !pairs.isEmpty() && !comparison.rowsGone() && comparison.samePractice();
}

// The folder whose link tables this destination takes before its first run of this version:
// those kept directly in LinksTables, or the folder named without the database's case when its
// identity file names this database, case aside. Empty when there is none to take.
QString earlierFolder(const QString& linksRoot, const DestinationIdentity& identity, const QString& folder,
                      const QHash<qint32, Person>& people, DestinationConnection& dest)
{
    if (!linkFiles(folder).isEmpty())
        return QString();
    const QString folded = QDir(linksRoot).filePath(identity.caseFoldedKey());
    if (folded != folder && !linkFiles(folded).isEmpty()
        && identifiedDatabase(folded).compare(identity.database, Qt::CaseInsensitive) == 0
        && sameDestination(folded, people, dest))
        return folded;
    if (!linkFiles(linksRoot).isEmpty() && sameDestination(linksRoot, people, dest))
        return linksRoot;
    return QString();
}

// A sample of each other kind's pairs whose rows are gone in more than a tenth: the refusal.
QString kindsGone(const QString& folder, const QList<PairedRows>& paired, DestinationConnection& dest)
{
    for (const PairedRows& kind : paired) {
        if (kind.linkTable.compare(kPatients, Qt::CaseInsensitive) == 0 || !isPlainIdentifier(kind.table)
            || !isPlainIdentifier(kind.idColumn))
            continue;
        const QList<std::pair<qint32, qint32>> sample = samplePairs(readLinkTable(folder, kind.linkTable).pairs);
        QList<qint32> ids;
        for (const auto& pair : sample)
            ids.append(pair.second);
        QSet<qint32> held;
        try {
            held = rowsHeld(dest, kind.table, kind.idColumn, ids);
        } catch (const ConnectionLost&) {
            throw;
        } catch (const Error&) {
            continue; // a table the destination lacks: the phase reports it
        }
        int gone = 0;
        for (const qint32 id : ids)
            gone += held.contains(id) ? 0 : 1;
        if (gone * 10 > int(ids.size()))
            return recreated(gone, int(ids.size()), folder, kind.what);
    }
    return QString();
}

LinkTablesBinding bindChecked(const QString& linksRoot, const DestinationIdentity& identity, SourceConnection& source,
                              DestinationConnection& dest, bool purge, const QList<PairedRows>& paired,
                              Reporter* reporter)
{
    LinkTablesBinding binding{destinationLinksFolder(linksRoot, identity), QString()};
    if (purge)
        return binding;
    try {
        QHash<qint32, Person> people;
        QString unreadable;
        try {
            people = sourcePatients(source);
        } catch (const ConnectionLost&) {
            throw;
        } catch (const Error& error) {
            unreadable = error.message();
        }
        if (!unreadable.isEmpty()) {
            // No patient to compare: a first run goes on, and its patients phase reports the table.
            if (holdsPairs(binding.folder))
                binding.refusal = unreadablePatients(unreadable, binding.folder);
            return binding;
        }
        if (const QString earlier = earlierFolder(linksRoot, identity, binding.folder, people, dest); !earlier.isEmpty()) {
            if (!reporter) {
                binding.folder = earlier;
                return binding;
            }
            createFolder(binding.folder, identity);
            const QStringList moved = adopt(earlier, binding.folder);
            if (earlier != linksRoot) {
                QFile::remove(QDir(earlier).filePath(kIdentityFile));
                QDir().rmdir(earlier);
            }
            reporter->appendLine(QStringLiteral("Tables de liens d'une version précédente reprises pour cette base "
                                                "Talmérosin (%1 fichiers, dans %2)")
                                     .arg(moved.size())
                                     .arg(QDir::toNativeSeparators(binding.folder)));
            return binding;
        }
        const LinkTableContents own = readLinkTable(binding.folder, kPatients);
        if (!own.pairs.isEmpty() || !own.pending.isEmpty()) {
            const Comparison comparison = compare(own.pairs, people, dest, own.pending);
            if (comparison.rowsGone())
                binding.refusal = recreated(comparison.gone, comparison.sampled, binding.folder);
            else if (!comparison.samePractice())
                binding.refusal = otherPractice(comparison);
        }
        if (binding.refusal.isEmpty())
            binding.refusal = kindsGone(binding.folder, paired, dest);
        if (binding.refusal.isEmpty() && own.pairs.isEmpty() && !people.isEmpty()) {
            QSet<qint32> written;
            for (const qint32 id : own.pending)
                written.insert(id);
            const Held held = alreadyHeld(people, dest, written);
            const int others = held.rows - held.found;
            if (held.found * 2 >= people.size())
                binding.refusal = importedElsewhere(held.found, int(people.size()));
            else if (others >= kOtherPractice && others * 2 >= people.size())
                binding.refusal = filledElsewhere(others);
        }
    } catch (const ConnectionLost& lost) {
        throw Error(lost.message);
    }
    return binding;
}

// A link table of a newer program stops the run before its first phase writes, not at its own.
void refuseNewerFormats(LinkTablesBinding& binding)
{
    for (const QString& file : binding.refusal.isEmpty() ? linkFiles(binding.folder) : QStringList()) {
        try {
            readLinkTable(binding.folder, file);
        } catch (const NewerFormat& newer) {
            binding.refusal = QStringLiteral("Erreur lors de la création de la table temporaire ") + file
                            + QLatin1Char('\n') + newer.message();
            return;
        } catch (const Error&) {
            // A damaged file is reported by its phase.
        }
    }
}

} // namespace

LinkTablesBinding bindLinkTables(const QString& linksRoot, const DestinationIdentity& identity,
                                 SourceConnection& source, DestinationConnection& dest, bool purge,
                                 const QList<PairedRows>& paired, Reporter& reporter)
{
    LinkTablesBinding binding = bindChecked(linksRoot, identity, source, dest, purge, paired, &reporter);
    if (binding.refusal.isEmpty())
        createFolder(binding.folder, identity);
    refuseNewerFormats(binding);
    return binding;
}

LinkTablesBinding checkLinkTables(const QString& linksRoot, const DestinationIdentity& identity,
                                  SourceConnection& source, DestinationConnection& dest,
                                  const QList<PairedRows>& paired)
{
    return bindChecked(linksRoot, identity, source, dest, false, paired, nullptr);
}

} // namespace vf

// A generated practice of 200 patients imported by the batch run into a fresh destination and
// compared record by record with its source, read straight from the Access file; then a second
// run that must add nothing.
#include "ProgramFolder.h"
#include "SourceFile.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest/QtTest>

#include <algorithm>
#include <tuple>

using namespace vf::test;

namespace {

constexpr int kPatients = 200;

// ---- The value rules, written from their descriptions ------------------------------------

bool isBlank(const QString& text)
{
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() <= 32; });
}

bool isDigit(QChar c)
{
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

// Digit pairs: a blank goes in before any character met when 2, 5, 8 or 11 characters are out.
QString phoneNumber(const QVariant& value)
{
    const QString input = value.toString();
    if (isBlank(input))
        return QString();
    QString out;
    for (QChar c : input) {
        if (out.size() == 2 || out.size() == 5 || out.size() == 8 || out.size() == 11)
            out += QLatin1Char(' ');
        if (isDigit(c))
            out += c;
    }
    return out;
}

// The digits, with one blank after the thirteenth when more follow.
QString socialSecurityNumber(const QVariant& value)
{
    QString digits;
    for (QChar c : value.toString())
        if (isDigit(c))
            digits += c;
    return digits.size() > 13 ? digits.left(13) + QLatin1Char(' ') + digits.mid(13) : digits;
}

QDateTime zeroDate()
{
    return QDateTime(QDate(1899, 12, 30), QTime(0, 0), Qt::UTC);
}

// A source date as stored in DATE_CONSULTATION: to the minute; a null date is the zero date.
QDateTime toMinute(const QVariant& value)
{
    if (value.isNull())
        return zeroDate();
    const QDateTime t = value.toDateTime();
    return QDateTime(t.date(), QTime(t.time().hour(), t.time().minute()), Qt::UTC);
}

// A source date quoted in a message: dd/mm/yyyy, then the time of day unless it is midnight.
QString dateText(const QVariant& value)
{
    if (value.isNull())
        return QString();
    const QDateTime t = value.toDateTime();
    QString text = t.toString(QStringLiteral("dd/MM/yyyy"));
    if (t.time() != QTime(0, 0))
        text += QLatin1Char(' ') + t.toString(QStringLiteral("HH:mm:ss"));
    return text;
}

// The text of detail rows: every line of each row's DONNEES (breaks CR LF, CR or LF; no empty
// last line after a final break), indented by two blanks per level, ended by CR LF.
QString detailText(const QList<QVariantMap>& details)
{
    QString text;
    for (const QVariantMap& detail : details) {
        const int level = std::max(0, detail.value(QStringLiteral("NIVEAU")).toInt());
        QString donnees = detail.value(QStringLiteral("DONNEES")).toString();
        donnees.replace(QStringLiteral("\r\n"), QStringLiteral("\n")).replace(QLatin1Char('\r'), QLatin1Char('\n'));
        if (donnees.endsWith(QLatin1Char('\n')))
            donnees.chop(1);
        if (donnees.isEmpty())
            continue;
        for (const QString& line : donnees.split(QLatin1Char('\n')))
            text += QString(2 * level, QLatin1Char(' ')) + line + QStringLiteral("\r\n");
    }
    return text;
}

// ---- Reading the source ----------------------------------------------------------------------

QString text(const QVariantMap& row, const char* column)
{
    return row.value(QString::fromLatin1(column)).toString();
}

int number(const QVariantMap& row, const char* column)
{
    return row.value(QString::fromLatin1(column)).toInt();
}

// Rows ordered by an integer code.
QList<QVariantMap> byCode(QList<QVariantMap> rows, const char* code)
{
    std::stable_sort(rows.begin(), rows.end(),
                     [code](const QVariantMap& a, const QVariantMap& b) { return number(a, code) < number(b, code); });
    return rows;
}

// Rows ordered by patient, then date (a null date first), then code.
QList<QVariantMap> byPatientAndDate(QList<QVariantMap> rows, const char* patient, const char* date,
                                    const char* code)
{
    const auto key = [&](const QVariantMap& row) {
        const QVariant when = row.value(QString::fromLatin1(date));
        return std::tuple(number(row, patient), !when.isNull(),
                          when.isNull() ? 0 : when.toDateTime().toMSecsSinceEpoch(), number(row, code));
    };
    std::stable_sort(rows.begin(), rows.end(),
                     [&](const QVariantMap& a, const QVariantMap& b) { return key(a) < key(b); });
    return rows;
}

// Detail rows grouped by CodeTitre, each group in CodeLigne order.
QMap<int, QList<QVariantMap>> detailsByTitle(const QList<QVariantMap>& rows)
{
    QMap<int, QList<QVariantMap>> groups;
    for (const QVariantMap& row : byCode(rows, "CODELIGNE"))
        groups[number(row, "CODETITRE")].append(row);
    return groups;
}

// ---- The expected destination ------------------------------------------------------------------

struct Consultation {
    int id = 0;
    int patient = 0;
    QDateTime date;
    int doctor = 0;
    QString motif;
    QVariant auTotal; // null until a synthesis sheet writes it
};

struct Prescription {
    int id = 0;
    int patient = 0;
    QDateTime date;
    QString text;
    int consultation = 0;
};

struct LetterFile {
    QString destination; // relative to the destination's LETTERS folder
    QString source;
};

struct Expectation {
    QMap<QString, QList<QVariantMap>> tables; // by table, rows in identifier order
    QList<QStringList> autres;                // ANTECED in identifier order: the texts it may hold
    QList<int> antecedPatients;
    QSet<QString> refusals;                   // lines naming the records that are not imported
    QList<LetterFile> files;
    QMap<QString, int> idValues;
};

QVariantMap row(std::initializer_list<std::pair<const char*, QVariant>> values)
{
    QVariantMap map;
    for (const auto& [column, value] : values)
        map.insert(QString::fromLatin1(column), value);
    return map;
}

QString patientMissing(int code)
{
    return QStringLiteral("Impossible de retrouver le dossier n°") + QString::number(code);
}

// Every text that one patient's AUTRES may hold: its items joined by CR, in date order; an item
// read with two comment rows keeps either comment (the first one the join gives).
QStringList joinedChoices(const QList<QStringList>& items)
{
    QStringList texts{QString()};
    for (int i = 0; i < items.size(); ++i) {
        QStringList next;
        for (const QString& prefix : texts)
            for (const QString& item : items[i])
                next.append(i == 0 ? item : prefix + QLatin1Char('\r') + item);
        texts = next;
    }
    return texts;
}

QString findLetterFile(const QString& folder, const QString& name)
{
    const QStringList found = QDir(folder).entryList(QDir::Files);
    for (const QString& file : found)
        if (file.compare(name, Qt::CaseInsensitive) == 0)
            return QDir(folder).filePath(file);
    return QString();
}

Expectation expectedMigration(const QString& practiceFolder, const QString& lettersArgument)
{
    const QString mdb = practiceFolder + QStringLiteral("/V3.mdb");
    const auto source = [&](const char* table) { return readSourceTable(mdb, QString::fromLatin1(table)); };
    Expectation e;

    // Users: MEDECINS 1, 2, ... in doctor code order.
    QMap<int, int> doctorIds;
    for (const QVariantMap& d : byCode(source("GLB MEDECIN"), "CODE MEDECIN")) {
        const int id = int(doctorIds.size()) + 1;
        doctorIds.insert(number(d, "CODE MEDECIN"), id);
        e.tables[QStringLiteral("MEDECINS")].append(
            row({{"MEDECINS_ID", id}, {"SYSTEM_FLAGS", QStringLiteral("*US PA RE CO DO CP TA CM SR AN")},
                 {"MEDECINS_COMPTABLE_ID", id}, {"N_MODELE", 1}, {"NOM", text(d, "NOM")},
                 {"PRENOM", text(d, "PRENOM")}, {"VILLE", text(d, "VILLE")}, {"ADRESSE", text(d, "ADRESSE")},
                 {"CP", text(d, "CODE POSTAL")}, {"TELEPHONE", phoneNumber(d.value("TELEPHONE"))}}));
    }
    const auto doctorId = [&](const QVariant& code) { return code.isNull() ? 1 : doctorIds.value(code.toInt(), 1); };

    // Correspondents, with their speciality when the function code is above 0.
    QMap<int, QString> functions;
    for (const QVariantMap& f : source("REF FONCTION"))
        functions.insert(number(f, "CODE FONCTION"), text(f, "LIBELLE"));
    QMap<int, int> correspondentIds;
    for (const QVariantMap& c : byCode(source("ADR CARNET ADRESSE"), "CODE CARNET ADRESSE")) {
        const int id = int(correspondentIds.size()) + 1;
        correspondentIds.insert(number(c, "CODE CARNET ADRESSE"), id);
        const QVariant function = c.value(QStringLiteral("CODE FONCTION"));
        const QVariant speciality = !function.isNull() && function.toInt() > 0
                                        ? QVariant(functions.value(function.toInt()))
                                        : QVariant();
        e.tables[QStringLiteral("MEDTRAIT")].append(
            row({{"MEDTRAIT_ID", id}, {"NOM", text(c, "NOM")}, {"PRENOM", text(c, "PRENOM")},
                 {"VILLE", text(c, "VILLE")}, {"ADRESSE", text(c, "RUE")}, {"CP", text(c, "CODE POSTAL")},
                 {"TEL", phoneNumber(c.value("TELEPHONE PERSONNEL"))},
                 {"TELBUREAU", phoneNumber(c.value("TELEPHONE PROFESSIONNEL"))},
                 {"FAX", phoneNumber(c.value("FAX"))}, {"COMMENTAIRE", text(c, "DIVERS")},
                 {"SPECIALISATION", speciality}}));
    }

    // Patients and their links to correspondents (one row per pair; a missing code named once).
    QMap<int, int> patientIds;
    QSet<std::pair<int, int>> linked;
    for (const QVariantMap& p : byCode(source("GLB PATIENT"), "CODE PATIENT")) {
        const int id = int(patientIds.size()) + 1;
        patientIds.insert(number(p, "CODE PATIENT"), id);
        const QVariant birth = p.value(QStringLiteral("DATE NAISSANCE"));
        const QString maidenName = text(p, "NOM DE NAISSANCE");
        e.tables[QStringLiteral("PATIENTS")].append(
            row({{"PATIENTS_ID", id}, {"NOM", text(p, "NOM")}, {"PRENOM", text(p, "PRENOM")},
                 {"NE_LE", !birth.isNull() && birth.toDateTime() > zeroDate() ? birth : QVariant()},
                 {"MEDECINS_ID", doctorId(p.value("CODE MEDECIN PROPRIETAIRE"))},
                 {"SEXE", number(p, "CODE TYPE SEXE") == 2 ? 1 : 0},
                 {"NOM_DE_JEUNE_FILLE", maidenName.isEmpty() ? QVariant() : QVariant(maidenName)},
                 {"ADRESSE", p.value(QStringLiteral("ADRESSE"))}, {"CP", text(p, "CODE POSTAL")},
                 {"VILLE", text(p, "VILLE")}, {"TELEPHONE", phoneNumber(p.value("TEL DOMICILE"))},
                 {"TELEPHONE_BUREAU", phoneNumber(p.value("TEL BUREAU"))}, {"FAX", phoneNumber(p.value("FAX"))},
                 {"N_SS", socialSecurityNumber(p.value("NUMERO SECURITE SOCIAL"))}}));
        for (int k = 1; k <= 6; ++k) {
            const QString code = p.value(QStringLiteral("CODE CORRESPONDANT %1").arg(k)).toString().trimmed();
            if (code.isEmpty() || code == QStringLiteral("-1"))
                continue;
            if (!correspondentIds.contains(code.toInt())) {
                e.refusals.insert(QStringLiteral("Le médecin traitant [") + code
                                  + QStringLiteral("] n'existe pas dans la table des médecins correspondants. "
                                                   "Le lien Patient <--> correspondant ne sera pas créé."));
                continue;
            }
            const std::pair link(id, correspondentIds.value(code.toInt()));
            if (linked.contains(link))
                continue;
            linked.insert(link);
            e.tables[QStringLiteral("PATMEDTR")].append(
                row({{"PATMEDTR_ID", int(linked.size())}, {"PATIENTS_ID", link.first}, {"MEDTRAIT_ID", link.second}}));
        }
    }

    // Medical history: items whose kind and comment exist (inner joins), "comment : label", one
    // ANTECED row per patient.
    QMap<int, QVariant> kinds;
    for (const QVariantMap& k : source("ANT ANTECEDENT"))
        kinds.insert(number(k, "CODE ANTECEDENT"), k.value(QStringLiteral("LIBELLE")));
    QMap<int, QStringList> comments;
    for (const QVariantMap& c : source("ANT COMMENTAIRE ANTECEDENT PATIENT"))
        comments[number(c, "CODE ANTECEDENT PATIENT")].append(text(c, "DONNEES"));
    QList<QList<QStringList>> historyItems;
    for (const QVariantMap& item :
         byPatientAndDate(source("ANT ANTECEDENT PATIENT"), "CODE PATIENT", "DATE", "CODE ANTECEDENT PATIENT")) {
        const int code = number(item, "CODE ANTECEDENT PATIENT");
        const int kind = number(item, "CODE ANTECEDENT");
        if (!kinds.contains(kind) || !comments.contains(code))
            continue;
        const int patient = number(item, "CODE PATIENT");
        if (!patientIds.contains(patient)) {
            e.refusals.insert(patientMissing(patient) + QStringLiteral(". Les antécédents de ce dossier ne seront pas importés."));
            continue;
        }
        QStringList choices;
        for (const QString& comment : comments.value(code))
            choices.append(comment + QStringLiteral(" : ") + kinds.value(kind).toString());
        if (e.antecedPatients.isEmpty() || e.antecedPatients.last() != patientIds.value(patient)) {
            e.antecedPatients.append(patientIds.value(patient));
            historyItems.append(QList<QStringList>());
        }
        historyItems.last().append(choices);
    }
    for (const QList<QStringList>& items : historyItems)
        e.autres.append(joinedChoices(items));

    // Consultations: header text followed by its detail lines.
    QList<Consultation> consultations;
    const auto findConsultation = [&](int patient, const QDateTime& minute) {
        for (int i = 0; i < consultations.size(); ++i)
            if (consultations[i].patient == patient && consultations[i].date == minute)
                return i;
        return -1;
    };
    const auto consultationDetails = detailsByTitle(source("CON SOUS CONSULTATION"));
    for (const QVariantMap& h : byPatientAndDate(source("CON CONSULTATION"), "CODE PATIENT", "DATE", "CODETITRE")) {
        const int patient = number(h, "CODE PATIENT");
        if (!patientIds.contains(patient)) {
            e.refusals.insert(patientMissing(patient) + QStringLiteral(". La consultation du ") + dateText(h.value("DATE"))
                              + QStringLiteral(" ne sera pas importée."));
            continue;
        }
        consultations.append({int(consultations.size()) + 1, patientIds.value(patient), toMinute(h.value("DATE")),
                              doctorId(h.value("CODE MEDECIN")),
                              text(h, "DONNEES") + detailText(consultationDetails.value(number(h, "CODETITRE"))),
                              QVariant()});
    }

    // Prescriptions: one row per patient and minute, attached to the consultation of that minute
    // (made from the header when there is none).
    QList<Prescription> prescriptions;
    const auto prescriptionDetails = detailsByTitle(source("ORD SOUS ORDONNANCE"));
    for (const QVariantMap& h : byPatientAndDate(source("ORD ORDONNANCE"), "CODE PATIENT", "DATE", "CODETITRE")) {
        const int patient = number(h, "CODE PATIENT");
        if (!patientIds.contains(patient)) {
            e.refusals.insert(patientMissing(patient) + QStringLiteral(". L'ordonnance du ") + dateText(h.value("DATE"))
                              + QStringLiteral(" ne sera pas importée."));
            continue;
        }
        const QDateTime minute = toMinute(h.value("DATE"));
        int c = findConsultation(patientIds.value(patient), minute);
        if (c < 0) {
            consultations.append({int(consultations.size()) + 1, patientIds.value(patient), minute,
                                  doctorId(h.value("CODE MEDECIN")), text(h, "DONNEES"), QVariant()});
            c = int(consultations.size()) - 1;
        }
        const QString lines = detailText(prescriptionDetails.value(number(h, "CODETITRE")));
        auto found = std::find_if(prescriptions.begin(), prescriptions.end(), [&](const Prescription& p) {
            return p.patient == consultations[c].patient && p.date == consultations[c].date;
        });
        if (found != prescriptions.end())
            found->text += lines;
        else
            prescriptions.append({int(prescriptions.size()) + 1, consultations[c].patient, consultations[c].date, lines,
                                  consultations[c].id});
    }

    // Synthesis sheets: their lines appended to AU_TOTAL of the consultation of that minute
    // (made from the header, with an empty AU_TOTAL, when there is none).
    const auto sheetLines = detailsByTitle(source("SYN SOUS FICHE SYNTHESE"));
    for (const QVariantMap& h : byPatientAndDate(source("SYN FICHE SYNTHESE"), "CODE PATIENT", "DATE", "CODETITRE")) {
        const int patient = number(h, "CODE PATIENT");
        if (!patientIds.contains(patient)) {
            e.refusals.insert(patientMissing(patient) + QStringLiteral(". La fiche de synthèse du ")
                              + dateText(h.value("DATE")) + QStringLiteral(" ne sera pas importée."));
            continue;
        }
        const QDateTime minute = toMinute(h.value("DATE"));
        int c = findConsultation(patientIds.value(patient), minute);
        if (c < 0) {
            consultations.append({int(consultations.size()) + 1, patientIds.value(patient), minute,
                                  doctorId(h.value("CODE MEDECIN")), text(h, "DONNEES"), QString()});
            c = int(consultations.size()) - 1;
        }
        QString auTotal = consultations[c].auTotal.toString();
        if (isBlank(auTotal))
            auTotal.clear();
        for (const QVariantMap& line : sheetLines.value(number(h, "CODETITRE"))) {
            const QString lineText = detailText({line});
            auTotal = isBlank(auTotal) ? lineText : auTotal + lineText;
        }
        for (Consultation& same : consultations)
            if (same.patient == consultations[c].patient && same.date == minute)
                same.auTotal = auTotal;
    }
    for (const Consultation& c : consultations)
        e.tables[QStringLiteral("MOTCONSU")].append(
            row({{"MOTCONSU_ID", c.id}, {"PATIENTS_ID", c.patient}, {"DATE_CONSULTATION", c.date},
                 {"MEDECINS_ID", c.doctor}, {"MOTIF_DE_CONSULTATION", c.motif}, {"AU_TOTAL", c.auTotal}}));
    for (const Prescription& p : prescriptions)
        e.tables[QStringLiteral("ORDONNANCES")].append(
            row({{"ORDONNANCES_ID", p.id}, {"PATIENTS_ID", p.patient}, {"DATE_CONSULTATION", p.date},
                 {"PRESCRIPTION", p.text}, {"MOTCONSU_ID", p.consultation}}));

    // Letters: the documents found in the letters folder, whatever the case of their names.
    const QString lettersFolder = practiceFolder + QStringLiteral("/COURRIER");
    for (const QVariantMap& l : byCode(source("COU COURRIER GENERE"), "CODE COURRIER GENERE")) {
        const int patient = number(l, "CODE PATIENT");
        const QString quoted = QStringLiteral(". Le courrier [") + text(l, "LIBELLE") + QStringLiteral("] du ")
                             + dateText(l.value("DATE"));
        if (!patientIds.contains(patient)) {
            e.refusals.insert(patientMissing(patient) + quoted + QStringLiteral(" du dossier n°") + QString::number(patient)
                              + QStringLiteral(" ne sera pas importé."));
            continue;
        }
        const QString file = findLetterFile(lettersFolder, text(l, "NOM FICHIER") + QStringLiteral(".RTF"));
        if (file.isEmpty()) {
            e.refusals.insert(QStringLiteral("Impossible de retrouver le courier [") + lettersArgument + text(l, "NOM FICHIER")
                              + QStringLiteral(".RTF] du dossier n°") + QString::number(patient) + quoted
                              + QStringLiteral(" ne sera pas importé."));
            continue;
        }
        const int id = int(e.files.size()) + 1;
        const QString name = QStringLiteral("LET%1.HED").arg(id);
        e.tables[QStringLiteral("LETTERS")].append(
            row({{"LETTERS_ID", id}, {"PATIENTS_ID", patientIds.value(patient)},
                 {"DATE_CONSULTATION", toMinute(l.value("DATE"))}, {"DESCRIPTION", text(l, "LIBELLE")},
                 {"FILENAME", name}}));
        e.files.append({QStringLiteral("%1/").arg(patientIds.value(patient)) + name, file});
    }

    e.idValues = {{QStringLiteral("MEDECINS"), int(doctorIds.size())},
                  {QStringLiteral("MEDTRAIT"), int(correspondentIds.size())},
                  {QStringLiteral("PATIENTS"), int(patientIds.size())},
                  {QStringLiteral("PATMEDTR"), int(linked.size())},
                  {QStringLiteral("ANTECED"), int(e.autres.size())},
                  {QStringLiteral("MOTCONSU"), int(consultations.size())},
                  {QStringLiteral("ORDONNANCES"), int(prescriptions.size())},
                  {QStringLiteral("LETTERS"), int(e.files.size())}};
    return e;
}

// ---- Comparing ----------------------------------------------------------------------------------

QString shown(const QVariant& value)
{
    if (value.isNull())
        return QStringLiteral("NULL");
    QString text = value.metaType() == QMetaType::fromType<QDateTime>()
                       ? value.toDateTime().toString(Qt::ISODateWithMs)
                       : value.toString();
    return u'"' + text.replace(QLatin1Char('\r'), QStringLiteral("\\r")).replace(QLatin1Char('\n'), QStringLiteral("\\n")) + u'"';
}

bool sameValue(const QVariant& actual, const QVariant& expected)
{
    if (expected.isNull() || actual.isNull())
        return expected.isNull() == actual.isNull();
    if (expected.metaType() == QMetaType::fromType<int>())
        return actual.toLongLong() == expected.toInt();
    if (expected.metaType() == QMetaType::fromType<QDateTime>())
        return actual.toDateTime() == expected.toDateTime();
    return actual.toString() == expected.toString();
}

// The differences between a destination table and its expected rows (at most a few, named).
QStringList differences(const QString& table, const QList<QVariantMap>& actual, const QList<QVariantMap>& expected)
{
    QStringList found;
    if (actual.size() != expected.size())
        found.append(QStringLiteral("%1: %2 rows, expected %3").arg(table).arg(actual.size()).arg(expected.size()));
    for (int i = 0; i < std::min(actual.size(), expected.size()) && found.size() < 10; ++i)
        for (auto it = expected[i].begin(); it != expected[i].end(); ++it)
            if (!sameValue(actual[i].value(it.key()), it.value()))
                found.append(QStringLiteral("%1 row %2, %3: %4, expected %5")
                                 .arg(table).arg(i + 1).arg(it.key(), shown(actual[i].value(it.key())), shown(it.value())));
    return found;
}

const QStringList kTables = {QStringLiteral("MEDECINS"), QStringLiteral("MEDTRAIT"), QStringLiteral("PATIENTS"),
                             QStringLiteral("PATMEDTR"), QStringLiteral("ANTECED"), QStringLiteral("MOTCONSU"),
                             QStringLiteral("ORDONNANCES"), QStringLiteral("LETTERS"), QStringLiteral("ID_VALUES")};

QList<QVariantMap> tableRows(const TestDestination& dest, const QString& table)
{
    const QString order = table == QStringLiteral("ID_VALUES") ? QStringLiteral("KEY_NAME") : table + QStringLiteral("_ID");
    return dest.rows(QStringLiteral("SELECT * FROM %1 ORDER BY %2").arg(table, order));
}

QStringList filesUnder(const QString& folder)
{
    QStringList files;
    QDirIterator it(folder, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(QDir(folder).relativeFilePath(it.next()));
    files.sort();
    return files;
}

// The lines of a run's report that name a record left out or a failure.
QSet<QString> refusalLines(const QStringList& lines)
{
    QSet<QString> found;
    for (const QString& line : lines)
        if (line.startsWith(QStringLiteral("Impossible")) || line.startsWith(QStringLiteral("Erreur"))
            || line.startsWith(QStringLiteral("Le médecin traitant")))
            found.insert(line);
    return found;
}

} // namespace

class AcceptanceTest : public QObject {
    Q_OBJECT

private slots:
    void generatedPracticeArrivesRecordByRecord_data() { addBackendColumn(); }
    void generatedPracticeArrivesRecordByRecord();
};

void AcceptanceTest::generatedPracticeArrivesRecordByRecord()
{
    QFETCH(Backend, backend);
    VF_TEST_DESTINATION(dest, backend);
    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QString practice = root.filePath(QStringLiteral("practice"));
    QString errors;
    QVERIFY2(makePractice(practice, kPatients, &errors), qPrintable(errors));
    const QString base = practice + QStringLiteral("/Base/");
    dest.writeKestrune(base);
    ProgramFolder program(root.filePath(QStringLiteral("program")));
    QVERIFY(program.isReady());
    program.writeDestination(dest);

    const QString letters = practice + QStringLiteral("/COURRIER/");
    const QStringList arguments = {QStringLiteral("--batch"), QStringLiteral("--source"), practice + QStringLiteral("/V3.mdb"),
                                   QStringLiteral("--letters"), letters, QStringLiteral("--dest"), base};
    const ProgramFolder::Result first = program.run(arguments);
    QVERIFY2(first.exitCode == 0, qPrintable(first.err + first.out.right(2000)));
    QVERIFY(first.outLines().contains(QStringLiteral("Traitement terminé.")));

    const Expectation expected = expectedMigration(practice, letters);
    // The sample practice holds what the comparison is meant to exercise.
    QCOMPARE(expected.tables.value(QStringLiteral("PATIENTS")).size(), kPatients);
    for (auto it = expected.tables.begin(); it != expected.tables.end(); ++it)
        QVERIFY2(it.value().size() >= 4, qPrintable(it.key()));
    QVERIFY(expected.autres.size() > kPatients / 2);
    QVERIFY(expected.refusals.size() >= 7);

    // Every record that should arrive is there with its mapped values.
    QStringList wrong;
    for (auto it = expected.tables.begin(); it != expected.tables.end(); ++it)
        wrong += differences(it.key(), tableRows(dest, it.key()), it.value());
    const QList<QVariantMap> anteced = tableRows(dest, QStringLiteral("ANTECED"));
    if (anteced.size() != expected.autres.size())
        wrong.append(QStringLiteral("ANTECED: %1 rows, expected %2").arg(anteced.size()).arg(expected.autres.size()));
    for (int i = 0; i < std::min(anteced.size(), expected.autres.size()); ++i) {
        if (anteced[i].value("ANTECED_ID").toInt() != i + 1
            || anteced[i].value("PATIENTS_ID").toInt() != expected.antecedPatients[i]
            || !expected.autres[i].contains(anteced[i].value("AUTRES").toString()))
            wrong.append(QStringLiteral("ANTECED row %1: patient %2 %3, expected patient %4 %5")
                             .arg(i + 1).arg(anteced[i].value("PATIENTS_ID").toInt())
                             .arg(shown(anteced[i].value("AUTRES"))).arg(expected.antecedPatients[i])
                             .arg(shown(expected.autres[i].first())));
    }
    QMap<QString, int> idValues;
    for (const QVariantMap& r : tableRows(dest, QStringLiteral("ID_VALUES")))
        idValues.insert(r.value("KEY_NAME").toString(), r.value("LAST_VALUE").toInt());
    for (auto it = expected.idValues.begin(); it != expected.idValues.end(); ++it)
        if (idValues.value(it.key(), -1) != it.value())
            wrong.append(QStringLiteral("ID_VALUES %1: %2, expected %3").arg(it.key()).arg(idValues.value(it.key(), -1)).arg(it.value()));
    QVERIFY2(wrong.isEmpty(), qPrintable(wrong.mid(0, 20).join(QLatin1Char('\n'))));

    // The documents are copied byte for byte, and nothing else is written beside them.
    const QString lettersOut = base + QStringLiteral("LETTERS/");
    QStringList expectedFiles;
    for (const LetterFile& file : expected.files) {
        expectedFiles.append(file.destination);
        QVERIFY2(readFile(lettersOut + file.destination) == readFile(file.source), qPrintable(file.destination));
    }
    expectedFiles.sort();
    QCOMPARE(filesUnder(lettersOut), expectedFiles);

    // Every record that should be refused is named, and nothing else failed.
    const QSet<QString> reported = refusalLines(first.outLines());
    for (const QString& line : reported)
        if (line.startsWith(QStringLiteral("Le médecin traitant")))
            QVERIFY2(first.outLines().count(line) == 1, qPrintable(line)); // once per missing code
    const QStringList missing = QSet<QString>(expected.refusals).subtract(reported).values();
    QVERIFY2(missing.isEmpty(), qPrintable(QStringLiteral("not named: ") + missing.mid(0, 5).join(QLatin1Char('\n'))));
    const QStringList unexpected = QSet<QString>(reported).subtract(expected.refusals).values();
    QVERIFY2(unexpected.isEmpty(), qPrintable(QStringLiteral("unexpected: ") + unexpected.mid(0, 5).join(QLatin1Char('\n'))));

    // A second run adds no row, changes no stored text and copies no document again, but the
    // one whose copy was changed in the destination.
    QMap<QString, QList<QVariantMap>> before;
    for (const QString& table : kTables)
        before.insert(table, tableRows(dest, table));
    QVERIFY(!expected.files.isEmpty());
    const QDateTime longAgo = QDateTime::currentDateTimeUtc().addDays(-1);
    for (const LetterFile& file : expected.files) {
        QFile copy(lettersOut + file.destination);
        QVERIFY(copy.open(QIODevice::ReadWrite) && copy.setFileTime(longAgo, QFileDevice::FileModificationTime));
    }
    writeFile(lettersOut + expected.files.first().destination, "changed in the destination");
    const ProgramFolder::Result second = program.run(arguments);
    QVERIFY2(second.exitCode == 0, qPrintable(second.err + second.out.right(2000)));
    QVERIFY(second.outLines().contains(QStringLiteral("Traitement terminé.")));
    QCOMPARE(second.outLines().filter(QStringLiteral("a été copié de nouveau")).size(), 1);
    for (const QString& table : kTables)
        QVERIFY2(tableRows(dest, table) == before.value(table), qPrintable(table + QStringLiteral(" changed")));
    QCOMPARE(filesUnder(lettersOut), expectedFiles);
    QCOMPARE(readFile(lettersOut + expected.files.first().destination), readFile(expected.files.first().source));
    for (const LetterFile& file : expected.files.mid(1))
        QCOMPARE(QFileInfo(lettersOut + file.destination).lastModified().toSecsSinceEpoch(), longAgo.toSecsSinceEpoch());
    // Patients already imported are skipped with their correspondent columns: only the records
    // still refused are named again.
    QSet<QString> stillRefused = reported;
    for (const QString& line : reported)
        if (line.startsWith(QStringLiteral("Le médecin traitant")))
            stillRefused.remove(line);
    QCOMPARE(refusalLines(second.outLines()), stillRefused);

    // A run with the purge empties the destination and its link tables and imports the same
    // practice again: the same rows under the same identifiers, the documents copied again.
    const ProgramFolder::Result purged = program.run(arguments + QStringList{QStringLiteral("--purge")});
    QVERIFY2(purged.exitCode == 0, qPrintable(purged.err + purged.out.right(2000)));
    // ID_VALUES also holds 0 for every other table that the purge emptied.
    for (const QString& table : kTables) {
        QList<QVariantMap> after = tableRows(dest, table);
        if (table == QStringLiteral("ID_VALUES"))
            after.removeIf([&](const QVariantMap& r) {
                return r.value("LAST_VALUE").toInt() == 0 && !before.value(table).contains(r);
            });
        QVERIFY2(after == before.value(table), qPrintable(table + QStringLiteral(" differs after the purge")));
    }
    for (const LetterFile& file : expected.files)
        QVERIFY2(readFile(lettersOut + file.destination) == readFile(file.source), qPrintable(file.destination));
    QCOMPARE(refusalLines(purged.outLines()), reported);
}

QTEST_GUILESS_MAIN(AcceptanceTest)
#include "tst_acceptance.moc"

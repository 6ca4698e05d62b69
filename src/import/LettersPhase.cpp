#include "import/PhaseText.h"
#include "import/Phases.h"
#include "import/RunContext.h"

#include "db/Conversions.h"
#include "db/DestinationConnection.h"
#include "db/Errors.h"
#include "db/FileAccess.h"
#include "db/IdValues.h"
#include "db/Reporter.h"
#include "db/SourceConnection.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QRegularExpression>

namespace vf {

namespace {

const QString kSourceText =
    QStringLiteral("select * from [COU COURRIER GENERE]\r\norder by [CODE COURRIER GENERE]");

const QString kInsertText = QStringLiteral(
    "INSERT INTO LETTERS \r\n"
    "  (LETTERS_ID, \r\n"
    "   PATIENTS_ID, \r\n"
    "   DATE_CONSULTATION, \r\n"
    "   Description, \r\n"
    "   FileName)\r\n"
    "Values \r\n"
    "   (:LETTERS_ID, \r\n"
    "    :PATIENTS_ID, \r\n"
    "    :DATE_CONSULTATION, \r\n"
    "    :Description, \r\n"
    "    :FileName)");

const int kDescriptionSize = 80;
const int kFileNameSize = 12;

const QString kErrorPrefix = QStringLiteral("Erreur : ");

// Finds and opens the letter documents in the letters folder. A name is looked up as it is
// first, then without regard to case, through one listing per folder kept for the whole phase.
class LetterFiles {
public:
    explicit LetterFiles(const QString& lettersFolder)
        : m_folder(AddTrailingBackslash(lettersFolder))
    {
        const QString resolved = QFileInfo(m_folder).canonicalFilePath();
        if (!resolved.isEmpty())
            m_resolvedFolder = resolved.endsWith(QLatin1Char('/')) ? resolved : resolved + QLatin1Char('/');
    }

    // Opens a document that find() gave. Only a regular file whose resolved path lies inside the
    // resolved letters folder is read, and a link at its name is not followed: a link or a
    // FIFO put among the letters does not bring another file into a patient's record.
    bool open(const QString& path, QFile& file) const
    {
        const QString resolved = QFileInfo(path).canonicalFilePath();
        return !m_resolvedFolder.isEmpty() && resolved.startsWith(m_resolvedFolder)
            && openRegularFile(file, path, QIODevice::ReadOnly);
    }

    // The document of NOM FICHIER, or "" when there is none. A name that would leave the letters
    // folder (absolute, holding "..", or naming a drive) finds nothing.
    QString find(const QString& nomFichier)
    {
        if (nomFichier.isEmpty() || nomFichier.contains(QLatin1String("..")) || nomFichier.contains(QLatin1Char(':'))
            || nomFichier.startsWith(QLatin1Char('/')) || nomFichier.startsWith(QLatin1Char('\\')))
            return QString();
        const QStringList parts =
            (nomFichier + QStringLiteral(".RTF")).split(QRegularExpression(QStringLiteral("[/\\\\]")));
        QString path = QDir::cleanPath(m_folder);
        for (qsizetype i = 0; i < parts.size(); ++i) {
            const bool last = i == parts.size() - 1;
            const QString& part = parts.at(i);
            if (part.isEmpty())
                return QString();
            const QString exact = path + QLatin1Char('/') + part;
            const QFileInfo exactInfo(exact);
            if (last ? exactInfo.isFile() : exactInfo.isDir()) {
                path = exact;
                continue;
            }
            const QString actual = entryNoCase(path, part, last);
            if (actual.isEmpty())
                return QString();
            path = path + QLatin1Char('/') + actual;
        }
        return path;
    }

private:
    QString entryNoCase(const QString& folder, const QString& name, bool file)
    {
        auto listed = m_listings.find(folder);
        if (listed == m_listings.end()) {
            QHash<QString, QString> entries;
            const QFileInfoList infos =
                QDir(folder).entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
            for (const QFileInfo& info : infos) {
                const QString key = info.fileName().toLower();
                if (!entries.contains(key))
                    entries.insert(key, info.fileName());
            }
            listed = m_listings.insert(folder, entries);
        }
        const QString actual = listed->value(name.toLower());
        if (actual.isEmpty())
            return QString();
        const QFileInfo info(folder + QLatin1Char('/') + actual);
        return (file ? info.isFile() : info.isDir()) ? actual : QString();
    }

    QString m_folder;
    QString m_resolvedFolder; // with its final "/"; empty when the folder cannot be resolved
    QHash<QString, QHash<QString, QString>> m_listings;
};

// Creates a folder when it is missing; true when the path is then a real folder. A link at
// LETTERS or at a patient's folder would take the copies out of the destination folder.
bool makeRealFolder(const QString& path)
{
    QDir().mkdir(path);
    return isRealDirectory(path);
}

// Copies the opened document, replacing a file or a link of the same name (the link itself,
// never what it points at). The copy is created anew, so nothing that sits at its name is
// followed.
bool copyReplacing(QFile& from, const QString& to)
{
    const QFileInfo target(to);
    if ((target.isSymLink() || target.exists()) && !QFile::remove(to))
        return false;
    QFile copy(to);
    if (!copy.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return false;
    QByteArray buffer(64 * 1024, Qt::Uninitialized);
    qint64 read = 0;
    while ((read = from.read(buffer.data(), buffer.size())) > 0)
        if (copy.write(buffer.constData(), read) != read)
            break;
    if (read == 0 && copy.flush())
        return true;
    copy.remove();
    return false;
}

// One letter: its document copied into the patient's folder and its LETTERS row written.
void importLetter(RunContext& context, const SourceQuery& letters, DestQuery& insert, LetterFiles& files,
                  const QString& lettersBase, int& counter)
{
    Reporter& reporter = context.reporter;
    const qint32 code = letters.intValue(QStringLiteral("CODE COURRIER GENERE"));
    if (context.shared.find(code))
        return;
    const QString patientText = codeText(letters, QStringLiteral("CODE PATIENT"));
    const QString libelle = letters.textValue(QStringLiteral("LIBELLE"));
    const QString dateText = DateText(letters.value(QStringLiteral("DATE")), context.dateFormats);
    const QString nomFichier = letters.textValue(QStringLiteral("NOM FICHIER"));

    if (!context.patients.find(letters.intValue(QStringLiteral("CODE PATIENT")))) {
        reporter.appendLine(QStringLiteral("Impossible de retrouver le dossier n°") + patientText
                            + QStringLiteral(". Le courrier [") + libelle + QStringLiteral("] du ") + dateText
                            + QStringLiteral(" du dossier n°") + patientText
                            + QStringLiteral(" ne sera pas importé."));
        return;
    }
    const qint32 patientId = context.patients.dest();

    QFile sourceFile;
    if (!files.open(files.find(nomFichier), sourceFile)) {
        reporter.appendLine(QStringLiteral("Impossible de retrouver le courier [") + context.courriersPath
                            + nomFichier + QStringLiteral(".RTF] du dossier n°") + patientText
                            + QStringLiteral(". Le courrier [") + libelle + QStringLiteral("] du ") + dateText
                            + QStringLiteral(" ne sera pas importé."));
        return;
    }

    const QString patientFolder = lettersBase + QDir::separator() + QString::number(patientId);
    const bool folderMade = makeRealFolder(lettersBase) && makeRealFolder(patientFolder);

    const qint32 letterId = ++counter;
    const QString fileName = QStringLiteral("LET") + QString::number(letterId) + QStringLiteral(".HED");
    const QString destinationFile = patientFolder + QDir::separator() + fileName;
    if (!folderMade || !copyReplacing(sourceFile, destinationFile)) {
        --counter;
        reporter.appendLine(QStringLiteral("Impossible de copier le courier [") + context.courriersPath
                            + nomFichier + QStringLiteral(".RTF] du dossier n°") + patientText
                            + QStringLiteral(". Le courrier [") + libelle + QStringLiteral("] du ") + dateText
                            + QStringLiteral(" ne sera pas importé."));
        return;
    }

    try {
        if (fileName.size() > kFileNameSize)
            throw Error(QStringLiteral("Le nom de fichier ") + fileName + QStringLiteral(" dépasse ")
                        + QString::number(kFileNameSize) + QStringLiteral(" caractères."));
        insert.bind(QStringLiteral("LETTERS_ID"), letterId);
        insert.bind(QStringLiteral("PATIENTS_ID"), patientId);
        insert.bind(QStringLiteral("DATE_CONSULTATION"),
                    TruncateToMinute(letters.dateTimeValue(QStringLiteral("DATE"))));
        insert.bind(QStringLiteral("Description"),
                    letters.isNull(QStringLiteral("LIBELLE")) ? QVariant(QMetaType::fromType<QString>())
                                                               : QVariant(libelle.left(kDescriptionSize)));
        insert.bind(QStringLiteral("FileName"), fileName);
        insert.exec();
    } catch (const Error& error) {
        reporter.appendLine(QStringLiteral("Impossible d'importer le courrier [") + libelle
                            + QStringLiteral("] du ") + dateText + QStringLiteral(" du patient n°")
                            + patientText);
        reporter.appendLine(kErrorPrefix + error.message());
        DeleteFileIfExists(destinationFile);
        return;
    }
    try {
        context.shared.record(code, letterId);
    } catch (const Error& error) {
        context.shared.cancel();
        reporter.appendLine(kErrorPrefix + error.message());
    }
}

} // namespace

void runLettersPhase(RunContext& context)
{
    Reporter& reporter = context.reporter;
    int counter = context.dest.scalarInt(QStringLiteral("SELECT MAX(LETTERS_ID) from LETTERS"));
    context.openPhaseLinkTable(context.shared, QStringLiteral("Letters.db"));

    reporter.setStatus(QStringLiteral("Ouverture de la table des courriers..."));
    SourceQuery letters(context.source, kSourceText);
    const bool opened =
        context.openSource(letters, QStringLiteral("Erreur lors de l'ouverture de la table des courrier : "));
    context.ensureOpen(context.patients, QStringLiteral("Patients.db"));

    reporter.startProgress(opened ? letters.recordCount() : 0);
    reporter.setStatus(QStringLiteral("Importation des courriers..."));
    reporter.setStatus(QStringLiteral("Veuillez patienter."));

    DestQuery insert(context.dest, kInsertText);
    LetterFiles files(context.courriersPath);
    const QString lettersBase = AddTrailingBackslash(context.talmerosPath) + QStringLiteral("LETTERS");

    if (opened)
        forEachRecord(reporter, letters, [&] {
            importLetter(context, letters, insert, files, lettersBase, counter);
        });

    closeQuietly(letters);
    context.patients.close();
    context.shared.close();
    context.idValues.WriteIdValue(QStringLiteral("LETTERS"), counter, false);
    reporter.appendLine(QString::number(counter) + QStringLiteral(" courriers après importation."));
}

} // namespace vf

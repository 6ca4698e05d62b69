#include "base/Conversions.h"
#include "base/Errors.h"
#include "destination/DestinationConnection.h"
#include "phases/CatchUp.h"
#include "phases/LetterFiles.h"
#include "phases/PhaseOutline.h"
#include "phases/Phases.h"
#include "phases/PhaseText.h"
#include "phases/RunContext.h"
#include "source/SourceConnection.h"

#include <QDir>
#include <QSet>

#include <memory>
#include <optional>

namespace vf {

PhaseOutline lettersOutline()
{
    return {
        .linkTable = QStringLiteral("Letters.db"),
        .code = QStringLiteral("CODE COURRIER GENERE"),
        .pairRow = {QStringLiteral("LETTERS"), QStringLiteral("LETTERS_ID")},
        .source = QStringLiteral("select * from [COU COURRIER GENERE]\r\norder by [CODE COURRIER GENERE]"),
        .opening = QStringLiteral("Ouverture de la table des courriers..."),
        .importing = {QStringLiteral("Importation des courriers..."), QStringLiteral("Veuillez patienter.")},
        .openError = QStringLiteral("Erreur lors de l'ouverture de la table des courrier : "),
        .steps = {Step::Seed, Step::LinkTable, Step::OpenSource, Step::Prepare, Step::Progress, Step::Importing,
                  Step::Records, Step::IdValues, Step::CountLines},
    };
}

namespace {

const int kDescriptionSize = 80;
const int kFileNameSize = 12;

// [COU COURRIER GENERE] -> LETTERS, each letter's document copied into the patient's folder
// under the destination's LETTERS; "Letters.db".
class LettersPhase : public Phase {
public:
    explicit LettersPhase(RunContext& context)
        : m_context(context)
        , m_files(context.courriersPath)
        , m_lettersBase(AddTrailingBackslash(context.talmerosPath) + QStringLiteral("LETTERS"))
        , m_lettersFolder(m_lettersBase)
        , m_copies(m_lettersFolder)
    {
    }

    PhaseOutline outline() const override { return lettersOutline(); }

    LinkTable& links() override { return m_context.shared; }

    std::function<void()> checkpoint() override
    {
        return [this, counter = m_counter] { m_counter = counter; };
    }

    bool settleBatch() override { return m_copies.settle(); }

    void seed() override { m_counter = m_context.dest.scalarInt(QStringLiteral("SELECT MAX(LETTERS_ID) from LETTERS")); }

    void prepare(bool opened) override
    {
        m_context.ensureOpen(m_context.patients, QStringLiteral("Patients.db"));
        if (!opened || links().count() == 0)
            return;
        // Where the letters imported earlier were copied: their rows, read once.
        DestQuery rows(m_context.dest, QStringLiteral("SELECT LETTERS_ID, PATIENTS_ID, FileName FROM LETTERS"));
        for (rows.open(); !rows.eof(); rows.next())
            m_copied.insert(rows.value(0).toInt(), {rows.value(1).toInt(), rows.value(2).toString()});
        rows.close();
    }

    // One letter: its document copied into the patient's folder and its LETTERS row written.
    void importRecord(const SourceRecord& letter, UnitOfWork& work) override
    {
        const qint32 code = letter.intValue(QStringLiteral("CODE COURRIER GENERE"));
        const QString nomFichier = letter.textValue(QStringLiteral("NOM FICHIER"));
        const QString found = m_files.find(nomFichier);
        const SourcePrint print = sourcePrint(letter, letterFields(), {{kFileField, letterFilePrint(found)}});
        const std::optional<qint32> imported = work.linked(links(), code);
        if (imported && sourceUnchanged(links().prints(code), print)) {
            repairCopy(letter, *imported, work);
            return;
        }
        const QString patientText = codeText(letter, QStringLiteral("CODE PATIENT"));
        const QString libelle = letter.textValue(QStringLiteral("LIBELLE"));
        const QString dateText = DateText(letter.value(QStringLiteral("DATE")), m_context.dateFormats);
        const auto ownColumns = [&](qint32 id, const QDateTime& minute) {
            return Columns{{QStringLiteral("LETTERS_ID"), id},
                           {QStringLiteral("DATE_CONSULTATION"), minute},
                           {QStringLiteral("Description"), letter.isNull(QStringLiteral("LIBELLE"))
                                                               ? nullText()
                                                               : QVariant(libelle.left(kDescriptionSize))}};
        };
        if (imported) {
            carry(letter, code, *imported, print, found, work,
                  QStringLiteral("Le courrier n°") + QString::number(code) + QStringLiteral(" [") + libelle
                      + QStringLiteral("] du ") + dateText + QStringLiteral(" du dossier n°") + patientText,
                  ownColumns);
            return;
        }
        const QString letterText = QStringLiteral(". Le courrier [") + libelle + QStringLiteral("] du ") + dateText;

        const std::optional<qint32> patientId = work.linked(m_context.patients, letter.intValue(QStringLiteral("CODE PATIENT")));
        if (!patientId) {
            work.line(kPatientMissing + patientText + letterText + QStringLiteral(" du dossier n°") + patientText
                      + QStringLiteral(" ne sera pas importé."));
            return;
        }
        // The path quoted is the one searched: the field's text with its final separator.
        const QString sourceText = QStringLiteral("[") + AddTrailingBackslash(m_context.courriersPath) + nomFichier
            + QStringLiteral(".RTF] du dossier n°") + patientText + letterText + QStringLiteral(" ne sera pas importé.");

        auto sourceFile = std::make_unique<QFile>();
        if (!m_files.open(found, *sourceFile)) {
            work.line(QStringLiteral("Impossible de retrouver le courier ") + sourceText);
            return;
        }

        const qint32 letterId = ++m_counter;
        const QString fileName = QStringLiteral("LET") + QString::number(letterId) + QStringLiteral(".HED");

        // A file name longer than its column fails the insert; the identifier stays used.
        std::optional<QString> refusal;
        QDateTime minute;
        if (fileName.size() > kFileNameSize) {
            refusal = QStringLiteral("Le nom de fichier ") + fileName + QStringLiteral(" dépasse ")
                + QString::number(kFileNameSize) + QStringLiteral(" caractères.");
        } else {
            try {
                minute = TruncateToMinute(letter.dateTimeValue(QStringLiteral("DATE")));
            } catch (const Error& error) {
                refusal = error.message();
            }
        }

        // Within a batch the copy is made beside the next records, and the batch commits once
        // it is there; a copy that fails has the batch done again one record at a time, here.
        const bool copiedAside = work.batchOpen() && !refusal;
        if (copiedAside) {
            m_copies.add(std::move(sourceFile), *patientId, fileName);
        } else {
            const Copy copy = m_lettersFolder.copy(*sourceFile, *patientId, fileName);
            if (copy != Copy::Done) {
                --m_counter; // the next letter takes the identifier
                // Without room on the disk, every letter to come would fail the same way.
                if (copy == Copy::DiskFull)
                    throw RunCannotGoOn{QStringLiteral("Le disque du dossier des courriers de Talmérosin ")
                                        + QDir::toNativeSeparators(m_lettersBase)
                                        + QStringLiteral(" est plein : les courriers restants n'ont pas été importés.")};
                work.line(QStringLiteral("Impossible de copier le courier ") + sourceText);
                return;
            }
        }

        const Written inserted = refusal
            ? Written::refused(*refusal)
            : work.insert({QStringLiteral("LETTERS"),
                           {
                               {QStringLiteral("LETTERS_ID"), letterId},
                               {QStringLiteral("PATIENTS_ID"), *patientId},
                               {QStringLiteral("DATE_CONSULTATION"), minute},
                               {QStringLiteral("Description"), letter.isNull(QStringLiteral("LIBELLE"))
                                                                   ? nullText()
                                                                   : QVariant(libelle.left(kDescriptionSize))},
                               {QStringLiteral("FileName"), fileName},
                           }});
        if (!inserted) {
            work.line(QStringLiteral("Impossible d'importer le courrier [") + libelle + QStringLiteral("] du ") + dateText
                      + QStringLiteral(" du patient n°") + patientText);
            work.line(kErrorPrefix + inserted.message());
            m_lettersFolder.remove(*patientId, fileName);
            return;
        }
        if (const Written paired =
                work.pair(links(), code, letterId, {print.bytes(), destPrint(writtenValues(ownColumns(letterId, minute)))});
            !paired)
            work.line(kErrorPrefix + paired.message());
    }

    QList<std::pair<QString, int>> idValues() override { return {{QStringLiteral("LETTERS"), m_counter}}; }

    QStringList countLines() override
    {
        return {QString::number(m_counter) + QStringLiteral(" courriers après importation.")};
    }

    void finish() override
    {
        m_context.patients.close();
        links().close();
    }

private:
    // A letter imported earlier whose copy the destination lost or changed is copied again from
    // its document; its row stays as it is. A row deleted in Talmérosin is left to the summary.
    void repairCopy(const SourceRecord& letter, qint32 letterId, UnitOfWork& work)
    {
        const auto row = m_copied.constFind(letterId);
        if (row == m_copied.constEnd() || !isPlainFileName(row->second))
            return;
        QFile document;
        if (!m_files.open(m_files.find(letter.textValue(QStringLiteral("NOM FICHIER"))), document))
            return;
        const QString described = QStringLiteral("Le courrier [") + letter.textValue(QStringLiteral("LIBELLE"))
            + QStringLiteral("] du ") + DateText(letter.value(QStringLiteral("DATE")), m_context.dateFormats)
            + QStringLiteral(" du dossier n°") + codeText(letter, QStringLiteral("CODE PATIENT"));
        const QString recopied = described + QStringLiteral(" a été copié de nouveau : sa copie dans Talmérosin était absente ou différente.");
        QFile copy;
        if (openCopiedLetter(m_lettersBase, row->first, row->second, copy) && copy.size() == document.size()
            && sameContents(copy, document)) {
            // Copied by this run in a batch that was then done again one record at a time: its
            // line went with the batch.
            if (m_recopied.contains(letterId))
                work.line(recopied);
            return;
        }
        copy.close();
        if (!document.seek(0))
            return;
        const QString patientFolder = m_lettersBase + QDir::separator() + QString::number(row->first);
        if (m_lettersFolder.copy(document, row->first, row->second) == Copy::Done) {
            m_recopied.insert(letterId);
            work.line(recopied);
        } else {
            work.line(described + QStringLiteral(" n'a pas pu être copié de nouveau dans ") + QDir::toNativeSeparators(patientFolder)
                      + QLatin1Char('.'));
        }
    }

    // A letter imported before whose source changed: its row carried, and its copy replaced by
    // a changed file unless the row is kept as the destination holds it.
    template <typename OwnColumns>
    void carry(const SourceRecord& letter, qint32 code, qint32 letterId, const SourcePrint& print, const QString& found,
               UnitOfWork& work, const QString& record, const OwnColumns& ownColumns)
    {
        const std::optional<qint32> patientId = work.linked(m_context.patients, letter.intValue(QStringLiteral("CODE PATIENT")));
        QDateTime minute;
        try {
            minute = TruncateToMinute(letter.dateTimeValue(QStringLiteral("DATE")));
        } catch (const Error&) {
            return;
        }
        const PairPrints stored = links().prints(code);
        const bool fileChanged = !stored.source.isEmpty()
            && SourcePrint::changedFields(stored.source, print, {kFileField}).contains(kFileField);
        const Carry carried = carryRow(work, links(), code, print, QStringLiteral("LETTERS"), QStringLiteral("LETTERS_ID"),
                                       letterId, ownColumns(letterId, minute), record,
                                       m_context.carried[links().fileName().toLower()]);
        if (!fileChanged || !patientId || carried == Carry::Kept)
            return;
        QFile sourceFile;
        const bool copied = m_files.open(found, sourceFile)
            && m_lettersFolder.copy(sourceFile, *patientId, QStringLiteral("LET") + QString::number(letterId) + QStringLiteral(".HED"))
                == Copy::Done;
        if (!copied)
            work.line(QStringLiteral("Impossible de copier le courier ") + record + QStringLiteral(" : sa copie n'a pas été remplacée."));
    }

    RunContext& m_context;
    QHash<qint32, std::pair<qint32, QString>> m_copied; // LETTERS rows: patient and file name
    QSet<qint32> m_recopied;                            // the letters whose copies this run made again
    LetterFiles m_files;
    const QString m_lettersBase;
    LettersFolder m_lettersFolder;
    LetterCopies m_copies;
    int m_counter = 0;
};

} // namespace

void runLettersPhase(RunContext& context)
{
    LettersPhase phase(context);
    runPhase(context, phase);
}

} // namespace vf

#include "base/ImportLog.h"

#include "base/Errors.h"
#include "base/FileAccess.h"
#include "base/Regional.h"
#include "base/Reporter.h"
#include "base/TextCodec.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace vf {
namespace {

const QString kLowMemory = QStringLiteral("Mémoire insuffisante");
const QString kCloseQuestion = QStringLiteral("Voulez-vous fermer le programme de fusion ?");

} // namespace

ImportLog::ImportLog(QString folder) : m_folder(std::move(folder)) {}

QString ImportLog::fileNameFor(const QDateTime& now, const QString& shortDateFormat,
                               const QString& longTimeFormat)
{
    QString stamp = now.toString(shortDateFormat) + QLatin1Char(' ') + now.toString(longTimeFormat);
    stamp.replace(QLatin1Char('/'), QLatin1Char('-'));
    stamp.replace(QLatin1Char(':'), QLatin1Char('-'));
    stamp.replace(QLatin1Char(' '), QLatin1Char('_'));
    return QStringLiteral("Velquor_") + stamp + QStringLiteral(".log");
}

void ImportLog::begin(const QDateTime& now, const QString& v3Path, const QString& talmerosPath)
{
    m_path = QDir(m_folder).filePath(
        fileNameFor(now, regionalShortDateFormat(), regionalLongTimeFormat()));
    write({QStringLiteral("IMPORTATION DES DONNEES VELQUOR :"),
           QStringLiteral("   - A partir de : ") + v3Path,
           QStringLiteral("   - dans : ") + talmerosPath,
           QString()},
          true);
}

void ImportLog::WriteLog(const QString& message, Reporter& reporter)
{
    write({QString(), message}, false);
    if (message.contains(kLowMemory) && reporter.askYesNo(kCloseQuestion))
        throw ProgramTermination{message};
}

void ImportLog::dumpLines(const QStringList& lines)
{
    if (!hasFile())
        return;
    write(lines, false);
}

void ImportLog::create(QFile& file)
{
    // The log names patients: it is a new file, readable by its owner only. Whatever sits at its
    // name already (an earlier log, a link, even a dangling one) is left alone, and the log takes
    // the next free name: "Velquor_<stamp>_2.log", "_3" ...
    const QString first = m_path;
    const QString stem = first.chopped(4); // without ".log"
    for (int attempt = 1; attempt <= kMaxAttempts; ++attempt) {
        m_path = attempt == 1 ? first : stem + u'_' + QString::number(attempt) + QStringLiteral(".log");
        file.setFileName(m_path);
        if (file.open(QIODevice::WriteOnly | QIODevice::NewOnly, QFileDevice::ReadOwner | QFileDevice::WriteOwner))
            return;
        const QFileInfo taken(m_path);
        if (!taken.exists() && !taken.isSymLink())
            break;
    }
    throw Error(QStringLiteral("Impossible de créer le journal d'importation ") + m_path
                + QStringLiteral(" : ") + file.errorString());
}

void ImportLog::write(const QStringList& lines, bool create)
{
    QFile file;
    if (create)
        this->create(file);
    else if (!openRegularFile(file, m_path, QIODevice::WriteOnly | QIODevice::Append))
        // Appended to only as the regular file it was created as, never through a link.
        throw Error(QStringLiteral("Impossible d'ouvrir le journal d'importation ") + m_path
                    + QStringLiteral(" : le fichier est absent, n'est pas un fichier ordinaire ou ne peut pas "
                                     "être ouvert en écriture."));
    // A line holding line breaks of its own (an error message over several lines) is written
    // as several lines, each ended by CR LF like every other line of the file.
    static const QRegularExpression lineBreak(QStringLiteral("\r\n|\r|\n"));
    QByteArray bytes;
    for (const QString& line : lines)
        for (const QString& part : line.split(lineBreak))
            bytes += toWindows1252(part) + "\r\n";
    if (file.write(bytes) != bytes.size() || !file.flush())
        throw Error(QStringLiteral("Impossible d'écrire dans le journal d'importation ") + m_path
                    + QStringLiteral(" : ") + file.errorString());
    file.close();
    if (file.error() != QFileDevice::NoError)
        throw Error(QStringLiteral("Impossible de fermer le journal d'importation ") + m_path
                    + QStringLiteral(" : ") + file.errorString());
}

} // namespace vf

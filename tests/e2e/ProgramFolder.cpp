#include "ProgramFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>

namespace vf::test {

namespace {

constexpr int kRunTimeoutMs = 540000;

bool copyExecutable(const QString& from, const QString& folder)
{
    const QString to = QDir(folder).filePath(QFileInfo(from).fileName());
    return QFile::copy(from, to)
        && QFile::setPermissions(to, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

} // namespace

ProgramFolder::ProgramFolder(const QString& folder) : m_folder(folder)
{
    QDir().mkpath(folder);
    m_ready = copyExecutable(QStringLiteral(VF_PROGRAM_PATH), folder)
           && copyExecutable(QStringLiteral(VF_STAGE_PATH), folder);
    if (!m_ready)
        QTest::qFail("cannot copy the program into its test folder", __FILE__, __LINE__);
}

QString ProgramFolder::program() const
{
    return QDir(m_folder).filePath(QFileInfo(QStringLiteral(VF_PROGRAM_PATH)).fileName());
}

QString ProgramFolder::settingsPath() const
{
    return program() + QStringLiteral(".INI");
}

void ProgramFolder::writeDestination(const TestDestination& destination) const
{
    const QString options = destination.backend() == Backend::SQLite
                                ? QStringLiteral("SyncPragma=NORMAL;JournalMode=WAL")
                                : destination.options();
    QByteArray text = readFile(settingsPath());
    text += "[Destination]\r\nDriver=" + destination.driverName().toUtf8() + "\r\nOptions=" + options.toUtf8()
          + "\r\n";
    writeFile(settingsPath(), text);
}

QStringList ProgramFolder::Result::outLines() const
{
    QStringList lines = out.split(QLatin1Char('\n'));
    if (!lines.isEmpty() && lines.last().isEmpty())
        lines.removeLast();
    return lines;
}

void ProgramFolder::start(QProcess& process, const QStringList& arguments, const QProcessEnvironment& extra) const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    // No display: the command-line modes must not need one.
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    environment.insert(extra);
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(m_folder);
    process.start(program(), arguments);
}

ProgramFolder::Result ProgramFolder::finish(QProcess& process)
{
    Result result;
    if (!process.waitForFinished(kRunTimeoutMs)) {
        process.kill();
        process.waitForFinished();
    }
    if (process.exitStatus() == QProcess::NormalExit && process.error() != QProcess::Timedout)
        result.exitCode = process.exitCode();
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    result.err = QString::fromUtf8(process.readAllStandardError());
    return result;
}

ProgramFolder::Result ProgramFolder::run(const QStringList& arguments) const
{
    QProcess process;
    start(process, arguments);
    return finish(process);
}

QStringList ProgramFolder::logFiles() const
{
    return QDir(m_folder).entryList({QStringLiteral("Velquor_*.log")}, QDir::Files, QDir::Name);
}

bool makePractice(const QString& folder, int patients, QString* errors, int seed, int edits)
{
    QProcess process;
    process.start(QStringLiteral(VF_MAKE_PRACTICE_PATH),
                  {QStringLiteral("--out"), folder, QStringLiteral("--patients"), QString::number(patients),
                   QStringLiteral("--seed"), QString::number(seed), QStringLiteral("--edits"), QString::number(edits)});
    const bool ok = process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit
                 && process.exitCode() == 0;
    if (errors)
        *errors = QString::fromUtf8(process.readAllStandardError());
    return ok;
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        QTest::qFail(qPrintable(QStringLiteral("cannot write ") + path), __FILE__, __LINE__);
}

} // namespace vf::test

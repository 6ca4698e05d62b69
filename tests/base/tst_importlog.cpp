#include "base/Errors.h"
#include "base/FileAccess.h"
#include "base/ImportLog.h"
#include "base/RecordingReporter.h"
#include "base/Regional.h"
#include "base/TextCodec.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace vf;

namespace {

QByteArray readBytes(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

const QByteArray kHeader = "IMPORTATION DES DONNEES VELQUOR :\r\n"
                           "   - A partir de : C:\\Donn\xE9" "es\\V3.mdb\r\n"
                           "   - dans : /srv/Talm\xE9rosin/Base/\r\n"
                           "\r\n";

} // namespace

class TestImportLog : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void fileName_data();
    void fileName();
    void headerBytesAndOwnerOnly();
    void whatSitsAtTheName_data();
    void whatSitsAtTheName();
    void writeLogEntries();
    void lowMemoryQuestion();
    void closeTimeDump();
    void noRunNoFile();
    void unwritableLog();
    void windows1252();
    void strftimePatterns_data();
    void strftimePatterns();
    void elapsedModulo24Hours();
    void recordingReporter();
    void ownFileWithoutHardLinks();
};

void TestImportLog::initTestCase()
{
    // The regional formats come from the environment's locale: fix it for the test.
    qputenv("LC_ALL", "C.UTF-8");
}

void TestImportLog::fileName_data()
{
    QTest::addColumn<QString>("shortDate");
    QTest::addColumn<QString>("longTime");
    QTest::addColumn<QString>("expected");
    QTest::newRow("French") << "dd/MM/yyyy" << "HH:mm:ss" << "Velquor_07-12-2026_17-25-03.log";
    QTest::newRow("C locale") << "MM/dd/yy" << "HH:mm:ss" << "Velquor_12-07-26_17-25-03.log";
    QTest::newRow("English time") << "MM/dd/yyyy" << "hh:mm:ss AP"
                                  << "Velquor_12-07-2026_05-25-03_PM.log";
    QTest::newRow("German") << "dd.MM.yyyy" << "HH:mm:ss" << "Velquor_07.12.2026_17-25-03.log";
}

void TestImportLog::fileName()
{
    QFETCH(QString, shortDate);
    QFETCH(QString, longTime);
    QFETCH(QString, expected);
    const QDateTime now(QDate(2026, 12, 7), QTime(17, 25, 3));
    QCOMPARE(ImportLog::fileNameFor(now, shortDate, longTime), expected);
}

void TestImportLog::headerBytesAndOwnerOnly()
{
    QTemporaryDir dir;
    ImportLog log(dir.path());
    QVERIFY(!log.hasFile());
    const QDateTime now(QDate(2026, 12, 7), QTime(17, 25, 3));
    log.begin(now, QStringLiteral("C:\\Données\\V3.mdb"), QStringLiteral("/srv/Talmérosin/Base/"));
    QVERIFY(log.hasFile());
    QCOMPARE(QFileInfo(log.filePath()).absolutePath(), QFileInfo(dir.path()).absoluteFilePath());
    QCOMPARE(QFileInfo(log.filePath()).fileName(),
             ImportLog::fileNameFor(now, regionalShortDateFormat(), regionalLongTimeFormat()));
    QCOMPARE(readBytes(log.filePath()), kHeader);
#ifndef _WIN32
    QCOMPARE(QFileInfo(log.filePath()).permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther
                                                         | QFileDevice::WriteGroup | QFileDevice::WriteOther),
             QFileDevice::Permissions());
#endif

    // A second run in the same second writes a file of its own; the first keeps its entry.
    RecordingReporter reporter;
    log.WriteLog(QStringLiteral("entrée"), reporter);
    const QString first = log.filePath();
    log.begin(now, QStringLiteral("C:\\Données\\V3.mdb"), QStringLiteral("/srv/Talmérosin/Base/"));
    QCOMPARE(log.filePath(), first.chopped(4) + QStringLiteral("_2.log"));
    QCOMPARE(readBytes(log.filePath()), kHeader);
    QCOMPARE(readBytes(first), kHeader + "\r\nentr\xE9" "e\r\n");
}

void TestImportLog::whatSitsAtTheName_data()
{
    QTest::addColumn<QString>("occupant"); // at the log's name before the run
    QTest::newRow("a file of someone else's") << "file";
    QTest::newRow("a link to a file outside") << "link";
    QTest::newRow("a dangling link") << "dangling link";
    QTest::newRow("a FIFO") << "fifo";
    QTest::newRow("a folder") << "folder";
}

// Whatever sits at the log's predictable name, and whatever replaces the log during the run, is
// neither followed nor written: the log is a new file of its own, readable by its owner only.
void TestImportLog::whatSitsAtTheName()
{
    QFETCH(QString, occupant);
    QTemporaryDir dir;
    const QString outside = dir.filePath(QStringLiteral("dehors.txt"));
    QFile victim(outside);
    QVERIFY(victim.open(QIODevice::WriteOnly));
    victim.write("à garder");
    victim.close();
    const QDateTime now(QDate(2026, 12, 7), QTime(17, 25, 3));
    const QString name = dir.filePath(ImportLog::fileNameFor(now, regionalShortDateFormat(), regionalLongTimeFormat()));
    if (occupant == QStringLiteral("file")) {
        QVERIFY(QFile::copy(outside, name));
        QVERIFY(QFile::setPermissions(name, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther
                                                | QFileDevice::WriteOther));
    } else if (occupant == QStringLiteral("link")) {
        QVERIFY(QFile::link(outside, name));
    } else if (occupant == QStringLiteral("dangling link")) {
        QVERIFY(QFile::link(dir.filePath(QStringLiteral("absent.txt")), name));
    } else if (occupant == QStringLiteral("fifo")) {
        QCOMPARE(::mkfifo(QFile::encodeName(name).constData(), 0666), 0);
    } else {
        QVERIFY(QDir().mkdir(name));
    }
    const QFileInfo before(name);

    ImportLog log(dir.path());
    log.begin(now, QStringLiteral("C:\\Données\\V3.mdb"), QStringLiteral("/srv/Talmérosin/Base/"));
    QCOMPARE(log.filePath(), name.chopped(4) + QStringLiteral("_2.log"));
    QCOMPARE(readBytes(log.filePath()), kHeader);
    QCOMPARE(QFileInfo(log.filePath()).permissions() & ~(QFileDevice::ReadUser | QFileDevice::WriteUser),
             QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    QCOMPARE(QFileInfo(name).isSymLink(), before.isSymLink());
    QCOMPARE(QFileInfo(name).size(), before.size());
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("absent.txt"))));

    // The log replaced by a link during the run: the next entry fails rather than follow it.
    QVERIFY(QFile::remove(log.filePath()));
    QVERIFY(QFile::link(outside, log.filePath()));
    RecordingReporter reporter;
    QVERIFY_THROWS_EXCEPTION(Error, log.WriteLog(QStringLiteral("entrée"), reporter));
    QVERIFY_THROWS_EXCEPTION(Error, log.dumpLines({QStringLiteral("ligne")}));
    QCOMPARE(readBytes(outside), QByteArray("\xC3\xA0 garder"));
}

void TestImportLog::writeLogEntries()
{
    QTemporaryDir dir;
    ImportLog log(dir.path());
    RecordingReporter reporter;
    log.begin(QDateTime::currentDateTime(), QStringLiteral("C:\\Données\\V3.mdb"),
              QStringLiteral("/srv/Talmérosin/Base/"));
    log.WriteLog(QStringLiteral("Connexion à la base de données Talmérosin impossible : refusé"),
                 reporter);
    log.WriteLog(QStringLiteral("Erreur ODBC\nligne deux"), reporter);
    QCOMPARE(readBytes(log.filePath()),
             kHeader
                 + "\r\nConnexion \xE0 la base de donn\xE9" "es Talm\xE9rosin impossible : refus\xE9\r\n"
                 + "\r\nErreur ODBC\r\nligne deux\r\n");
    QVERIFY(reporter.boxes.isEmpty());
}

void TestImportLog::lowMemoryQuestion()
{
    QTemporaryDir dir;
    ImportLog log(dir.path());
    RecordingReporter reporter;
    log.begin(QDateTime::currentDateTime(), QStringLiteral("a"), QStringLiteral("b/"));
    const QString message = QStringLiteral("Connexion impossible : Mémoire insuffisante.");

    reporter.answerYes = false;
    log.WriteLog(message, reporter); // No: the caller goes on
    QCOMPARE(reporter.boxTexts(RecordingReporter::Box::Question),
             QStringList({QStringLiteral("Voulez-vous fermer le programme de fusion ?")}));

    reporter.answerYes = true;
    QVERIFY_THROWS_EXCEPTION(ProgramTermination, log.WriteLog(message, reporter));
    // The entry is written before the question.
    QVERIFY(readBytes(log.filePath()).endsWith("\r\nConnexion impossible : M\xE9moire insuffisante.\r\n"));

    // The test is exact and case-sensitive.
    RecordingReporter other;
    other.answerYes = true;
    log.WriteLog(QStringLiteral("mémoire insuffisante"), other);
    log.WriteLog(QStringLiteral("Memoire insuffisante"), other);
    QVERIFY(other.boxes.isEmpty());
}

void TestImportLog::closeTimeDump()
{
    QTemporaryDir dir;
    ImportLog log(dir.path());
    RecordingReporter reporter;
    log.begin(QDateTime::currentDateTime(), QStringLiteral("C:\\Données\\V3.mdb"),
              QStringLiteral("/srv/Talmérosin/Base/"));
    log.WriteLog(QStringLiteral("échec"), reporter);
    const QByteArray before = readBytes(log.filePath());
    log.dumpLines({QStringLiteral("12 médecins utilisateurs après importation."), QString(),
                   QStringLiteral("Traitement terminé.")});
    QCOMPARE(readBytes(log.filePath()),
             before + "12 m\xE9" "decins utilisateurs apr\xE8s importation.\r\n\r\n"
                      "Traitement termin\xE9.\r\n");
    // An empty text area adds nothing.
    const QByteArray after = readBytes(log.filePath());
    log.dumpLines({});
    QCOMPARE(readBytes(log.filePath()), after);
}

void TestImportLog::noRunNoFile()
{
    QTemporaryDir dir;
    ImportLog log(dir.path());
    log.dumpLines({QStringLiteral("a"), QStringLiteral("b"), QStringLiteral("c")});
    QVERIFY(QDir(dir.path()).entryList(QDir::Files).isEmpty());
}

void TestImportLog::unwritableLog()
{
    QTemporaryDir dir;
    // A regular file where the program's folder should be.
    QFile blocker(dir.filePath("program"));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    ImportLog log(dir.filePath("program"));
    QVERIFY_THROWS_EXCEPTION(Error, log.begin(QDateTime::currentDateTime(), "a", "b/"));
    QVERIFY_THROWS_EXCEPTION(Error, log.dumpLines({QStringLiteral("a")}));
}

void TestImportLog::windows1252()
{
    QCOMPARE(toWindows1252(QStringLiteral("é€œŸ")), QByteArray("\xE9\x80\x9C\x9F"));
    QCOMPARE(toWindows1252(QStringLiteral("中😀a")), QByteArray("??a"));
    QCOMPARE(fromWindows1252("\xE9\x80"), QStringLiteral("é€"));
    // Every byte reads and writes back as itself, the five undefined ones included.
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all.append(char(b));
    QCOMPARE(toWindows1252(fromWindows1252(all)), all);
    QCOMPARE(decodeUtf8OrWindows1252("\xC3\xA9"), QStringLiteral("é"));
    QCOMPARE(decodeUtf8OrWindows1252("\xE9t\xE9"), QStringLiteral("été"));
}

void TestImportLog::strftimePatterns_data()
{
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("pattern");
    QTest::newRow("French date") << "%d/%m/%Y" << "dd/MM/yyyy";
    QTest::newRow("C date") << "%m/%d/%y" << "MM/dd/yy";
    QTest::newRow("German date") << "%d.%m.%Y" << "dd.MM.yyyy";
    QTest::newRow("ISO date") << "%F" << "yyyy-MM-dd";
    QTest::newRow("unpadded") << "%-d/%-m/%Y" << "d/M/yyyy";
    QTest::newRow("time") << "%T" << "HH:mm:ss";
    QTest::newRow("12-hour time") << "%I:%M:%S %p" << "hh:mm:ss AP";
    QTest::newRow("time zone dropped") << "%H:%M:%S %Z" << "HH:mm:ss";
    QTest::newRow("letters quoted") << "%Hh%M" << "HH'h'mm";
}

void TestImportLog::strftimePatterns()
{
    QFETCH(QString, format);
    QFETCH(QString, pattern);
    QCOMPARE(qtPatternFromStrftime(format), pattern);
}

void TestImportLog::elapsedModulo24Hours()
{
    QCOMPARE(regionalLongTimeFormat(), QStringLiteral("HH:mm:ss"));
    const QDateTime start(QDate(2026, 12, 7), QTime(8, 0), Qt::UTC);
    QCOMPARE(elapsedText(start, start), QStringLiteral("00:00:00"));
    QCOMPARE(elapsedText(start, start.addSecs(5 * 60 + 7)), QStringLiteral("00:05:07"));
    QCOMPARE(elapsedText(start, start.addSecs(25 * 3600)), QStringLiteral("01:00:00"));
}

void TestImportLog::recordingReporter()
{
    RecordingReporter r;
    QStringList seen;
    r.onLine = [&](const QString& line) { seen.append(line); };
    r.appendLine(QStringLiteral("un"));
    r.appendLine(QStringLiteral("deux"));
    QCOMPARE(r.lines(), QStringList({"un", "deux"}));
    QCOMPARE(seen, r.lines());
    r.clearLines();
    QVERIFY(r.lines().isEmpty());
    r.startProgress(3);
    r.stepProgress();
    QCOMPARE(r.progressPosition, 1);
    r.startProgress(0);
    QCOMPARE(r.progressPosition, 0);
    QCOMPARE(r.progressMaxima, QList<int>({3, 0}));
    r.errorBox(QStringLiteral("e"));
    r.notice(QStringLiteral("n"));
    QCOMPARE(r.boxTexts(RecordingReporter::Box::Error), QStringList({"e"}));
    QCOMPARE(r.boxTexts(RecordingReporter::Box::Notice), QStringList({"n"}));
}

// A report written on a USB key: FAT has no hard links, yet a new report is put in place, an
// earlier one replaced, and a file that is not a report left alone. The key is a FAT image
// mounted with fusefat, which neither links nor renames without replacing; it needs root,
// mkfs.vfat (dosfstools) and fusefat.
void TestImportLog::ownFileWithoutHardLinks()
{
    if (::geteuid() != 0)
        QSKIP("mounting a FAT file system needs root");
    QTemporaryDir dir;
    const QString image = dir.filePath(QStringLiteral("key.img"));
    const QString key = dir.filePath(QStringLiteral("key"));
    QVERIFY(QDir().mkdir(key));
    if (QProcess::execute(QStringLiteral("mkfs.vfat"), {QStringLiteral("-C"), image, QStringLiteral("1024")}) != 0
        || QProcess::execute(QStringLiteral("fusefat"), {QStringLiteral("-o"), QStringLiteral("rw+"), image, key}) != 0)
        QSKIP("no FAT file system can be mounted here");
    const auto unmount = qScopeGuard([&] { QProcess::execute(QStringLiteral("umount"), {key}); });
    const QString report = key + QStringLiteral("/rapport.html");
    const auto isOurs = [](const QByteArray& head) { return head.startsWith("rapport"); };

    QCOMPARE(writeOwnFile(report, "rapport 1", isOurs), QString());
    QVERIFY(::link(QFile::encodeName(report).constData(), QFile::encodeName(key + QStringLiteral("/lien")).constData()) != 0);
    QCOMPARE(readBytes(report), QByteArray("rapport 1"));
    QCOMPARE(writeOwnFile(report, "rapport 2", isOurs), QString());
    QCOMPARE(readBytes(report), QByteArray("rapport 2"));
    const QString other = key + QStringLiteral("/V3.mdb");
    QVERIFY(QFile(other).open(QIODevice::WriteOnly));
    QVERIFY(writeOwnFile(other, "rapport 3", isOurs).startsWith(QStringLiteral("ce fichier existe")));
    QCOMPARE(readBytes(other), QByteArray());
    QCOMPARE(QDir(key).entryList(QDir::Files | QDir::Hidden).size(), 2); // no temporary file left
}

QTEST_GUILESS_MAIN(TestImportLog)
#include "tst_importlog.moc"

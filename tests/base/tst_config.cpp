#include "base/Conversions.h"
#include "base/Errors.h"
#include "base/IniFile.h"
#include "base/Settings.h"
#include "base/TextCodec.h"
#include "destination/DestinationConfig.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <pwd.h>
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

void writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

// Splits an ODBC connection string the way the driver managers do: "key=value" pairs separated
// by ";", a value in braces running to the first "}" not doubled.
QList<QPair<QString, QString>> parseOdbc(const QString& text)
{
    QList<QPair<QString, QString>> pairs;
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (i < n) {
        while (i < n && (text.at(i) == QLatin1Char(';') || text.at(i).isSpace()))
            ++i;
        if (i >= n)
            break;
        const qsizetype eq = text.indexOf(QLatin1Char('='), i);
        if (eq < 0)
            break;
        const QString key = text.mid(i, eq - i);
        i = eq + 1;
        QString value;
        if (i < n && text.at(i) == QLatin1Char('{')) {
            ++i;
            while (i < n) {
                if (text.at(i) == QLatin1Char('}')) {
                    if (i + 1 < n && text.at(i + 1) == QLatin1Char('}')) {
                        value += QLatin1Char('}');
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                value += text.at(i++);
            }
            while (i < n && text.at(i) != QLatin1Char(';'))
                value += text.at(i++); // anything after the closing brace (should be nothing)
        } else {
            while (i < n && text.at(i) != QLatin1Char(';'))
                value += text.at(i++);
        }
        pairs.append({key, value});
    }
    return pairs;
}

const QByteArray kTestKey = [] {
    QByteArray key;
    for (int i = 1; i <= 32; ++i)
        key.append(char(i));
    return key;
}();

} // namespace

class TestConfig : public QObject {
    Q_OBJECT

private slots:
    // INI files
    void iniRoundTripIsByteExact();
    void iniLookupIgnoresCaseAndKeepsOrder();
    void iniWriteChangesOnlyItsKey();
    void iniWriteAddsKeysAndSections();
    void iniLineEnds();
    void iniWindows1252AndBom();
    void iniValueCannotStartALine();
    void iniBadInput();
    void iniBoolValue_data();
    void iniBoolValue();
    void findFileIgnoresCase();

    // The window's settings file
    void settingsPath_data();
    void settingsPath();
    void programFiles_data();
    void programFiles();
    void userFolderHome_data();
    void userFolderHome();
    void settingsDefaults();
    void settingsSaveKeepsTheRest();
    void settingsSaveFailure();

    // "Kestrune.ver" and the destination connection
    void kestrune();
    void kestruneBadInput();
    void hexToInt_data();
    void hexToInt();
    void decodePassword_data();
    void decodePassword();
    void builtinKey();
    void sqlServerPassword();
    void connectionString();
    void connectionStringQuoting_data();
    void connectionStringQuoting();
    void oledbConnectionString();
    void journalOptionsLeftOut_data();
    void journalOptionsLeftOut();
};

// ---------------------------------------------------------------------------------------------

void TestConfig::iniRoundTripIsByteExact()
{
    const QByteArray bytes =
        "; settings of the migration\r\n"
        "[Paths]\r\n"
        "V3=C:\\Quernix\\Velquor\\BDD\\V3.MDB\r\n"
        "Courrier = C:\\COURRIER\\  \r\n"
        "\r\n"
        "[Destination]\r\n"
        "Driver=ODBC Driver 18 for SQL Server\r\n"
        "Options=Port=1433;TDS_Version=7.4\r\n"
        "garbage line without equals\r\n"
        "[Main]\r\n"
        "Vider=1";
    const IniFile ini = IniFile::fromBytes(bytes);
    QCOMPARE(ini.toBytes(), bytes);
    QCOMPARE(ini.value("Paths", "V3"), QStringLiteral("C:\\Quernix\\Velquor\\BDD\\V3.MDB"));
    QCOMPARE(ini.value("Paths", "Courrier"), QStringLiteral("C:\\COURRIER\\"));
    QCOMPARE(ini.value("Destination", "Options"), QStringLiteral("Port=1433;TDS_Version=7.4"));
    QCOMPARE(ini.value("Main", "Vider"), QStringLiteral("1"));
}

void TestConfig::iniLookupIgnoresCaseAndKeepsOrder()
{
    const IniFile ini = IniFile::fromBytes(
        "top=before any section\n"
        "[DataBases]\nPrescriptions=ORDONNANCES\nAgenda=AGENDA\n; Hidden=1\n"
        "[databases]\nprescriptions=SECOND\nZeta=z\n"
        "[Other]\nAgenda=other\n");
    QVERIFY(ini.hasSection("DATABASES"));
    QVERIFY(!ini.hasSection("Missing"));
    QCOMPARE(ini.keys("DataBases"),
             QStringList({"Prescriptions", "Agenda", "Zeta"})); // first of duplicates, file order
    QCOMPARE(ini.value("DATABASES", "PRESCRIPTIONS"), QStringLiteral("ORDONNANCES"));
    QCOMPARE(ini.value("databases", "zeta"), QStringLiteral("z"));
    QCOMPARE(ini.value("Other", "Agenda"), QStringLiteral("other"));
    QVERIFY(!ini.hasKey("DataBases", "Hidden"));
    QVERIFY(!ini.hasKey("", "top"));
    QCOMPARE(ini.value("DataBases", "Missing", "dflt"), QStringLiteral("dflt"));
}

void TestConfig::iniWriteChangesOnlyItsKey()
{
    const QByteArray before =
        "[Paths]\r\nV3=C:\\old.mdb\r\n; keep me\r\nTalmeros=C:\\Talmerosin\\Base\\\r\n"
        "[Destination]\r\nPasswordKey=00112233\r\n";
    IniFile ini = IniFile::fromBytes(before);
    ini.setValue("paths", "v3", "D:\\Cabinet\\V3.mdb");
    QCOMPARE(ini.toBytes(),
             QByteArray("[Paths]\r\nV3=D:\\Cabinet\\V3.mdb\r\n; keep me\r\n"
                        "Talmeros=C:\\Talmerosin\\Base\\\r\n"
                        "[Destination]\r\nPasswordKey=00112233\r\n"));
    // Writing the same value again gives the same bytes.
    ini.setValue("Paths", "Talmeros", "C:\\Talmerosin\\Base\\");
    QCOMPARE(IniFile::fromBytes(ini.toBytes()).value("Paths", "Talmeros"),
             QStringLiteral("C:\\Talmerosin\\Base\\"));
    QVERIFY(ini.toBytes().endsWith("[Destination]\r\nPasswordKey=00112233\r\n"));

    // The first of duplicate keys is the one read and written.
    IniFile dup = IniFile::fromBytes("[Main]\nVider=0\nVider=1\n");
    dup.setBool("Main", "Vider", true);
    QCOMPARE(dup.toBytes(), QByteArray("[Main]\nVider=1\nVider=1\n"));
}

void TestConfig::iniWriteAddsKeysAndSections()
{
    IniFile ini = IniFile::fromBytes("[Paths]\r\nV3=a\r\n\r\n[Destination]\r\nDriver=SQLite3");
    ini.setValue("Paths", "Courrier", "b\\");
    ini.setBool("Main", "Vider", false);
    QCOMPARE(ini.toBytes(),
             QByteArray("[Paths]\r\nV3=a\r\nCourrier=b\\\r\n\r\n[Destination]\r\nDriver=SQLite3\r\n"
                        "[Main]\r\nVider=0\r\n"));
    QCOMPARE(ini.keys("Paths"), QStringList({"V3", "Courrier"}));
    QCOMPARE(ini.value("main", "vider"), QStringLiteral("0"));

    IniFile empty;
    empty.setValue("Paths", "V3", "x");
    QCOMPARE(empty.toBytes(), QByteArray("[Paths]\r\nV3=x\r\n"));
}

void TestConfig::iniLineEnds()
{
    // A file with bare line feeds keeps them, and new lines follow its style.
    IniFile lf = IniFile::fromBytes("[Paths]\nV3=a\n");
    lf.setValue("Paths", "Talmeros", "t");
    QCOMPARE(lf.toBytes(), QByteArray("[Paths]\nV3=a\nTalmeros=t\n"));

    const QByteArray mixed = "[A]\r\nk=1\nj=2\rl=3\r\n";
    const IniFile m = IniFile::fromBytes(mixed);
    QCOMPARE(m.toBytes(), mixed);
    QCOMPARE(m.value("A", "j"), QStringLiteral("2"));
    QCOMPARE(m.value("A", "l"), QStringLiteral("3"));
}

void TestConfig::iniWindows1252AndBom()
{
    // "é" as the single byte E9: not UTF-8, read as Windows-1252 and written back the same way.
    const QByteArray latin = "[Paths]\r\nV3=C:\\Donn\xE9" "es\\V3.mdb\r\nX=\x81\x8D\x9D\r\n";
    IniFile ini = IniFile::fromBytes(latin);
    QCOMPARE(ini.value("Paths", "V3"), QStringLiteral("C:\\Données\\V3.mdb"));
    QCOMPARE(ini.toBytes(), latin);
    ini.setValue("Paths", "Courrier", QStringLiteral("C:\\Lettres reçues\\"));
    QVERIFY(ini.toBytes().contains("Courrier=C:\\Lettres re\xE7ues\\\r\n"));
    QVERIFY(ini.toBytes().startsWith(latin));

    const QByteArray utf8 = "\xEF\xBB\xBF[Paths]\nV3=C:\\Donn\xC3\xA9" "es\n";
    IniFile u = IniFile::fromBytes(utf8);
    QVERIFY(u.hasSection("Paths"));
    QCOMPARE(u.value("Paths", "V3"), QStringLiteral("C:\\Données"));
    QCOMPARE(u.toBytes(), utf8);
    u.setValue("Paths", "Courrier", QStringLiteral("é"));
    QVERIFY(u.toBytes().endsWith("Courrier=\xC3\xA9\n"));
}

void TestConfig::iniValueCannotStartALine()
{
    IniFile ini = IniFile::fromBytes("[Paths]\r\nV3=a\r\n");
    ini.setValue("Paths", "V3", "x\r\n[Main]\r\nVider=1");
    const IniFile reread = IniFile::fromBytes(ini.toBytes());
    QVERIFY(!reread.hasSection("Main"));
    QCOMPARE(reread.keys("Paths"), QStringList({"V3"}));
}

void TestConfig::iniBadInput()
{
    QList<QByteArray> inputs;
    inputs << QByteArray() << QByteArray("\0\0\0[\0]=\0", 9) << QByteArray("[") << QByteArray("=")
           << QByteArray("[]\n=\n[Paths\nV3\n==\n ] [ \n") << QByteArray("\xFF\xFE[\x00P\x00]", 7)
           << QByteArray("\r\r\r\n\n\n") << QByteArray("[Paths]\nV3=") + QByteArray(1 << 20, 'x')
           << QByteArray(1 << 20, '[') << QByteArray(1 << 20, '=');
    QRandomGenerator random(20261208);
    for (int round = 0; round < 20; ++round) {
        QByteArray garbage(4096 + random.bounded(4096), Qt::Uninitialized);
        for (char& c : garbage)
            c = char(random.bounded(256));
        inputs << garbage;
    }
    for (const QByteArray& bytes : inputs) {
        IniFile ini = IniFile::fromBytes(bytes);
        QCOMPARE(ini.toBytes(), bytes);
        (void)ini.keys("Paths");
        QVERIFY(ini.boolValue("Main", "Vider", false) == false || ini.hasKey("Main", "Vider"));
        ini.setValue("Paths", "V3", "C:\\V3.mdb");
        QCOMPARE(IniFile::fromBytes(ini.toBytes()).value("Paths", "V3"), QStringLiteral("C:\\V3.mdb"));
    }
    const IniFile big = IniFile::fromBytes(QByteArray("[Paths]\nV3=") + QByteArray(1 << 20, 'x'));
    QCOMPARE(big.value("Paths", "V3").size(), 1 << 20);

    // Files that cannot be read are empty ones.
    QTemporaryDir dir;
    QVERIFY(!IniFile::load(dir.path()).hasSection("Paths"));
    QVERIFY(!IniFile::load(dir.filePath("missing.ini")).hasSection("Paths"));
}

void TestConfig::iniBoolValue_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("expected");
    QTest::newRow("one") << QByteArray("Vider=1") << true;
    QTest::newRow("zero") << QByteArray("Vider=0") << false;
    QTest::newRow("other number") << QByteArray("Vider=2") << true;
    QTest::newRow("negative") << QByteArray("Vider=-1") << true;
    QTest::newRow("blanks") << QByteArray("Vider =  1 ") << true;
    QTest::newRow("hexadecimal") << QByteArray("Vider=$10") << true;
    QTest::newRow("not a number") << QByteArray("Vider=oui") << false;
    QTest::newRow("empty") << QByteArray("Vider=") << false;
    QTest::newRow("too large") << QByteArray("Vider=99999999999") << false;
    QTest::newRow("missing") << QByteArray("Other=1") << false;
}

void TestConfig::iniBoolValue()
{
    QFETCH(QByteArray, line);
    QFETCH(bool, expected);
    const IniFile ini = IniFile::fromBytes("[Main]\r\n" + line + "\r\n");
    QCOMPARE(ini.boolValue("Main", "Vider", false), expected);
}

void TestConfig::findFileIgnoresCase()
{
    QTemporaryDir dir;
    writeBytes(dir.filePath("KESTRUNE.VER"), "[DBKERNEL]\n");
    QVERIFY(QDir(dir.path()).mkdir("kestrune.ver.d"));
    const QString found = findFileNoCase(dir.path(), "Kestrune.ver");
    QCOMPARE(QFileInfo(found).fileName(), QStringLiteral("KESTRUNE.VER"));
    QCOMPARE(existingFileNoCase(dir.filePath("kestrune.Ver")), found);
    QCOMPARE(findFileNoCase(dir.path(), "Kestrune.ver.D"), QString()); // folders are not files
    QCOMPARE(findFileNoCase(dir.path(), "EDITOR.INI"), QString());
    QCOMPARE(findFileNoCase(dir.filePath("missing"), "Kestrune.ver"), QString());
    QCOMPARE(existingFileNoCase(QString()), QString());
}

// ---------------------------------------------------------------------------------------------

void TestConfig::settingsPath_data()
{
    QTest::addColumn<QString>("executable");
    QTest::addColumn<QString>("expected");
    QTest::newRow("no extension") << "/opt/vf/velquor-fusion" << "/opt/vf/velquor-fusion.INI";
    QTest::newRow("extension") << "/opt/vf/Fusion.exe" << "/opt/vf/Fusion.INI";
    QTest::newRow("dot in folder") << "/opt/v1.2/velquor-fusion" << "/opt/v1.2/velquor-fusion.INI";
    QTest::newRow("two dots") << "/opt/vf/fusion.v3.exe" << "/opt/vf/fusion.v3.INI";
}

void TestConfig::settingsPath()
{
    QFETCH(QString, executable);
    QFETCH(QString, expected);
    QCOMPARE(settingsFilePath(executable), expected);
}

void TestConfig::programFiles_data()
{
    // Paths relative to a fresh folder holding "bin/" and the regular file "file"; an executable
    // under "file" is in a folder where nothing can be created, even by root.
    QTest::addColumn<QString>("executable");
    QTest::addColumn<QString>("xdgDataHome"); // "-": unset
    QTest::addColumn<QString>("expectedFolder"); // empty: no folder can be used
    QTest::newRow("writable executable folder") << "bin/velquor-fusion" << "xdg" << "bin";
    QTest::newRow("unusable, XDG_DATA_HOME set") << "file/velquor-fusion" << "xdg" << "xdg/velquor-fusion";
    QTest::newRow("unusable, XDG_DATA_HOME unset")
        << "file/velquor-fusion" << "-" << "home/.local/share/velquor-fusion";
    QTest::newRow("unusable, XDG_DATA_HOME relative")
        << "file/velquor-fusion" << "relative" << "home/.local/share/velquor-fusion";
    QTest::newRow("executable folder writable by its group") << "shared/velquor-fusion" << "xdg" << "xdg/velquor-fusion";
    QTest::newRow("renamed executable") << "file/fusion.exe" << "xdg" << "xdg/velquor-fusion";
    QTest::newRow("per-user folder cannot be created") << "file/velquor-fusion" << "file" << "";
    QTest::newRow("per-user folder writable by others") << "file/velquor-fusion" << "others" << "";
    QTest::newRow("per-user folder of another user") << "file/velquor-fusion" << "owned" << "";
}

void TestConfig::programFiles()
{
    QFETCH(QString, executable);
    QFETCH(QString, xdgDataHome);
    QFETCH(QString, expectedFolder);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkdir("bin"));
    QVERIFY(QDir(dir.path()).mkdir("shared"));
    QVERIFY(QFile::setPermissions(dir.filePath("shared"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                            | QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup));
    writeBytes(dir.filePath("file"), "not a folder");
    // Root's home comes from the user database, whatever HOME says.
    if (::geteuid() == 0 && expectedFolder.startsWith("home/"))
        QSKIP("root's per-user folder is in root's own home");
    const QString perUser = dir.filePath(xdgDataHome + "/velquor-fusion");
    if (xdgDataHome == "others" || xdgDataHome == "owned") {
        QVERIFY(QDir().mkpath(perUser));
        QVERIFY(::chmod(QFile::encodeName(perUser).constData(), xdgDataHome == "others" ? 0777 : 0700) == 0);
    }
    if (xdgDataHome == "owned" && (::geteuid() != 0 || ::chown(QFile::encodeName(perUser).constData(), 65534, 65534) != 0))
        QSKIP("only root can give a folder to another user");
    const QByteArray savedHome = qgetenv("HOME");
    const QByteArray savedXdg = qgetenv("XDG_DATA_HOME");
    const bool hadXdg = qEnvironmentVariableIsSet("XDG_DATA_HOME");
    qputenv("HOME", QFile::encodeName(dir.filePath("home")));
    if (xdgDataHome == "-")
        qunsetenv("XDG_DATA_HOME");
    else
        qputenv("XDG_DATA_HOME", QFile::encodeName(xdgDataHome == "relative" ? xdgDataHome : dir.filePath(xdgDataHome)));
    const ProgramFiles files = chooseProgramFiles(dir.filePath(executable));
    qputenv("HOME", savedHome);
    if (hadXdg)
        qputenv("XDG_DATA_HOME", savedXdg);
    else
        qunsetenv("XDG_DATA_HOME");

    if (expectedFolder.isEmpty()) {
        QCOMPARE(files.folder, QString());
        QCOMPARE(files.settingsPath, QString());
        QVERIFY2(files.error.startsWith("Le dossier du programme " + dir.filePath("file")
                                        + " n'est pas accessible en écriture et le dossier "
                                        + perUser + " ne peut être ni créé ni utilisé : "),
                 qPrintable(files.error));
        if (xdgDataHome != "file")
            QVERIFY2(files.error.endsWith(xdgDataHome == "others" ? "d'autres utilisateurs peuvent écrire dans le dossier"
                                                                  : "le dossier appartient à un autre utilisateur"),
                     qPrintable(files.error));
        return;
    }
    QCOMPARE(files.error, QString());
    QCOMPARE(files.folder, dir.filePath(expectedFolder));
    QCOMPARE(files.settingsPath, settingsFilePath(dir.filePath(expectedFolder + "/" + QFileInfo(executable).fileName())));
    QVERIFY(QFileInfo(files.folder).isDir());
    QCOMPARE(QDir(files.folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList());
    // A per-user folder is created readable by its owner only.
    const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther
                                    | QFile::WriteOther | QFile::ExeOther;
    if (expectedFolder != "bin")
        QCOMPARE(QFileInfo(files.folder).permissions() & others, QFile::Permissions());
}

void TestConfig::userFolderHome_data()
{
    QTest::addColumn<QByteArray>("home"); // "-": unset
    QTest::newRow("HOME unset") << QByteArray("-");
    QTest::newRow("HOME relative") << QByteArray("relative/home");
    QTest::newRow("HOME of another folder") << QByteArray("/srv/autre");
}

// The home of the per-user folder: HOME when it is absolute, else the user database's; root's
// always the user database's (su and sudo -E keep the caller's HOME).
void TestConfig::userFolderHome()
{
    QFETCH(QByteArray, home);
    const struct passwd* entry = ::getpwuid(::geteuid());
    QVERIFY(entry && entry->pw_dir);
    const QString expected = (home.startsWith('/') && ::geteuid() != 0 ? QString::fromUtf8(home) : QFile::decodeName(entry->pw_dir))
        + QStringLiteral("/.local/share/velquor-fusion");
    const QByteArray savedHome = qgetenv("HOME");
    const QByteArray savedXdg = qgetenv("XDG_DATA_HOME");
    const bool hadXdg = qEnvironmentVariableIsSet("XDG_DATA_HOME");
    qunsetenv("XDG_DATA_HOME");
    if (home == "-")
        qunsetenv("HOME");
    else
        qputenv("HOME", home);
    const QString folder = userDataFolder();
    qputenv("HOME", savedHome);
    if (hadXdg)
        qputenv("XDG_DATA_HOME", savedXdg);
    QCOMPARE(folder, QDir::cleanPath(expected));
}

void TestConfig::settingsDefaults()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("velquor-fusion.INI");

    // No file: the design-time texts.
    WindowSettings s = loadWindowSettings(path);
    QCOMPARE(s.v3, QStringLiteral("C:\\V3.mdb"));
    QCOMPARE(s.courrier, QStringLiteral("C:\\COURRIER\\"));
    QCOMPARE(s.talmeros, QStringLiteral("C:\\Talmerosin\\Base\\"));
    QCOMPARE(s.vider, false);

    // A file without the keys: the keys' own defaults.
    writeBytes(path, "[Destination]\r\nDriver=SQLite3\r\n");
    s = loadWindowSettings(path);
    QCOMPARE(s.v3, QStringLiteral("C:\\Quernix\\Velquor\\BDD\\V3.MDB"));
    QCOMPARE(s.courrier, QStringLiteral("C:\\Quernix\\Velquor\\COURRIER\\"));
    QCOMPARE(s.talmeros, QStringLiteral("C:\\Talmerosin\\Base\\"));
    QCOMPARE(s.vider, false);

    writeBytes(path, "[paths]\nv3=/data/V3.mdb\ncourrier=\n[MAIN]\nVider=1\n");
    s = loadWindowSettings(path);
    QCOMPARE(s.v3, QStringLiteral("/data/V3.mdb"));
    QCOMPARE(s.courrier, QString()); // present but empty
    QCOMPARE(s.vider, true);

    // Garbage: read without harm, defaults for what is missing.
    writeBytes(path, QByteArray("\0\xFF[Main]\0Vider=1\n", 16) + QByteArray(1 << 20, '\xC3'));
    s = loadWindowSettings(path);
    QCOMPARE(s.v3, QStringLiteral("C:\\Quernix\\Velquor\\BDD\\V3.MDB"));
    QCOMPARE(s.vider, false);
}

void TestConfig::settingsSaveKeepsTheRest()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("velquor-fusion.INI");
    const QByteArray before = "; technicien : ne pas modifier\r\n"
                              "[Destination]\r\nDriver=FreeTDS\r\nOptions=Port=1433;Encrypt=yes\r\n"
                              "[Paths]\r\nV3=C:\\Ancien\\V3.mdb\r\nAutre=garde\r\n";
    writeBytes(path, before);
    WindowSettings s;
    s.v3 = QStringLiteral("C:\\Cabinet\\BDD\\V3.MDB");
    s.courrier = QStringLiteral("\\\\serveur\\partage\\COURRIER\\");
    s.talmeros = QStringLiteral("C:\\Talmerosin\\Base\\");
    s.vider = true;
    saveWindowSettings(path, s);
    QCOMPARE(readBytes(path),
             QByteArray("; technicien : ne pas modifier\r\n"
                        "[Destination]\r\nDriver=FreeTDS\r\nOptions=Port=1433;Encrypt=yes\r\n"
                        "[Paths]\r\nV3=C:\\Cabinet\\BDD\\V3.MDB\r\nAutre=garde\r\n"
                        "Courrier=\\\\serveur\\partage\\COURRIER\\\r\n"
                        "Talmeros=C:\\Talmerosin\\Base\\\r\n"
                        "[Main]\r\nVider=1\r\n"));
    const WindowSettings back = loadWindowSettings(path);
    QCOMPARE(back.v3, s.v3);
    QCOMPARE(back.courrier, s.courrier);
    QCOMPARE(back.talmeros, s.talmeros);
    QCOMPARE(back.vider, true);

    // A second save of the same values changes nothing.
    const QByteArray once = readBytes(path);
    saveWindowSettings(path, back);
    QCOMPARE(readBytes(path), once);

    // No file yet: one is created.
    const QString fresh = dir.filePath("fresh.INI");
    saveWindowSettings(fresh, s);
    QCOMPARE(loadWindowSettings(fresh).courrier, s.courrier);
}

void TestConfig::settingsSaveFailure()
{
    QTemporaryDir dir;
    // A regular file where the folder should be: the write fails with an error.
    writeBytes(dir.filePath("notafolder"), "x");
    QVERIFY_THROWS_EXCEPTION(Error, saveWindowSettings(dir.filePath("notafolder/velquor-fusion.INI"),
                                                       WindowSettings()));
    // A folder where the file should be: the write fails, the folder stays.
    QVERIFY(QDir(dir.path()).mkdir("velquor-fusion.INI"));
    QVERIFY_THROWS_EXCEPTION(Error, saveWindowSettings(dir.filePath("velquor-fusion.INI"),
                                                       WindowSettings()));
}

// ---------------------------------------------------------------------------------------------

void TestConfig::kestrune()
{
    QTemporaryDir dir;
    // No file: every default.
    KestruneConfig c = readKestrune(dir.path());
    QCOMPARE(c.databaseName, QString());
    QCOMPARE(c.serverName, QString());
    QCOMPARE(c.sapw, QString());
    QCOMPARE(c.userName, QStringLiteral("sa"));

    writeBytes(dir.filePath("KESTRUNE.VER"),
               "[Other]\r\nDatabaseName=wrong\r\n"
               "[dbkernel]\r\n  DatabaseName =  TALMEROSIN  \r\nServerName=SRV\\SQLEXPRESS\r\n"
               "SAPW=726760766072\r\nUserName=\r\n");
    c = readKestrune(dir.path()); // no final separator: it is added
    QCOMPARE(c.databaseName, QStringLiteral("TALMEROSIN"));
    QCOMPARE(c.serverName, QStringLiteral("SRV\\SQLEXPRESS"));
    QCOMPARE(c.sapw, QStringLiteral("726760766072"));
    QCOMPARE(c.userName, QString()); // present and empty: an empty login

    c = readKestrune(dir.path() + QDir::separator());
    QCOMPARE(c.databaseName, QStringLiteral("TALMEROSIN"));
}

void TestConfig::kestruneBadInput()
{
    QTemporaryDir dir;
    const QString path = dir.filePath("Kestrune.ver");
    writeBytes(path, QByteArray("\x00\x01\x02[DBKERNEL\xFF\n", 14) + QByteArray(1 << 20, '\0')
                         + "\n[DBKERNEL]\nServerName=first\n[DBKERNEL]\nServerName=second\n"
                           "ServerName=third\nUserName=a;b\n");
    const KestruneConfig c = readKestrune(dir.path());
    QCOMPARE(c.serverName, QStringLiteral("first"));
    QCOMPARE(c.userName, QStringLiteral("a;b"));
    QCOMPARE(c.databaseName, QString());

    // A value with ";" cannot add an attribute to the connection string.
    DestinationOptions freeTds;
    freeTds.driver = QStringLiteral("FreeTDS");
    const QString text = buildDestinationConnectionString(c, QStringLiteral("murvex"), freeTds);
    const auto pairs = parseOdbc(text);
    QCOMPARE(pairs.size(), 5);
    QCOMPARE(pairs.at(3), qMakePair(QStringLiteral("UID"), QStringLiteral("a;b")));

    // A folder named like the file is not the file.
    QTemporaryDir other;
    QVERIFY(QDir(other.path()).mkdir("Kestrune.ver"));
    QCOMPARE(readKestrune(other.path()).userName, QStringLiteral("sa"));
}

void TestConfig::hexToInt_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("expected");
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("FF") << "FF" << 255;
    QTest::newRow("lower case") << "ff" << 255;
    QTest::newRow("weights") << "1A2" << 0x1A2;
    QTest::newRow("foreign characters count as 0") << "1G" << 16;
    QTest::newRow("colon") << ":5" << 5;
    QTest::newRow("all ones") << "FFFFFFFF" << -1;
    QTest::newRow("wraps at 32 bits") << "100000001" << 1;
}

void TestConfig::hexToInt()
{
    QFETCH(QString, text);
    QFETCH(int, expected);
    QCOMPARE(HexToInt(text), expected);
}

void TestConfig::decodePassword_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("expected");
    QTest::newRow("empty") << "" << "";
    QTest::newRow("secret") << "726760766072" << "secret";
    QTest::newRow("accented, longer than 32 bytes")
        << "4C6D772461632778687978692D7A7DF862327F7B7B713B3869766E6F3D7A7A203230236B6672627C7A2A2A"
        << QStringLiteral("Mot de passe très long, plus de 32 octets !");
    QTest::newRow("odd length") << "72676" << "_";
    QTest::newRow("lower case refused") << "72676076607a" << "_";
    QTest::newRow("G refused") << "7G" << "_";
    QTest::newRow("blank refused") << "72 6" << "_";
    QTest::newRow("colon counts as 0") << ":0" << QString(QChar(0x01));
    QTest::newRow("at sign counts as 0") << "@3" << QString(QChar(0x03 ^ 0x01));
    // Byte 32 is left as it is, byte 33 is combined with key byte 1.
    QString expected;
    for (int i = 1; i <= 31; ++i)
        expected += QChar(i);
    expected += QChar(0x41);
    expected += QChar(0x41 ^ 0x01);
    QTest::newRow("bytes 32 and 33") << QString(QStringLiteral("00").repeated(31) + "4141")
                                     << expected;
}

void TestConfig::decodePassword()
{
    QFETCH(QString, stored);
    QFETCH(QString, expected);
    QCOMPARE(DecodeStoredPassword(stored, kTestKey), expected);
}

void TestConfig::builtinKey()
{
    // Zero bytes decode to the key itself: the built-in key is used without a key, and with a
    // key that is not 32 bytes long.
    const QByteArray key = builtinPasswordKey();
    QCOMPARE(key.size(), 32);
    const QString stored = QStringLiteral("00").repeated(31);
    QCOMPARE(toWindows1252(DecodeStoredPassword(stored)), key.left(31));
    QCOMPARE(toWindows1252(DecodeStoredPassword(stored, QByteArray("short"))), key.left(31));
}

void TestConfig::sqlServerPassword()
{
    KestruneConfig config;
    DestinationOptions options;
    QCOMPARE(vf::sqlServerPassword(config, options), QStringLiteral("murvex"));
    config.sapw = QStringLiteral("   ");
    QCOMPARE(vf::sqlServerPassword(config, options), QStringLiteral("murvex"));
    config.sapw = QStringLiteral("726760766072");
    options.passwordKey = QString::fromLatin1(kTestKey.toHex()).toUpper();
    QCOMPARE(vf::sqlServerPassword(config, options), QStringLiteral("secret"));
    options.passwordKey = QString::fromLatin1(kTestKey.toHex()); // lower case accepted
    QCOMPARE(vf::sqlServerPassword(config, options), QStringLiteral("secret"));
    options.passwordKey = QStringLiteral("0102"); // not 64 digits: nothing decodes
    QCOMPARE(vf::sqlServerPassword(config, options), QStringLiteral("_"));
    options.passwordKey = QStringLiteral("zz").repeated(32);
    QCOMPARE(vf::sqlServerPassword(config, options), QStringLiteral("_"));
    config.sapw = QStringLiteral("726");
    options.passwordKey.clear();
    QCOMPARE(vf::sqlServerPassword(config, options), QStringLiteral("_"));

    // The key is read from the settings file.
    QTemporaryDir dir;
    const QString settings = dir.filePath("velquor-fusion.INI");
    writeBytes(settings, "[Paths]\r\nV3=x\r\n[destination]\r\npasswordkey = "
                             + kTestKey.toHex() + "\r\nDriver=SQLite3\r\nOptions=Timeout=5;\r\n");
    const DestinationOptions read = readDestinationOptions(settings);
    QCOMPARE(read.driver, QStringLiteral("SQLite3"));
    QCOMPARE(read.options, QStringLiteral("Timeout=5;"));
    config.sapw = QStringLiteral("726760766072");
    QCOMPARE(vf::sqlServerPassword(config, read), QStringLiteral("secret"));
    const DestinationOptions none = readDestinationOptions(dir.filePath("missing.INI"));
    QVERIFY(none.driver.isEmpty() && none.options.isEmpty() && none.passwordKey.isEmpty());
}

void TestConfig::connectionString()
{
    KestruneConfig config;
    config.databaseName = QStringLiteral("TALMEROSIN");
    config.serverName = QStringLiteral("SRV\\SQLEXPRESS");
    DestinationOptions options;
    QCOMPARE(buildDestinationConnectionString(config, QStringLiteral("murvex"), options),
             QStringLiteral("DRIVER={") + defaultOdbcDriver()
                 + QStringLiteral("};SERVER=SRV\\SQLEXPRESS;DATABASE=TALMEROSIN;UID=sa;PWD=murvex;"));
#ifdef _WIN32
    QCOMPARE(defaultOdbcDriver(), QStringLiteral("SQL Server"));
#else
    QCOMPARE(defaultOdbcDriver(), QStringLiteral("FreeTDS"));
#endif
    options.driver = QStringLiteral("ODBC Driver 18 for SQL Server");
    options.options = QStringLiteral("Port=1433;TDS_Version=7.4;Encrypt=yes");
    QCOMPARE(buildDestinationConnectionString(config, QStringLiteral("p"), options),
             QStringLiteral("DRIVER={ODBC Driver 18 for SQL Server};SERVER=SRV\\SQLEXPRESS;"
                            "DATABASE=TALMEROSIN;UID=sa;PWD=p;Port=1433;TDS_Version=7.4;Encrypt=yes"));
    // The driver's name is wrapped in braces: a "}" in it is refused.
    options.driver = QStringLiteral("Dri}ver;X=1");
    QVERIFY_THROWS_EXCEPTION(Error, buildDestinationConnectionString(config, QStringLiteral("p"), options));
    // Missing catalogue and server: empty values.
    QCOMPARE(buildDestinationConnectionString(KestruneConfig(), QStringLiteral("murvex"), {}),
             QStringLiteral("DRIVER={") + defaultOdbcDriver()
                 + QStringLiteral("};SERVER=;DATABASE=;UID=sa;PWD=murvex;"));
}

// A verification opens the destination with the operator's Options but the SQLite3 driver's
// journal settings, which would change the destination's file.
void TestConfig::journalOptionsLeftOut_data()
{
    QTest::addColumn<QString>("options");
    QTest::addColumn<QString>("kept");
    QTest::newRow("test settings") << "SyncPragma=NORMAL;JournalMode=WAL" << "";
    QTest::newRow("any case, others kept") << "Port=1433;journalmode=wal;TDS_Version=7.4;" << "Port=1433;TDS_Version=7.4;";
    QTest::newRow("braced value") << "Timeout={1;2};SYNCPRAGMA=OFF" << "Timeout={1;2};";
    QTest::newRow("empty") << "" << "";
}

void TestConfig::journalOptionsLeftOut()
{
    QFETCH(QString, options);
    QFETCH(QString, kept);
    QCOMPARE(vf::withoutJournalOptions(options), kept);
}

void TestConfig::connectionStringQuoting_data()
{
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("quoted");
    QTest::addColumn<bool>("freeTds"); // carried by FreeTDS, which reads braces
    QTest::addColumn<bool>("sqlite");  // carried by the SQLite3 driver, which does not
    QTest::newRow("plain") << "TALMEROSIN" << "TALMEROSIN" << true << true;
    QTest::newRow("backslash") << "SRV\\INST" << "SRV\\INST" << true << true;
    QTest::newRow("equals") << "a=b" << "a=b" << true << true;
    QTest::newRow("semicolon") << "pw;UID=evil" << "{pw;UID=evil}" << true << false;
    QTest::newRow("opening brace") << "{pw" << "{{pw}" << true << false;
    QTest::newRow("closing brace") << "pw}" << "{pw}}}" << false << false;
    QTest::newRow("brace then attribute") << "a};PWD=x;{" << "{a}};PWD=x;{}" << false << false;
    QTest::newRow("leading blank") << " pw" << "{ pw}" << true << false;
    QTest::newRow("trailing blank") << "pw " << "{pw }" << true << false;
    QTest::newRow("control character") << "pw\x01" << "pw\x01" << false << false;
    QTest::newRow("line break") << "pw\r\nx" << "pw\r\nx" << false << false;
    QTest::newRow("empty") << "" << "" << true << true;
}

void TestConfig::connectionStringQuoting()
{
    QFETCH(QString, value);
    QFETCH(QString, quoted);
    QFETCH(bool, freeTds);
    QFETCH(bool, sqlite);
    QCOMPARE(quoteOdbcValue(value), quoted);

    // Whichever field holds it, the value stays one attribute with its exact text, or it is
    // refused before any connection with a message that names its key, never the password.
    const QStringList keys = {"ServerName", "DatabaseName", "UserName", "SAPW"};
    for (const auto& [driver, carried] : {std::pair{QStringLiteral("FreeTDS"), freeTds},
                                          std::pair{QStringLiteral("SQLite3"), sqlite}}) {
        DestinationOptions options;
        options.driver = driver;
        for (qsizetype field = 0; field < keys.size(); ++field) {
            KestruneConfig config;
            QString password = QStringLiteral("murvex");
            QString* const target[] = {&config.serverName, &config.databaseName, &config.userName, &password};
            *target[field] = value;
            QString message;
            QList<QPair<QString, QString>> pairs;
            try {
                pairs = parseOdbc(buildDestinationConnectionString(config, password, options));
            } catch (const Error& error) {
                message = error.message();
            }
            const QString row = driver + u' ' + keys[field] + QStringLiteral(": ") + message;
            QVERIFY2(message.isEmpty() == carried, qPrintable(row));
            if (carried) {
                QCOMPARE(pairs.size(), 5);
                QCOMPARE(pairs.at(field + 1).second, value);
            } else {
                QVERIFY2(message.contains(keys[field]), qPrintable(row));
                QVERIFY2(field != 3 || !message.contains(value), qPrintable(row));
            }
        }
    }
}

void TestConfig::oledbConnectionString()
{
    KestruneConfig config;
    config.databaseName = QStringLiteral("TALMEROSIN");
    config.serverName = QStringLiteral("SRV");
    QCOMPARE(buildSqlOledbConnectionString(config, QStringLiteral("murvex")),
             QStringLiteral("Provider=SQLOLEDB.1;Password=murvex;Persist Security Info=True;"
                            "User ID=sa;Initial Catalog=TALMEROSIN;Data Source=SRV"));
}

QTEST_GUILESS_MAIN(TestConfig)
#include "tst_config.moc"

#include "base/Settings.h"

#include "base/Conversions.h"
#include "base/Errors.h"
#include "base/IniFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTemporaryFile>

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <vector>

#ifdef Q_OS_UNIX
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef _WIN32
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>
#endif

namespace vf {
namespace {

const QString kPaths = QStringLiteral("Paths");
const QString kMain = QStringLiteral("Main");
const QString kV3 = QStringLiteral("V3");
const QString kCourrier = QStringLiteral("Courrier");
const QString kTalmeros = QStringLiteral("Talmeros");
const QString kVider = QStringLiteral("Vider");
// Where Talmérosin keeps its base on Windows; elsewhere no such folder exists, and the field is
// left for the operator to fill.
#ifdef _WIN32
const QString kDefaultTalmeros = QStringLiteral("C:\\Talmerosin\\Base\\");
#else
const QString kDefaultTalmeros;
#endif

// Whether a file can be created in the folder: the one test that holds alike for permissions,
// read-only file systems and Windows access lists. The probe file is removed at once.
bool canCreateFileIn(const QString& folder, QString* reason)
{
    QTemporaryFile probe(QDir(folder).filePath(QStringLiteral(".velquor-fusion-XXXXXX")));
    if (probe.open())
        return true;
    *reason = probe.errorString();
    return false;
}

// Creates the folder, its missing parents with the usual permissions and the folder itself
// readable by its owner only (it holds the import logs and perhaps a password key).
bool createOwnerOnlyFolder(const QString& folder, QString* reason)
{
    if (QFileInfo(folder).isDir())
        return true;
    namespace fs = std::filesystem;
    const fs::path path(folder.toStdU16String());
    std::error_code error;
    fs::create_directories(path.parent_path(), error);
    if (!error && fs::create_directory(path, error))
        fs::permissions(path, fs::perms::owner_all, fs::perm_options::replace, error);
    if (error)
        *reason = QString::fromLocal8Bit(error.message());
    return !error && QFileInfo(folder).isDir();
}

#ifdef _WIN32
// Who may write in a folder of ours on Windows without being someone else: the running user, the
// system, the administrators, Windows' installer service (TrustedInstaller), and the owner that
// an access list names in what is created in the folder ("CREATOR OWNER", "OWNER RIGHTS").
bool isTrustedWriter(PSID sid, PSID user)
{
    if (EqualSid(sid, user))
        return true;
    for (const WELL_KNOWN_SID_TYPE type : {WinLocalSystemSid, WinBuiltinAdministratorsSid, WinCreatorOwnerSid, WinCreatorOwnerRightsSid})
        if (IsWellKnownSid(sid, type))
            return true;
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(sid, &text))
        return false;
    const bool installer = QString::fromWCharArray(text) == QLatin1String("S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464");
    LocalFree(text);
    return installer;
}

// The folder's owner and every entry of its access list that allows writing, to the folder
// itself or to what is created in it (the link tables' folder, the logs): none may be another
// user, a group of users or everyone. Entries that deny are not counted, nor relied on.
bool isOwnFolderAccess(const QString& folder, QString* reason)
{
    HANDLE token = nullptr;
    QByteArray user;
    if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        DWORD size = 0;
        GetTokenInformation(token, TokenUser, nullptr, 0, &size);
        user.resize(qsizetype(size));
        if (size == 0 || !GetTokenInformation(token, TokenUser, user.data(), size, &size))
            user.clear();
        CloseHandle(token);
    }
    if (user.isEmpty()) {
        *reason = QStringLiteral("l'utilisateur du programme est inconnu");
        return false;
    }
    const PSID userSid = reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid;
    PSID owner = nullptr;
    PACL access = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const QString path = QDir::toNativeSeparators(folder);
    if (GetNamedSecurityInfoW(reinterpret_cast<const wchar_t*>(path.utf16()), SE_FILE_OBJECT,
                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr, &access,
                              nullptr, &descriptor)
        != ERROR_SUCCESS) {
        *reason = QStringLiteral("les droits d'accès du dossier sont illisibles");
        return false;
    }
    constexpr DWORD writing = FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD
        | FILE_WRITE_ATTRIBUTES | DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;
    bool own = true;
    if (!owner || !isTrustedWriter(owner, userSid)) {
        *reason = QStringLiteral("le dossier appartient à un autre utilisateur");
        own = false;
    } else if (!access) {
        *reason = QStringLiteral("le dossier n'a pas de liste d'accès : tout le monde peut y écrire");
        own = false;
    }
    for (DWORD i = 0; own && i < access->AceCount; ++i) {
        ACE_HEADER* entry = nullptr;
        if (!GetAce(access, i, reinterpret_cast<void**>(&entry))) {
            *reason = QStringLiteral("les droits d'accès du dossier sont illisibles");
            own = false;
        } else if (entry->AceType == ACCESS_ALLOWED_ACE_TYPE) {
            const auto* allowed = reinterpret_cast<ACCESS_ALLOWED_ACE*>(entry);
            if ((allowed->Mask & writing) && !isTrustedWriter(const_cast<DWORD*>(&allowed->SidStart), userSid)) {
                *reason = QStringLiteral("d'autres utilisateurs peuvent écrire dans le dossier");
                own = false;
            }
        } else if (entry->AceType != ACCESS_DENIED_ACE_TYPE && entry->AceType != ACCESS_DENIED_OBJECT_ACE_TYPE
                   && entry->AceType != ACCESS_DENIED_CALLBACK_ACE_TYPE && entry->AceType != ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE) {
            // An entry that allows under conditions this check does not read.
            *reason = QStringLiteral("d'autres utilisateurs peuvent écrire dans le dossier");
            own = false;
        }
    }
    LocalFree(descriptor);
    return own;
}
#endif

// A folder holds the link tables, the import logs and the settings file only when they are the
// running user's own: the folder is this user's and nobody else may write in it (another user's
// folder, found through a HOME that su or sudo -E kept, could hand root that user's settings).
// On Windows the folder's access list says it.
bool isOwnFolder(const QString& folder, QString* reason)
{
#ifdef Q_OS_UNIX
    struct stat status {};
    const QString path = QFileInfo(folder).canonicalFilePath();
    if (path.isEmpty() || ::stat(QFile::encodeName(path).constData(), &status) != 0) {
        *reason = QStringLiteral("dossier introuvable");
        return false;
    }
    if (status.st_uid != ::geteuid()) {
        *reason = QStringLiteral("le dossier appartient à un autre utilisateur");
        return false;
    }
    if (status.st_mode & (S_IWGRP | S_IWOTH)) {
        *reason = QStringLiteral("d'autres utilisateurs peuvent écrire dans le dossier");
        return false;
    }
#elif defined(_WIN32)
    if (!isOwnFolderAccess(folder, reason))
        return false;
#else
    Q_UNUSED(folder);
    Q_UNUSED(reason);
#endif
    return true;
}

// The executable's folder serves when it is the user's own and, for root, no system folder (an
// installed /usr/bin/velquor-fusion run by root keeps root's files in root's per-user folder).
// On Windows never a folder of Program Files or of Windows: an installed program run as
// administrator keeps its files in the user's folder, where the same user's other runs find them.
bool isPrivateFolder(const QString& folder, QString* reason)
{
    if (!isOwnFolder(folder, reason))
        return false;
#ifdef _WIN32
    const QString path = QDir::cleanPath(QFileInfo(folder).absoluteFilePath());
    for (const int system : {CSIDL_PROGRAM_FILES, CSIDL_PROGRAM_FILESX86, CSIDL_WINDOWS}) {
        wchar_t found[MAX_PATH] = {};
        if (SHGetFolderPathW(nullptr, system, nullptr, SHGFP_TYPE_CURRENT, found) != S_OK)
            continue;
        const QString prefix = QDir::cleanPath(QDir::fromNativeSeparators(QString::fromWCharArray(found)));
        if (path.compare(prefix, Qt::CaseInsensitive) == 0 || path.startsWith(prefix + u'/', Qt::CaseInsensitive)) {
            *reason = QStringLiteral("dossier du système");
            return false;
        }
    }
#endif
#ifdef Q_OS_UNIX
    if (::geteuid() == 0) {
        const QString path = QFileInfo(folder).canonicalFilePath();
        for (const char* system : {"/usr", "/bin", "/sbin", "/lib", "/lib32", "/lib64", "/opt", "/etc", "/var", "/snap"}) {
            const QString prefix = QString::fromLatin1(system);
            if (path == prefix || path.startsWith(prefix + u'/')) {
                *reason = QStringLiteral("dossier du système");
                return false;
            }
        }
    }
#endif
    return true;
}

#if defined(Q_OS_UNIX) && !defined(Q_OS_DARWIN)
// The running user's home: HOME when it is set to an absolute path, else the user database's;
// root's always from the user database, as HOME may still be the user's who called su or sudo.
QString homeFolder()
{
    if (::geteuid() != 0)
        if (const QString home = qEnvironmentVariable("HOME"); QDir::isAbsolutePath(home))
            return home;
    std::vector<char> buffer(16384);
    struct passwd entry {};
    struct passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found || !found->pw_dir)
        return QString();
    const QString home = QFile::decodeName(found->pw_dir);
    return QDir::isAbsolutePath(home) ? home : QString();
}
#endif

} // namespace

QString settingsFilePath(const QString& executablePath)
{
    // The extension of the file name (not of a folder) is replaced; a name without one gets ".INI".
    qsizetype nameStart = executablePath.lastIndexOf(QLatin1Char('/')) + 1;
#ifdef _WIN32
    nameStart = std::max(nameStart, executablePath.lastIndexOf(QLatin1Char('\\')) + 1);
#endif
    const qsizetype dot = executablePath.lastIndexOf(QLatin1Char('.'));
    const QString base = dot > nameStart ? executablePath.left(dot) : executablePath;
    return base + QStringLiteral(".INI");
}

QString userDataFolder()
{
#if defined(Q_OS_UNIX) && !defined(Q_OS_DARWIN)
    QString base = qEnvironmentVariable("XDG_DATA_HOME");
    if (!QDir::isAbsolutePath(base)) { // unset, empty or relative: ignored, as the XDG rules say
        const QString home = homeFolder();
        if (home.isEmpty())
            return QString();
        base = home + QStringLiteral("/.local/share");
    }
    return QDir::cleanPath(base + QStringLiteral("/velquor-fusion"));
#elif defined(_WIN32)
    // The user's local application data (%LOCALAPPDATA%), which does not roam with the profile:
    // the link tables belong to this machine's migrations.
    QString base = qEnvironmentVariable("LOCALAPPDATA");
    if (!QDir::isAbsolutePath(base))
        base = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    return base.isEmpty() ? QString() : QDir::cleanPath(QDir::fromNativeSeparators(base) + QStringLiteral("/velquor-fusion"));
#else
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
#endif
}

ProgramFiles chooseProgramFiles(const QString& executablePath)
{
    const QString executableFolder = QFileInfo(executablePath).absolutePath();
    QString reason;
    if (isPrivateFolder(executableFolder, &reason) && canCreateFileIn(executableFolder, &reason))
        return {executableFolder, settingsFilePath(executablePath), QString()};
    const QString folder = userDataFolder();
    if (folder.isEmpty())
        reason = QStringLiteral("le dossier personnel de l'utilisateur est inconnu");
    else if (createOwnerOnlyFolder(folder, &reason) && isOwnFolder(folder, &reason) && canCreateFileIn(folder, &reason))
        return {folder, QDir(folder).filePath(QFileInfo(settingsFilePath(executablePath)).fileName()), QString()};
    return {QString(), QString(),
            QStringLiteral("Le dossier du programme %1 n'est pas accessible en écriture et le dossier %2 "
                           "ne peut être ni créé ni utilisé : %3")
                .arg(QDir::toNativeSeparators(executableFolder), QDir::toNativeSeparators(folder), reason)};
}

WindowSettings loadWindowSettings(const QString& settingsPath)
{
    WindowSettings settings;
    if (!QFileInfo(settingsPath).isFile())
        return settings;
    const IniFile ini = IniFile::load(settingsPath);
    settings.v3 = ini.value(kPaths, kV3, QStringLiteral("C:\\Quernix\\Velquor\\BDD\\V3.MDB"));
    settings.courrier =
        ini.value(kPaths, kCourrier, QStringLiteral("C:\\Quernix\\Velquor\\COURRIER\\"));
    settings.talmeros = ini.value(kPaths, kTalmeros, QStringLiteral("C:\\Talmerosin\\Base\\"));
    settings.vider = ini.boolValue(kMain, kVider, false);
    return settings;
}

void saveWindowSettings(const QString& settingsPath, const WindowSettings& settings, bool withVider)
{
    // An existing file that cannot be read is not replaced: its other sections would be lost.
    if (QFileInfo::exists(settingsPath)) {
        QFile probe(settingsPath);
        if (!probe.open(QIODevice::ReadOnly))
            throw Error(QStringLiteral("Impossible de lire le fichier ")
                        + QDir::toNativeSeparators(settingsPath) + QStringLiteral(" : ")
                        + probe.errorString());
    }
    IniFile ini = IniFile::load(settingsPath);
    ini.setValue(kPaths, kV3, settings.v3);
    ini.setValue(kPaths, kCourrier, settings.courrier);
    ini.setValue(kPaths, kTalmeros, settings.talmeros);
    if (withVider)
        ini.setBool(kMain, kVider, settings.vider);
    ini.save(settingsPath);
}

void checkStartupPaths(WindowSettings& settings)
{
    if (existingFileNoCase(settings.v3).isEmpty())
        settings.v3.clear();
    if (settings.courrier.isEmpty() || !QFileInfo(settings.courrier).isDir())
        settings.courrier.clear();
    // The name is appended as it is: a folder written without its final separator is emptied.
    if (settings.talmeros.isEmpty()
        || existingFileNoCase(settings.talmeros + QStringLiteral("Kestrune.Ver")).isEmpty())
        settings.talmeros.clear();
    if (settings.talmeros.isEmpty()
        || existingFileNoCase(AddTrailingBackslash(settings.talmeros) + QStringLiteral("Kestrune.ver"))
               .isEmpty())
        settings.talmeros = kDefaultTalmeros;
}

int readBatchSize(const QString& settingsPath)
{
    bool isNumber = false;
    const int size =
        IniFile::load(settingsPath).value(QStringLiteral("Import"), QStringLiteral("BatchSize")).trimmed().toInt(&isNumber);
    return isNumber && size > 0 ? size : 5000;
}

QString linksTablesFolder(const QString& programFolder)
{
    return QDir(programFolder).filePath(QStringLiteral("LinksTables"));
}

bool createLinksTablesFolder(const QString& programFolder)
{
    return QDir().mkpath(linksTablesFolder(programFolder));
}

void deleteLockFiles(const QString& programFolder)
{
    const QDir links(linksTablesFolder(programFolder));
    for (const char* name : {"PARADOX.LCK", "PDOXUSRS.LCK", "PDOXUSRS.NET"})
        DeleteFileIfExists(links.filePath(QString::fromLatin1(name)));
}

} // namespace vf

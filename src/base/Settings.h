#pragma once

#include <QString>

namespace vf {

// The settings file beside the executable: the executable's path with ".INI" as extension.
QString settingsFilePath(const QString& executablePath);

// Where the program keeps its settings file, its LinksTables folder and its import logs. The
// window and the batch run choose it once, at start-up, with chooseProgramFiles.
struct ProgramFiles {
    QString folder;       // LinksTables and the import logs
    QString settingsPath; // the settings file, under the executable's own base name
    QString error;        // why no folder can be used; folder and settingsPath are then empty
};

// The per-user folder: $XDG_DATA_HOME/velquor-fusion (an absolute XDG_DATA_HOME only), else
// ~/.local/share/velquor-fusion, where ~ is HOME when absolute, else the user database's home,
// and always the user database's for root (su and sudo -E keep the caller's HOME); empty when
// no home is known. %LOCALAPPDATA%\velquor-fusion on Windows; QStandardPaths::AppLocalDataLocation
// on macOS.
QString userDataFolder();

// The executable's folder when a file can be created there (a build tree, a folder unpacked by
// hand) and, on POSIX systems, it belongs to the running user, nobody else may write in it and,
// for root, it is no system folder (/usr, /bin, /opt, ...); otherwise userDataFolder(), created
// owner-only when missing, and used only when it is the running user's and no one else may write
// in it. When that folder can be neither created nor used, `error` holds a French message naming
// both folders and the reason.
ProgramFiles chooseProgramFiles(const QString& executablePath);

struct WindowSettings {
    QString v3 = QStringLiteral("C:\\V3.mdb");
    QString courrier = QStringLiteral("C:\\COURRIER\\");
    QString talmeros = QStringLiteral("C:\\Talmerosin\\Base\\");
    bool vider = false;
};

// Start-up step 1: the design-time values when the file is missing; the keys' defaults when the
// file exists but lacks a key.
WindowSettings loadWindowSettings(const QString& settingsPath);

// Writes Paths/V3, Paths/Courrier, Paths/Talmeros and Main/Vider in that order, keeping every
// other byte of the file; Main/Vider only with withVider (the window's box, which a batch run
// leaves as the window last saved it). Throws vf::Error when the file cannot be written.
void saveWindowSettings(const QString& settingsPath, const WindowSettings& settings, bool withVider = true);

// Start-up steps 2 to 4 and 8: a source database that is not a file and a letters folder that
// is not a folder are emptied; a destination folder without "Kestrune.ver" (file names matched
// without regard to case) becomes the default "C:\Talmerosin\Base\" on Windows, and is emptied
// elsewhere.
void checkStartupPaths(WindowSettings& settings);

// [Import] BatchSize: the most records that the run writes in one destination transaction; 5000
// when the key is missing or is not a number above 0.
int readBatchSize(const QString& settingsPath);

// The link-table folder beside the executable and the store's three lock files.
QString linksTablesFolder(const QString& programFolder);
bool createLinksTablesFolder(const QString& programFolder); // with missing parents
void deleteLockFiles(const QString& programFolder);         // each failure ignored

} // namespace vf

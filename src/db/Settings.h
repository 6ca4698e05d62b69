#pragma once

#include <QString>

namespace vf {

// The settings file beside the executable: the executable's path with ".INI" as extension.
QString settingsFilePath(const QString& executablePath);

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
// other byte of the file. Throws vf::Error when the file cannot be written.
void saveWindowSettings(const QString& settingsPath, const WindowSettings& settings);

// Start-up steps 2 to 4 and 8: a source database that is not a file and a letters folder that
// is not a folder are emptied; a destination folder without "Kestrune.ver" (file names matched
// without regard to case) becomes the default "C:\Talmerosin\Base\".
void checkStartupPaths(WindowSettings& settings);

// The link-table folder beside the executable and the store's three lock files.
QString linksTablesFolder(const QString& programFolder);
bool createLinksTablesFolder(const QString& programFolder); // with missing parents
void deleteLockFiles(const QString& programFolder);         // each failure ignored

} // namespace vf

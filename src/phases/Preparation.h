#pragma once

#include "base/Conversions.h"
#include "destination/DestinationConfig.h"
#include "links/Binding.h"

#include <QString>
#include <QStringList>

namespace vf {

// What the import run and the verification of a migration share before they read any record:
// the check of the three paths, the opening of the destination, the texts of the failures and
// the date formats of the records' messages.

inline const QString kBadPaths = QStringLiteral("Veuillez renseigner correctement les chemins !");

// The source file (found without regard to letter case), the letters folder and the destination
// base folder holding Kestrune.ver.
bool pathsAreValid(const QString& v3Path, const QString& courriersPath, const QString& talmerosPath);

// How the three paths are called where the operator gave them: the window's fields, or the
// command line's options.
struct PathNames {
    QString v3 = QStringLiteral("Base V3");
    QString courriers = QStringLiteral("Dossier des courriers");
    QString talmeros = QStringLiteral("Dossier Base de Talmérosin");
};

// One line for each path that the check refuses, naming it and telling why; none when the paths
// are valid. The lines follow kBadPaths.
QStringList pathProblems(const QString& v3Path, const QString& courriersPath, const QString& talmerosPath,
                         const PathNames& names = {});

QString accessConnectionFailure(const QString& v3Path, const QString& message);
QString destinationConnectionFailure(const QString& message);

// How the destination is reached: Kestrune.ver of the base folder and the settings file's
// [Destination] options, read by destinationAccess (vf::Error when a file cannot be read).
struct DestinationAccess {
    KestruneConfig config;
    DestinationOptions options;
    QString password;

    // The ODBC connection string; vf::Error for a value that the driver cannot be given safely.
    QString connectionString() const;
    // What names the destination, whose link tables are kept apart from any other's.
    DestinationIdentity identity() const;
};
DestinationAccess destinationAccess(const QString& talmerosPath, const QString& settingsPath);

// The date separator becomes "/"; outside Paradox mode the short date is dd/mm/yyyy.
DateFormats runDateFormats(const QString& talmerosPath);

} // namespace vf

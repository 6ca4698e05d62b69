#include "phases/Preparation.h"

#include "base/IniFile.h"
#include "base/Regional.h"
#include "phases/DestinationTables.h"

#include <QDir>
#include <QFileInfo>

namespace vf {

bool pathsAreValid(const QString& v3Path, const QString& courriersPath, const QString& talmerosPath)
{
    return !v3Path.isEmpty() && !talmerosPath.isEmpty() && !courriersPath.isEmpty()
        && QFileInfo(existingFileNoCase(v3Path)).isFile() && QFileInfo(courriersPath).isDir()
        && !findFileNoCase(talmerosPath, QStringLiteral("Kestrune.Ver")).isEmpty();
}

QStringList pathProblems(const QString& v3Path, const QString& courriersPath, const QString& talmerosPath,
                         const PathNames& names)
{
    const auto shown = [](const QString& path) { return QDir::toNativeSeparators(path); };
    QStringList lines;
    if (v3Path.isEmpty())
        lines.append(names.v3 + QStringLiteral(" : aucun fichier n'est indiqué."));
    else if (const QString found = existingFileNoCase(v3Path); found.isEmpty())
        lines.append(names.v3 + QStringLiteral(" : le fichier ") + shown(v3Path) + QStringLiteral(" est introuvable."));
    else if (!QFileInfo(found).isFile())
        lines.append(names.v3 + QStringLiteral(" : ") + shown(v3Path) + QStringLiteral(" n'est pas un fichier."));
    if (courriersPath.isEmpty())
        lines.append(names.courriers + QStringLiteral(" : aucun dossier n'est indiqué."));
    else if (const QFileInfo folder(courriersPath); !folder.exists())
        lines.append(names.courriers + QStringLiteral(" : le dossier ") + shown(courriersPath) + QStringLiteral(" est introuvable."));
    else if (!folder.isDir())
        lines.append(names.courriers + QStringLiteral(" : ") + shown(courriersPath) + QStringLiteral(" n'est pas un dossier."));
    if (talmerosPath.isEmpty())
        lines.append(names.talmeros + QStringLiteral(" : aucun dossier n'est indiqué."));
    else if (!QFileInfo(talmerosPath).isDir())
        lines.append(names.talmeros + QStringLiteral(" : le dossier ") + shown(talmerosPath) + QStringLiteral(" est introuvable."));
    else if (findFileNoCase(talmerosPath, QStringLiteral("Kestrune.Ver")).isEmpty())
        lines.append(names.talmeros + QStringLiteral(" : le dossier ") + shown(talmerosPath)
                     + QStringLiteral(" ne contient pas le fichier Kestrune.ver."));
    return lines;
}

QString accessConnectionFailure(const QString& v3Path, const QString& message)
{
    return QStringLiteral("Connexion à la base de données Access [") + v3Path + QStringLiteral("] impossible : ") + message;
}

QString destinationConnectionFailure(const QString& message)
{
    return QStringLiteral("Connexion à la base de données Talmérosin impossible : ") + message;
}

DestinationAccess destinationAccess(const QString& talmerosPath, const QString& settingsPath)
{
    DestinationAccess access{readKestrune(talmerosPath), readDestinationOptions(settingsPath), {}};
    access.password = sqlServerPassword(access.config, access.options);
    return access;
}

QString DestinationAccess::connectionString() const
{
    return buildDestinationConnectionString(config, password, options);
}

DestinationIdentity DestinationAccess::identity() const
{
    return destinationIdentity(options.driver.isEmpty() ? defaultOdbcDriver() : options.driver, config.serverName,
                               config.databaseName, options.options);
}

DateFormats runDateFormats(const QString& talmerosPath)
{
    DateFormats formats;
    formats.shortDate = IsParadoxBase(talmerosPath) ? withSlashSeparator(regionalShortDateFormat())
                                                    : QStringLiteral("dd/MM/yyyy");
    formats.longTime = regionalLongTimeFormat();
    return formats;
}

} // namespace vf

#include "import/Preparation.h"

#include "db/IniFile.h"
#include "db/Regional.h"
#include "import/DestinationTables.h"

#include <QFileInfo>

namespace vf {

bool pathsAreValid(const QString& v3Path, const QString& courriersPath, const QString& talmerosPath)
{
    return !v3Path.isEmpty() && !talmerosPath.isEmpty() && !courriersPath.isEmpty()
        && QFileInfo(existingFileNoCase(v3Path)).isFile() && QFileInfo(courriersPath).isDir()
        && !findFileNoCase(talmerosPath, QStringLiteral("Kestrune.Ver")).isEmpty();
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

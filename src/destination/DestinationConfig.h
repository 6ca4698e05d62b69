#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <utility>

namespace vf {

// Section DBKERNEL of "Kestrune.ver" in the destination base folder.
struct KestruneConfig {
    QString databaseName;
    QString serverName;
    QString sapw;
    QString userName = QStringLiteral("sa");
};

// Optional section [Destination] of the program's settings file.
struct DestinationOptions {
    QString driver;       // ODBC driver name; empty means the platform default
    QString options;      // extra ODBC attributes appended as they are
    QString passwordKey;  // 64 hexadecimal digits replacing the built-in key
    int queryTimeout = 300; // QueryTimeout: seconds a statement may wait for the server
};

KestruneConfig readKestrune(const QString& talmerosFolder); // name matched without case
DestinationOptions readDestinationOptions(const QString& settingsPath);
QString defaultOdbcDriver(); // "FreeTDS", or "SQL Server" on Windows

int HexToInt(const QString& text);
QByteArray builtinPasswordKey(); // the 32 key bytes
// passwordKey: 32 bytes; empty means the built-in key.
QString DecodeStoredPassword(const QString& stored, const QByteArray& passwordKey = QByteArray());
// "murvex" when SAPW is empty or blank, else DecodeStoredPassword with the configured key.
QString sqlServerPassword(const KestruneConfig& config, const DestinationOptions& options);

// Wraps a connection-string value in braces ("}" doubled) only when it holds ";", "{", "}" or
// starts or ends with a blank.
QString quoteOdbcValue(const QString& value);
// "DRIVER={d};SERVER=s;DATABASE=db;UID=u;PWD=p;" followed by the extra options, which are
// appended as they are. Throws vf::Error, naming the key, when a value of Kestrune.ver (the
// decoded password included) would not reach the driver as one attribute's whole value: "}" and
// control characters on any driver; ";", "{" and a blank at either end on a driver that does not
// read braces (every driver but FreeTDS).
QString buildDestinationConnectionString(const KestruneConfig& config, const QString& password,
                                         const DestinationOptions& options);
// The attributes of an ODBC connection string ("KEY=value;KEY={va;lue};"), keys as written and
// values without their braces, in their order.
QList<std::pair<QString, QString>> odbcAttributes(const QString& text);

// The Options without the SQLite3 driver's journal settings (JournalMode, SyncPragma): a
// verification reads the destination as it finds it, and changes no setting of its file.
QString withoutJournalOptions(const QString& options);

// The OLE DB text of the destination connection, as the original program builds it (kept for
// the record; the ODBC string above is the one used).
QString buildSqlOledbConnectionString(const KestruneConfig& config, const QString& password);

} // namespace vf

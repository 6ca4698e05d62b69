#include "destination/DestinationConfig.h"

#include "base/Conversions.h"
#include "base/Errors.h"
#include "base/IniFile.h"
#include "base/TextCodec.h"

namespace vf {
namespace {

const QString kKernel = QStringLiteral("DBKERNEL");
const QString kDestination = QStringLiteral("Destination");
const QString kDefaultPassword = QStringLiteral("murvex");
const QString kInvalidPassword = QStringLiteral("_");

// The key with which the stored passwords are enciphered. The destination product's own key is
// not known to us; a site whose passwords were enciphered with another key sets
// [Destination] PasswordKey in the settings file (64 hexadecimal digits).
constexpr unsigned char kBuiltinKey[32] = {
    0x5A, 0x13, 0xC7, 0x8E, 0x21, 0xF4, 0x6B, 0x09, 0xD2, 0x3F, 0x97, 0x40, 0xAE, 0x75, 0x1C, 0xE8,
    0x62, 0xB9, 0x04, 0xDD, 0x38, 0x8A, 0xF1, 0x56, 0x2B, 0xC3, 0x7E, 0x90, 0x4D, 0xA6, 0x15, 0xEF};

// The accepted characters of a stored password: codes 48 ("0") to 70 ("F").
bool isStoredPasswordChar(QChar c)
{
    return c.unicode() >= 48 && c.unicode() <= 70;
}

// 64 hexadecimal digits (either case, blanks around ignored) as 32 bytes; empty when invalid.
QByteArray keyFromHex(const QString& text)
{
    const QString hex = text.trimmed();
    if (hex.size() != 64)
        return QByteArray();
    for (const QChar c : hex) {
        const char16_t u = c.unicode();
        const bool hexDigit = (u >= '0' && u <= '9') || (u >= 'A' && u <= 'F') || (u >= 'a' && u <= 'f');
        if (!hexDigit)
            return QByteArray();
    }
    return QByteArray::fromHex(hex.toLatin1());
}

// The drivers that read a value in braces to its "}" ("{a;b}" is the one value "a;b"). Neither
// FreeTDS nor the SQLite3 driver nor psqlODBC reads the "}}" escape, and the SQLite3 driver reads
// no braces at all: a ";" there starts an attribute of the caller's choice. A driver that is not
// named here is taken to read no braces either.
bool readsBraces(const QString& driver)
{
    return driver.compare(QStringLiteral("FreeTDS"), Qt::CaseInsensitive) == 0;
}

bool hasUncarriedCharacter(const QString& value)
{
    for (const QChar c : value)
        if (c == QLatin1Char('}') || c.unicode() < 0x20 || c.unicode() == 0x7F)
            return true;
    return false;
}

bool needsBraces(const QString& value)
{
    return value.contains(QLatin1Char(';')) || value.contains(QLatin1Char('{'))
        || value.startsWith(QLatin1Char(' ')) || value.endsWith(QLatin1Char(' '));
}

// Refuses, before any connection attempt, a value that the driver would not carry as one
// attribute's whole value. `what` names the value; a password is never quoted.
void checkCarried(const QString& value, const QString& what, const QString& driver, const QString& hint = QString())
{
    if (hasUncarriedCharacter(value))
        throw Error(what + QStringLiteral(" contient « } » ou un caractère de contrôle, qu'aucun pilote ODBC ne "
                                          "transmet sans risque.") + hint);
    if (needsBraces(value) && !readsBraces(driver))
        throw Error(what + QStringLiteral(" contient « ; », « { » ou un blanc en début ou en fin, que le pilote ")
                    + driver + QStringLiteral(" ne transmet pas sans risque.") + hint);
}

} // namespace

KestruneConfig readKestrune(const QString& talmerosFolder)
{
    KestruneConfig config;
    const QString path =
        findFileNoCase(AddTrailingBackslash(talmerosFolder), QStringLiteral("Kestrune.ver"));
    if (path.isEmpty())
        return config;
    const IniFile ini = IniFile::load(path);
    config.databaseName = ini.value(kKernel, QStringLiteral("DatabaseName"));
    config.serverName = ini.value(kKernel, QStringLiteral("ServerName"));
    config.sapw = ini.value(kKernel, QStringLiteral("SAPW"));
    config.userName = ini.value(kKernel, QStringLiteral("UserName"), config.userName);
    return config;
}

DestinationOptions readDestinationOptions(const QString& settingsPath)
{
    DestinationOptions options;
    const IniFile ini = IniFile::load(settingsPath);
    options.driver = ini.value(kDestination, QStringLiteral("Driver"));
    options.options = ini.value(kDestination, QStringLiteral("Options"));
    options.passwordKey = ini.value(kDestination, QStringLiteral("PasswordKey"));
    // A value that is not a number of seconds above 0 keeps the default.
    bool isNumber = false;
    const int queryTimeout = ini.value(kDestination, QStringLiteral("QueryTimeout")).trimmed().toInt(&isNumber);
    if (isNumber && queryTimeout > 0)
        options.queryTimeout = queryTimeout;
    return options;
}

QString defaultOdbcDriver()
{
#ifdef _WIN32
    return QStringLiteral("SQL Server");
#else
    return QStringLiteral("FreeTDS");
#endif
}

int HexToInt(const QString& text)
{
    static const QString digits = QStringLiteral("0123456789ABCDEF");
    quint32 result = 0;
    quint32 weight = 1;
    for (qsizetype i = text.size() - 1; i >= 0; --i) {
        const qsizetype digit = digits.indexOf(text.at(i).toUpper());
        if (digit > 0)
            result += quint32(digit) * weight;
        weight *= 16; // the sum wraps like the 32-bit integer it is kept in
    }
    return static_cast<int>(result);
}

QByteArray builtinPasswordKey()
{
    return QByteArray(reinterpret_cast<const char*>(kBuiltinKey), sizeof kBuiltinKey);
}

QString DecodeStoredPassword(const QString& stored, const QByteArray& passwordKey)
{
    const QByteArray key = passwordKey.size() == 32 ? passwordKey : builtinPasswordKey();
    if (stored.size() % 2 != 0)
        return kInvalidPassword;
    QByteArray bytes;
    bytes.reserve(stored.size() / 2);
    for (qsizetype i = 0; i < stored.size(); i += 2) {
        const QChar high = stored.at(i);
        const QChar low = stored.at(i + 1);
        if (!isStoredPasswordChar(high) || !isStoredPasswordChar(low))
            return kInvalidPassword;
        bytes.append(char(HexToInt(QString(high) + low) & 0xFF));
    }
    // Byte j (from 1) is combined with key byte j modulo 32; bytes 32, 64 ... stay as they are.
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        const qsizetype j = i + 1;
        if (j % 32 != 0)
            bytes[i] = char(bytes.at(i) ^ key.at(j % 32 - 1));
    }
    return fromWindows1252(bytes);
}

QString sqlServerPassword(const KestruneConfig& config, const DestinationOptions& options)
{
    if (config.sapw.trimmed().isEmpty())
        return kDefaultPassword;
    if (options.passwordKey.trimmed().isEmpty())
        return DecodeStoredPassword(config.sapw);
    const QByteArray key = keyFromHex(options.passwordKey);
    // A configured key that is not 64 hexadecimal digits decodes nothing: the password is "_",
    // as for a stored value that is not valid, and the server refuses the login.
    if (key.size() != 32)
        return kInvalidPassword;
    return DecodeStoredPassword(config.sapw, key);
}

QString quoteOdbcValue(const QString& value)
{
    const bool needsBraces = value.contains(QLatin1Char(';')) || value.contains(QLatin1Char('{'))
        || value.contains(QLatin1Char('}')) || value.startsWith(QLatin1Char(' '))
        || value.endsWith(QLatin1Char(' '));
    if (!needsBraces)
        return value;
    QString inner = value;
    inner.replace(QLatin1Char('}'), QStringLiteral("}}"));
    return QLatin1Char('{') + inner + QLatin1Char('}');
}

QString buildDestinationConnectionString(const KestruneConfig& config, const QString& password,
                                         const DestinationOptions& options)
{
    const QString driver = options.driver.trimmed().isEmpty() ? defaultOdbcDriver() : options.driver;
    if (hasUncarriedCharacter(driver))
        throw Error(QStringLiteral("le nom de pilote Driver de la section [Destination] contient « } » ou un "
                                   "caractère de contrôle."));
    const QString inKestrune = QStringLiteral(" dans Kestrune.ver");
    checkCarried(config.serverName, QStringLiteral("la valeur de ServerName") + inKestrune, driver);
    checkCarried(config.databaseName, QStringLiteral("la valeur de DatabaseName") + inKestrune, driver);
    checkCarried(config.userName, QStringLiteral("la valeur de UserName") + inKestrune, driver);
    checkCarried(password, QStringLiteral("le mot de passe décodé de SAPW") + inKestrune, driver,
                 QStringLiteral(" Vérifiez SAPW, et la clé PasswordKey de la section [Destination]."));
    return QStringLiteral("DRIVER={") + driver + QStringLiteral("};SERVER=")
        + quoteOdbcValue(config.serverName) + QStringLiteral(";DATABASE=")
        + quoteOdbcValue(config.databaseName) + QStringLiteral(";UID=")
        + quoteOdbcValue(config.userName) + QStringLiteral(";PWD=") + quoteOdbcValue(password)
        + QLatin1Char(';') + options.options;
}

QList<std::pair<QString, QString>> odbcAttributes(const QString& text)
{
    QList<std::pair<QString, QString>> attributes;
    qsizetype i = 0;
    while (i < text.size()) {
        const qsizetype equals = text.indexOf(QLatin1Char('='), i);
        const qsizetype semicolon = text.indexOf(QLatin1Char(';'), i);
        if (equals < 0 || (semicolon >= 0 && semicolon < equals)) {
            const QString key = text.mid(i, (semicolon < 0 ? text.size() : semicolon) - i).trimmed();
            if (!key.isEmpty())
                attributes.append({key, QString()});
            if (semicolon < 0)
                break;
            i = semicolon + 1;
            continue;
        }
        const QString key = text.mid(i, equals - i).trimmed();
        QString value;
        i = equals + 1;
        if (i < text.size() && text.at(i) == QLatin1Char('{')) {
            // A braced value ends at a "}" that is not doubled.
            for (++i; i < text.size(); ++i) {
                if (text.at(i) == QLatin1Char('}')) {
                    if (i + 1 < text.size() && text.at(i + 1) == QLatin1Char('}')) {
                        value += QLatin1Char('}');
                        ++i;
                        continue;
                    }
                    ++i;
                    break;
                }
                value += text.at(i);
            }
            const qsizetype end = text.indexOf(QLatin1Char(';'), i);
            i = end < 0 ? text.size() : end + 1;
        } else {
            const qsizetype end = text.indexOf(QLatin1Char(';'), i);
            value = text.mid(i, (end < 0 ? text.size() : end) - i);
            i = end < 0 ? text.size() : end + 1;
        }
        attributes.append({key, value});
    }
    return attributes;
}

QString withoutJournalOptions(const QString& options)
{
    QString kept;
    for (const auto& [key, value] : odbcAttributes(options)) {
        if (key.compare(QLatin1String("JournalMode"), Qt::CaseInsensitive) == 0
            || key.compare(QLatin1String("SyncPragma"), Qt::CaseInsensitive) == 0)
            continue;
        kept += key + QLatin1Char('=') + quoteOdbcValue(value) + QLatin1Char(';');
    }
    return kept;
}

QString buildSqlOledbConnectionString(const KestruneConfig& config, const QString& password)
{
    return QStringLiteral("Provider=SQLOLEDB.1;Password=") + password
        + QStringLiteral(";Persist Security Info=True;User ID=") + config.userName
        + QStringLiteral(";Initial Catalog=") + config.databaseName
        + QStringLiteral(";Data Source=") + config.serverName;
}

} // namespace vf

#pragma once

#include <QDateTime>
#include <QString>
#include <QVariant>

namespace vf {

QString FormatPhoneNumber(const QString& text);
QString FormatSocialSecurityNumber(const QString& text);
QDateTime TruncateToMinute(const QDateTime& value);

// The zero of the date-time scale, 30 December 1899 00:00 (UTC, naive): how a null date reads.
QDateTime zeroDateTime();

// The run's date formats (Qt patterns): the short date format ("dd/MM/yyyy" once the run has
// set it) and the regional long time format.
struct DateFormats {
    QString shortDate;
    QString longTime;
};

// The date text rule for messages: the short date, then a blank and the long time only when
// the time of day is not midnight; a null (invalid QVariant or null) date gives "".
QString DateText(const QVariant& sourceDate, const DateFormats& formats);

// Replaces every date separator of a short date pattern by "/" (the run's date separator).
QString withSlashSeparator(const QString& shortDatePattern);

// AddTrailingBackslash: the text with a final platform separator ("\" on Windows, "/" elsewhere)
// ensured; an empty text stays empty.
QString AddTrailingBackslash(const QString& text);

// DeleteFileIfExists: deletes a file where one exists; true unless a deletion was refused
// (errors are swallowed).
bool DeleteFileIfExists(const QString& path);

// True for a name that can stand unquoted in a statement: ASCII letters, digits and "_", not
// starting with a digit. Such a name needs no quoting, which would keep PostgreSQL from folding
// an upper-cased name to the lower-case one of its catalogue.
bool isPlainIdentifier(const QString& name);

} // namespace vf

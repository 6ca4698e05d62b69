#pragma once

#include <QDateTime>
#include <QString>

namespace vf {

// The user's regional short date and long time formats, as QDateTime::toString patterns.
// On POSIX they come from the C library's locale (D_FMT and T_FMT of the environment's locale);
// on Windows from the user's locale settings.
QString regionalShortDateFormat();
QString regionalLongTimeFormat();

// Turns a strftime format ("%d/%m/%Y", "%T") into a QDateTime::toString pattern.
QString qtPatternFromStrftime(const QString& format);

} // namespace vf

namespace vf {

// The elapsed time between two moments as the elapsed-time label shows it: a time of day in the
// regional long time format, modulo 24 hours (25 hours read 01:00:00).
QString elapsedText(const QDateTime& start, const QDateTime& now);

} // namespace vf

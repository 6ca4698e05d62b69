#include "base/Regional.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <langinfo.h>
#include <locale.h>
#endif

namespace vf {
namespace {

void appendLiteral(QString& out, const QString& literal)
{
    if (literal.isEmpty())
        return;
    QString quoted = literal;
    quoted.replace(QLatin1Char('\''), QStringLiteral("''"));
    bool plain = true;
    for (const QChar c : literal)
        if (c.isLetter() || c == QLatin1Char('\''))
            plain = false;
    out += plain ? literal : QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

#ifndef _WIN32
QString langinfo(nl_item item, const char* fallback)
{
    locale_t loc = newlocale(LC_ALL_MASK, "", static_cast<locale_t>(nullptr));
    if (!loc)
        loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    QString result = QString::fromLocal8Bit(loc ? nl_langinfo_l(item, loc) : fallback);
    if (loc)
        freelocale(loc);
    return result.isEmpty() ? QString::fromLatin1(fallback) : result;
}
#else
QString windowsLocaleInfo(LCTYPE type, const char* fallback)
{
    wchar_t buffer[128];
    const int n = GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, type, buffer, 128);
    if (n <= 1)
        return QString::fromLatin1(fallback);
    QString format = QString::fromWCharArray(buffer, n - 1);
    format.replace(QStringLiteral("tt"), QStringLiteral("AP"));
    return format;
}
#endif

} // namespace

QString qtPatternFromStrftime(const QString& format)
{
    QString out;
    QString literal;
    auto flush = [&] { appendLiteral(out, literal); literal.clear(); };
    for (qsizetype i = 0; i < format.size(); ++i) {
        const QChar c = format.at(i);
        if (c != QLatin1Char('%') || i + 1 >= format.size()) {
            literal += c;
            continue;
        }
        QChar conversion = format.at(++i);
        // glibc flags: "-" drops the padding, the others change nothing that Qt can show.
        bool unpadded = false;
        while ((conversion == QLatin1Char('-') || conversion == QLatin1Char('_') || conversion == QLatin1Char('0')
                || conversion == QLatin1Char('^') || conversion == QLatin1Char('#'))
               && i + 1 < format.size()) {
            unpadded = unpadded || conversion == QLatin1Char('-');
            conversion = format.at(++i);
        }
        if ((conversion == QLatin1Char('E') || conversion == QLatin1Char('O')) && i + 1 < format.size())
            conversion = format.at(++i);
        auto padded = [unpadded](const char* two, const char* one) {
            return QString::fromLatin1(unpadded ? one : two);
        };
        QString piece;
        switch (conversion.toLatin1()) {
        case 'd': piece = padded("dd", "d"); break;
        case 'e': piece = QStringLiteral("d"); break;
        case 'm': piece = padded("MM", "M"); break;
        case 'Y': piece = QStringLiteral("yyyy"); break;
        case 'y': piece = QStringLiteral("yy"); break;
        case 'H': piece = padded("HH", "H"); break;
        case 'k': piece = QStringLiteral("H"); break;
        case 'I': piece = padded("hh", "h"); break;
        case 'l': piece = QStringLiteral("h"); break;
        case 'M': piece = padded("mm", "m"); break;
        case 'S': piece = padded("ss", "s"); break;
        case 'p': piece = QStringLiteral("AP"); break;
        case 'P': piece = QStringLiteral("ap"); break;
        case 'b': case 'h': piece = QStringLiteral("MMM"); break;
        case 'B': piece = QStringLiteral("MMMM"); break;
        case 'a': piece = QStringLiteral("ddd"); break;
        case 'A': piece = QStringLiteral("dddd"); break;
        case 'T': piece = QStringLiteral("HH:mm:ss"); break;
        case 'R': piece = QStringLiteral("HH:mm"); break;
        case 'r': piece = QStringLiteral("hh:mm:ss AP"); break;
        case 'D': piece = QStringLiteral("MM/dd/yy"); break;
        case 'F': piece = QStringLiteral("yyyy-MM-dd"); break;
        case '%': literal += QLatin1Char('%'); continue;
        case 'n': case 't': literal += QLatin1Char(' '); continue;
        default: continue; // time zones and the like have no place in these formats
        }
        flush();
        out += piece;
    }
    flush();
    // A dropped field (a time zone) may leave a blank at either end.
    return out.trimmed();
}

QString regionalShortDateFormat()
{
#ifdef _WIN32
    return windowsLocaleInfo(LOCALE_SSHORTDATE, "dd/MM/yyyy");
#else
    return qtPatternFromStrftime(langinfo(D_FMT, "%m/%d/%y"));
#endif
}

QString regionalLongTimeFormat()
{
#ifdef _WIN32
    return windowsLocaleInfo(LOCALE_STIMEFORMAT, "HH:mm:ss");
#else
    return qtPatternFromStrftime(langinfo(T_FMT, "%H:%M:%S"));
#endif
}

} // namespace vf

namespace vf {

QString elapsedText(const QDateTime& start, const QDateTime& now)
{
    const qint64 day = 24LL * 3600 * 1000;
    const qint64 ms = ((start.msecsTo(now) % day) + day) % day;
    return QTime(0, 0).addMSecs(int(ms)).toString(regionalLongTimeFormat());
}

} // namespace vf

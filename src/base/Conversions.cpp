#include "base/Conversions.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>

namespace vf {
namespace {

bool isDigit(QChar c)
{
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

bool isBlankOrControl(QChar c)
{
    return c.unicode() <= 32;
}

// Formatting through a pattern costs microseconds, and a run names the same days and times in
// hundreds of thousands of lines: each text is formatted once per pattern and thread.
class FormattedTexts {
public:
    template <typename Format>
    const QString& text(const QString& pattern, qint64 key, Format format)
    {
        if (pattern != m_pattern || m_texts.size() >= kKept) {
            m_pattern = pattern;
            m_texts.clear();
        }
        auto found = m_texts.constFind(key);
        if (found == m_texts.constEnd())
            found = m_texts.insert(key, format());
        return *found;
    }

private:
    static constexpr qsizetype kKept = 100000;
    QString m_pattern;
    QHash<qint64, QString> m_texts;
};

} // namespace

QString FormatPhoneNumber(const QString& text)
{
    qsizetype first = 0;
    qsizetype last = text.size() - 1;
    while (first <= last && isBlankOrControl(text.at(first)))
        ++first;
    while (last >= first && isBlankOrControl(text.at(last)))
        --last;
    if (first > last)
        return QString();

    // The whole input is walked, not the stripped one: the blank before a pair is decided
    // before every character, digit or not.
    QString out;
    out.reserve(text.size() + 5);
    for (const QChar c : text) {
        const qsizetype n = out.size();
        if (n == 2 || n == 5 || n == 8 || n == 11)
            out.append(QLatin1Char(' '));
        if (isDigit(c))
            out.append(c);
    }
    return out;
}

QString FormatSocialSecurityNumber(const QString& text)
{
    QString out;
    out.reserve(text.size() + 1);
    for (const QChar c : text) {
        if (!isDigit(c))
            continue;
        if (out.size() == 13)
            out.append(QLatin1Char(' '));
        out.append(c);
    }
    return out;
}

QDateTime TruncateToMinute(const QDateTime& value)
{
    if (!value.isValid())
        return value;
    QDateTime result = value;
    const QTime t = value.time();
    result.setTime(QTime(t.hour(), t.minute()));
    return result;
}

QDateTime zeroDateTime()
{
    return QDateTime(QDate(1899, 12, 30), QTime(0, 0), Qt::UTC);
}

QString DateText(const QVariant& sourceDate, const DateFormats& formats)
{
    if (!sourceDate.isValid() || sourceDate.isNull())
        return QString();
    const QDateTime value = sourceDate.toDateTime();
    if (!value.isValid())
        return QString();
    thread_local FormattedTexts dates;
    thread_local FormattedTexts times;
    const QDate date = value.date();
    QString text = dates.text(formats.shortDate, date.toJulianDay(), [&] { return date.toString(formats.shortDate); });
    if (const QTime time = value.time(); time != QTime(0, 0))
        text += QLatin1Char(' ')
            + times.text(formats.longTime, time.msecsSinceStartOfDay(), [&] { return time.toString(formats.longTime); });
    return text;
}

QString withSlashSeparator(const QString& shortDatePattern)
{
    QString out;
    out.reserve(shortDatePattern.size());
    bool quoted = false;
    for (const QChar c : shortDatePattern) {
        if (c == QLatin1Char('\''))
            quoted = !quoted;
        if (quoted || c == QLatin1Char('\'') || c.isLetter() || c.isSpace())
            out.append(c);
        else
            out.append(QLatin1Char('/'));
    }
    return out;
}

QString AddTrailingBackslash(const QString& text)
{
    if (text.isEmpty())
        return text;
    const QChar last = text.back();
    if (last == QDir::separator() || last == QLatin1Char('/'))
        return text;
    return text + QDir::separator();
}

bool DeleteFileIfExists(const QString& path)
{
    const QFileInfo info(path);
    if (path.isEmpty() || !info.exists() || info.isDir())
        return true;
    return QFile::remove(path);
}

bool isPlainIdentifier(const QString& name)
{
    if (name.isEmpty())
        return false;
    for (qsizetype i = 0; i < name.size(); ++i) {
        const char16_t c = name.at(i).unicode();
        const bool letter = (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || c == u'_';
        const bool digit = c >= u'0' && c <= u'9';
        if (!letter && !(digit && i > 0))
            return false;
    }
    return true;
}

} // namespace vf

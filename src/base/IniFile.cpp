#include "base/IniFile.h"

#include "base/Errors.h"
#include "base/TextCodec.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>
#include <QStringDecoder>

namespace vf {
namespace {

const QByteArray kUtf8Bom("\xEF\xBB\xBF");

bool sameName(const QString& a, const QString& b)
{
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

bool isValidUtf8(const QByteArray& bytes)
{
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder.decode(bytes); // decode() is lazy: the conversion happens here
    Q_UNUSED(text);
    return !decoder.hasError();
}

// A value written into one line must not start another one.
QString singleLine(const QString& value)
{
    QString line = value;
    line.replace(QLatin1Char('\r'), QLatin1Char(' '));
    line.replace(QLatin1Char('\n'), QLatin1Char(' '));
    return line;
}

} // namespace

QString IniFile::decode(const QByteArray& bytes) const
{
    return m_windows1252 ? fromWindows1252(bytes) : QString::fromUtf8(bytes);
}

QByteArray IniFile::encode(const QString& text) const
{
    return m_windows1252 ? toWindows1252(text) : text.toUtf8();
}

IniFile::Line IniFile::parse(QByteArray raw, QByteArray eol, const QString& section,
                             bool inSection) const
{
    Line line;
    line.raw = std::move(raw);
    line.eol = std::move(eol);
    line.section = section;
    line.inSection = inSection;

    const QString text = decode(line.raw).trimmed();
    if (text.startsWith(QLatin1Char('['))) {
        qsizetype end = text.indexOf(QLatin1Char(']'));
        if (end < 0)
            end = text.size();
        line.isHeader = true;
        line.inSection = true;
        line.section = text.mid(1, end - 1).trimmed();
        return line;
    }
    if (text.startsWith(QLatin1Char(';')) || text.startsWith(QLatin1Char('#')))
        return line;
    const qsizetype eq = text.indexOf(QLatin1Char('='));
    if (eq <= 0)
        return line;
    line.key = text.left(eq).trimmed();
    if (!line.key.isEmpty())
        line.value = text.mid(eq + 1).trimmed();
    return line;
}

IniFile IniFile::fromBytes(const QByteArray& bytes)
{
    IniFile ini;
    QByteArray body = bytes;
    if (body.startsWith(kUtf8Bom)) {
        ini.m_bom = kUtf8Bom;
        body.remove(0, kUtf8Bom.size());
    }
    ini.m_windows1252 = !isValidUtf8(body);

    QString section;
    bool inSection = false;
    bool eolChosen = false;
    qsizetype pos = 0;
    const qsizetype n = body.size();
    const char* data = body.constData();
    while (pos < n) {
        qsizetype end = pos;
        while (end < n && data[end] != '\n' && data[end] != '\r')
            ++end;
        QByteArray eol;
        if (end < n) {
            if (data[end] == '\r' && end + 1 < n && data[end + 1] == '\n')
                eol = "\r\n";
            else
                eol = QByteArray(1, data[end]);
            if (!eolChosen) {
                ini.m_eol = eol;
                eolChosen = true;
            }
        }
        Line line = ini.parse(body.mid(pos, end - pos), eol, section, inSection);
        if (line.isHeader) {
            section = line.section;
            inSection = true;
        }
        ini.m_lines.append(std::move(line));
        pos = end + eol.size();
    }
    return ini;
}

IniFile IniFile::load(const QString& path)
{
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly))
        return IniFile();
    return fromBytes(file.readAll());
}

qsizetype IniFile::findKey(const QString& section, const QString& key) const
{
    for (qsizetype i = 0; i < m_lines.size(); ++i) {
        const Line& line = m_lines.at(i);
        if (line.inSection && !line.isHeader && !line.key.isEmpty() && sameName(line.key, key)
            && sameName(line.section, section))
            return i;
    }
    return -1;
}

bool IniFile::hasSection(const QString& section) const
{
    for (const Line& line : m_lines)
        if (line.isHeader && sameName(line.section, section))
            return true;
    return false;
}

QStringList IniFile::keys(const QString& section) const
{
    QStringList result;
    QSet<QString> seen;
    for (const Line& line : m_lines) {
        if (!line.inSection || line.isHeader || line.key.isEmpty() || !sameName(line.section, section))
            continue;
        const QString folded = line.key.toCaseFolded();
        if (!seen.contains(folded)) {
            seen.insert(folded);
            result.append(line.key);
        }
    }
    return result;
}

bool IniFile::hasKey(const QString& section, const QString& key) const
{
    return findKey(section, key) >= 0;
}

QString IniFile::value(const QString& section, const QString& key,
                       const QString& defaultValue) const
{
    const qsizetype i = findKey(section, key);
    return i < 0 ? defaultValue : m_lines.at(i).value;
}

bool IniFile::boolValue(const QString& section, const QString& key, bool defaultValue) const
{
    const qsizetype i = findKey(section, key);
    if (i < 0)
        return defaultValue;
    QString text = m_lines.at(i).value;
    bool ok = false;
    int number = 0;
    if (text.startsWith(QLatin1Char('$')))
        number = text.mid(1).toInt(&ok, 16);
    else if (text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        number = text.mid(2).toInt(&ok, 16);
    else
        number = text.toInt(&ok, 10);
    return ok ? number != 0 : defaultValue;
}

void IniFile::setValue(const QString& section, const QString& key, const QString& value)
{
    const QString text = singleLine(value);
    const qsizetype found = findKey(section, key);
    if (found >= 0) {
        // Keep the key as it is written (and anything before the "="), replace the value.
        Line& line = m_lines[found];
        const QString old = decode(line.raw);
        line.raw = encode(old.left(old.indexOf(QLatin1Char('=')) + 1) + text);
        line.value = text.trimmed();
        return;
    }

    auto makeLine = [&](const QString& content) {
        return parse(encode(content), m_eol, section, true);
    };

    // A new key goes after the last key or header line of the first section of that name.
    qsizetype insertAt = -1;
    bool inFirst = false;
    for (qsizetype i = 0; i < m_lines.size(); ++i) {
        const Line& line = m_lines.at(i);
        if (line.isHeader) {
            if (inFirst)
                break;
            if (sameName(line.section, section)) {
                inFirst = true;
                insertAt = i + 1;
            }
        } else if (inFirst && !decode(line.raw).trimmed().isEmpty()) {
            insertAt = i + 1;
        }
    }

    if (insertAt < 0) {
        if (!m_lines.isEmpty() && m_lines.last().eol.isEmpty())
            m_lines.last().eol = m_eol;
        Line header = parse(encode(QLatin1Char('[') + section + QLatin1Char(']')), m_eol, section,
                            true);
        m_lines.append(header);
        m_lines.append(makeLine(key + QLatin1Char('=') + text));
        return;
    }
    Line line = makeLine(key + QLatin1Char('=') + text);
    if (insertAt == m_lines.size()) {
        if (m_lines.last().eol.isEmpty())
            m_lines.last().eol = m_eol;
    }
    line.section = m_lines.at(insertAt - 1).section;
    m_lines.insert(insertAt, line);
}

void IniFile::setBool(const QString& section, const QString& key, bool value)
{
    setValue(section, key, value ? QStringLiteral("1") : QStringLiteral("0"));
}

QByteArray IniFile::toBytes() const
{
    QByteArray out = m_bom;
    for (const Line& line : m_lines) {
        out += line.raw;
        out += line.eol;
    }
    return out;
}

void IniFile::save(const QString& path) const
{
    QSaveFile file(path);
    file.setDirectWriteFallback(true);
    const QByteArray bytes = toBytes();
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
        throw Error(QStringLiteral("Impossible d'écrire le fichier ") + QDir::toNativeSeparators(path)
                    + QStringLiteral(" : ") + file.errorString());
}

QString findFileNoCase(const QString& folder, const QString& fileName)
{
    if (fileName.isEmpty())
        return QString();
    const QDir dir(folder.isEmpty() ? QStringLiteral(".") : folder);
    const QString exact = dir.filePath(fileName);
    if (QFileInfo(exact).isFile())
        return exact;
    if (fileName.contains(QLatin1Char('/')) || fileName.contains(QDir::separator()))
        return QString();
    QDirIterator it(dir.path(), QDir::Files | QDir::Hidden | QDir::System);
    while (it.hasNext()) {
        it.next();
        if (sameName(it.fileName(), fileName))
            return it.filePath();
    }
    return QString();
}

QString existingFileNoCase(const QString& path)
{
    if (path.isEmpty())
        return QString();
    const QString normal = QDir::fromNativeSeparators(path);
    const qsizetype slash = normal.lastIndexOf(QLatin1Char('/'));
    if (slash < 0)
        return findFileNoCase(QString(), path);
    return findFileNoCase(path.left(slash + 1), path.mid(slash + 1));
}

} // namespace vf

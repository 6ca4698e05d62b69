#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace vf {

// An INI file read and written byte for byte: section and key names compared without regard to
// case, keys listed in file order, values kept exactly (Windows paths with backslashes
// round-trip), blanks around a value ignored when read. Read as UTF-8, or Windows-1252 when the
// bytes are not valid UTF-8. A write changes only the key it writes: other sections, keys,
// comments and line ends are kept. Garbage lines are kept and ignored; the first of duplicate
// sections or keys wins.
class IniFile {
public:
    IniFile() = default;
    static IniFile load(const QString& path); // a missing or unreadable file gives an empty one
    static IniFile fromBytes(const QByteArray& bytes);

    bool hasSection(const QString& section) const;
    QStringList keys(const QString& section) const;
    bool hasKey(const QString& section, const QString& key) const;
    QString value(const QString& section, const QString& key,
                  const QString& defaultValue = QString()) const;
    // Read as an integer, non-zero meaning true; a value that is not a number gives the default.
    bool boolValue(const QString& section, const QString& key, bool defaultValue) const;

    void setValue(const QString& section, const QString& key, const QString& value);
    void setBool(const QString& section, const QString& key, bool value); // "1" or "0"

    QByteArray toBytes() const;
    void save(const QString& path) const; // throws vf::Error

private:
    struct Line {
        QString text;        // the line as read (without its line end)
        QString section;     // section this line belongs to (after a header: the header's name)
        QString key;         // empty when the line is not key=value
        bool isHeader = false;
    };
    QList<Line> m_lines;
    QString m_eol = QStringLiteral("\r\n");
    bool m_windows1252 = false;
};

// Looks a file name up in a folder without regard to letter case; returns the full path of the
// file found (the exact name first), or an empty string.
QString findFileNoCase(const QString& folder, const QString& fileName);

} // namespace vf

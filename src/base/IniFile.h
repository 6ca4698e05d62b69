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
        QByteArray raw;      // the line's bytes as read or written, without its line end
        QByteArray eol;      // its line end as read ("\r\n", "\n", "\r" or none for the last line)
        QString section;     // the section this line belongs to (for a header: its own name)
        QString key;         // trimmed key of a key=value line, else empty
        QString value;       // trimmed value of a key=value line
        bool inSection = false; // false for the lines before the first header
        bool isHeader = false;
    };
    Line parse(QByteArray raw, QByteArray eol, const QString& section, bool inSection) const;
    QString decode(const QByteArray& bytes) const;
    QByteArray encode(const QString& text) const;
    qsizetype findKey(const QString& section, const QString& key) const;

    QList<Line> m_lines;
    QByteArray m_bom;                // an initial UTF-8 byte order mark, kept as it was
    QByteArray m_eol = "\r\n";       // line end of lines added by a write
    bool m_windows1252 = false;
};

// Looks a file name up in a folder without regard to letter case; returns the full path of the
// file found (the exact name first), or an empty string.
QString findFileNoCase(const QString& folder, const QString& fileName);

// The same for a full path: the folder part is taken as it is, the last name is matched without
// regard to letter case. Returns the path of the existing file, or an empty string.
QString existingFileNoCase(const QString& path);

} // namespace vf

#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <array>
#include <functional>
#include <memory>
#include <optional>

namespace vf {

class SourceConnection;
class SourceQuery;
class SourceRecord;

// The start of the line of a record whose patient was not imported.
inline const QString kPatientMissing = QStringLiteral("Impossible de retrouver le dossier n°");

// The lines of a memo: split at CR LF, a lone CR or a lone LF. An empty text gives no line and a
// final line break gives no empty last line.
QStringList splitTextLines(const QString& text);

// Each line of the text after two blanks per level (none for a null, zero or negative level),
// followed by CR LF.
QString indentedText(const QString& text, const QVariant& level);

// True when the text holds a character other than blanks and control characters.
bool hasVisibleCharacters(const QString& text);

// The text itself, or the empty text (not a null) for a null one: a text column is never
// written as a null where the source text was only missing.
QString emptyWhenNull(const QString& text);

// A date-time read from the destination, as the naive UTC value it was written as.
QDateTime naiveDateTime(const QVariant& value);

// The decimal text of a source code for messages ("" for a null).
QString codeText(const SourceRecord& record, const QString& column);

// The detail statement of a header ([CON SOUS CONSULTATION], [ORD SOUS ORDONNANCE],
// [SYN SOUS FICHE SYNTHESE]): prepared once, opened again for each header with its codetitre.
// After a failure codeTitre() and codeLigne() name the row being read ("?" when the statement
// could not be opened); after a full read they name the last row read (empty when none).
class DetailLines {
public:
    DetailLines(SourceConnection& connection, const QString& sql);
    ~DetailLines();

    // Hands the indented text of every detail row, in CodeLigne order, to addRow. Throws
    // vf::Error when the statement cannot be opened or a row cannot be read.
    void read(qint32 codetitre, const std::function<void(const QString&)>& addRow);
    void close();

    QString codeTitre() const { return m_opened ? m_codeTitre.toString() : QStringLiteral("?"); }
    QString codeLigne() const { return m_opened ? m_codeLigne.toString() : QStringLiteral("?"); }

private:
    std::unique_ptr<SourceQuery> m_query;
    // CodeTitre, CodeLigne, DONNEES and niveau, found at the first row read.
    std::optional<std::array<int, 4>> m_positions;
    bool m_opened = false;
    // As read: formatted only for the lines that name them.
    QVariant m_codeTitre;
    QVariant m_codeLigne;
};

} // namespace vf

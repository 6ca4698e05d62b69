#include "phases/PhaseText.h"

#include "source/SourceConnection.h"

namespace vf {

namespace {

// Hands line the start and end of each line of text: a line ends at CR LF, CR or LF; a last line
// without an end counts, and an end at the very end adds no empty line.
template <typename Line>
void forEachLine(const QString& text, Line line)
{
    const qsizetype size = text.size();
    qsizetype start = 0;
    for (qsizetype i = 0; i < size; ++i) {
        const QChar c = text.at(i);
        if (c != QLatin1Char('\r') && c != QLatin1Char('\n'))
            continue;
        line(start, i);
        if (c == QLatin1Char('\r') && i + 1 < size && text.at(i + 1) == QLatin1Char('\n'))
            ++i;
        start = i + 1;
    }
    if (start < size)
        line(start, size);
}

} // namespace

QStringList splitTextLines(const QString& text)
{
    QStringList lines;
    forEachLine(text, [&](qsizetype start, qsizetype end) { lines.append(text.mid(start, end - start)); });
    return lines;
}

QString indentedText(const QString& text, const QVariant& level)
{
    const int levelValue = level.isNull() ? 0 : level.toInt();
    const QString indentation = levelValue > 0 ? QString(2 * levelValue, QLatin1Char(' ')) : QString();
    QString result;
    forEachLine(text, [&](qsizetype start, qsizetype end) {
        if (result.isNull())
            result.reserve(text.size() + 2 + indentation.size());
        result += indentation;
        result += QStringView(text).sliced(start, end - start);
        result += QLatin1String("\r\n");
    });
    return emptyWhenNull(result);
}

bool hasVisibleCharacters(const QString& text)
{
    for (const QChar c : text) {
        if (c.unicode() > 32)
            return true;
    }
    return false;
}

QString emptyWhenNull(const QString& text)
{
    return text.isNull() ? QStringLiteral("") : text;
}

QDateTime naiveDateTime(const QVariant& value)
{
    const QDateTime dateTime = value.toDateTime();
    if (!dateTime.isValid())
        return dateTime;
    return QDateTime(dateTime.date(), dateTime.time(), Qt::UTC);
}

QString codeText(const SourceRecord& record, const QString& column)
{
    if (record.isNull(column))
        return QString();
    return QString::number(record.intValue(column));
}

DetailLines::DetailLines(SourceConnection& connection, const QString& sql)
    : m_query(std::make_unique<SourceQuery>(connection, sql))
{
}

DetailLines::~DetailLines() = default;

void DetailLines::read(qint32 codetitre, const std::function<void(const QString&)>& addRow)
{
    m_opened = false;
    m_query->close();
    m_query->setParam(QStringLiteral("codetitre"), codetitre);
    m_query->openUncounted();
    m_opened = true;
    m_codeTitre.clear();
    m_codeLigne.clear();
    while (!m_query->eof()) {
        if (!m_positions)
            m_positions = {m_query->columnPosition(QStringLiteral("CodeTitre")),
                           m_query->columnPosition(QStringLiteral("CodeLigne")),
                           m_query->columnPosition(QStringLiteral("DONNEES")),
                           m_query->columnPosition(QStringLiteral("niveau"))};
        const auto [titre, ligne, donnees, niveau] = *m_positions;
        m_codeTitre = m_query->value(titre);
        m_codeLigne = m_query->value(ligne);
        addRow(indentedText(m_query->textValue(donnees), m_query->value(niveau)));
        m_query->next();
    }
}

void DetailLines::close()
{
    try {
        m_query->close();
    } catch (const std::exception&) {
    }
}

} // namespace vf

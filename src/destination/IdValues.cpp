#include "destination/IdValues.h"

#include "base/Errors.h"
#include "base/Reporter.h"
#include "destination/DestinationConnection.h"

namespace vf {

// Each line of these statements ends with CR LF, the last one included; the warning boxes
// quote the texts as they stand.
const QString IdValues::kReadText = QStringLiteral("SELECT LAST_VALUE \r\nFROM ID_VALUES WHERE KEY_NAME=:chaine\r\n");
const QString IdValues::kInsertText = QStringLiteral("INSERT INTO ID_VALUES values (:chaine, 0)\r\n");
const QString IdValues::kUpdateText =
    QStringLiteral("UPDATE ID_VALUES \r\nSET LAST_VALUE = :last_value \r\nWHERE KEY_NAME = :key_name\r\n");

struct IdValues::Private {
    Private(DestinationConnection& connection, Reporter& reporter)
        : reporter(reporter)
        , read(connection, kReadText)       // QryReadIDValues
        , insert(connection, kInsertText)   // QryInsertIDValues
        , update(connection, kUpdateText)   // QryUpdateIDValues
    {
    }

    Reporter& reporter;
    DestQuery read;
    DestQuery insert;
    DestQuery update;
};

IdValues::IdValues(DestinationConnection& connection, Reporter& reporter)
    : m_d(std::make_unique<Private>(connection, reporter))
{
}

IdValues::~IdValues() = default;

int IdValues::ReadIdValue(const QString& key)
{
    m_d->read.bind(QStringLiteral("chaine"), key);
    m_d->read.open();
    bool exactlyOne = false;
    int result = 0;
    try {
        if (!m_d->read.eof()) {
            const QVariant value = m_d->read.value(QStringLiteral("LAST_VALUE"));
            m_d->read.next();
            exactlyOne = m_d->read.eof();
            if (exactlyOne)
                result = value.toInt();
        }
    } catch (...) {
        m_d->read.close();
        throw;
    }
    // The read's result set is closed before the insert runs: the destination allows one at a time.
    m_d->read.close();
    if (exactlyOne)
        return result;

    m_d->insert.bind(QStringLiteral("chaine"), key);
    try {
        m_d->insert.exec();
    } catch (const Error&) {
        m_d->reporter.warningBox(QStringLiteral("La requête ") + kInsertText
                                 + QStringLiteral(" avec le paramètre chaine=") + key + QStringLiteral(" a échoué."));
    }
    m_d->insert.close();
    return 0;
}

void IdValues::WriteIdValue(const QString& key, int value, bool force)
{
    const int current = ReadIdValue(key);
    if (current >= value && !force)
        return;
    m_d->update.bind(QStringLiteral("last_value"), qint32(value));
    m_d->update.bind(QStringLiteral("key_name"), key);
    try {
        m_d->update.exec();
    } catch (const Error&) {
        m_d->reporter.warningBox(QStringLiteral("La requête ") + kUpdateText
                                 + QStringLiteral(" avec les paramètres key_name=") + key
                                 + QStringLiteral(" et last_value=") + QString::number(value)
                                 + QStringLiteral(" a échoué."));
    }
    m_d->update.close();
}

} // namespace vf

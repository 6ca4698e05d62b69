#include "phases/RowIndex.h"

#include "base/Errors.h"
#include "destination/DestinationConnection.h"

#include <algorithm>

namespace vf {

RowKey RowKey::of(qint32 patient, const QDateTime& at)
{
    // Naive date-times: the fields as written, whatever time zone the value carries.
    return {patient, QDateTime(at.date(), at.time(), Qt::UTC).toMSecsSinceEpoch()};
}

void RowIndex::load(DestinationConnection& connection, const Columns& columns)
{
    m_lowest.clear();
    m_others.clear();
    m_added.clear();
    m_failure.clear();
    m_loaded = true;
    try {
        const bool twoKeys = !columns.second.isEmpty();
        DestQuery query(connection, QStringLiteral("SELECT ") + columns.id + QStringLiteral(", ") + columns.patient
                                        + (twoKeys ? QStringLiteral(", ") + columns.second : QString())
                                        + QStringLiteral(" FROM ") + columns.table);
        query.open();
        for (; !query.eof(); query.next()) {
            const QVariant id = query.value(0);
            const QVariant patient = query.value(1);
            const QVariant second = twoKeys ? query.value(2) : QVariant(0);
            if (id.isNull() || patient.isNull() || second.isNull())
                continue;
            const RowKey key = columns.secondIsDateTime ? RowKey::of(patient.toInt(), second.toDateTime())
                                                        : RowKey{patient.toInt(), second.toLongLong()};
            add(key, id.toInt());
        }
        query.close();
        m_added.clear();
    } catch (const Error& error) {
        m_lowest.clear();
        m_others.clear();
        m_failure = error.message();
    }
}

void RowIndex::requireLoaded() const
{
    if (!m_failure.isNull())
        throw Error(m_failure);
}

std::optional<qint32> RowIndex::lowest(const RowKey& key) const
{
    requireLoaded();
    const auto found = m_lowest.find(key);
    if (found == m_lowest.end())
        return std::nullopt;
    return found->second;
}

QList<qint32> RowIndex::all(const RowKey& key) const
{
    requireLoaded();
    QList<qint32> ids;
    const auto found = m_lowest.find(key);
    if (found == m_lowest.end())
        return ids;
    ids.append(found->second);
    const auto [first, last] = m_others.equal_range(key);
    for (auto it = first; it != last; ++it)
        ids.append(it->second);
    std::sort(ids.begin(), ids.end());
    return ids;
}

void RowIndex::add(const RowKey& key, qint32 id)
{
    const auto [found, inserted] = m_lowest.try_emplace(key, id);
    if (inserted) {
        m_added.append({key, id, true, std::nullopt});
        return;
    }
    Added added{key, id, false, std::nullopt};
    if (id < found->second) {
        added.formerLowest = found->second;
        std::swap(id, found->second);
    }
    m_others.emplace(key, id);
    m_added.append(added);
}

void RowIndex::mark()
{
    m_added.clear();
}

void RowIndex::rollbackToMark()
{
    const auto removeOther = [this](const RowKey& key, qint32 id) {
        const auto [first, last] = m_others.equal_range(key);
        for (auto it = first; it != last; ++it)
            if (it->second == id) {
                m_others.erase(it);
                return;
            }
    };
    for (auto added = m_added.crbegin(); added != m_added.crend(); ++added) {
        if (added->newKey) {
            m_lowest.erase(added->key);
        } else if (added->formerLowest) {
            m_lowest[added->key] = *added->formerLowest;
            removeOther(added->key, *added->formerLowest);
        } else {
            removeOther(added->key, added->id);
        }
    }
    m_added.clear();
}

} // namespace vf

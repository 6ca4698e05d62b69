#pragma once

#include <QDateTime>
#include <QHashFunctions>
#include <QList>
#include <QString>

#include <optional>
#include <unordered_map>

namespace vf {

class DestinationConnection;

// The key of a destination row in a find: a patient, with a second integer (a correspondent's
// identifier) or a date-time as stored, or nothing more.
struct RowKey {
    qint32 patient = 0;
    qint64 second = 0;

    static RowKey of(qint32 patient) { return {patient, 0}; }
    static RowKey of(qint32 patient, qint32 other) { return {patient, other}; }
    static RowKey of(qint32 patient, const QDateTime& at);

    bool operator==(const RowKey&) const = default;
};

inline size_t qHash(const RowKey& key, size_t seed = 0) noexcept
{
    return ::qHash(std::pair(key.patient, key.second), seed);
}

struct RowKeyHash {
    size_t operator()(const RowKey& key) const noexcept
    {
        return std::hash<qint64>()((qint64(key.patient) << 32) ^ key.second);
    }
};

// The identifiers of the rows of one destination table by their key columns, answering the
// phases' finds from memory: loaded once with one streaming SELECT of the identifier and the key
// columns, kept current with the rows that the run writes. Only identifiers and keys are held.
// A key matches the stored values exactly (a row stored at 10:05:30 is not found at 10:05);
// rows whose identifier or key is null are never found, as no equality finds them.
// When several rows share a key, the lowest identifier answers a find.
class RowIndex {
public:
    // The columns that an index reads: the identifier, the patient and an optional second key.
    struct Columns {
        QString table;
        QString id;
        QString patient;
        QString second = {};       // empty: the patient alone is the key
        bool secondIsDateTime = false;
    };

    // Reads the identifier and key columns of every row. A failure is kept: every find then
    // throws it, as the find itself would have.
    void load(DestinationConnection& connection, const Columns& columns);
    // True once the rows have been read without a failure.
    bool isLoaded() const { return m_loaded && m_failure.isNull(); }

    // The lowest identifier of the key's rows; throws vf::Error when the index could not be loaded.
    std::optional<qint32> lowest(const RowKey& key) const;
    // Every identifier of the key's rows, lowest first.
    QList<qint32> all(const RowKey& key) const;
    void add(const RowKey& key, qint32 id);

    // What add() does from the mark on can be undone (a refused batch of records).
    void mark();
    void rollbackToMark();

private:
    void requireLoaded() const;

    struct Added {
        RowKey key;
        qint32 id = 0;
        bool newKey = false;
        std::optional<qint32> formerLowest; // moved to the others by the lower identifier
    };

    bool m_loaded = false;
    QString m_failure;
    // The lowest identifier of each key, and the others of the (few) keys that have several.
    std::unordered_map<RowKey, qint32, RowKeyHash> m_lowest;
    std::unordered_multimap<RowKey, qint32, RowKeyHash> m_others;
    QList<Added> m_added; // since the mark
};

} // namespace vf

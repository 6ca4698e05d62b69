#pragma once

#include "base/Errors.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <optional>
#include <utility>

namespace vf {

// 64-bit FNV-1a: stable across machines and Qt versions (Qt's own hashes are seeded and depend
// on the processor), and fast enough for every field of a practice.
quint64 fingerprint64(const void* data, qsizetype size, quint64 seed = 0xcbf29ce484222325ull);
quint64 fingerprintOf(const QString& text);
// A value as its type and content: a null, an empty text and 0 differ.
quint64 fingerprintOf(const QVariant& value);

// What a source record was made of: one entry per field, its name's and its value's
// fingerprints (32 bits each), so that the fields that changed can be named later. Two prints
// are equal when every field is.
class SourcePrint {
public:
    void add(const QString& field, const QVariant& value);
    QByteArray bytes() const { return m_bytes; }
    // The fields of `now` whose value differs from `before`'s, or that `before` lacks; then the
    // fields of `before` that `now` lacks are named "?".
    static QStringList changedFields(const QByteArray& before, const SourcePrint& now, const QStringList& names);

private:
    QByteArray m_bytes;
};

// A source record's fields in a print, read through anything with value(column).
template <typename Row>
SourcePrint sourcePrint(const Row& row, const QStringList& fields,
                        const QList<std::pair<QString, QVariant>>& extra = {})
{
    SourcePrint print;
    for (const QString& field : fields) {
        QVariant value;
        try {
            value = row.value(field);
        } catch (const Error&) {
            // A column that the source table lacks reads as nothing.
        }
        print.add(field, value);
    }
    for (const auto& [name, value] : extra)
        print.add(name, value);
    return print;
}

// What the run wrote for a record: the fingerprint of its values; for the record's part of a
// text that other records share, the part's length (high 24 bits) and fingerprint (low 40), so
// that the part can be found in the text again.
quint64 destPrint(const QList<QVariant>& values);
quint64 partPrint(const QString& part);
// Where the part that partPrint() describes is in the text, first found; nullopt when the
// text no longer holds it.
std::optional<qsizetype> findPart(const QString& text, quint64 print);

} // namespace vf

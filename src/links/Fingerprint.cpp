#include "links/Fingerprint.h"

#include <QDateTime>
#include <QHash>
#include <QtEndian>

namespace vf {

namespace {

constexpr quint64 kPrime = 0x100000001b3ull;
constexpr quint64 kPartHashBits = 40;
constexpr quint64 kPartHashMask = (quint64(1) << kPartHashBits) - 1;
constexpr qsizetype kPartLengthLimit = (qsizetype(1) << (64 - kPartHashBits)) - 1;

quint32 fold(quint64 value)
{
    return quint32(value ^ (value >> 32));
}

quint64 mix(quint64 hash, quint64 value)
{
    return fingerprint64(&value, sizeof value, hash);
}

} // namespace

quint64 fingerprint64(const void* data, qsizetype size, quint64 seed)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    quint64 hash = seed;
    for (qsizetype i = 0; i < size; ++i) {
        hash ^= bytes[i];
        hash *= kPrime;
    }
    return hash;
}

quint64 fingerprintOf(const QString& text)
{
    return fingerprint64(text.constData(), text.size() * qsizetype(sizeof(QChar)));
}

quint64 fingerprintOf(const QVariant& value)
{
    if (!value.isValid() || value.isNull())
        return 0;
    switch (value.typeId()) {
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::Short:
        return mix(1, quint64(value.toLongLong()));
    case QMetaType::QDateTime:
        return mix(2, quint64(value.toDateTime().toMSecsSinceEpoch()));
    case QMetaType::Double:
        return mix(3, fingerprintOf(QString::number(value.toDouble(), 'g', 17)));
    case QMetaType::QByteArray: {
        const QByteArray bytes = value.toByteArray();
        return mix(4, fingerprint64(bytes.constData(), bytes.size()));
    }
    default:
        return mix(5, fingerprintOf(value.toString()));
    }
}

void SourcePrint::add(const QString& field, const QVariant& value)
{
    const quint32 entry[2] = {qToLittleEndian(fold(fingerprintOf(field.toUpper()))),
                              qToLittleEndian(fold(fingerprintOf(value)))};
    m_bytes.append(reinterpret_cast<const char*>(entry), sizeof entry);
}

QStringList SourcePrint::changedFields(const QByteArray& before, const SourcePrint& now, const QStringList& names)
{
    const auto entries = [](const QByteArray& bytes) {
        QHash<quint32, quint32> values;
        for (qsizetype at = 0; at + 8 <= bytes.size(); at += 8)
            values.insert(qFromLittleEndian<quint32>(bytes.constData() + at),
                          qFromLittleEndian<quint32>(bytes.constData() + at + 4));
        return values;
    };
    const QHash<quint32, quint32> old = entries(before);
    const QHash<quint32, quint32> current = entries(now.m_bytes);
    QStringList changed;
    QSet<quint32> named;
    for (const QString& name : names) {
        const quint32 key = fold(fingerprintOf(name.toUpper()));
        named.insert(key);
        if (current.contains(key) && (!old.contains(key) || old.value(key) != current.value(key)))
            changed.append(name);
    }
    for (auto it = old.cbegin(); it != old.cend(); ++it)
        if (!current.contains(it.key()) && !named.contains(it.key()))
            changed.append(QStringLiteral("?"));
    changed.removeDuplicates();
    return changed;
}

quint64 destPrint(const QList<QVariant>& values)
{
    quint64 hash = 0xcbf29ce484222325ull;
    for (const QVariant& value : values)
        hash = mix(hash, fingerprintOf(value));
    return hash;
}

quint64 partPrint(const QString& part)
{
    const quint64 length = quint64(std::min(part.size(), kPartLengthLimit));
    return (length << kPartHashBits) | (fingerprintOf(part) & kPartHashMask);
}

std::optional<qsizetype> findPart(const QString& text, quint64 print)
{
    const qsizetype length = qsizetype(print >> kPartHashBits);
    for (qsizetype at = 0; at + length <= text.size(); ++at)
        if ((fingerprint64(text.constData() + at, length * qsizetype(sizeof(QChar))) & kPartHashMask)
            == (print & kPartHashMask))
            return at;
    return std::nullopt;
}

} // namespace vf

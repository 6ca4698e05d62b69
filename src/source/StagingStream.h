#pragma once

// The program's side of the staging reader's stream (StagingProtocol.h): records decoded from
// wherever the bytes come from, the reader's standard output or a buffer.

#include "source/StagingDatabase.h"

#include <QByteArray>
#include <QList>
#include <QString>

struct sqlite3;

namespace vf::staging {

// Reads the values of the stream; every read that the bytes cannot satisfy throws vf::Error.
class StreamReader {
public:
    virtual ~StreamReader() = default;

    char tag() { return static_cast<char>(u8()); }
    quint8 u8();
    quint16 u16();
    quint32 u32();
    // The next n bytes; the pointer stays valid until the next read.
    const char* block(quint32 n) { return take(n); }
    QString text();
    // After an error record: its message, thrown as the error.
    [[noreturn]] void fail();
    // After the end record: the writer must have ended well.
    virtual void finish() {}

protected:
    // Appends to m_buffer until it holds n bytes from m_pos, or throws.
    virtual void fill(quint32 n) = 0;
    QByteArray m_buffer;
    qsizetype m_pos = 0;

private:
    const char* take(quint32 n);
};

// A stream held whole in memory, as a reader that wrote these bytes and exited would leave it.
class BufferStreamReader : public StreamReader {
public:
    BufferStreamReader(const QByteArray& bytes, const QString& what);

protected:
    void fill(quint32 n) override;

private:
    QString m_what;
};

// The catalogue that `velquor-fusion-stage --list` writes, up to its end record.
QList<TableInfo> readCatalogue(StreamReader& in);

// The stream of `velquor-fusion-stage --table` copied into a new table of that name in db, inside
// one transaction: on any failure nothing is left of it and the error is thrown. The database
// must know the collation that declaredType names.
void copyTable(StreamReader& in, sqlite3* db, const QString& tableName);

// The collation of the staged text columns (Jet's text comparison, compareJetText).
inline constexpr char kJetCollation[] = "VF_JET";
void addJetCollation(sqlite3* db);

} // namespace vf::staging

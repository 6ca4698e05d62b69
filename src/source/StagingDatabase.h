#pragma once

#include "source/SqliteHandles.h"
#include "stage/StagingProtocol.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <atomic>
#include <memory>
#include <optional>

class QLockFile;
class QTemporaryDir;

namespace vf::staging {

struct ColumnInfo {
    QString name;
    JetType type = JetText;
};

struct TableInfo {
    QString name;
    quint32 rowCount = 0;
    QList<ColumnInfo> columns;
    // The column of that name, matched without regard to case; -1 when there is none.
    int columnIndex(const QString& column) const;
};

// A table that a run will read, and the columns of an index that one of its statements needs
// (none: the table alone).
struct StagingNeed {
    QString table;
    QStringList indexColumns;
};

// The private SQLite copy of an Access file. The file's catalogue is read when it is created;
// each table is copied on the first request, by the staging reader in a child process, inside
// one transaction (a failed copy leaves nothing behind). The database lives in a folder of its
// own in the system's temporary folder (mode 0700, files 0600), removed on destruction.
//
// Given the tables that a run will need (stageAhead), a thread with a connection of its own
// copies them, and builds their indexes, in that order while the program reads what it has; it
// is then the only one to write, and stage() and ensureIndex() wait for it. A copy that fails
// there fails the first request for its table, with the same message, and is tried again by
// the next. A connection sees a table copied by the thread only from its next read: what a
// data set still being read will need must be awaited (awaitAhead) before it opens.
class StagingDatabase {
public:
    explicit StagingDatabase(const QString& accessPath); // throws vf::Error
    ~StagingDatabase();
    StagingDatabase(const StagingDatabase&) = delete;
    StagingDatabase& operator=(const StagingDatabase&) = delete;

    sqlite3* handle() const { return m_db.get(); }
    QString folder() const;

    // The table of that name (without regard to case), or nullptr.
    const TableInfo* findTable(const QString& name) const;
    QStringList tableNames() const;
    void stage(const TableInfo& table);               // throws vf::Error
    void ensureIndex(const TableInfo& table, const QStringList& columns); // throws vf::Error

    // Starts copying the tables of `needs` ahead, once per database; no connection may be
    // reading then. Tables the file does not hold are left out.
    void stageAhead(const QList<StagingNeed>& needs);
    // Waits until each of `needs` is copied (or has failed, which its request will tell).
    void awaitAhead(const QList<StagingNeed>& needs);

    // The staging reader: beside the running program, else where the build put it, unless set.
    static QString readerProgram();
    static void setReaderProgram(const QString& path);
    static void setBuiltReaderProgram(const QString& path);
    // How long the reader may stay silent before it is taken as hung (default one minute).
    static void setReaderTimeout(int milliseconds);

    static void removeStaleFolders();

    // Declared column type of the staged copy, as the reader of rows interprets it.
    static QString declaredType(JetType type);

private:
    class AheadCopier;
    // A table to copy, or an index to build on it.
    struct Task {
        QString table;
        QStringList columns; // the index's, as the table spells them; none for the table itself
        QString key() const;
    };

    void exec(const char* sql);
    void exec(const QString& sql);
    // The task of an index of `columns` on `table`, or none for an unknown column or no column.
    static std::optional<Task> indexTask(const TableInfo& table, const QStringList& columns);
    QList<Task> tasksOf(const QList<StagingNeed>& needs) const;
    void copyInto(sqlite3* db, const QString& table, const std::atomic<bool>* stop = nullptr) const;
    static void createIndex(sqlite3* db, const Task& task, int number);

    QString m_accessPath;
    QString m_databasePath;
    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<QLockFile> m_lock;
    SqliteDatabase m_db;
    QList<TableInfo> m_tables;
    QHash<QString, int> m_tableByFoldedName;
    QSet<QString> m_staged;  // guarded by the copier's lock while it runs
    QSet<QString> m_indexes; // the same
    int m_indexCount = 0;    // the same
    std::unique_ptr<AheadCopier> m_ahead;
};

// Quotes an identifier for SQLite: "name" with inner quotes doubled.
QString quoteIdentifier(const QString& name);

// Milliseconds from 30 December 1899 00:00 to the moment an OLE date stands for; false when
// the value is not a date (not finite, or beyond the years 100 to 9999).
bool oleToMilliseconds(double oleDate, qint64* milliseconds);
double millisecondsToOle(qint64 milliseconds);

// Jet's text comparison: without regard to case, accented letters sorted beside their base.
int compareJetText(const char* a, int lengthA, const char* b, int lengthB);

} // namespace vf::staging

#pragma once

#include <QDateTime>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <memory>

namespace vf {

// The source connection (ADOConnectionV3) over the Access file. The file is read with mdbtools
// in a child process that copies each table, the first time a statement names it, into a
// private SQLite staging database; statements then run on that copy. Every failure throws
// vf::Error with a clear reason.
class SourceConnection {
public:
    SourceConnection();
    ~SourceConnection();
    SourceConnection(const SourceConnection&) = delete;
    SourceConnection& operator=(const SourceConnection&) = delete;

    // The Jet connection string built from the text of V3Path (kept for the record and the log).
    static QString connectionString(const QString& v3Path);

    // Closes the connection if it is open, then opens the Access file.
    void open(const QString& mdbPath);
    void close();
    bool isOpen() const;

    // Removes staging folders left behind by a program that died.
    static void removeStaleStagingFolders();

    // The tables and indexes that these statements need are copied ahead, in their order, while
    // the program goes on; nothing may be reading the connection then. A statement whose
    // tables are still being copied waits for them when it opens.
    void stageAhead(const QStringList& statements);
    // Waits until what these statements need is copied: a data set open across the statements'
    // first use (a record phase's source, around its detail statements) sees only the tables
    // copied before it opened. A copy that failed fails the statement when it opens.
    void awaitStaging(const QStringList& statements);

    // The user tables of the open file, and the private folder of its staging copy.
    QStringList tableNames() const;
    QString stagingFolder() const;

    // The staging reader (velquor-fusion-stage) is looked for beside the running program, then
    // in an installed program's private folder, then (test programs only, which set it before
    // main) where the build put it; setStagingProgram overrides them all (empty: back to those).
    static void setStagingProgram(const QString& path);
    static void setBuiltStagingProgram(const QString& path);
    static QString stagingProgram();
    // How long the reader may stay silent before it is stopped as hung (default 60 s).
    static void setStagingTimeout(int milliseconds);

    struct Private;
    Private* d() const { return m_d.get(); }

private:
    std::unique_ptr<Private> m_d;
};

// The columns of a source statement, by name: as SQLite spells them, then without regard to case.
struct SourceColumns {
    QHash<QString, int> exact;
    QHash<QString, int> folded;
    int positionOf(const QString& column) const; // throws vf::Error for an unknown column
};

// One row of a source data set, kept after the data set has moved on, with the same reads.
class SourceRecord {
public:
    QVariant value(const QString& column) const;
    bool isNull(const QString& column) const;
    qint32 intValue(const QString& column) const;
    QString textValue(const QString& column) const;
    QDateTime dateTimeValue(const QString& column) const;

private:
    friend class SourceQuery;
    std::shared_ptr<const SourceColumns> m_columns;
    QList<QVariant> m_values;
};

// A data set on the source connection (GLB_Medecin, V3_Qry1, ...): a statement text with
// :named parameters, read forward. Column names are matched without regard to case.
class SourceQuery {
public:
    explicit SourceQuery(SourceConnection& connection, const QString& sql = QString());
    ~SourceQuery();
    SourceQuery(const SourceQuery&) = delete;
    SourceQuery& operator=(const SourceQuery&) = delete;

    void setSql(const QString& sql); // closes the data set
    QString sql() const;
    void setParam(const QString& name, const QVariant& value);

    void open(); // runs the statement; the number of rows is known at once
    // Runs the statement without counting its rows (recordCount() stays 0): each row is read
    // when the data set reaches it, and only the columns asked for are converted. For a
    // statement opened again for every record.
    void openUncounted();
    void close();
    bool isOpen() const;
    int recordCount() const;
    bool eof() const;
    void next();

    bool hasColumn(const QString& name) const;
    // The position of a column of the open data set, for rows read many times over; throws
    // vf::Error when there is no such column.
    int columnPosition(const QString& column) const;
    // The columns of the statement, known once it has been opened.
    int columnCount() const;
    QString columnName(int position) const;
    // For diagnostics: how the staging database runs the statement (SQLite's query plan, one
    // step a line). Stages the tables it names, like open().
    QString queryPlan();
    // Raw values: null is a null QVariant; integers are qint32 (qint64 beyond), text is
    // QString, date-times are QDateTime in UTC (naive), doubles (and currency) are double,
    // booleans bool, binary values QByteArray; a date-time that the file holds but that is no
    // date of the years 100 to 9999 is a QByteArray of its day count. Reading a column that does not exist, or with
    // no current row (eof), throws vf::Error.
    QVariant value(const QString& column) const;
    QVariant value(int position) const;
    bool isNull(const QString& column) const;
    // Typed reads: a null integer reads 0, a null text reads "", a null date-time reads the
    // zero of the date-time scale, 30 December 1899 00:00 (UTC, naive). A text that is not a
    // number read as an integer, or a value that is no date read as a date-time, throws
    // vf::Error. A date-time read as text is "dd/MM/yyyy", followed by " HH:mm:ss" unless
    // the time is midnight; a boolean reads -1 (true) or 0 as an integer.
    qint32 intValue(const QString& column) const;
    QString textValue(const QString& column) const;
    QString textValue(int position) const;
    QDateTime dateTimeValue(const QString& column) const;
    // The current row, kept (throws vf::Error at the end of the data set).
    SourceRecord record() const;

    struct Private;

private:
    std::unique_ptr<Private> m_d;
};

// OLE automation dates (days since 30 December 1899; before it the fraction is the time of day
// counted forward) to and from naive UTC date-times, to the millisecond. A value that is no
// date of the years 100 to 9999 gives an invalid QDateTime.
QDateTime dateTimeFromOle(double oleDate);
double oleFromDateTime(const QDateTime& dateTime);

} // namespace vf

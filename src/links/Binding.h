#pragma once

#include <QList>
#include <QString>

namespace vf {

class DestinationConnection;
class Reporter;
class SourceConnection;

// What names a destination: its ODBC driver, server, database and port. Two destinations are the
// same when these are, compared without regard to blanks around them, and to case but for the
// database (two databases whose names differ by case are two destinations on PostgreSQL and on a
// SQL Server of a case-sensitive collation); for the SQLite driver, whose database is a file, the
// file's canonical path (links resolved) and no server.
struct DestinationIdentity {
    QString driver;
    QString server;
    QString database;
    QString port; // the Port= attribute of the settings file's options, if any

    // 16 hexadecimal digits of the SHA-256 of the normalised fields: the destination's folder.
    QString key() const;
    // The folder's name under earlier versions, which compared the database without its case.
    QString caseFoldedKey() const;
    // The text of the destination's identity file, for the technician who looks into LinksTables.
    QString description() const;
};

// options: the [Destination] Options attributes, from which only Port= is taken.
DestinationIdentity destinationIdentity(const QString& driver, const QString& server, const QString& database,
                                        const QString& options);

// The link tables of one destination: LinksTables/<key>, holding the identity file "Destination.txt".
QString destinationLinksFolder(const QString& linksRoot, const DestinationIdentity& identity);

// A link table with the destination rows that its pairs stand for, and what those records are
// called in a refusal ("consultations").
struct PairedRows {
    QString linkTable;
    QString table;
    QString idColumn;
    QString what;
};

// The link tables of a run, checked against the destination and the source before anything is
// written. Without a purge: the destination's folder adopts the link tables that earlier versions
// kept directly in LinksTables, or in the folder named without the database's case, when their
// patients are this destination's (one report line); then a sample of up to 200 paired patients
// (pending pairs whose rows exist included), spread over the codes, is read from the source and
// the destination (one statement) and the run is refused when more than a tenth of their rows
// are gone (the destination recreated or restored), or when fewer than half are the same people,
// by name, first name and birth date (another practice's file); the pairs of every other link
// table of `paired` are sampled the same way (one statement each) and the run is refused when
// more than a tenth of a kind's rows are gone. With no settled patient pair, the run is refused
// when the destination already holds at least half of the source's patients (imported from
// another program folder or machine), or at least 10 other patients, as many as half of the
// source's (another practice's base); the rows of pending pairs do not count. A source whose
// patients table cannot be read is refused when the destination's link tables hold pairs or
// pending pairs. A purge run checks nothing: it empties the tables. Any run is refused when one
// of the destination's link tables has a newer format.
struct LinkTablesBinding {
    QString folder;  // the destination's folder, created with its identity file when the run may go on
    QString refusal; // empty: the run goes on; else the French message that ends it
};
LinkTablesBinding bindLinkTables(const QString& linksRoot, const DestinationIdentity& identity,
                                 SourceConnection& source, DestinationConnection& dest, bool purge,
                                 const QList<PairedRows>& paired, Reporter& reporter);

// The same checks, made for a verification: nothing is created, moved or reported; the folder is
// the one the run would read (the earlier versions' link tables before it adopts them), and the
// refusal the run would give. A link table that cannot be read, or has a newer format, throws
// vf::Error: the verification reads the link tables itself and names it.
LinkTablesBinding checkLinkTables(const QString& linksRoot, const DestinationIdentity& identity,
                                  SourceConnection& source, DestinationConnection& dest,
                                  const QList<PairedRows>& paired);

} // namespace vf

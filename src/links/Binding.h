#pragma once

#include <QString>

namespace vf {

class DestinationConnection;
class Reporter;
class SourceConnection;

// What names a destination: its ODBC driver, server, database and port. Two destinations are the
// same when these are, compared without regard to case and blanks around them; for the SQLite
// driver, whose database is a file, the file's canonical path (links resolved) and no server.
struct DestinationIdentity {
    QString driver;
    QString server;
    QString database;
    QString port; // the Port= attribute of the settings file's options, if any

    // 16 hexadecimal digits of the SHA-256 of the normalised fields: the destination's folder.
    QString key() const;
    // The text of the destination's identity file, for the technician who looks into LinksTables.
    QString description() const;
};

// options: the [Destination] Options attributes, from which only Port= is taken.
DestinationIdentity destinationIdentity(const QString& driver, const QString& server, const QString& database,
                                        const QString& options);

// The link tables of one destination: LinksTables/<key>, holding the identity file "Destination.txt".
QString destinationLinksFolder(const QString& linksRoot, const DestinationIdentity& identity);

// The link tables of a run, checked against the destination and the source before anything is
// written. Without a purge: the destination's folder adopts the link tables that earlier versions
// kept directly in LinksTables when their patients are this destination's (one report line); then
// a sample of up to 200 paired patients, spread over the codes, is read from the source and the
// destination (one statement) and the run is refused when more than a tenth of their rows are
// gone (the destination recreated or restored), or when fewer than half are the same people, by
// name, first name and birth date (another practice's file). With no pair, the run is refused when
// the destination already holds at least half of the source's patients (imported from another
// program folder or machine), or at least 10 other patients, as many as half of the source's
// (another practice's base). A purge run checks nothing: it empties the tables; nor does a run
// whose source patients table cannot be read (its phase reports it). Any run is refused when one
// of the destination's link tables has a newer format.
struct LinkTablesBinding {
    QString folder;  // the destination's folder, created with its identity file when the run may go on
    QString refusal; // empty: the run goes on; else the French message that ends it
};
LinkTablesBinding bindLinkTables(const QString& linksRoot, const DestinationIdentity& identity,
                                 SourceConnection& source, DestinationConnection& dest, bool purge,
                                 Reporter& reporter);

// The folder that --verify reads for a destination: its own folder, or before the first run of
// this version the link tables kept directly in LinksTables.
QString verifiedLinksFolder(const QString& linksRoot, const DestinationIdentity& identity);

} // namespace vf

#pragma once

#include "verification/RunSummary.h"
#include "verification/Verification.h"

#include <QByteArray>
#include <QStringList>

namespace vf {

// The summary of a verification for the terminal: the table of counts per kind of record, the
// records missing, pending and refused by name, the first records to import of each kind, and
// the result line.
QStringList verificationSummary(const Verification& verification);

// The table of the summary, as the window shows it: the source records and those imported,
// refused, to import, pending and missing, by kind, then the total.
SummaryTable verificationTable(const Verification& verification);

// The same as one self-contained HTML file (UTF-8, well-formed XHTML, no script, no external
// asset), printed as a document to sign: the result, the table with a note where a kind's
// destination rows count otherwise, what to do, every record not imported or needing an action by
// reason with its patient, and a place to sign and date. Then an appendix listing every record,
// on screen always, on paper only when the box before it is ticked; a bar chart in inline SVG on
// screen. Its head names this program as its generator.
QByteArray verificationHtml(const Verification& verification);

// The same content as JSON (UTF-8): the header, the counts of each kind and in total, the
// refusals by reason with what to do, and every record with its state, reason and patient.
QByteArray verificationJson(const Verification& verification);

// True when the first bytes of a file are those of a report that verificationHtml or verificationJson wrote: the
// only kind of file that --report replaces.
bool isVerificationReport(const QByteArray& head);

} // namespace vf

#pragma once

#include "import/Verification.h"

#include <QByteArray>
#include <QStringList>

namespace vf {

// The summary of a verification for the terminal: the table of counts per kind of record, the
// records missing, pending and refused by name, the first records to import of each kind, and
// the result line.
QStringList verificationSummary(const Verification& verification);

// The same as one self-contained HTML file (UTF-8, well-formed XHTML, no script, no external
// asset): the table, a bar chart in inline SVG and every record of each number in collapsed lists.
QByteArray verificationHtml(const Verification& verification);

// The same content as JSON (UTF-8): the header, the counts of each kind and in total, the
// refusals by reason with what to do, and every record with its state, reason and patient.
QByteArray verificationJson(const Verification& verification);

} // namespace vf

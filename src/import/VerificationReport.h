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

} // namespace vf

#pragma once

namespace vf {

// velquor-fusion --export FILE TABLE: prints one table of the Access file FILE as CSV on
// standard output, read through the source connection (a header line with the column names,
// RFC 4180 quoting and CR LF line ends, integers in decimal, date-times as
// "YYYY-MM-DDTHH:MM:SS.mmm", decimals with a dot, nulls as empty fields, UTF-8). Returns the
// exit status: 0, 1 after a message on standard error, 64 when the arguments are not a file
// and a table. Creates its own QCoreApplication, so
// it needs no display; argv[1] is "--export".
int runExportCommand(int argc, char** argv);

} // namespace vf

#pragma once

#include <QString>

#include <cstdio>

namespace vf {

// Texts of the source (a doctor's name, a letter's title, a path built from a letter's file
// name) reach the terminal: every byte that a terminal would take as a command is shown as a
// visible escape instead. C0 controls but the newline and the tab, ESC, DEL and the C1 controls
// (U+0080 to U+009F) read "\x1b", "\x7f", "\x9b"...; the bidirectional overrides and isolates
// (U+202A to U+202E, U+2066 to U+2069), which reorder what follows them on the screen, read
// "\u202e"... Any other text comes out as it is, byte for byte.
QString terminalSafe(const QString& text);

// The one way the command-line modes write a message or a report line to a terminal: the text
// made safe, a newline, and the stream flushed.
void printLine(FILE* stream, const QString& text);

// Called first by the program. The standard streams carry UTF-8 and "\n" as they are, so that
// the output is the same bytes everywhere (a CSV of --export included); on Windows, where the C
// library would write "\r\n", the streams are switched to binary, and a console is told that
// the bytes are UTF-8.
void prepareStandardStreams();

} // namespace vf

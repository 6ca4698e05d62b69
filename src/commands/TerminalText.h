#pragma once

#include <QString>

#include <cstdio>

namespace vf {

// Texts of the source reach the terminal: every character that a terminal would take as a
// command, or that would reorder the line, is shown as a visible escape instead ("\x1b",
// "\u202e": withVisibleControls). Any other text comes out as it is, byte for byte.
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

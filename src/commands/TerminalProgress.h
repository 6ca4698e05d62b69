#pragma once

#include <QElapsedTimer>
#include <QString>

#include <cstdio>

namespace vf {

// One progress line per phase on a terminal, for the command-line modes:
//   Importation des patients... 1 200 / 2 000 (60 %) — écoulé 00:00:12, reste environ 00:00:08
// The line is rewritten in place ("\r", then "\033[K" erases what a longer line left) and fits
// the terminal's width: a narrow one loses the elapsed time, then the end of the status text.
// A phase's line ends with a newline when the next phase starts, when output follows it at
// 100 %, or at finish(), so that each finished line stays in the scrollback. On a stream that is
// not a terminal (or a terminal that says it is "dumb") the object writes nothing at all.
class TerminalProgress {
public:
    explicit TerminalProgress(FILE* stream); // active only when stream is a terminal
    ~TerminalProgress();                     // ends a line still shown
    TerminalProgress(const TerminalProgress&) = delete;
    TerminalProgress& operator=(const TerminalProgress&) = delete;

    bool isActive() const;
    void startPhase(int total);          // ends the previous phase's line, draws the new one at 0
    // The text at the line's start (redrawn, throttled). An empty text, the run clearing its
    // status, leaves the line's text as it is: the line keeps saying what it counts. Once the
    // line has been drawn at 100 %, it keeps the text it was drawn with.
    void setStatus(const QString& text);
    void step();                          // one record done; draws at most 10 times a second, and always at 100 %
    // Erases the line before another line is written to the terminal; a line at 100 % is ended
    // instead, so that it stays above that output.
    void hideForOutput();
    void showAfterOutput();               // draws it again
    void finish();                        // ends the current line (newline) when one is shown

private:
    QString lineText() const;
    void draw();
    void endLine();
    void write(const QByteArray& bytes);
    int columns() const;

    FILE* m_stream;
    bool m_active = false;
    bool m_open = false;   // a phase's line is on the screen (or erased for output), not yet ended
    bool m_hidden = false; // erased by hideForOutput
    bool m_completeShown = false; // last drawn with every record done
    int m_total = 0;
    int m_done = 0;
    QString m_status;
    QElapsedTimer m_phaseClock;
    QElapsedTimer m_drawClock;
};

} // namespace vf

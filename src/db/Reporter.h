#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

namespace vf {

// The one seam through which the core reports: the window implements it with widgets, the batch
// front end with the console, the tests with a recorder. Every call comes from the thread that
// runs the import.
class Reporter {
public:
    virtual ~Reporter() = default;

    // Status line (Label3): replace its text, then let pending window messages be processed.
    virtual void setStatus(const QString& text) = 0;

    // Text area (Memo1).
    virtual void appendLine(const QString& line) = 0;
    virtual QStringList lines() const = 0;
    virtual void clearLines() = 0;

    // Progress bar (ProgressBar1): startProgress sets position 0 and the maximum;
    // stepProgress advances by one and lets pending window messages be processed.
    virtual void setProgressVisible(bool visible) = 0;
    virtual void startProgress(int maximum) = 0;
    virtual void stepProgress() = 0;

    // Elapsed-time label (Label7) and its one-second timer. stopElapsed stops the timer and
    // returns the text the label keeps (quoted by the end-of-run lines).
    virtual void startElapsed(const QDateTime& start) = 0;
    virtual QString stopElapsed() = 0;

    // Modal boxes: error with OK, warning with OK, warning with Yes/No (true for Yes),
    // plain notice with OK.
    virtual void errorBox(const QString& text) = 0;
    virtual void warningBox(const QString& text) = 0;
    virtual bool askYesNo(const QString& text) = 0;
    virtual void notice(const QString& text) = 0;

    // Hourglass (true) or normal (false) pointer.
    virtual void setBusy(bool busy) = 0;

    // Let pending window messages be processed.
    virtual void processEvents() = 0;

    // The window's fields and buttons, as the run changes them.
    virtual void setDestinationPathText(const QString& text) = 0;
    virtual void setButtonsEnabled(bool importer, bool fermer) = 0;
};

} // namespace vf

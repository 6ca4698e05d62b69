#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

namespace vf {

// The one seam through which the core reports: the run tells what happens as events, and asks
// two questions (the text area's lines, for the import log; a yes/no answer). The window
// implements it with widgets and decides its own pointer and buttons from the run's events
// (RunControls below), the batch front end prints to the console, the tests record. Every call
// comes from the thread that runs the import.
class Reporter {
public:
    virtual ~Reporter() = default;

    // The run's course: the run proper starts once its preparation is over (the clock is
    // running); the purge, when the box is ticked, comes before the record phases; the run ends
    // after its last line and box, or when an error that no phase handles stops it. A complete
    // run went through every record phase without being stopped or cut short.
    virtual void runStarted() = 0;
    virtual void purgeStarted() = 0;
    virtual void phasesStarted() = 0;
    virtual void runEnded(bool complete) = 0;

    // Status line (Label3).
    virtual void setStatus(const QString& text) = 0;

    // Text area (Memo1).
    virtual void appendLine(const QString& line) = 0;
    virtual QStringList lines() const = 0;
    virtual void clearLines() = 0;

    // Progress bar (ProgressBar1): startProgress sets position 0 and the maximum; stepProgress
    // advances by one.
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

    // The destination field, rewritten by the run with its final separator.
    virtual void setDestinationPathText(const QString& text) = 0;
};

// The question that the run asks before a purge that will delete rows begins so (the batch run
// answers it with --purge, and only it).
inline const QString kPurgeQuestionStart = QStringLiteral("La purge va supprimer ");
inline bool isPurgeQuestion(const QString& text)
{
    return text.startsWith(kPurgeQuestionStart);
}

// The question that the run asks before anything is written when the letters folder holds no
// letter document at all (a share not mounted); the batch run answers it Yes, and its summary
// then counts the letters as missing.
inline const QString kNoLettersQuestionStart = QStringLiteral("Le dossier des courriers ");
inline const QString kNoLettersQuestionEnd = QStringLiteral(" ne contient aucun fichier .RTF");
inline bool isNoLettersQuestion(const QString& text)
{
    return text.startsWith(kNoLettersQuestionStart) && text.contains(kNoLettersQuestionEnd);
}

// The window's buttons and pointer as the run's events leave them. The run's clock starts with
// the hourglass pointer; the record phases disable "&Importer" and "&Fermer" and, without a
// purge, bring the normal pointer back; the end of the run (or an error that stops it) restores
// the pointer and enables "&Fermer". "&Importer" stays disabled once a complete run has ended;
// after a run that was stopped or cut short it is enabled again, and the next run goes on.
struct RunControls {
    bool importerEnabled = true;
    bool fermerEnabled = true;
    bool busy = false;

    void runStarted() { busy = true; m_purged = false; }
    void purgeStarted() { m_purged = true; }
    void phasesStarted()
    {
        importerEnabled = false;
        fermerEnabled = false;
        busy = busy && m_purged;
        m_phasesStarted = true;
    }
    void runEnded(bool complete)
    {
        busy = false;
        fermerEnabled = true;
        m_completed = m_completed || (m_phasesStarted && complete);
        m_phasesStarted = false;
        importerEnabled = !m_completed;
    }

private:
    bool m_purged = false;
    bool m_phasesStarted = false;
    bool m_completed = false;
};

} // namespace vf

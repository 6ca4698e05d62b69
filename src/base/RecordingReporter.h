#pragma once

#include "base/Reporter.h"

#include <QList>
#include <QPair>
#include <functional>

namespace vf {

// A Reporter that records every call, for tests and for checks without a display.
class RecordingReporter : public Reporter {
public:
    enum class Box { Error, Warning, Question, Notice };
    struct BoxCall {
        Box kind;
        QString text;
    };

    void runStarted() override { controls.runStarted(); }
    void purgeStarted() override { controls.purgeStarted(); }
    void phasesStarted() override { controls.phasesStarted(); }
    void runEnded(bool complete) override { controls.runEnded(complete); }
    void setStatus(const QString& text) override { statuses.append(text); }
    void appendLine(const QString& line) override;
    QStringList lines() const override { return m_lines; }
    void clearLines() override { m_lines.clear(); }
    void setProgressVisible(bool visible) override { progressVisible = visible; }
    void startProgress(int maximum) override;
    void stepProgress() override { ++progressPosition; }
    void startElapsed(const QDateTime& start) override;
    QString stopElapsed() override;
    void errorBox(const QString& text) override { boxes.append({Box::Error, text}); }
    void warningBox(const QString& text) override { boxes.append({Box::Warning, text}); }
    bool askYesNo(const QString& text) override;
    void notice(const QString& text) override { boxes.append({Box::Notice, text}); }
    void setDestinationPathText(const QString& text) override { destinationPath = text; }

    QStringList boxTexts(Box kind) const;

    QStringList statuses;      // every status line set, in order
    QList<BoxCall> boxes;      // every box shown, in order
    QList<int> progressMaxima; // every maximum given to startProgress
    int progressPosition = 0;
    bool progressVisible = false;
    RunControls controls;      // the buttons and the pointer as the events leave them
    QString destinationPath;
    QDateTime elapsedStart;
    bool elapsedRunning = false;
    bool answerYes = false;                                 // the answer to askYesNo
    bool answerPurge = true;                                // the answer to the purge question
    bool answerNoLetters = true;                            // to the question of a folder without letters
    std::function<void(const QString&)> onLine;             // called for every new line

private:
    QStringList m_lines;
};

} // namespace vf

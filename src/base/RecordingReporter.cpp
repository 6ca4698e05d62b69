#include "base/RecordingReporter.h"

#include "base/Regional.h"

namespace vf {

void RecordingReporter::appendLine(const QString& line)
{
    m_lines.append(line);
    if (onLine)
        onLine(line);
}

void RecordingReporter::startProgress(int maximum)
{
    progressMaxima.append(maximum);
    progressPosition = 0;
}

void RecordingReporter::startElapsed(const QDateTime& start)
{
    elapsedStart = start;
    elapsedRunning = true;
}

QString RecordingReporter::stopElapsed()
{
    elapsedRunning = false;
    return elapsedText(elapsedStart, QDateTime::currentDateTime());
}

bool RecordingReporter::askYesNo(const QString& text)
{
    boxes.append({Box::Question, text});
    return isPurgeQuestion(text) ? answerPurge : isNoLettersQuestion(text) ? answerNoLetters : answerYes;
}

QStringList RecordingReporter::boxTexts(Box kind) const
{
    QStringList texts;
    for (const BoxCall& call : boxes)
        if (call.kind == kind)
            texts.append(call.text);
    return texts;
}

} // namespace vf

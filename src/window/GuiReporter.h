#pragma once

#include "base/Reporter.h"

#include <QDateTime>
#include <QMutex>
#include <QPointer>
#include <QStringList>

#include <functional>
#include <optional>

class QLabel;
class QLineEdit;
class QMessageBox;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTimer;
class QWidget;

namespace vf {

// The status line as the window shows it: the connection statuses name the Windows data access
// layer ("connexion à la base Access V3 en ADO..."), which only the Windows build has; elsewhere
// the window shows them without it ("connexion à la base Access V3...").
QString shownStatus(const QString& text);

// The window's reporting channels. Called from the window's own thread, each call acts on the
// widgets directly. Called from another thread (a run on a worker thread), the status line, the
// new lines and the progress steps are queued and shown together by the window's thread, so a
// run of a million records never waits for the screen; every other call waits until the
// window's thread has shown what was queued before it and performed the call. "Let pending
// messages be processed" is left to the window's thread, which keeps the window alive. The
// buttons and the pointer follow the run's events; once the run's clock stops (its end lines and
// box follow), there is nothing left to stop.
class GuiReporter : public Reporter {
public:
    struct Widgets {
        QWidget* window = nullptr;
        QLabel* status = nullptr;          // Label3
        QPlainTextEdit* textArea = nullptr; // Memo1
        QProgressBar* progress = nullptr;  // ProgressBar1
        QLabel* elapsed = nullptr;         // Label7
        QTimer* elapsedTimer = nullptr;    // Timer1
        QLineEdit* destinationPath = nullptr; // TalmerosPath
        QPushButton* importer = nullptr;   // BitBtn1
        QPushButton* fermer = nullptr;     // BitBtn2
        QPushButton* arreter = nullptr;    // stops the run; of no use once its clock has stopped
    };

    explicit GuiReporter(const Widgets& widgets);
    ~GuiReporter() override;

    void runStarted() override;
    void purgeStarted() override;
    void phasesStarted() override;
    void runEnded(bool complete) override;
    void setStatus(const QString& text) override;
    void appendLine(const QString& line) override;
    QStringList lines() const override;
    void clearLines() override;
    void setProgressVisible(bool visible) override;
    void startProgress(int maximum) override;
    void stepProgress() override;
    void startElapsed(const QDateTime& start) override;
    QString stopElapsed() override;
    void errorBox(const QString& text) override;
    void warningBox(const QString& text) override;
    bool askYesNo(const QString& text) override;
    void notice(const QString& text) override;
    void setDestinationPathText(const QString& text) override;

    // Once the window is closing, boxes are no longer shown (a question counts as "No") and a
    // box on screen is closed at once, so that the run returns without waiting for anyone.
    void setClosing(bool closing);
    bool isClosing() const { return m_closing; }

    // The elapsed-time tick of Timer1.
    void tick();

    // The buttons and the pointer as the run's events have left them.
    const RunControls& controls() const { return m_controls; }

private:
    // What a worker thread has reported and the window's thread has not shown yet.
    struct Queued {
        std::optional<QString> status;
        QStringList lines;
        int steps = 0;
        bool posted = false; // a call to applyQueued is on its way
    };

    bool onOtherThread() const;
    template <typename F> void onWindowThread(F&& f) const;
    void queue(const std::function<void(Queued&)>& change);
    void applyQueued() const;
    void addLine(const QString& line) const;
    int showBox(int icon, const QString& title, const QString& text, bool yesNo);
    // Shows the buttons and the pointer as the run's events have left them.
    void applyControls(const std::function<void(RunControls&)>& event);
    // Called on the window's thread: lets the change be drawn at once.
    void drawNow() const;

    Widgets m_w;
    QDateTime m_start; // written and read on the window's thread only
    bool m_closing = false;
    bool m_busy = false; // the hourglass pointer is on
    RunControls m_controls;
    mutable bool m_hasLines = false; // a line was added since the text area was last cleared
    mutable QMutex m_queueMutex;
    mutable Queued m_queued;
    QPointer<QMessageBox> m_openBox;
};

} // namespace vf

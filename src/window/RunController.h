#pragma once

#include "import/ImportRun.h"

#include <QObject>
#include <QThread>
#include <atomic>
#include <memory>

namespace vf {

class MainWindow;

// Runs the import behind "&Importer" on one long-lived worker thread, which owns both database
// connections; the window stays responsive and receives every report through its reporter.
// A click while an attempt is under way never starts a second one, and once a run has completed
// no other run starts; after a run stopped or cut short, the next one goes on from there. When the run returns, a close of the window asked for
// meanwhile happens then (the text area, with every line of the run, goes to the log); a run
// that must end the program ends it at once, without the window's close-time steps.
//
// "&Vérifier" runs the verification of the paths shown on the same thread (it writes nothing
// but its report, owner-only in the program folder), shows its summary in the text area and
// opens the report in the browser. "&Arrêter" stops a run at its next batch boundary (it ends
// unfinished, its link tables exact, and the next run goes on), or a verification at once. The
// window starts over for each of them; the end of a run shows its import log's path under the
// progress bar, the end of a verification the report's, and both their figures in a table.
class RunController : public QObject {
    Q_OBJECT

public:
    explicit RunController(MainWindow& window, QObject* parent = nullptr);
    ~RunController() override;

    bool isRunning() const { return m_running; }

    // The report that "&Vérifier" writes.
    QString reportPath() const;

public slots:
    void startRun();
    void startVerification();
    void stop();

signals:
    void runFinished(vf::RunOutcome outcome);
    // The verification has ended: complete or not, or failed (message) or stopped.
    void verificationFinished(bool complete);

private:
    void runReturned(RunOutcome outcome, bool programEnds, const SummaryTable& table);
    void verificationReturned(bool complete, bool written, const SummaryTable& table);

    MainWindow& m_window;
    QThread m_thread;
    QObject* m_worker = nullptr;           // lives on m_thread
    std::unique_ptr<ImportRun> m_importRun; // made, used and destroyed on m_thread
    bool m_running = false;
    QString m_logBefore; // the import log's path before the attempt under way
    std::atomic<bool> m_stopRequested{false};
};

} // namespace vf

#pragma once

#include "import/ImportRun.h"

#include <QObject>
#include <QThread>
#include <memory>

namespace vf {

class MainWindow;

// Runs the import behind "&Importer" on one long-lived worker thread, which owns both database
// connections; the window stays responsive and receives every report through its reporter.
// A click while an attempt is under way never starts a second one, and once a run has reached
// its record phases no other run starts. When the run returns, a close of the window asked for
// meanwhile happens then (the text area, with every line of the run, goes to the log); a run
// that must end the program ends it at once, without the window's close-time steps.
class RunController : public QObject {
    Q_OBJECT

public:
    explicit RunController(MainWindow& window, QObject* parent = nullptr);
    ~RunController() override;

    bool isRunning() const { return m_running; }

public slots:
    void startRun();

signals:
    void runFinished(vf::RunOutcome outcome);

private:
    void runReturned(RunOutcome outcome, bool programEnds);

    MainWindow& m_window;
    QThread m_thread;
    QObject* m_worker = nullptr;           // lives on m_thread
    std::unique_ptr<ImportRun> m_importRun; // made, used and destroyed on m_thread
    bool m_running = false;
};

} // namespace vf

#include "RunController.h"

#include "MainWindow.h"
#include "db/Errors.h"

namespace vf {

RunController::RunController(MainWindow& window, QObject* parent)
    : QObject(parent), m_window(window)
{
    m_thread.setObjectName(QStringLiteral("import"));
    m_worker = new QObject;
    m_worker->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread.start();
    QMetaObject::invokeMethod(
        m_worker,
        [this] {
            m_importRun = std::make_unique<ImportRun>(m_window.programFolder(), m_window.settingsPath(),
                                                      m_window.reporter(), m_window.importLog());
        },
        Qt::BlockingQueuedConnection);
    connect(&window, &MainWindow::importRequested, this, &RunController::startRun);
}

RunController::~RunController()
{
    // The connections are closed on the thread that opened them.
    QMetaObject::invokeMethod(m_worker, [this] { m_importRun.reset(); }, Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
}

void RunController::startRun()
{
    if (m_running || m_importRun->phasesStarted())
        return;
    m_running = true;
    m_window.setRunInProgress(true);
    RunInputs inputs{m_window.v3Path(), m_window.courriersPath(), m_window.talmerosPath(), m_window.vider()};
    QMetaObject::invokeMethod(m_worker, [this, inputs]() mutable {
        RunOutcome outcome = RunOutcome::Aborted;
        bool programEnds = false;
        try {
            outcome = m_importRun->run(inputs);
        } catch (const ProgramTermination&) {
            programEnds = true;
        }
        QMetaObject::invokeMethod(this, [this, outcome, programEnds] { runReturned(outcome, programEnds); },
                                  Qt::QueuedConnection);
    });
}

void RunController::runReturned(RunOutcome outcome, bool programEnds)
{
    m_running = false;
    if (programEnds) {
        m_window.endProgramAtOnce();
        return;
    }
    m_window.setRunInProgress(false);
    emit runFinished(outcome);
}

} // namespace vf

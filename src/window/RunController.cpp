#include "window/RunController.h"

#include "base/Errors.h"
#include "base/FileAccess.h"
#include "base/Reporter.h"
#include "base/Settings.h"
#include "verification/Verification.h"
#include "verification/VerificationReport.h"
#include "window/MainWindow.h"

#include <QDir>

namespace vf {
namespace {

// Thrown out of the verification when "&Arrêter" was clicked.
struct VerificationStopped {};

// The kinds of record on the window's status line and progress bar, one after the other.
class WindowVerificationProgress : public VerificationProgress {
public:
    WindowVerificationProgress(Reporter& reporter, const std::atomic<bool>& stopRequested)
        : m_reporter(reporter), m_stopRequested(stopRequested)
    {
    }
    void startKind(const QString& status, int total) override
    {
        m_reporter.setStatus(status);
        m_reporter.startProgress(total);
        m_reporter.setProgressVisible(true);
    }
    void step() override
    {
        if (m_stopRequested.load(std::memory_order_relaxed))
            throw VerificationStopped{};
        m_reporter.stepProgress();
    }

private:
    Reporter& m_reporter;
    const std::atomic<bool>& m_stopRequested;
};

} // namespace

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
    connect(&window, &MainWindow::verifyRequested, this, &RunController::startVerification);
    connect(&window, &MainWindow::stopRequested, this, &RunController::stop);
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
    if (m_running || m_importRun->hasCompleted())
        return;
    m_running = true;
    m_window.beginActivity(MainWindow::Activity::Import);
    m_logBefore = m_window.importLog().filePath();
    m_stopRequested = false;
    RunInputs inputs{m_window.v3Path(), m_window.courriersPath(), m_window.talmerosPath(), m_window.vider(),
                     &m_stopRequested};
    QMetaObject::invokeMethod(m_worker, [this, inputs]() mutable {
        RunOutcome outcome = RunOutcome::Aborted;
        bool programEnds = false;
        try {
            outcome = m_importRun->run(inputs);
        } catch (const ProgramTermination&) {
            programEnds = true;
        }
        const SummaryTable table = m_importRun->summaryTable();
        QMetaObject::invokeMethod(
            this, [this, outcome, programEnds, table] { runReturned(outcome, programEnds, table); }, Qt::QueuedConnection);
    });
}

void RunController::stop()
{
    m_stopRequested = true;
}

QString RunController::reportPath() const
{
    return QDir(m_window.programFolder()).filePath(QStringLiteral("Verification.html"));
}

void RunController::startVerification()
{
    if (m_running)
        return;
    m_running = true;
    m_stopRequested = false;
    m_window.beginActivity(MainWindow::Activity::Verification);
    Reporter& reporter = m_window.reporter();
    reporter.appendLine(QStringLiteral("Vérification de la migration..."));
    const QString v3 = m_window.v3Path();
    const QString courriers = m_window.courriersPath();
    const QString talmeros = m_window.talmerosPath();
    QMetaObject::invokeMethod(m_worker, [this, &reporter, v3, courriers, talmeros] {
        bool complete = false;
        bool written = false;
        SummaryTable table;
        WindowVerificationProgress progress(reporter, m_stopRequested);
        try {
            LinksLock lock;
            const Verification verification = verifyMigration(
                v3, courriers, talmeros,
                verificationLinksRoot(lock, m_window.programFolder()),
                m_window.settingsPath(), progress);
            complete = verification.complete();
            table = verificationTable(verification);
            for (const QString& line : verificationSummary(verification))
                reporter.appendLine(line);
            const QString failure = writeOwnFile(reportPath(), verificationHtml(verification), isVerificationReport);
            if (failure.isEmpty()) {
                reporter.appendLine(QStringLiteral("Rapport : ") + QDir::toNativeSeparators(reportPath()));
                written = true;
            } else {
                reporter.errorBox(QStringLiteral("Le rapport ") + QDir::toNativeSeparators(reportPath())
                                  + QStringLiteral(" ne peut pas être écrit : ") + failure);
            }
        } catch (const VerificationFailed& failure) {
            reporter.errorBox(kErrorPrefix + failure.message);
        } catch (const VerificationStopped&) {
            reporter.appendLine(QStringLiteral("Vérification inachevée : arrêtée à la demande, aucun résultat."));
        }
        reporter.setProgressVisible(false);
        reporter.setStatus(QString());
        QMetaObject::invokeMethod(
            this, [this, complete, written, table] { verificationReturned(complete, written, table); }, Qt::QueuedConnection);
    });
}

void RunController::verificationReturned(bool complete, bool written, const SummaryTable& table)
{
    m_running = false;
    m_window.showSummaryTable(table);
    if (written) {
        // A browser may fail after it was started (one that refuses to run as root): the path
        // stays under the progress bar whatever happened.
        const QString path = QDir::toNativeSeparators(reportPath());
        if (m_window.openReport(reportPath())) {
            m_window.showEndNote(QStringLiteral("Rapport : ") + path
                                 + QStringLiteral(" (s'il ne s'est pas affiché dans le navigateur, ouvrez ce fichier)"));
        } else {
            m_window.showEndNote(QStringLiteral("Aucun navigateur n'a pu ouvrir le rapport : ouvrez ") + path);
            m_window.reporter().warningBox(QStringLiteral("Aucun navigateur n'a pu ouvrir le rapport ") + path
                                           + QLatin1Char('.'));
        }
    }
    m_window.endActivity();
    emit verificationFinished(complete);
}

void RunController::runReturned(RunOutcome outcome, bool programEnds, const SummaryTable& table)
{
    m_running = false;
    if (programEnds) {
        m_window.endProgramAtOnce();
        return;
    }
    // The log of this attempt, when it made one (an attempt refused before its log names none).
    if (m_window.importLog().hasFile() && m_window.importLog().filePath() != m_logBefore)
        m_window.showEndNote(QStringLiteral("Journal d'importation : ")
                             + QDir::toNativeSeparators(m_window.importLog().filePath()));
    m_window.showSummaryTable(table);
    m_window.endActivity();
    emit runFinished(outcome);
}

} // namespace vf

#include "commands/VerifyCommand.h"

#include "commands/TerminalProgress.h"
#include "commands/TerminalText.h"

#include "base/Errors.h"
#include "base/FileAccess.h"
#include "links/LinksLock.h"
#include "verification/Verification.h"
#include "verification/VerificationReport.h"

#include <cstdio>

namespace vf {
namespace {

// Thrown out of the verification when a stop was asked for.
struct VerificationStopped {};

// The kinds of record on the terminal's progress line, one after the other.
class TerminalVerificationProgress : public VerificationProgress {
public:
    explicit TerminalVerificationProgress(const std::atomic<bool>* stopRequested) : m_stopRequested(stopRequested) {}
    void startKind(const QString& status, int total) override
    {
        m_line.setStatus(status);
        m_line.startPhase(total);
    }
    void step() override
    {
        if (m_stopRequested && m_stopRequested->load(std::memory_order_relaxed))
            throw VerificationStopped{};
        m_line.step();
    }
    void finish() { m_line.finish(); }

private:
    const std::atomic<bool>* m_stopRequested;
    TerminalProgress m_line{stderr};
};

} // namespace

int runVerification(const QString& v3Path, const QString& courriersPath, const QString& talmerosPath,
                    const QString& reportPath, const QString& programFolder, const QString& settingsPath,
                    const std::atomic<bool>* stopRequested)
{
    TerminalVerificationProgress progress(stopRequested);
    LinksLock lock;
    Verification verification;
    try {
        const QString linksRoot = verificationLinksRoot(lock, programFolder);
        verification = verifyMigration(v3Path, courriersPath, talmerosPath, linksRoot, settingsPath, progress,
                                       {QStringLiteral("--source"), QStringLiteral("--letters"), QStringLiteral("--dest")});
    } catch (const VerificationFailed& failure) {
        progress.finish();
        printLine(stderr, kErrorPrefix + failure.message);
        return 2;
    } catch (const VerificationStopped&) {
        progress.finish();
        printLine(stderr, QStringLiteral("Vérification inachevée : arrêtée à la demande, aucun résultat."));
        return 1;
    }
    progress.finish();
    for (const QString& line : verificationSummary(verification))
        printLine(stdout, line);
    if (!reportPath.isEmpty()) {
        // One report, as JSON for a name ending in .json, otherwise (.html, .htm) as HTML.
        const QByteArray content = reportPath.endsWith(QStringLiteral(".json"), Qt::CaseInsensitive)
            ? verificationJson(verification)
            : verificationHtml(verification);
        if (const QString reason = writeOwnFile(reportPath, content, isVerificationReport); !reason.isEmpty()) {
            printLine(stderr, kErrorPrefix + QStringLiteral("le rapport ") + reportPath
                                  + QStringLiteral(" ne peut pas être écrit : ") + reason);
            return 2;
        }
        printLine(stdout, QStringLiteral("Rapport : ") + reportPath);
    }
    return verification.complete() ? 0 : 1;
}

} // namespace vf

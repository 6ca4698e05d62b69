#include "VerifyCommand.h"

#include "TerminalProgress.h"
#include "TerminalText.h"

#include "db/Errors.h"
#include "db/FileAccess.h"
#include "db/Settings.h"
#include "import/Verification.h"
#include "import/VerificationReport.h"


#include <cstdio>

namespace vf {
namespace {

// The kinds of record on the terminal's progress line, one after the other.
class TerminalVerificationProgress : public VerificationProgress {
public:
    void startKind(const QString& status, int total) override
    {
        m_line.setStatus(status);
        m_line.startPhase(total);
    }
    void step() override { m_line.step(); }
    void finish() { m_line.finish(); }

private:
    TerminalProgress m_line{stderr};
};

} // namespace

int runVerification(const QString& v3Path, const QString& courriersPath, const QString& talmerosPath,
                    const QString& reportPath, const QString& programFolder, const QString& settingsPath)
{
    TerminalVerificationProgress progress;
    Verification verification;
    try {
        verification = verifyMigration(v3Path, courriersPath, talmerosPath, linksTablesFolder(programFolder),
                                       settingsPath, progress);
    } catch (const VerificationFailed& failure) {
        progress.finish();
        printLine(stderr, kErrorPrefix + failure.message);
        return 2;
    }
    progress.finish();
    for (const QString& line : verificationSummary(verification))
        printLine(stdout, line);
    if (!reportPath.isEmpty()) {
        if (const QString reason = writeOwnFile(reportPath, verificationHtml(verification), isVerificationReport);
            !reason.isEmpty()) {
            printLine(stderr, kErrorPrefix + QStringLiteral("le rapport ") + reportPath
                                  + QStringLiteral(" ne peut pas être écrit : ") + reason);
            return 2;
        }
        printLine(stdout, QStringLiteral("Rapport : ") + reportPath);
    }
    return verification.complete() ? 0 : 1;
}

} // namespace vf

#pragma once

#include <QString>

#include <atomic>

namespace vf {

// velquor-fusion --verify --source FILE --letters DIR --dest DIR [--report FILE.html]: the
// proof of a migration, read from the source, the link tables of the program folder, the
// destination and both letters folders, none of which it writes. The summary goes to standard
// output, the progress (on a terminal) and the failures to standard error. Returns 0 when
// nothing is to import, pending or missing, 1 otherwise or when stopRequested was set (Ctrl-C:
// the verification ends at its next record, unfinished), 2 when the verification could not be
// made.
int runVerification(const QString& v3Path, const QString& courriersPath, const QString& talmerosPath,
                    const QString& reportPath, const QString& programFolder, const QString& settingsPath,
                    const std::atomic<bool>* stopRequested = nullptr);

} // namespace vf

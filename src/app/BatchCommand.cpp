#include "BatchCommand.h"

#include "TerminalProgress.h"
#include "TerminalText.h"
#include "VerifyCommand.h"
#include "db/Errors.h"
#include "db/ImportLog.h"
#include "db/Regional.h"
#include "db/Reporter.h"
#include "db/Settings.h"
#include "import/ImportRun.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <clocale>
#include <csignal>
#include <cstdio>

namespace {

enum ExitStatus {
    kFinished = 0,
    kUnfinished = 1,
    kPreparation = 2,
    kProgramEnded = 3,
    kUnhandledError = 4,
    kUsage = 64,
};

// The text area's lines go to standard output as they are added, message boxes to standard
// error; the low-memory question is answered No. On a terminal, standard error also shows each
// record phase's progress line, erased while another line is printed.
class ConsoleReporter : public vf::Reporter {
public:
    void runStarted() override {}
    void purgeStarted() override {}
    void phasesStarted() override {}
    void runEnded() override { m_progress.finish(); }
    void setStatus(const QString& text) override { m_progress.setStatus(text); }
    void appendLine(const QString& line) override
    {
        m_lines.append(line);
        printLine(stdout, line);
    }
    QStringList lines() const override { return m_lines; }
    void clearLines() override { m_lines.clear(); }
    void setProgressVisible(bool) override {}
    void startProgress(int maximum) override { m_progress.startPhase(maximum); }
    void stepProgress() override { m_progress.step(); }
    void startElapsed(const QDateTime& start) override { m_start = start; }
    QString stopElapsed() override { return vf::elapsedText(m_start, QDateTime::currentDateTime()); }
    void errorBox(const QString& text) override { printLine(stderr, vf::kErrorPrefix + text); }
    void warningBox(const QString& text) override { printLine(stderr, QStringLiteral("Attention : ") + text); }
    bool askYesNo(const QString& text) override
    {
        printLine(stderr, text + QStringLiteral(" Non"));
        return false;
    }
    void notice(const QString& text) override { printLine(stderr, text); }
    void setDestinationPathText(const QString&) override {}

private:
    void printLine(FILE* stream, const QString& text)
    {
        m_progress.hideForOutput();
        vf::printLine(stream, text);
        m_progress.showAfterOutput();
    }

    QStringList m_lines;
    QDateTime m_start;
    vf::TerminalProgress m_progress{stderr};
};

int exitStatusFor(vf::RunOutcome outcome)
{
    switch (outcome) {
    case vf::RunOutcome::Finished: return kFinished;
    case vf::RunOutcome::Unfinished: return kUnfinished;
    case vf::RunOutcome::PathsRejected:
    case vf::RunOutcome::PreparationFailed: return kPreparation;
    case vf::RunOutcome::Aborted: return kUnhandledError;
    }
    return kUnhandledError;
}

} // namespace

int runBatchCommand(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("velquor-fusion")); // as the window: same folder
    QCoreApplication::setApplicationVersion(QStringLiteral(VF_VERSION));
    std::setlocale(LC_NUMERIC, "C");
#ifdef SIGPIPE
    // A reader of standard output that goes away (a pipe into "head") must not end the
    // migration half way: the write fails, the run goes on and its lines still reach the log.
    std::signal(SIGPIPE, SIG_IGN);
#endif

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Importe la base Access V3 de Velquor et ses courriers dans la base Talmérosin, "
        "sans fenêtre. Sans argument, le programme ouvre sa fenêtre.\n"
        "Le fichier de réglages velquor-fusion.INI, le dossier LinksTables et les journaux "
        "d'importation sont à côté du programme quand son dossier est accessible en écriture, "
        "sinon dans ") + QDir::toNativeSeparators(vf::userDataFolder()) + QStringLiteral("."));
    // Long forms only: the program takes its command-line modes from a first argument --batch,
    // --help or --version and opens its window otherwise, so "-h" or "--help-all" would not
    // reach this parser.
    const QCommandLineOption helpOption(QStringLiteral("help"), QStringLiteral("Affiche cette aide."));
    const QCommandLineOption versionOption(QStringLiteral("version"), QStringLiteral("Affiche la version."));
    parser.addOption(helpOption);
    parser.addOption(versionOption);
    parser.addOption({QStringLiteral("batch"), QStringLiteral("Importation sans fenêtre.")});
    parser.addOption({QStringLiteral("source"), QStringLiteral("Base V3 (fichier .mdb)."), QStringLiteral("FILE")});
    parser.addOption({QStringLiteral("letters"), QStringLiteral("Dossier des courriers."), QStringLiteral("DIR")});
    parser.addOption({QStringLiteral("dest"), QStringLiteral("Dossier Base de Talmérosin (avec Kestrune.ver)."), QStringLiteral("DIR")});
    parser.addOption({QStringLiteral("purge"), QStringLiteral("Vider la base avant importation.")});
    parser.addOption({QStringLiteral("verify"),
                      QStringLiteral("Vérifie la migration sans rien écrire : ce que la source contient, comparé aux "
                                     "tables de liens, à la base Talmérosin et aux courriers copiés (avant une "
                                     "importation, après, ou après un arrêt brutal).")});
    parser.addOption({QStringLiteral("report"), QStringLiteral("Avec --verify : rapport HTML de la vérification."),
                      QStringLiteral("FILE.html")});
    if (!parser.parse(QCoreApplication::arguments())) {
        vf::printLine(stderr, parser.errorText());
        return kUsage;
    }
    if (parser.isSet(helpOption)) {
        vf::printLine(stdout, parser.helpText());
        return kFinished;
    }
    if (parser.isSet(versionOption)) {
        vf::printLine(stdout, QCoreApplication::applicationName() + QLatin1Char(' ') + QCoreApplication::applicationVersion());
        return kFinished;
    }
    if (!parser.positionalArguments().isEmpty()) {
        vf::printLine(stderr, QStringLiteral("Argument inattendu : ") + parser.positionalArguments().first());
        return kUsage;
    }

    const bool verify = parser.isSet(QStringLiteral("verify"));
    if (verify == parser.isSet(QStringLiteral("batch")) || (verify && parser.isSet(QStringLiteral("purge")))
        || (!verify && parser.isSet(QStringLiteral("report")))) {
        vf::printLine(stderr, QStringLiteral("--verify ne se combine ni avec --batch ni avec --purge, et --report va avec --verify."));
        return kUsage;
    }

    const vf::ProgramFiles files = vf::chooseProgramFiles(QCoreApplication::applicationFilePath());
    if (!files.error.isEmpty()) {
        vf::printLine(stderr, files.error);
        return kProgramEnded;
    }
    const QString programFolder = files.folder;
    const QString settingsPath = files.settingsPath;
    if (verify)
        return vf::runVerification(parser.value(QStringLiteral("source")), parser.value(QStringLiteral("letters")),
                                   parser.value(QStringLiteral("dest")), parser.value(QStringLiteral("report")),
                                   programFolder, settingsPath);

    ConsoleReporter reporter;
    vf::ImportLog log(programFolder);
    vf::RunInputs inputs;
    inputs.v3Path = parser.value(QStringLiteral("source"));
    inputs.courriersPath = parser.value(QStringLiteral("letters"));
    inputs.talmerosPath = parser.value(QStringLiteral("dest"));
    inputs.vider = parser.isSet(QStringLiteral("purge"));

    int status = kUnhandledError;
    try {
        vf::ImportRun run(programFolder, settingsPath, reporter, log);
        status = exitStatusFor(run.run(inputs));
    } catch (const vf::ProgramTermination&) {
        return kProgramEnded; // the program ends at once, without its close-time steps
    }

    // As the window does when it closes: the text area's lines go to the import log.
    try {
        log.dumpLines(reporter.lines());
    } catch (const vf::Error& error) {
        vf::printLine(stderr, error.message());
        if (status == kFinished)
            status = kUnhandledError;
    }
    return status;
}

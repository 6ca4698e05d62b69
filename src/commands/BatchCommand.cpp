#include "commands/BatchCommand.h"

#include "base/Errors.h"
#include "base/ImportLog.h"
#include "base/Regional.h"
#include "base/Reporter.h"
#include "base/Settings.h"
#include "commands/StopSignals.h"
#include "commands/TerminalProgress.h"
#include "commands/TerminalText.h"
#include "commands/VerifyCommand.h"
#include "import/ImportRun.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

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
    kKindsMissing = 5,
    kUsage = 64,
};

// The text area's lines go to standard output as they are added, message boxes to standard
// error; the purge question is answered Yes (--purge is the confirmation), the low-memory
// question No. On a terminal, standard error also shows each record phase's progress line,
// erased while another line is printed; once a stop is asked for (Ctrl-C), the line ends where
// the phase stopped, above the run's last lines.
class ConsoleReporter : public vf::Reporter {
public:
    explicit ConsoleReporter(const std::atomic<bool>& stopRequested) : m_stopRequested(stopRequested) {}
    void runStarted() override {}
    void purgeStarted() override {}
    void phasesStarted() override {}
    void runEnded(bool) override { m_progress.finish(); }
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
        const bool purge = vf::isPurgeQuestion(text);
        const bool yes = purge || vf::isNoLettersQuestion(text);
        printLine(stderr, text + (purge ? QStringLiteral(" Oui (--purge)")
                                  : yes ? QStringLiteral(" Oui (traitement par lots)")
                                        : QStringLiteral(" Non")));
        return yes;
    }
    void notice(const QString& text) override { printLine(stderr, text); }
    void setDestinationPathText(const QString&) override {}

private:
    void printLine(FILE* stream, const QString& text)
    {
        if (m_stopRequested.load(std::memory_order_relaxed)) {
            m_progress.hideForOutput(); // redrawn without the terminal's "^C", then ended
            m_progress.showAfterOutput();
            m_progress.finish();
        }
        m_progress.hideForOutput();
        vf::printLine(stream, text);
        m_progress.showAfterOutput();
    }

    const std::atomic<bool>& m_stopRequested;
    QStringList m_lines;
    QDateTime m_start;
    vf::TerminalProgress m_progress{stderr};
};

// The options that take a value, as the parser knows them.
constexpr const char* kValueOptions[] = {"source", "letters", "dest", "report"};

// Why the parser refused the command line, in French: an unknown option, an option without its
// value, or a value given to an option that takes none.
QString usageError(const QCommandLineParser& parser)
{
    const QStringList unknown = parser.unknownOptionNames();
    if (!unknown.isEmpty()) {
        const QString& name = unknown.first();
        return QStringLiteral("Option inconnue : ") + (name.size() == 1 ? QStringLiteral("-") : QStringLiteral("--")) + name;
    }
    const QStringList arguments = QCoreApplication::arguments();
    for (const char* name : kValueOptions) {
        const QString option = QStringLiteral("--") + QLatin1String(name);
        if (!arguments.isEmpty() && arguments.last() == option)
            return QStringLiteral("Valeur manquante après ") + option;
    }
    for (const QString& argument : arguments.mid(1)) {
        if (argument.startsWith(QLatin1String("--")) && argument.contains(QLatin1Char('=')))
            return QStringLiteral("Cette option ne prend pas de valeur : ") + argument;
    }
    return QStringLiteral("Ligne de commande incorrecte : ") + arguments.mid(1).join(QLatin1Char(' '));
}

QString helpText()
{
    return QStringLiteral(
               "Utilisation :\n"
               "  velquor-fusion\n"
               "      Ouvre la fenêtre d'importation (il faut un affichage graphique).\n"
               "  velquor-fusion --batch --source FICHIER.mdb --letters DOSSIER --dest DOSSIER [--purge]\n"
               "                 [--restore-missing]\n"
               "      Importe sans fenêtre, comme « Importer » : la base V3 (.mdb) de Velquor et son dossier\n"
               "      des courriers dans la base Talmérosin du dossier Base (celui de Kestrune.ver).\n"
               "      --purge vide la base Talmérosin avant l'importation : c'est sa confirmation.\n"
               "      --restore-missing importe de nouveau, en nouvelles lignes, les enregistrements déjà\n"
               "      importés dont la ligne a été supprimée dans Talmérosin.\n"
               "      Ctrl-C arrête l'importation après le lot en cours ; la suivante reprend là.\n"
               "  velquor-fusion --verify --source FICHIER.mdb --letters DOSSIER --dest DOSSIER\n"
               "                 [--report FICHIER.html|FICHIER.htm|FICHIER.json]\n"
               "      Vérifie la migration sans rien écrire : ce que la source contient, comparé aux tables\n"
               "      de liens, à la base Talmérosin et aux courriers copiés (avant une importation, après,\n"
               "      ou après un arrêt) ; --report écrit aussi le rapport, en HTML ou en JSON.\n"
               "  velquor-fusion --export FICHIER.mdb TABLE\n"
               "      Écrit une table de la base Access en CSV sur la sortie standard, pour contrôle.\n"
               "  velquor-fusion -h | --help\n"
               "      Affiche cette aide.\n"
               "  velquor-fusion --version\n"
               "      Affiche la version.\n"
               "\n"
               "Codes de sortie :\n"
               "  0   Traitement terminé. (--verify : la migration est complète)\n"
               "  1   Traitement inachevé. : une table source illisible, la connexion perdue, un arrêt\n"
               "      par Ctrl-C, des enregistrements importés absents de la base Talmérosin (--verify : la migration n'est pas complète, ou la vérification a été\n"
               "      arrêtée ; --export : la table n'a pas pu être lue)\n"
               "  2   la préparation a échoué : chemins, connexions, tables de liens occupées par un autre\n"
               "      programme ou qui ne correspondent pas à la base Talmérosin ou à la base V3\n"
               "      (--verify : la vérification n'a pas pu être faite)\n"
               "  3   le programme s'est arrêté : une table de liens ne peut pas être créée, ou aucun\n"
               "      dossier du programme n'est utilisable\n"
               "  4   une erreur qu'aucune phase ne traite a arrêté l'importation\n"
               "  5   il manque toute une sorte d'enregistrements : pas de table des ordonnances, aucun\n"
               "      des courriers de la source, table des utilisateurs illisible\n"
               "  64  mauvaise utilisation : option inconnue, argument inattendu, pas de mode (--batch ou\n"
               "      --verify), un rapport qui ne finit ni par .html, .htm ni par .json, ou pas d'affichage\n"
               "      graphique pour la fenêtre\n"
               "  130 un second Ctrl-C a arrêté le programme aussitôt (signal SIGINT) ; les paires en attente\n"
               "      gardent les tables de liens exactes : la même commande reprend là\n"
               "\n"
               "Le fichier de réglages velquor-fusion.INI, le dossier LinksTables et les journaux\n"
               "d'importation sont à côté du programme quand son dossier appartient à l'utilisateur et\n"
               "que lui seul peut y écrire (jamais un dossier du système pour root), sinon dans ")
        + QDir::toNativeSeparators(vf::userDataFolder()) + QStringLiteral(".");
}

int exitStatusFor(vf::RunOutcome outcome)
{
    switch (outcome) {
    case vf::RunOutcome::Finished: return kFinished;
    case vf::RunOutcome::Unfinished: return kUnfinished;
    case vf::RunOutcome::PathsRejected:
    case vf::RunOutcome::PreparationFailed: return kPreparation;
    case vf::RunOutcome::Aborted: return kUnhandledError;
    case vf::RunOutcome::KindsMissing: return kKindsMissing;
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
    const QCommandLineOption helpOption({QStringLiteral("h"), QStringLiteral("help")}, QString());
    const QCommandLineOption versionOption(QStringLiteral("version"), QString());
    parser.addOption(helpOption);
    parser.addOption(versionOption);
    for (const char* name : {"batch", "purge", "verify", "restore-missing"})
        parser.addOption({QString::fromLatin1(name), QString()});
    for (const char* name : kValueOptions)
        parser.addOption({QString::fromLatin1(name), QString(), QStringLiteral("value")});
    if (!parser.parse(QCoreApplication::arguments())) {
        vf::printLine(stderr, usageError(parser) + QStringLiteral("\nVoir : velquor-fusion --help"));
        return kUsage;
    }
    if (parser.isSet(helpOption)) {
        vf::printLine(stdout, helpText());
        return kFinished;
    }
    if (parser.isSet(versionOption)) {
        vf::printLine(stdout, QCoreApplication::applicationName() + QLatin1Char(' ') + QCoreApplication::applicationVersion());
        return kFinished;
    }
    if (!parser.positionalArguments().isEmpty()) {
        vf::printLine(stderr, QStringLiteral("Argument inattendu : ") + parser.positionalArguments().first()
                          + QStringLiteral("\nVoir : velquor-fusion --help"));
        return kUsage;
    }

    const bool verify = parser.isSet(QStringLiteral("verify"));
    if (!verify && !parser.isSet(QStringLiteral("batch"))) {
        vf::printLine(stderr, QStringLiteral("Aucun mode n'est indiqué : ajoutez --batch pour importer, ou --verify pour "
                                             "vérifier.\nVoir : velquor-fusion --help"));
        return kUsage;
    }
    // The report's format is the one its name says; another name would hold what it does not say.
    if (const QString report = parser.value(QStringLiteral("report"));
        verify && !report.isEmpty()
        && !QRegularExpression(QStringLiteral("\\.(html?|json)$"), QRegularExpression::CaseInsensitiveOption).match(report).hasMatch()) {
        vf::printLine(stderr, QStringLiteral("Le nom du rapport doit finir par .html, .htm ou .json (le format du rapport) : ")
                                  + report + QStringLiteral("\nVoir : velquor-fusion --help"));
        return kUsage;
    }
    if (verify == parser.isSet(QStringLiteral("batch"))
        || (verify && (parser.isSet(QStringLiteral("purge")) || parser.isSet(QStringLiteral("restore-missing"))))
        || (!verify && parser.isSet(QStringLiteral("report")))) {
        vf::printLine(stderr, QStringLiteral("--verify ne se combine ni avec --batch, ni avec --purge, ni avec "
                                             "--restore-missing, et --report va avec --verify."));
        return kUsage;
    }

    const vf::ProgramFiles files = vf::chooseProgramFiles(QCoreApplication::applicationFilePath());
    if (!files.error.isEmpty()) {
        vf::printLine(stderr, files.error);
        return kProgramEnded;
    }
    const QString programFolder = files.folder;
    const QString settingsPath = files.settingsPath;
    const std::atomic<bool>& stopRequested = vf::catchStopSignals();
    if (verify)
        return vf::runVerification(parser.value(QStringLiteral("source")), parser.value(QStringLiteral("letters")),
                                   parser.value(QStringLiteral("dest")), parser.value(QStringLiteral("report")),
                                   programFolder, settingsPath, &stopRequested);

    ConsoleReporter reporter(stopRequested);
    vf::ImportLog log(programFolder);
    vf::RunInputs inputs;
    inputs.v3Path = parser.value(QStringLiteral("source"));
    inputs.courriersPath = parser.value(QStringLiteral("letters"));
    inputs.talmerosPath = parser.value(QStringLiteral("dest"));
    inputs.vider = parser.isSet(QStringLiteral("purge"));
    inputs.restoreMissing = parser.isSet(QStringLiteral("restore-missing"));
    inputs.stopRequested = &stopRequested;
    inputs.rememberVider = false;
    inputs.pathNames = {QStringLiteral("--source"), QStringLiteral("--letters"), QStringLiteral("--dest")};
    inputs.user = vf::LinksUser::Batch;

    int status = kUnhandledError;
    try {
        vf::ImportRun run(programFolder, settingsPath, reporter, log);
        status = exitStatusFor(run.run(inputs));
        if (status == kFinished && run.missingRecords() > 0)
            status = kUnfinished; // the summary names the records missing from the destination
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
    if (log.hasFile())
        vf::printLine(stderr, QStringLiteral("Journal d'importation : ") + QDir::toNativeSeparators(log.filePath()));
    return status;
}

// The progress line of the batch run and of the verification: on a terminal (a pseudo-terminal made by util-linux "script")
// one line per record phase on standard error, around the report's lines; elsewhere nothing.
#include "ProgramFolder.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QThread>
#include <QTemporaryDir>
#include <QtTest/QtTest>

using namespace vf::test;

namespace {

QString shellQuoted(const QString& word)
{
    QString quoted = word;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

// What a terminal shows of the bytes written to it, line by line: "\r" goes back to the line's
// start, "\033[K" erases from there to its end, "\n" starts a new line.
QStringList screenLines(const QString& output)
{
    QStringList lines;
    QString line;
    qsizetype column = 0;
    for (qsizetype i = 0; i < output.size(); ++i) {
        const QChar c = output.at(i);
        if (c == QLatin1Char('\r')) {
            column = 0;
        } else if (c == QLatin1Char('\n')) {
            lines.append(line);
            line.clear();
            column = 0;
        } else if (output.mid(i, 3) == QLatin1String("\033[K")) {
            line.truncate(column);
            i += 2;
        } else {
            if (column < line.size())
                line[column] = c;
            else
                line.append(c);
            ++column;
        }
    }
    if (!line.isEmpty())
        lines.append(line);
    return lines;
}

} // namespace

class TerminalProgressTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void terminalShowsEachPhaseBesideTheReport();
    void withoutTerminalNothingIsAdded();
    void ctrlCEndsTheRunBetweenBatches();
    void sourceTextsCannotCommandTheTerminal();

private:
    // A program folder with its own destination; the run imports the shared practice.
    struct Run {
        explicit Run(const QString& folder) : dest(Backend::SQLite), program(folder) {}
        TestDestination dest;
        QTemporaryDir base;
        ProgramFolder program;
    };
    QStringList arguments(const Run& run) const;
    QStringList verifyArguments(const Run& run) const;
    // interruptAt: a moment of the run (VF_TEST_HOLD) at which Ctrl-C is typed on the terminal;
    // bytes: what the terminal received; columns: the terminal's width, when not the default.
    QStringList onTerminal(const Run& run, const QStringList& arguments, int* exitCode,
                           const QString& interruptAt = QString(), QString* bytes = nullptr, int columns = 0) const;

    QTemporaryDir m_root;
    QString m_practice;
};

void TerminalProgressTest::initTestCase()
{
    QVERIFY(m_root.isValid());
    m_practice = m_root.filePath(QStringLiteral("practice"));
    QString errors;
    QVERIFY2(makePractice(m_practice, 5, &errors), qPrintable(errors));
}

QStringList TerminalProgressTest::arguments(const Run& run) const
{
    run.dest.writeKestrune(run.base.path());
    run.program.writeDestination(run.dest);
    // The practice's prescription table: without it the run would miss a whole kind.
    QFile::copy(m_practice + QStringLiteral("/Base/EDITOR.INI"), run.base.filePath(QStringLiteral("EDITOR.INI")));
    return {QStringLiteral("--batch"), QStringLiteral("--source"), m_practice + QStringLiteral("/V3.mdb"),
            QStringLiteral("--letters"), m_practice + QStringLiteral("/COURRIER/"), QStringLiteral("--dest"),
            run.base.path()};
}

// What the terminal shows of a run of the program with these arguments, both its standard
// output and its standard error on a pseudo-terminal whose bytes "script" passes on.
QStringList TerminalProgressTest::onTerminal(const Run& run, const QStringList& arguments, int* exitCode,
                                             const QString& interruptAt, QString* bytes, int columns) const
{
    QString command = (columns > 0 ? QStringLiteral("stty cols %1; ").arg(columns) : QString()) + QStringLiteral("exec ")
        + shellQuoted(run.program.program());
    for (const QString& argument : arguments)
        command += QLatin1Char(' ') + shellQuoted(argument);
    QProcess script;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    environment.insert(QStringLiteral("TERM"), QStringLiteral("xterm"));
    environment.insert(QStringLiteral("SHELL"), QStringLiteral("/bin/sh"));
    environment.remove(QStringLiteral("DISPLAY"));
    environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    const QString held = QDir(run.program.path()).filePath(QStringLiteral("held"));
    if (!interruptAt.isEmpty()) {
        environment.insert(QStringLiteral("VF_TEST_HOLD"), interruptAt);
        environment.insert(QStringLiteral("VF_TEST_HOLD_FILE"), held);
    }
    script.setProcessEnvironment(environment);
    script.setWorkingDirectory(run.program.path());
    if (interruptAt.isEmpty())
        script.setStandardInputFile(QProcess::nullDevice());
    script.start(QStringLiteral("script"), {QStringLiteral("-qefc"), command, QStringLiteral("/dev/null")});
    if (!interruptAt.isEmpty()) {
        QDeadlineTimer deadline(120000);
        script.waitForStarted();
        while (!QFile::exists(held) && script.state() == QProcess::Running && !deadline.hasExpired())
            script.waitForFinished(50);
        script.write("\x03"); // Ctrl-C, which the terminal turns into SIGINT
        script.waitForBytesWritten();
        QThread::msleep(200);
        QFile::remove(held);
    }
    if (!script.waitForFinished(240000))
        QTest::qFail(qPrintable(script.errorString()), __FILE__, __LINE__);
    *exitCode = script.exitCode();
    const QString output = QString::fromUtf8(script.readAllStandardOutput());
    if (bytes)
        *bytes = output;
    return screenLines(output);
}

QStringList TerminalProgressTest::verifyArguments(const Run& run) const
{
    return {QStringLiteral("--verify"), QStringLiteral("--source"), m_practice + QStringLiteral("/V3.mdb"),
            QStringLiteral("--letters"), m_practice + QStringLiteral("/COURRIER/"), QStringLiteral("--dest"),
            run.base.path()};
}

void TerminalProgressTest::terminalShowsEachPhaseBesideTheReport()
{
    Run run(m_root.filePath(QStringLiteral("terminal")));
    QVERIFY2(run.dest.isReady(), qPrintable(run.dest.errorMessage()));
    QVERIFY(run.program.isReady());

    int exitCode = -1;
    QStringList screen = onTerminal(run, arguments(run), &exitCode);
    QCOMPARE(exitCode, 0);
    const auto lineStartingWith = [&](const QString& start) {
        return std::any_of(screen.begin(), screen.end(), [&](const QString& line) { return line.startsWith(start); });
    };
    QVERIFY2(lineStartingWith(QStringLiteral("Importation des patients... 5 / 5 (100 %) — écoulé 00:00:")),
             qPrintable(screen.join(QLatin1Char('\n'))));
    // The report's lines and the boxes' texts stay whole lines of their own.
    for (const char* line : {"4 médecins utilisateurs après importation.", "5 patients après importation.",
                             "Traitement terminé.", "Le traitement est terminé."})
        QVERIFY2(screen.contains(QString::fromUtf8(line)), line);

    // The verification shows its progress the same way, before its summary.
    screen = onTerminal(run, verifyArguments(run), &exitCode);
    QCOMPARE(exitCode, 0);
    QVERIFY2(lineStartingWith(QStringLiteral("Vérification des patients... 5 / 5 (100 %) — écoulé 00:00:")),
             qPrintable(screen.join(QLatin1Char('\n'))));
    QVERIFY(lineStartingWith(QStringLiteral("La migration est complète")));
}

void TerminalProgressTest::withoutTerminalNothingIsAdded()
{
    Run run(m_root.filePath(QStringLiteral("pipe")));
    QVERIFY2(run.dest.isReady(), qPrintable(run.dest.errorMessage()));
    QVERIFY(run.program.isReady());

    const ProgramFolder::Result result = run.program.run(arguments(run));
    QCOMPARE(result.exitCode, 0);
    QVERIFY2(result.err.startsWith(QStringLiteral("Le traitement est terminé.\nJournal d'importation : "))
                 && result.err.count(u'\n') == 2,
             qPrintable(result.err));
    QVERIFY(!result.out.contains(QLatin1Char('\r')) && !result.out.contains(QLatin1Char('\033')));
    const ProgramFolder::Result verified = run.program.run(verifyArguments(run));
    QCOMPARE(verified.exitCode, 0);
    QVERIFY(verified.err.isEmpty());
    QVERIFY(!verified.out.contains(QLatin1Char('\r')) && !verified.out.contains(QLatin1Char('\033')));
}

// Ctrl-C in the middle of the first phase: the batch being written is committed, the progress
// line ends, the run says it is unfinished and exits 1; the next run imports the rest.
void TerminalProgressTest::ctrlCEndsTheRunBetweenBatches()
{
    Run run(m_root.filePath(QStringLiteral("interrupted")));
    QVERIFY2(run.dest.isReady(), qPrintable(run.dest.errorMessage()));
    QVERIFY(run.program.isReady());

    int exitCode = -1;
    const QStringList screen = onTerminal(run, arguments(run), &exitCode, QStringLiteral("record:2"));
    const QString shown = screen.join(QLatin1Char('\n'));
    QVERIFY2(exitCode == 1, qPrintable(shown));
    const qsizetype stopped =
        screen.indexOf(QStringLiteral("Importation arrêtée à la demande : les enregistrements restants n'ont pas été importés."));
    // The next phase's line stays where it stopped, whole, above the run's last lines.
    QVERIFY2(stopped > 1 && screen.at(stopped - 2) == QStringLiteral("4 médecins utilisateurs après importation.")
                 && screen.at(stopped - 1).startsWith(QStringLiteral("Importation des médecins correspondants... 0 / 20 (0 %)")),
             qPrintable(shown));
    // Then the run's end: its end line, its summary, its box and its log.
    const qsizetype unfinished = screen.indexOf(QStringLiteral("Traitement inachevé."), stopped);
    QVERIFY2(unfinished > stopped && screen.indexOf(QStringLiteral("Le traitement n'est pas terminé."), unfinished) > unfinished,
             qPrintable(shown));
    QVERIFY2(screen.last().startsWith(QStringLiteral("Journal d'importation : ")), qPrintable(shown));
    QVERIFY2(!shown.contains(QStringLiteral("^C")), qPrintable(shown));
    QCOMPARE(run.dest.scalar(QStringLiteral("SELECT COUNT(*) FROM MEDECINS")).toInt(), 4);
    QCOMPARE(run.dest.scalar(QStringLiteral("SELECT COUNT(*) FROM PATIENTS")).toInt(), 0);

    const ProgramFolder::Result again = run.program.run(arguments(run));
    QCOMPARE(again.exitCode, 0);
    QVERIFY(again.outLines().contains(QStringLiteral("4 médecins utilisateurs après importation.")));
    QCOMPARE(run.dest.scalar(QStringLiteral("SELECT COUNT(*) FROM MEDECINS")).toInt(), 4);
    QCOMPARE(run.dest.scalar(QStringLiteral("SELECT COUNT(*) FROM PATIENTS")).toInt(), 5);
}

// Source texts and a letters folder's name that hold escape sequences (a window title, a
// clipboard write, a hyperlink, a cleared screen, a C1 introducer, a bidirectional override, the
// bidirectional isolates): the report lines and the progress line, cut to a narrow terminal, show
// them as visible text, on a terminal and elsewhere, and the terminal receives no command but the
// progress line's own "\r" and "\033[K".
void TerminalProgressTest::sourceTextsCannotCommandTheTerminal()
{
    Run run(m_root.filePath(QStringLiteral("escapes")));
    QVERIFY2(run.dest.isReady(), qPrintable(run.dest.errorMessage()));
    QVERIFY(run.program.isReady());
    const QString letters = m_root.filePath(QStringLiteral("C\033]0;title\007\033]52;c;SGk=\007\033]8;;http://x\033\\"
                                                           "\033[2J\u009b31m\u202eFDP\u2066\u2067\u2068\u2069"));
    QVERIFY(QDir().mkpath(letters));
    // Every surname of six letters becomes a window title's sequence, one of five a cleared
    // screen and a C1 introducer, LAMBERT the four bidirectional isolates around its letters, in
    // place in the Access file's UCS-2 texts.
    QByteArray source = readFile(m_practice + QStringLiteral("/V3.mdb"));
    const auto ucs2 = [](const QString& text) {
        return QByteArray(reinterpret_cast<const char*>(text.utf16()), text.size() * 2);
    };
    const struct {
        QStringList names;
        QString planted;
    } plantings[] = {
        {{"MARTIN", "DUBOIS", "THOMAS", "ROBERT", "DURAND", "MOREAU", "GARCIA", "GIRARD", "BONNET"}, QStringLiteral("\033]2;X\007")},
        {{"PETIT", "LEROY", "SIMON", "DAVID", "MOREL"}, QStringLiteral("\033[2J\u009b")},
        {{"LAMBERT"}, QStringLiteral("\u2066L\u2067A\u2068M\u2069")},
    };
    for (const auto& planting : plantings)
        for (const QString& name : planting.names)
            source.replace(ucs2(name), ucs2(planting.planted));
    const QString sourcePath = m_root.filePath(QStringLiteral("escapes.mdb"));
    writeFile(sourcePath, source);

    const auto commandsIn = [](QString text) {
        text.remove(QStringLiteral("\033[K"));
        return std::count_if(text.cbegin(), text.cend(), [](QChar c) {
            return c.unicode() < 0x20 ? c != u'\n' && c != u'\t' && c != u'\r'
                                      : (c.unicode() >= 0x7f && c.unicode() <= 0x9f)
                    || QStringView(u"\u202e\u2066\u2067\u2068\u2069").contains(c);
        });
    };
    // The verification first: before the run it names the records to import, by their names.
    const QStringList batch = this->arguments(run);
    for (const QString& mode : {QStringLiteral("--verify"), QStringLiteral("--batch")}) {
        QStringList arguments = mode == QLatin1String("--batch") ? batch : verifyArguments(run);
        arguments[2] = sourcePath;
        arguments[4] = letters;
        int exitCode = -1;
        QString bytes;
        const QStringList screen = onTerminal(run, arguments, &exitCode, QString(), &bytes, 50);
        // The letters are refused (none is found: a kind missing, 5 for the run), not the run.
        QVERIFY2(exitCode == 1 || exitCode == 5, qPrintable(bytes));
        QCOMPARE(commandsIn(bytes), 0);
        QStringList shown = {QStringLiteral("C\\x1b]0;title\\x07\\x1b]52;c;SGk=\\x07\\x1b]8;;http://x\\x1b\\"),
                             QStringLiteral("\\x1b[2J\\x9b31m\\u202eFDP\\u2066\\u2067\\u2068\\u2069/")};
        if (mode == QLatin1String("--verify"))
            shown.append({QStringLiteral("\\x1b]2;X\\x07"), QStringLiteral("\\u2066L\\u2067A\\u2068M\\u2069")});
        for (const QString& text : std::as_const(shown))
            QVERIFY2(bytes.contains(text), qPrintable(text + u'\n' + screen.join(u'\n')));

        const ProgramFolder::Result piped = run.program.run(arguments);
        QCOMPARE(commandsIn(piped.out + piped.err), 0);
        QVERIFY(piped.out.contains(QStringLiteral("\\x1b]52;c;SGk=")));
    }
}

QTEST_GUILESS_MAIN(TerminalProgressTest)
#include "tst_terminal_progress.moc"

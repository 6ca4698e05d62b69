// The import run through the window, offscreen: "&Importer" runs the import on the worker
// thread and the window shows its lines, boxes and buttons.
#include "ImportFixture.h"

#include "base/TextCodec.h"
#include "window/MainWindow.h"
#include "window/RunController.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableWidget>
#include <QTimer>
#include <QUrl>
#include <QtTest/QtTest>

using namespace vf;
using namespace vf::test;

namespace {

// Closes every message box as soon as it is shown, noting its text and whether a button of the
// window looked active under it.
class BoxCloser : public QObject {
public:
    explicit BoxCloser(QPushButton* watched = nullptr)
    {
        connect(&m_timer, &QTimer::timeout, this, [this, watched] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                texts.append(box->text());
                if (watched)
                    watchedEnabled.append(watched->isEnabled());
                box->done(0);
            }
        });
        m_timer.start(10);
    }
    QStringList texts;
    QList<bool> watchedEnabled;

private:
    QTimer m_timer;
};

void fillSource(SourceDb& source)
{
    source.add("GLB MEDECIN", {4, "Dupont", "Jean", "Paris", "1 rue de la Paix", "75001", "0123456789"});
    source.add("ADR CARNET ADRESSE", {10, 0, "Bernard", "Luc", "Nice", QVariant(), QVariant(),
                                      QVariant(), QVariant(), QVariant(), QVariant()});
}

void fillFields(MainWindow& window, const Practice& practice)
{
    for (const auto& [name, text] : {std::pair{"V3Path", practice.v3Path},
                                     std::pair{"CourriersPath", practice.courriersPath},
                                     std::pair{"TalmerosPath", practice.talmerosPath}}) {
        auto* edit = window.findChild<QLineEdit*>(QString::fromLatin1(name));
        QVERIFY(edit);
        edit->clear();
        QTest::keyClicks(edit, text);
    }
}

QStringList logLines(const QString& folder)
{
    const QStringList files = QDir(folder).entryList({QStringLiteral("Velquor_*.log")}, QDir::Files);
    if (files.size() != 1)
        return {};
    QFile file(QDir(folder).filePath(files.first()));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return fromWindows1252(file.readAll()).split(QStringLiteral("\r\n"));
}

QStringList textAreaLines(const MainWindow& window)
{
    return window.findChild<QPlainTextEdit*>(QStringLiteral("Memo1"))->toPlainText().split(QLatin1Char('\n'));
}

// The table under the text area, a line per row: its title, then its figures.
QStringList tableRows(const MainWindow& window)
{
    auto* table = window.findChild<QTableWidget*>(QStringLiteral("TableBilan"));
    QStringList rows;
    if (!table->isVisible())
        return rows;
    for (int row = 0; row < table->rowCount(); ++row) {
        QStringList cells{table->verticalHeaderItem(row)->text()};
        for (int column = 0; column < table->columnCount(); ++column)
            cells.append(table->item(row, column)->text());
        rows.append(cells.join(QLatin1Char(' ')));
    }
    return rows;
}

} // namespace

class ImportWindowTest : public QObject {
    Q_OBJECT

private slots:
    void importerRunsOnce();
    void closingDuringRunWaitsForIt();
    void programEndsAtOnce();
    void verifierOpensTheReport();
    void arreterStopsTheRunAndTheNextOneGoesOn();
};

void ImportWindowTest::importerRunsOnce()
{
    Practice practice(Backend::SQLite);
    QVERIFY2(practice.dest.isReady(), qPrintable(practice.dest.errorMessage()));
    fillSource(practice.source);
    practice.source.write(practice.v3Path);

    MainWindow window(practice.programFolder, practice.settingsPath);
    RunController controller(window);
    window.show();
    fillFields(window, practice);
    BoxCloser boxes(window.findChild<QPushButton*>(QStringLiteral("BtnArreter")));
    QSignalSpy finished(&controller, &RunController::runFinished);

    auto* importer = window.findChild<QPushButton*>(QStringLiteral("BitBtn1"));
    auto* fermer = window.findChild<QPushButton*>(QStringLiteral("BitBtn2"));
    QVERIFY(importer && fermer);
    QTest::mouseClick(importer, Qt::LeftButton);
    QVERIFY(controller.isRunning());
    // A second click while the attempt is under way starts nothing.
    emit window.importRequested();
    QVERIFY(finished.wait(120000));
    QCOMPARE(finished.size(), 1);
    QCOMPARE(finished.first().first().value<RunOutcome>(), RunOutcome::Finished);

    const QStringList lines =
        window.findChild<QPlainTextEdit*>(QStringLiteral("Memo1"))->toPlainText().split(QLatin1Char('\n'));
    QCOMPARE(lines.first(), QStringLiteral("1 médecins utilisateurs après importation."));
    QVERIFY(lines.contains(QStringLiteral("1 correspondants après importation.")));
    // The end lines, then the summary, which names the log last.
    const qsizetype end = lines.indexOf(QStringLiteral("Traitement terminé."));
    QVERIFY(end > 0 && lines.at(end - 1).startsWith(QStringLiteral("Importation terminée en ")));
    QVERIFY(lines.last().startsWith(QStringLiteral("Journal : ")));
    QTRY_COMPARE(boxes.texts, QStringList{QStringLiteral("Le traitement est terminé.")});
    QCOMPARE(boxes.watchedEnabled, QList<bool>{false}); // nothing left to stop under the end box
    QVERIFY(!importer->isEnabled());
    QVERIFY(fermer->isEnabled());
    // The summary's figures in a table: source, imported by this run, already there, refused,
    // to import, pending, missing; a row per kind of record, then the total.
    const QStringList rows = tableRows(window);
    QCOMPARE(rows.size(), 10);
    QCOMPARE(rows.first(), QStringLiteral("Médecins utilisateurs 1 1 0 0 0 0 0"));
    QVERIFY(rows.contains(QStringLiteral("Correspondants 1 1 0 0 0 0 0")));
    QVERIFY(rows.last().startsWith(QStringLiteral("Total ")));
    QCOMPARE(window.findChild<QLineEdit*>(QStringLiteral("TalmerosPath"))->text(),
             practice.talmerosPath + QDir::separator());

    // Once a run has reached its phases, no other run starts.
    emit window.importRequested();
    QVERIFY(!controller.isRunning());
    QVERIFY(!finished.wait(300));
    QCOMPARE(QDir(practice.programFolder).entryList({QStringLiteral("Velquor_*.log")}).size(), 1);
}

void ImportWindowTest::closingDuringRunWaitsForIt()
{
    Practice practice(Backend::SQLite);
    QVERIFY2(practice.dest.isReady(), qPrintable(practice.dest.errorMessage()));
    fillSource(practice.source);
    practice.source.write(practice.v3Path);

    MainWindow window(practice.programFolder, practice.settingsPath);
    RunController controller(window);
    window.show();
    fillFields(window, practice);
    BoxCloser boxes;
    QSignalSpy finished(&controller, &RunController::runFinished);

    QTest::mouseClick(window.findChild<QPushButton*>(QStringLiteral("BitBtn1")), Qt::LeftButton);
    QVERIFY(controller.isRunning());
    window.close();
    QVERIFY(window.isVisible()); // the run goes on with the window on screen
    QVERIFY(finished.wait(120000));
    QVERIFY(!window.isVisible());
    QVERIFY(boxes.texts.isEmpty()); // from the moment of closing, boxes close at once

    // The text area went to the log when the run returned: it holds every line of the run.
    const QStringList log = logLines(practice.programFolder);
    QVERIFY(log.contains(QStringLiteral("1 médecins utilisateurs après importation.")));
    QVERIFY(log.contains(QStringLiteral("Traitement terminé.")));
    QVERIFY(log.at(log.size() - 2).startsWith(QStringLiteral("Journal : ")));
    QCOMPARE(log.last(), QString()); // the file ends with its last line's CR LF
}

void ImportWindowTest::programEndsAtOnce()
{
    Practice practice(Backend::SQLite);
    QVERIFY2(practice.dest.isReady(), qPrintable(practice.dest.errorMessage()));
    fillSource(practice.source);
    practice.source.write(practice.v3Path);
    QFile blocker(QDir(practice.programFolder).filePath(QStringLiteral("LinksTables")));
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    MainWindow window(practice.programFolder, practice.settingsPath);
    RunController controller(window);
    window.show();
    fillFields(window, practice);
    BoxCloser boxes;

    QTest::mouseClick(window.findChild<QPushButton*>(QStringLiteral("BitBtn1")), Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!window.isVisible(), 120000);
    QCOMPARE(boxes.texts,
             QStringList{QStringLiteral("Erreur lors de la création de la table temporaire Medecins.db")});
    // No close-time dump: the log ends with the failure entry.
    const QStringList log = logLines(practice.programFolder);
    QCOMPARE(log.at(log.size() - 2), QStringLiteral("Erreur lors de la création de la table temporaire Medecins.db"));
}

void ImportWindowTest::verifierOpensTheReport()
{
    Practice practice(Backend::SQLite);
    QVERIFY2(practice.dest.isReady(), qPrintable(practice.dest.errorMessage()));
    fillSource(practice.source);
    practice.source.write(practice.v3Path);

    MainWindow window(practice.programFolder, practice.settingsPath);
    RunController controller(window);
    window.show();
    QList<QUrl> opened;
    window.setUrlOpener([&](const QUrl& url) {
        opened.append(url);
        return true;
    });
    BoxCloser boxes;
    QSignalSpy finished(&controller, &RunController::verificationFinished);
    auto* verifier = window.findChild<QPushButton*>(QStringLiteral("BtnVerifier"));
    auto* arreter = window.findChild<QPushButton*>(QStringLiteral("BtnArreter"));
    auto* importer = window.findChild<QPushButton*>(QStringLiteral("BitBtn1"));
    auto* fermer = window.findChild<QPushButton*>(QStringLiteral("BitBtn2"));
    auto* memo = window.findChild<QPlainTextEdit*>(QStringLiteral("Memo1"));
    auto* note = window.findChild<QLabel*>(QStringLiteral("LblJournal"));
    QVERIFY(verifier && arreter && importer && fermer && memo && note);

    // Paths that are not those of a practice: the verification's message, no report. Meanwhile
    // only "&Arrêter" and "&Fermer" (which stops it and closes) look active.
    window.setV3Path(practice.v3Path + QStringLiteral(".absent"));
    QTest::mouseClick(verifier, Qt::LeftButton);
    QVERIFY(!verifier->isEnabled() && arreter->isEnabled() && !importer->isEnabled() && fermer->isEnabled());
    QVERIFY(finished.wait(60000));
    QCOMPARE(finished.takeFirst().first().toBool(), false);
    QTRY_COMPARE(boxes.texts.size(), 1);
    QVERIFY2(boxes.texts.first().startsWith(QStringLiteral("Erreur : ")), qPrintable(boxes.texts.first()));
    QVERIFY(opened.isEmpty());

    // The paths shown, before any import: the summary in the text area, the report owner-only
    // in the program folder, opened in the browser.
    fillFields(window, practice);
    QTest::mouseClick(verifier, Qt::LeftButton);
    QVERIFY(finished.wait(60000));
    QCOMPARE(finished.takeFirst().first().toBool(), false); // everything is still to import
    QCOMPARE(opened, QList<QUrl>{QUrl::fromLocalFile(controller.reportPath())});
    QCOMPARE(QFileInfo(controller.reportPath()).dir().absolutePath(), QDir(practice.programFolder).absolutePath());
    const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther
                                      | QFile::WriteOther | QFile::ExeOther;
    QCOMPARE(QFile::permissions(controller.reportPath()) & others, QFile::Permissions());
    QFile report(controller.reportPath());
    QVERIFY(report.open(QIODevice::ReadOnly) && report.readAll().contains("<html"));
    QVERIFY(memo->toPlainText().endsWith(QStringLiteral("Rapport : ") + QDir::toNativeSeparators(controller.reportPath())));
    QVERIFY(verifier->isEnabled() && !arreter->isEnabled() && importer->isEnabled() && fermer->isEnabled());
    QCOMPARE(boxes.texts.size(), 1);
    // The window started over: this verification's lines only, its figures in the table (source,
    // imported, refused, to import, pending, missing), the report's path under the progress bar.
    QCOMPARE(textAreaLines(window).count(QStringLiteral("Vérification de la migration...")), 1);
    QCOMPARE(textAreaLines(window).first(), QStringLiteral("Vérification de la migration..."));
    QCOMPARE(tableRows(window).first(), QStringLiteral("Médecins utilisateurs 1 0 0 1 0 0"));
    QVERIFY(note->text().startsWith(QStringLiteral("Rapport : ") + QDir::toNativeSeparators(controller.reportPath())));

    // No browser: the box, and the path stays under the progress bar.
    window.setUrlOpener([](const QUrl&) { return false; });
    QTest::mouseClick(verifier, Qt::LeftButton);
    QVERIFY(finished.wait(60000));
    QTRY_COMPARE(boxes.texts.size(), 2);
    QCOMPARE(boxes.texts.last(), QStringLiteral("Aucun navigateur n'a pu ouvrir le rapport ")
                                     + QDir::toNativeSeparators(controller.reportPath()) + QLatin1Char('.'));
    QCOMPARE(note->text(), QStringLiteral("Aucun navigateur n'a pu ouvrir le rapport : ouvrez ")
                               + QDir::toNativeSeparators(controller.reportPath()));
}

void ImportWindowTest::arreterStopsTheRunAndTheNextOneGoesOn()
{
    Practice practice(Backend::SQLite);
    QVERIFY2(practice.dest.isReady(), qPrintable(practice.dest.errorMessage()));
    fillSource(practice.source);
    practice.source.write(practice.v3Path);
    MainWindow window(practice.programFolder, practice.settingsPath);
    RunController controller(window);
    window.show();
    fillFields(window, practice);
    auto* importer = window.findChild<QPushButton*>(QStringLiteral("BitBtn1"));
    auto* fermer = window.findChild<QPushButton*>(QStringLiteral("BitBtn2"));
    auto* verifier = window.findChild<QPushButton*>(QStringLiteral("BtnVerifier"));
    auto* arreter = window.findChild<QPushButton*>(QStringLiteral("BtnArreter"));
    auto* note = window.findChild<QLabel*>(QStringLiteral("LblJournal"));
    BoxCloser boxes(arreter);
    QSignalSpy finished(&controller, &RunController::runFinished);
    QTest::mouseClick(importer, Qt::LeftButton);
    // Asked for before the first batch: the run stops there.
    QTest::mouseClick(arreter, Qt::LeftButton);
    QVERIFY(finished.wait(120000));
    QCOMPARE(finished.takeFirst().first().value<RunOutcome>(), RunOutcome::Unfinished);
    QStringList lines = textAreaLines(window);
    QCOMPARE(lines.first(), QStringLiteral("Importation arrêtée à la demande : les enregistrements restants n'ont pas été importés."));
    QVERIFY(lines.contains(QStringLiteral("Traitement inachevé.")));
    QTRY_COMPARE(boxes.texts, QStringList{QStringLiteral("Le traitement n'est pas terminé.")});
    QCOMPARE(boxes.watchedEnabled, QList<bool>{false});
    QCOMPARE(practice.dest.scalar(QStringLiteral("SELECT COUNT(*) FROM MEDECINS")).toInt(), 0);
    // The log's path is left under the progress bar.
    const QStringList logs = practice.logFiles();
    QCOMPARE(logs.size(), 1);
    const QString firstLog = QDir(practice.programFolder).filePath(logs.first());
    QCOMPARE(note->text(), QStringLiteral("Journal d'importation : ") + QDir::toNativeSeparators(firstLog));

    // The window is given back: "&Importer" starts the next run, which goes on from there.
    QVERIFY(importer->isEnabled() && fermer->isEnabled() && verifier->isEnabled() && !arreter->isEnabled());
    QTest::mouseClick(importer, Qt::LeftButton);
    QVERIFY(!verifier->isEnabled() && arreter->isEnabled() && note->text().isEmpty());
    QVERIFY(finished.wait(120000));
    QCOMPARE(finished.takeFirst().first().value<RunOutcome>(), RunOutcome::Finished);
    QCOMPARE(practice.dest.scalar(QStringLiteral("SELECT COUNT(*) FROM MEDECINS")).toInt(), 1);
    QCOMPARE(practice.dest.scalar(QStringLiteral("SELECT COUNT(*) FROM MEDTRAIT")).toInt(), 1);
    // It started over: the text area shows this run, whose log is named; the stopped run's lines
    // went to the stopped run's log.
    lines = textAreaLines(window);
    QCOMPARE(lines.first(), QStringLiteral("1 médecins utilisateurs après importation."));
    QVERIFY(!lines.contains(QStringLiteral("Traitement inachevé.")));
    QStringList nowLogs = practice.logFiles();
    QCOMPARE(nowLogs.size(), 2);
    nowLogs.removeAll(logs.first());
    QCOMPARE(note->text(), QStringLiteral("Journal d'importation : ")
                               + QDir::toNativeSeparators(QDir(practice.programFolder).filePath(nowLogs.first())));
    QFile stoppedLog(firstLog);
    QVERIFY(stoppedLog.open(QIODevice::ReadOnly));
    QVERIFY(fromWindows1252(stoppedLog.readAll()).contains(QStringLiteral("\r\nTraitement inachevé.\r\n")));
    QCOMPARE(tableRows(window).first(), QStringLiteral("Médecins utilisateurs 1 1 0 0 0 0 0"));
    // A complete run is the last.
    QVERIFY(!importer->isEnabled() && fermer->isEnabled());
}

QTEST_MAIN(ImportWindowTest)
#include "tst_import_window.moc"

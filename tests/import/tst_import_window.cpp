// The import run through the window, offscreen: "&Importer" runs the import on the worker
// thread and the window shows its lines, boxes and buttons.
#include "ImportFixture.h"

#include "MainWindow.h"
#include "RunController.h"
#include "db/TextCodec.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>
#include <QtTest/QtTest>

using namespace vf;
using namespace vf::test;

namespace {

// Closes every message box as soon as it is shown, noting its text.
class BoxCloser : public QObject {
public:
    BoxCloser()
    {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
                texts.append(box->text());
                box->done(0);
            }
        });
        m_timer.start(10);
    }
    QStringList texts;

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

} // namespace

class ImportWindowTest : public QObject {
    Q_OBJECT

private slots:
    void importerRunsOnce();
    void closingDuringRunWaitsForIt();
    void programEndsAtOnce();
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
    BoxCloser boxes;
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
    QVERIFY(lines.at(lines.size() - 2).startsWith(QStringLiteral("Importation terminée en ")));
    QCOMPARE(lines.last(), QStringLiteral("Traitement terminé."));
    QTRY_COMPARE(boxes.texts, QStringList{QStringLiteral("Le traitement est terminé.")});
    QVERIFY(!importer->isEnabled());
    QVERIFY(fermer->isEnabled());
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
    QCOMPARE(log.at(log.size() - 2), QStringLiteral("Traitement terminé."));
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

QTEST_MAIN(ImportWindowTest)
#include "tst_import_window.moc"

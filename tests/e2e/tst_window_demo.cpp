// The window on the demo's paths (a generated practice and a fresh SQLite destination, named in
// the settings file beside the program): a click on "&Importer" runs the migration and the
// window shows "Le traitement est terminé.". With VF_SCREENSHOT=path the window is saved there
// as an image once the run has ended.
#include "ProgramFolder.h"

#include "window/MainWindow.h"
#include "window/RunController.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest/QtTest>

using namespace vf;
using namespace vf::test;

namespace {

constexpr int kPatients = 300;

// Closes every message box as soon as it is shown, noting its text.
class BoxCloser : public QObject {
public:
    BoxCloser()
    {
        connect(&m_timer, &QTimer::timeout, this, [this] {
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                auto* box = qobject_cast<QMessageBox*>(widget);
                if (box && box->isVisible()) {
                    texts.append(box->text());
                    box->done(0);
                }
            }
        });
        m_timer.start(20);
    }
    QStringList texts;

private:
    QTimer m_timer;
};

} // namespace

class WindowDemoTest : public QObject {
    Q_OBJECT

private slots:
    void importerRunsTheDemoMigration();
};

void WindowDemoTest::importerRunsTheDemoMigration()
{
    VF_TEST_DESTINATION(dest, Backend::SQLite);
    QTemporaryDir root(QDir::tempPath() + QStringLiteral("/demo-XXXXXX"));
    QVERIFY(root.isValid());
    const QString practice = root.filePath(QStringLiteral("practice"));
    QString errors;
    QVERIFY2(makePractice(practice, kPatients, &errors), qPrintable(errors));
    const QString v3 = practice + QStringLiteral("/V3.mdb");
    const QString letters = practice + QStringLiteral("/COURRIER/");
    const QString base = practice + QStringLiteral("/Base/");
    dest.writeKestrune(base);

    // The settings file as the demo leaves it: the paths, the purge box ticked, the destination.
    const QString programFolder = root.filePath(QStringLiteral("program"));
    QVERIFY(QDir().mkpath(programFolder));
    const QString settingsPath = QDir(programFolder).filePath(QStringLiteral("velquor-fusion.INI"));
    writeFile(settingsPath, QStringLiteral("[Paths]\r\nV3=%1\r\nCourrier=%2\r\nTalmeros=%3\r\n[Main]\r\nVider=1\r\n"
                                           "[Destination]\r\nDriver=SQLite3\r\nOptions=SyncPragma=NORMAL;JournalMode=WAL\r\n")
                                .arg(v3, letters, base)
                                .toUtf8());

    MainWindow window(programFolder, settingsPath);
    RunController controller(window);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCOMPARE(window.findChild<QLineEdit*>(QStringLiteral("V3Path"))->text(), v3);
    QCOMPARE(window.findChild<QLineEdit*>(QStringLiteral("CourriersPath"))->text(), letters);
    QCOMPARE(window.findChild<QLineEdit*>(QStringLiteral("TalmerosPath"))->text(), base);
    QVERIFY(window.findChild<QCheckBox*>(QStringLiteral("CBVider"))->isChecked());

    BoxCloser boxes;
    QSignalSpy finished(&controller, &RunController::runFinished);
    auto* importer = window.findChild<QPushButton*>(QStringLiteral("BitBtn1"));
    QVERIFY(importer);
    QTest::mouseClick(importer, Qt::LeftButton);
    QVERIFY(finished.wait(240000));
    QCOMPARE(finished.first().first().value<RunOutcome>(), RunOutcome::Finished);
    QTRY_COMPARE(boxes.texts, QStringList{QStringLiteral("Le traitement est terminé.")});

    const QStringList lines =
        window.findChild<QPlainTextEdit*>(QStringLiteral("Memo1"))->toPlainText().split(QLatin1Char('\n'));
    QVERIFY(lines.contains(QStringLiteral("%1 patients après importation.").arg(kPatients)));
    QVERIFY(lines.contains(QStringLiteral("Traitement terminé.")));
    QVERIFY(lines.last().startsWith(QStringLiteral("Journal : ")));
    QCOMPARE(dest.scalar(QStringLiteral("SELECT COUNT(*) FROM PATIENTS")).toInt(), kPatients);
    QVERIFY(!importer->isEnabled());

    const QString screenshot = qEnvironmentVariable("VF_SCREENSHOT");
    if (!screenshot.isEmpty())
        QVERIFY2(window.grab().save(screenshot), qPrintable(screenshot));
}

QTEST_MAIN(WindowDemoTest)
#include "tst_window_demo.moc"

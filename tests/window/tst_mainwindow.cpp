#include "window/GuiReporter.h"
#include "window/MainWindow.h"

#include "base/ImportLog.h"
#include "base/Reporter.h"
#include "import/ImportRun.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>

using namespace vf;

namespace {

void writeFile(const QString& path, const QByteArray& bytes = QByteArray())
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(path));
    file.write(bytes);
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The destination field when the settings name no folder with "Kestrune.ver".
QString defaultDestination()
{
#ifdef _WIN32
    return QStringLiteral("C:\\Talmerosin\\Base\\");
#else
    return QString();
#endif
}

QString sep()
{
    return QDir::separator();
}

// Answers the next message box by clicking the button with the given text; records what it
// showed.
class BoxAnswerer : public QObject {
public:
    struct Seen {
        QMessageBox::Icon icon;
        QString text;
        QStringList buttons;
    };

    explicit BoxAnswerer(QString button) : m_button(std::move(button))
    {
        m_timer.setInterval(5);
        QObject::connect(&m_timer, &QTimer::timeout, this, [this] { poll(); });
        m_timer.start();
    }

    QList<Seen> seen;

private:
    void poll()
    {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        Seen s{box->icon(), box->text(), {}};
        // "Return" and "Escape" press what the keys would.
        QAbstractButton* target = m_button == QLatin1String("Return") ? box->defaultButton()
            : m_button == QLatin1String("Escape")                   ? box->escapeButton()
                                                                     : nullptr;
        for (QAbstractButton* b : box->buttons()) {
            s.buttons.append(b->text());
            if (b->text() == m_button)
                target = b;
        }
        seen.append(s);
        if (target)
            target->click();
        else
            box->done(0);
    }

    QString m_button;
    QTimer m_timer;
};

struct Folder {
    QTemporaryDir dir;
    QString program() const { return dir.path(); }
    QString settings() const { return dir.filePath(QStringLiteral("velquor-fusion.INI")); }
    QString links() const { return dir.filePath(QStringLiteral("LinksTables")); }
    QStringList logs() const
    {
        return QDir(dir.path()).entryList({QStringLiteral("Velquor_*.log")}, QDir::Files);
    }
};

} // namespace

class TestMainWindow : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void windowAndControls();
    void tabOrder();
    void startupWithoutSettingsFile();
    void startupPathChecks();
    void startupMissingKeysAndGarbage();
    void startupLockFilesAndLinksFolder();
    void pickers();
#ifndef _WIN32
    void pickerDatesInFrench();
#endif
    void importerEmitsSignal();
    void closeWithoutRunWritesNoLog();
    void closeTimeDump();
    void closeDuringRun();
    void unwritableLogAtClose();
    void endProgramAtOnce();
    void reporterChannels();
    void reporterBoxes();
    void reporterFromWorkerThread();
};

void TestMainWindow::initTestCase()
{
    qputenv("LC_ALL", "C.UTF-8");
}

void TestMainWindow::windowAndControls()
{
    Folder f;
    MainWindow window(f.program(), f.settings());
    window.show();
    QCOMPARE(window.objectName(), QStringLiteral("TForm1"));
    QCOMPARE(window.windowTitle(), QStringLiteral("Importation des données de la base Access de Velquor"));

    for (const char* name : {"V3Path", "CourriersPath", "TalmerosPath"}) {
        auto* edit = window.findChild<QLineEdit*>(QString::fromLatin1(name));
        QVERIFY2(edit && edit->isVisible(), name);
    }
    auto* vider = window.findChild<QCheckBox*>(QStringLiteral("CBVider"));
    QVERIFY(vider && vider->isVisible());
    QCOMPARE(vider->text(), QStringLiteral("Vider la base avant importation"));
    auto* importer = window.findChild<QPushButton*>(QStringLiteral("BitBtn1"));
    auto* fermer = window.findChild<QPushButton*>(QStringLiteral("BitBtn2"));
    QVERIFY(importer && importer->isVisible() && importer->isEnabled());
    QVERIFY(fermer && fermer->isVisible() && fermer->isEnabled());
    QCOMPARE(importer->text(), QStringLiteral("&Importer"));
    QCOMPARE(fermer->text(), QStringLiteral("&Fermer"));
    // "&Vérifier" while no run is in progress, "&Arrêter" during one (once per run).
    auto* verifier = window.findChild<QPushButton*>(QStringLiteral("BtnVerifier"));
    auto* arreter = window.findChild<QPushButton*>(QStringLiteral("BtnArreter"));
    QVERIFY(verifier && verifier->isVisible() && verifier->isEnabled());
    QVERIFY(arreter && arreter->isVisible() && !arreter->isEnabled());
    QCOMPARE(verifier->text(), QStringLiteral("&Vérifier"));
    QCOMPARE(arreter->text(), QStringLiteral("&Arrêter"));
    QSignalSpy verify(&window, &MainWindow::verifyRequested);
    QSignalSpy stop(&window, &MainWindow::stopRequested);
    window.beginActivity(MainWindow::Activity::Import);
    QVERIFY(!verifier->isEnabled() && arreter->isEnabled());
    arreter->click();
    QVERIFY(!arreter->isEnabled());
    window.endActivity();
    verifier->click();
    QCOMPARE(verify.size(), 1);
    QCOMPARE(stop.size(), 1);

    const QList<QPair<QString, QString>> labels = {
        {"Label1", "A partir de :"}, {"Label8", "- base V3.mdb :"}, {"Label4", "- courriers :"},
        {"Label2", "Dans :"}};
    for (const auto& [name, text] : labels) {
        auto* label = window.findChild<QLabel*>(name);
        QVERIFY2(label && label->isVisible(), qPrintable(name));
        QCOMPARE(label->text(), text);
    }
    for (const char* name : {"SpeedButton1", "SpeedButton2", "SpeedButton3"})
        QVERIFY2(window.findChild<QToolButton*>(QString::fromLatin1(name)), name);
    for (const char* name : {"Panel1", "Panel2", "Panel3"})
        QVERIFY2(window.findChild<QWidget*>(QString::fromLatin1(name)), name);

    auto* memo = window.findChild<QPlainTextEdit*>(QStringLiteral("Memo1"));
    QVERIFY(memo && memo->isVisible() && !memo->isReadOnly());
    auto* progress = window.findChild<QProgressBar*>(QStringLiteral("ProgressBar1"));
    QVERIFY(progress && !progress->isVisible());
    auto* status = window.findChild<QLabel*>(QStringLiteral("Label3"));
    QVERIFY(status);
    QCOMPARE(status->text(), QString()); // cleared at start
    auto* elapsed = window.findChild<QLabel*>(QStringLiteral("Label7"));
    QVERIFY(elapsed && !elapsed->isVisible());
    QCOMPARE(elapsed->text(), QStringLiteral("00:00:00"));
    auto* timer = window.findChild<QTimer*>(QStringLiteral("Timer1"));
    QVERIFY(timer && !timer->isActive());
    QCOMPARE(timer->interval(), 1000);
}

void TestMainWindow::tabOrder()
{
    Folder f;
    MainWindow window(f.program(), f.settings());
    QWidget* w = window.findChild<QWidget*>(QStringLiteral("V3Path"));
    QStringList order;
    for (int i = 0; i < 4; ++i) {
        order.append(w->objectName());
        do
            w = w->nextInFocusChain();
        while (w->focusPolicy() == Qt::NoFocus || !w->objectName().size());
    }
    QCOMPARE(order, QStringList({"V3Path", "TalmerosPath", "CBVider", "CourriersPath"}));
}

void TestMainWindow::startupWithoutSettingsFile()
{
    Folder f;
    MainWindow window(f.program(), f.settings());
    // "C:\V3.mdb" and "C:\COURRIER\" do not exist here; the destination keeps its default.
    QCOMPARE(window.v3Path(), QString());
    QCOMPARE(window.courriersPath(), QString());
    QCOMPARE(window.talmerosPath(), defaultDestination());
    QCOMPARE(window.vider(), false);
    QVERIFY(!QFile::exists(f.settings())); // the window never writes the settings file
}

void TestMainWindow::startupPathChecks()
{
    Folder f;
    QTemporaryDir data;
    writeFile(data.filePath("V3.MDB"));
    QVERIFY(QDir(data.path()).mkpath("Courrier"));
    QVERIFY(QDir(data.path()).mkpath("Base"));
    QVERIFY(QDir(data.path()).mkpath("Empty"));
    writeFile(data.filePath("Base/KESTRUNE.VER"), "[DBKERNEL]\r\n");

    const QString v3 = data.filePath("v3.mdb"); // another case than on disk
    const QString courrier = data.filePath("Courrier") + sep();
    const QString base = data.filePath("Base") + sep();
    writeFile(f.settings(), ("[Paths]\r\nV3=" + v3 + "\r\nCourrier=" + courrier + "\r\nTalmeros="
                             + base + "\r\n[Main]\r\nVider=1\r\n")
                                .toUtf8());
    {
        MainWindow window(f.program(), f.settings());
        QCOMPARE(window.v3Path(), v3);
        QCOMPARE(window.courriersPath(), courrier);
        QCOMPARE(window.talmerosPath(), base);
        QCOMPARE(window.vider(), true);
    }

    // A destination folder written without its final separator, a letters path that is a
    // file, a database path that is a folder.
    writeFile(f.settings(), ("[Paths]\r\nV3=" + data.filePath("Courrier") + "\r\nCourrier="
                             + data.filePath("V3.MDB") + "\r\nTalmeros=" + data.filePath("Base")
                             + "\r\n[Main]\r\nVider=0\r\n")
                                .toUtf8());
    {
        MainWindow window(f.program(), f.settings());
        QCOMPARE(window.v3Path(), QString());
        QCOMPARE(window.courriersPath(), QString());
        QCOMPARE(window.talmerosPath(), defaultDestination());
        QCOMPARE(window.vider(), false);
    }

    // A folder without "Kestrune.ver": the default, whether or not it exists.
    writeFile(f.settings(), ("[Paths]\r\nTalmeros=" + data.filePath("Empty") + sep() + "\r\n").toUtf8());
    MainWindow window(f.program(), f.settings());
    QCOMPARE(window.talmerosPath(), defaultDestination());
}

void TestMainWindow::startupMissingKeysAndGarbage()
{
    Folder f;
    writeFile(f.settings(), QByteArray("\x00\xFF\xFE garbage\r\n[Paths\r\n==\r\n[Main]\r\nVider=oui\r\n", 44)
                                + QByteArray(1 << 20, 'z') + "\r\n[Main]\r\nVider=1\r\n");
    MainWindow window(f.program(), f.settings());
    // The keys' defaults ("C:\Quernix\...") do not exist here either.
    QCOMPARE(window.v3Path(), QString());
    QCOMPARE(window.courriersPath(), QString());
    QCOMPARE(window.talmerosPath(), defaultDestination());
    QCOMPARE(window.vider(), false); // the first Vider is not a number: unchecked
}

void TestMainWindow::startupLockFilesAndLinksFolder()
{
    Folder f;
    QVERIFY(QDir(f.program()).mkpath("LinksTables"));
    const QStringList locks = {"PARADOX.LCK", "PDOXUSRS.LCK", "PDOXUSRS.NET"};
    for (const QString& lock : locks)
        writeFile(QDir(f.links()).filePath(lock));
    writeFile(QDir(f.links()).filePath("Medecins.db"), "keep");
    {
        MainWindow window(f.program(), f.settings());
        for (const QString& lock : locks)
            QVERIFY2(!QFile::exists(QDir(f.links()).filePath(lock)), qPrintable(lock));
        QCOMPARE(readFile(QDir(f.links()).filePath("Medecins.db")), QByteArray("keep"));
        // Lock files left by the link-table store during the session go at close.
        for (const QString& lock : locks)
            writeFile(QDir(f.links()).filePath(lock));
        window.show();
        QVERIFY(window.close());
        for (const QString& lock : locks)
            QVERIFY2(!QFile::exists(QDir(f.links()).filePath(lock)), qPrintable(lock));
    }

    // A program folder that does not exist yet: created with its parents.
    QTemporaryDir root;
    const QString nested = root.filePath("a/b/c");
    MainWindow created(nested);
    QVERIFY(QFileInfo(QDir(nested).filePath("LinksTables")).isDir());

    // A regular file where LinksTables should be: the window still starts.
    Folder blocked;
    writeFile(blocked.links(), "not a folder");
    MainWindow window(blocked.program(), blocked.settings());
    QCOMPARE(window.talmerosPath(), defaultDestination());
}

void TestMainWindow::pickers()
{
    Folder f;
    MainWindow window(f.program(), f.settings());
    window.setV3Path(QStringLiteral("before"));
    window.setCourriersPath(QStringLiteral("before"));
    window.setTalmerosPath(QStringLiteral("before"));

    QList<FilePickerRequest> requests;
    QString answer; // empty: cancelled
    window.setFilePicker([&](const FilePickerRequest& r) {
        requests.append(r);
        return answer;
    });
    auto click = [&](const char* name) {
        window.findChild<QToolButton*>(QString::fromLatin1(name))->click();
    };

    click("SpeedButton1");
    click("SpeedButton2");
    click("SpeedButton3");
    QCOMPARE(window.v3Path(), QStringLiteral("before"));
    QCOMPARE(window.courriersPath(), QStringLiteral("before"));
    QCOMPARE(window.talmerosPath(), QStringLiteral("before"));
    QCOMPARE(requests.size(), 3);
    QCOMPARE(requests[0].dialogName, QStringLiteral("OpenDialog1"));
    QCOMPARE(requests[0].filter, QStringLiteral("Base de données Access|*.mdb|Base Access 2007|*.accdb"));
    QCOMPARE(requests[0].presetFileName, QString());
    QCOMPARE(requests[1].filter, QStringLiteral("Courriers Velquor|*.rtf"));
    QCOMPARE(requests[2].filter, QStringLiteral("Base de données Brantovelum|Kestrune.ver"));
    QCOMPARE(requests[2].presetFileName, QStringLiteral("Kestrune.ver"));
#ifndef _WIN32
    for (const FilePickerRequest& r : requests)
        QCOMPARE(r.initialFolder, QDir::homePath());
#endif
    // Where a field names a file or folder, its picker opens there.
    QTemporaryDir current;
    window.setV3Path(QDir::toNativeSeparators(current.filePath("V3.mdb")));
    window.setCourriersPath(QDir::toNativeSeparators(current.path()) + sep());
    window.setTalmerosPath(QDir::toNativeSeparators(current.filePath("absent/Base")));
    requests.clear();
    click("SpeedButton1");
    click("SpeedButton2");
    click("SpeedButton3");
    QCOMPARE(requests[0].initialFolder, current.path());
    QCOMPARE(requests[1].initialFolder, current.path());
    QCOMPARE(requests[2].initialFolder, MainWindow::pickerFolder(3));

    QTemporaryDir data;
    answer = data.filePath("Lettres/a.rtf");
    click("SpeedButton2");
    QCOMPARE(window.courriersPath(), QDir::toNativeSeparators(data.filePath("Lettres")) + sep());
    answer = data.filePath("Base/Kestrune.ver");
    click("SpeedButton3");
    QCOMPARE(window.talmerosPath(), QDir::toNativeSeparators(data.filePath("Base")) + sep());
    answer = data.filePath("BDD/V3.MDB");
    click("SpeedButton1");
    QCOMPARE(window.v3Path(), QDir::toNativeSeparators(data.filePath("BDD/V3.MDB")));

    QCOMPARE(qtNameFilters(requests[0].filter),
             QStringLiteral("Base de données Access (*.mdb);;Base Access 2007 (*.accdb)"));
}

#ifndef _WIN32
// The letters picker's own dialog lists the files of the folder with their dates written in
// French, whatever the session's language (here C).
void TestMainWindow::pickerDatesInFrench()
{
    Folder f;
    QTemporaryDir letters;
    QFile letter(letters.filePath(QStringLiteral("COUR000001.RTF")));
    QVERIFY(letter.open(QIODevice::WriteOnly));
    const QDateTime written(QDate(2024, 3, 5), QTime(14, 7));
    QVERIFY(letter.setFileTime(written, QFileDevice::FileModificationTime));
    letter.close();
    MainWindow window(f.program(), f.settings());
    window.setCourriersPath(letters.path() + sep());
    QString shown;
    QTimer::singleShot(0, [&] {
        auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
        if (!dialog)
            return;
        auto* view = dialog->findChild<QTreeView*>(QStringLiteral("treeView"));
        for (int wait = 0; view && wait < 100 && shown.isEmpty(); ++wait) {
            QTest::qWait(20);
            const QModelIndex root = view->rootIndex();
            for (int row = 0; row < view->model()->rowCount(root); ++row)
                if (view->model()->index(row, 0, root).data().toString() == QLatin1String("COUR000001.RTF"))
                    shown = view->model()->index(row, 3, root).data().toString();
        }
        dialog->reject();
    });
    window.findChild<QToolButton*>(QStringLiteral("SpeedButton2"))->click();
    QCOMPARE(shown, QStringLiteral("05/03/2024 14:07"));
}
#endif

void TestMainWindow::importerEmitsSignal()
{
    Folder f;
    MainWindow window(f.program(), f.settings());
    QSignalSpy spy(&window, &MainWindow::importRequested);
    auto* importer = window.findChild<QPushButton*>(QStringLiteral("BitBtn1"));
    importer->click();
    QCOMPARE(spy.count(), 1);
    // During a run's preparation the button is still enabled; a second click starts nothing.
    window.beginActivity(MainWindow::Activity::Import);
    importer->click();
    QCOMPARE(spy.count(), 1);
    window.endActivity();
    QVERIFY(!window.isCloseRequested());
    importer->click();
    QCOMPARE(spy.count(), 2);
}

void TestMainWindow::closeWithoutRunWritesNoLog()
{
    Folder f;
    MainWindow window(f.program(), f.settings());
    window.show();
    window.reporter().appendLine(QStringLiteral("typed by nobody"));
    window.findChild<QPushButton*>(QStringLiteral("BitBtn2"))->click(); // "&Fermer"
    QVERIFY(!window.isVisible());
    QVERIFY(f.logs().isEmpty());
}

void TestMainWindow::closeTimeDump()
{
    Folder f;
    MainWindow window(f.program(), f.settings());
    window.show();
    window.importLog().begin(QDateTime::currentDateTime(), QStringLiteral("C:\\V3.mdb"),
                             QStringLiteral("C:\\Talmerosin\\Base\\"));
    const QByteArray header = readFile(window.importLog().filePath());
    window.reporter().appendLine(QStringLiteral("12 médecins utilisateurs après importation."));
    window.reporter().appendLine(QString());
    window.reporter().appendLine(QStringLiteral("Traitement terminé."));
    QVERIFY(window.close());
    QCOMPARE(readFile(window.importLog().filePath()),
             header + "12 m\xE9" "decins utilisateurs apr\xE8s importation.\r\n\r\nTraitement termin\xE9.\r\n");
    QCOMPARE(f.logs().size(), 1);
}

void TestMainWindow::closeDuringRun()
{
    Folder f;
    MainWindow window(f.program(), f.settings());
    window.show();
    window.importLog().begin(QDateTime::currentDateTime(), "a", "b/");
    window.beginActivity(MainWindow::Activity::Import);
    window.reporter().appendLine(QStringLiteral("avant"));

    QVERIFY(!window.close()); // the wish is recorded, the window stays
    QVERIFY(window.isVisible());
    QVERIFY(window.isCloseRequested());

    // From now on the run's boxes do not wait for anyone.
    BoxAnswerer answerer(QStringLiteral("&Oui"));
    window.reporter().errorBox(QStringLiteral("Erreur de la phase"));
    QCOMPARE(window.reporter().askYesNo(QStringLiteral("Voulez-vous fermer le programme de fusion ?")), false);
    window.reporter().notice(QStringLiteral("Traitement terminé."));
    QVERIFY(answerer.seen.isEmpty());
    window.reporter().appendLine(QStringLiteral("après"));

    window.endActivity(); // the run returns: the window closes now
    QVERIFY(!window.isVisible());
    QVERIFY(readFile(window.importLog().filePath()).endsWith("\r\navant\r\napr\xE8s\r\n"));
}

void TestMainWindow::unwritableLogAtClose()
{
    Folder f;
    MainWindow window(f.program(), f.settings());
    window.show();
    window.importLog().begin(QDateTime::currentDateTime(), "a", "b/");
    const QString log = window.importLog().filePath();
    QVERIFY(QFile::remove(log));
    QVERIFY(QDir().mkdir(log)); // a folder where the log file should be
    writeFile(QDir(f.links()).filePath("PARADOX.LCK"));
    window.reporter().appendLine(QStringLiteral("ligne"));

    BoxAnswerer answerer(QStringLiteral("OK"));
    QVERIFY(window.close()); // reported, and closed all the same
    QVERIFY(!window.isVisible());
    QCOMPARE(answerer.seen.size(), 1);
    QCOMPARE(answerer.seen[0].icon, QMessageBox::Critical);
    QVERIFY(answerer.seen[0].text.contains(QFileInfo(log).fileName()));
    QVERIFY(!QFile::exists(QDir(f.links()).filePath("PARADOX.LCK")));
}

void TestMainWindow::endProgramAtOnce()
{
    Folder f;
    MainWindow window(f.program(), f.settings());
    window.show();
    window.importLog().begin(QDateTime::currentDateTime(), "a", "b/");
    const QByteArray header = readFile(window.importLog().filePath());
    window.beginActivity(MainWindow::Activity::Import);
    window.reporter().appendLine(QStringLiteral("jamais écrite"));
    writeFile(QDir(f.links()).filePath("PARADOX.LCK"));
    window.endProgramAtOnce();
    QVERIFY(!window.isVisible());
    QCOMPARE(readFile(window.importLog().filePath()), header); // no dump
    QVERIFY(QFile::exists(QDir(f.links()).filePath("PARADOX.LCK"))); // no close-time steps
}

void TestMainWindow::reporterChannels()
{
    Folder f;
    MainWindow window(f.program(), f.settings());
    window.show();
    Reporter& r = window.reporter();
    auto* status = window.findChild<QLabel*>(QStringLiteral("Label3"));
    auto* progress = window.findChild<QProgressBar*>(QStringLiteral("ProgressBar1"));
    auto* elapsed = window.findChild<QLabel*>(QStringLiteral("Label7"));
    auto* timer = window.findChild<QTimer*>(QStringLiteral("Timer1"));
    auto* memo = window.findChild<QPlainTextEdit*>(QStringLiteral("Memo1"));

    r.setStatus(QStringLiteral("connexion à la base Access V3 en ADO..."));
#ifdef _WIN32
    QCOMPARE(status->text(), QStringLiteral("connexion à la base Access V3 en ADO..."));
#else
    QCOMPARE(status->text(), QStringLiteral("connexion à la base Access V3..."));
#endif

    QCOMPARE(r.lines(), QStringList());
    r.appendLine(QString());
    QCOMPARE(r.lines(), QStringList({QString()}));
    r.appendLine(QStringLiteral("deux"));
    QCOMPARE(r.lines(), QStringList({QString(), QStringLiteral("deux")}));
    memo->appendPlainText(QStringLiteral("tapé par l'opérateur"));
    QCOMPARE(r.lines().size(), 3);
    r.clearLines();
    QCOMPARE(r.lines(), QStringList());

    r.setProgressVisible(true);
    QVERIFY(progress->isVisible());
    r.startProgress(3);
    r.stepProgress();
    r.stepProgress();
    QCOMPARE(progress->value(), 2);
    QCOMPARE(progress->maximum(), 3);
    r.startProgress(0); // no record: an empty bar, not a busy indicator
    QCOMPARE(progress->value(), 0);
    QVERIFY(progress->maximum() > progress->minimum());
    r.setProgressVisible(false);
    QVERIFY(!progress->isVisible());

    r.startElapsed(QDateTime::currentDateTime().addSecs(-(25 * 3600 + 7)));
    QVERIFY(elapsed->isVisible());
    QVERIFY(timer->isActive());
    QCOMPARE(elapsed->text(), QStringLiteral("00:00:00"));
    // Modulo 24 hours: 25 hours and 7 seconds read 01:00:07 (a second or two later at the tick).
    QTRY_VERIFY_WITH_TIMEOUT(elapsed->text().startsWith(QStringLiteral("01:00:0")), 3000);
    const QString last = r.stopElapsed();
    QVERIFY(!timer->isActive());
    QCOMPARE(last, elapsed->text());
    QVERIFY(elapsed->isVisible()); // stays until the program ends

    // The run's course sets the pointer and the buttons: busy from its start, the buttons
    // disabled during the phases (the pointer back to normal without a purge), "&Fermer" enabled
    // again at its end; "&Importer" too after a run stopped or cut short, never after a complete
    // one.
    auto* importer = window.findChild<QPushButton*>(QStringLiteral("BitBtn1"));
    auto* fermer = window.findChild<QPushButton*>(QStringLiteral("BitBtn2"));
    r.runStarted();
    QVERIFY(QApplication::overrideCursor());
    QCOMPARE(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
    r.phasesStarted();
    QVERIFY(!QApplication::overrideCursor());
    QVERIFY(!importer->isEnabled());
    QVERIFY(!fermer->isEnabled());
    r.runEnded(false);
    QVERIFY(importer->isEnabled());
    QVERIFY(fermer->isEnabled());
    QVERIFY(!QApplication::overrideCursor());
    r.runStarted(); // with a purge, the hourglass stays through the phases
    r.purgeStarted();
    r.phasesStarted();
    QVERIFY(QApplication::overrideCursor());
    r.runEnded(true);
    QVERIFY(!QApplication::overrideCursor());
    QVERIFY(!importer->isEnabled());
    QVERIFY(fermer->isEnabled());
    r.runStarted();
    r.runEnded(false); // a later attempt that ended before its phases
    QVERIFY(!importer->isEnabled());

    r.setDestinationPathText(QStringLiteral("/srv/Base/"));
    QCOMPARE(window.talmerosPath(), QStringLiteral("/srv/Base/"));
}

void TestMainWindow::reporterBoxes()
{
    Folder f;
    MainWindow window(f.program(), f.settings());
    window.show();
    Reporter& r = window.reporter();
    {
        BoxAnswerer answerer(QStringLiteral("OK"));
        r.errorBox(QStringLiteral("Connexion à la base de données Talmérosin impossible : x"));
        r.warningBox(QStringLiteral("attention"));
        r.notice(QStringLiteral("Traitement terminé."));
        QCOMPARE(answerer.seen.size(), 3);
        QCOMPARE(answerer.seen[0].icon, QMessageBox::Critical);
        QCOMPARE(answerer.seen[0].text, QStringLiteral("Connexion à la base de données Talmérosin impossible : x"));
        QCOMPARE(answerer.seen[0].buttons, QStringList({"OK"}));
        QCOMPARE(answerer.seen[1].icon, QMessageBox::Warning);
        QCOMPARE(answerer.seen[2].icon, QMessageBox::Information);
    }
    {
        BoxAnswerer answerer(QStringLiteral("&Oui"));
        QVERIFY(r.askYesNo(QStringLiteral("Voulez-vous fermer le programme de fusion ?")));
        QCOMPARE(answerer.seen.size(), 1);
        QCOMPARE(answerer.seen[0].icon, QMessageBox::Warning);
        QCOMPARE(answerer.seen[0].buttons, QStringList({"&Oui", "&Non"}));
    }
    {
        BoxAnswerer answerer(QStringLiteral("&Non"));
        QVERIFY(!r.askYesNo(QStringLiteral("Voulez-vous fermer le programme de fusion ?")));
    }
    // Neither Return nor Escape purges.
    for (const char* key : {"Return", "Escape"}) {
        BoxAnswerer answerer(QString::fromLatin1(key));
        QVERIFY(!r.askYesNo(vf::purgeQuestion(QStringLiteral("srv"), QStringLiteral("base"), 12)));
        QCOMPARE(answerer.seen.size(), 1);
    }
    {
        // The pointer is normal while a box is shown, and busy again afterwards.
        r.runStarted();
        Qt::CursorShape during = Qt::WaitCursor;
        QTimer::singleShot(1, [&] {
            during = QApplication::overrideCursor() ? QApplication::overrideCursor()->shape()
                                                    : Qt::ArrowCursor;
        });
        BoxAnswerer answerer(QStringLiteral("OK"));
        r.notice(QStringLiteral("n"));
        QCOMPARE(during, Qt::ArrowCursor);
        QCOMPARE(QApplication::overrideCursor()->shape(), Qt::WaitCursor);
        r.runEnded(false);
    }
}

void TestMainWindow::reporterFromWorkerThread()
{
    Folder f;
    MainWindow window(f.program(), f.settings());
    window.show();
    Reporter& r = window.reporter();
    BoxAnswerer answerer(QStringLiteral("&Oui"));

    auto* progress = window.findChild<QProgressBar*>(QStringLiteral("ProgressBar1"));
    auto* status = window.findChild<QLabel*>(QStringLiteral("Label3"));
    QStringList linesSeen;
    QStringList linesAfterClear;
    int valueAtQuestion = -1;
    QString statusAtQuestion;
    bool answer = false;
    QThread* worker = QThread::create([&] {
        r.appendLine(QStringLiteral("effacée"));
        r.clearLines();
        r.startProgress(5000);
        for (int i = 0; i < 3000; ++i) {
            r.setStatus(QStringLiteral("patient ") + QString::number(i));
            r.appendLine(QString::number(i));
            r.stepProgress();
        }
        // A box comes after everything reported before it.
        QTimer::singleShot(0, qApp, [&] {
            valueAtQuestion = progress->value();
            statusAtQuestion = status->text();
        });
        answer = r.askYesNo(QStringLiteral("question"));
        linesSeen = r.lines();
        r.clearLines();
        r.appendLine(QString());
        linesAfterClear = r.lines();
    });
    worker->start();
    QTRY_VERIFY_WITH_TIMEOUT(worker->isFinished(), 30000);
    delete worker;
    QVERIFY(answer);
    QCOMPARE(valueAtQuestion, 3000);
    QCOMPARE(statusAtQuestion, QStringLiteral("patient 2999"));
    QCOMPARE(linesSeen.size(), 3000);
    for (int i = 0; i < 3000; ++i)
        QCOMPARE(linesSeen.at(i), QString::number(i));
    QCOMPARE(linesAfterClear, QStringList({QString()}));
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"

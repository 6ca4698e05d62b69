#pragma once

#include "base/ImportLog.h"

#include <QWidget>
#include <functional>
#include <memory>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTableWidget;
class QTimer;
class QToolButton;
class QUrl;

namespace vf {

class GuiReporter;
class Reporter;
struct SummaryTable;

// What a path picker asks of its file dialog; the chosen file's full path comes back, or an
// empty text when the dialog is cancelled.
struct FilePickerRequest {
    QString dialogName;    // "OpenDialog1" ...
    QString filter;        // description|pattern pairs, as the dialogs take them
    QString initialFolder;
    QString presetFileName;
};
using FilePicker = std::function<QString(const FilePickerRequest&)>;
// Shows a report in the browser; false when nothing could show it.
using UrlOpener = std::function<bool(const QUrl&)>;

// The main form, TForm1: the three paths, the purge box, the buttons ("&Vérifier", "&Arrêter",
// "&Importer", "&Fermer"), the status and progress area and the text area. Its start-up steps
// run in the constructor.
class MainWindow : public QWidget {
    Q_OBJECT

public:
    // programFolder holds LinksTables and the import log; settingsPath is the settings file
    // (empty: "velquor-fusion.INI" in programFolder).
    explicit MainWindow(const QString& programFolder, const QString& settingsPath = QString(),
                        QWidget* parent = nullptr);
    ~MainWindow() override;

    static QString caption();

    Reporter& reporter();
    ImportLog& importLog() { return m_log; }
    QString programFolder() const { return m_programFolder; }
    QString settingsPath() const { return m_settingsPath; }

    QString v3Path() const;
    QString courriersPath() const;
    QString talmerosPath() const;
    bool vider() const;
    void setV3Path(const QString& text);
    void setCourriersPath(const QString& text);
    void setTalmerosPath(const QString& text);
    void setVider(bool checked);

    // What the window is doing: the buttons that would do nothing are disabled.
    enum class Activity { Idle, Import, Verification };
    // An import run or a verification begins, and the window starts over: the lines of the last
    // attempt go to the last import log (as at close), then the text area, the table and the
    // note under the progress bar are cleared. "&Vérifier" is disabled and "&Arrêter" enabled;
    // during a verification "&Importer" is disabled too, while during an import run it follows
    // the run's events (enabled during the preparation, where a click starts nothing).
    void beginActivity(Activity activity);
    // It has returned: "&Vérifier" enabled, "&Arrêter" disabled, "&Importer" and "&Fermer" as the
    // runs so far leave them; a close asked for meanwhile happens now, with its close-time steps.
    void endActivity();
    Activity activity() const { return m_activity; }
    bool isRunInProgress() const { return m_activity != Activity::Idle; }
    bool isCloseRequested() const { return m_closeRequested; }

    // The answer Yes to the low-memory question: the window closes at once, without the
    // close-time steps (log dump, lock files), and the program ends with its last window.
    void endProgramAtOnce();

    // Replaces the file dialogs (tests).
    void setFilePicker(FilePicker picker) { m_filePicker = std::move(picker); }
    // Where a picker opens when its field names no existing file or folder: "C:\" and
    // "C:\Talmerosin\Base" on Windows, the home folder elsewhere.
    static QString pickerFolder(int picker);
    // Where a picker opens: the folder its field names as an absolute path (a file's own folder),
    // else pickerFolder.
    static QString pickerStart(const QString& fieldText, int picker);

    // Replaces the browser (tests); openReport shows a file through it, or through the desktop.
    void setUrlOpener(UrlOpener opener) { m_urlOpener = std::move(opener); }
    bool openReport(const QString& path);

    // The note shown under the progress bar once a run or a verification has ended (the log's
    // path, the report's).
    void showEndNote(const QString& text);
    // The figures of the run or verification that has just ended, in a table under the text
    // area; hidden again when the next one begins.
    void showSummaryTable(const SummaryTable& table);

signals:
    // "&Importer" was clicked while no run is in progress.
    void importRequested();
    // "&Vérifier" was clicked while no run is in progress.
    void verifyRequested();
    // "&Arrêter" was clicked during a run or a verification.
    void stopRequested();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void buildWidgets();
    void startUp();
    QString pick(const FilePickerRequest& request);
    void pickV3();
    void pickCourriers();
    void pickTalmeros();
    void closeTimeSteps();
    void showErrorBox(const QString& text);

    QString m_programFolder;
    QString m_settingsPath;
    ImportLog m_log;

    QLineEdit* m_v3Path = nullptr;        // V3Path
    QLineEdit* m_courriersPath = nullptr; // CourriersPath
    QLineEdit* m_talmerosPath = nullptr;  // TalmerosPath
    QCheckBox* m_vider = nullptr;         // CBVider
    QPlainTextEdit* m_textArea = nullptr; // Memo1
    QProgressBar* m_progress = nullptr;   // ProgressBar1
    QLabel* m_status = nullptr;           // Label3
    QLabel* m_elapsed = nullptr;          // Label7
    QLabel* m_endNote = nullptr;
    QTableWidget* m_summaryTable = nullptr;
    QPushButton* m_importer = nullptr;    // BitBtn1
    QPushButton* m_fermer = nullptr;      // BitBtn2
    QPushButton* m_verifier = nullptr;
    QPushButton* m_arreter = nullptr;
    QTimer* m_elapsedTimer = nullptr;     // Timer1

    std::unique_ptr<GuiReporter> m_reporter;
    FilePicker m_filePicker;
    UrlOpener m_urlOpener;
    Activity m_activity = Activity::Idle;
    bool m_closeRequested = false;
    bool m_closed = false;
    bool m_endingAtOnce = false;
};

// Turns "description|pattern|description|pattern" into a Qt name filter list.
QString qtNameFilters(const QString& filter);

} // namespace vf

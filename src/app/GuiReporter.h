#pragma once

#include "db/Reporter.h"

#include <QDateTime>
#include <QPointer>

class QLabel;
class QLineEdit;
class QMessageBox;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTimer;
class QWidget;

namespace vf {

// The window's reporting channels. Called from the window's own thread, each call acts on the
// widgets directly; called from another thread (a run on a worker thread), it waits for the
// window's thread to perform it, and "let pending messages be processed" does nothing.
class GuiReporter : public Reporter {
public:
    struct Widgets {
        QWidget* window = nullptr;
        QLabel* status = nullptr;          // Label3
        QPlainTextEdit* textArea = nullptr; // Memo1
        QProgressBar* progress = nullptr;  // ProgressBar1
        QLabel* elapsed = nullptr;         // Label7
        QTimer* elapsedTimer = nullptr;    // Timer1
        QLineEdit* destinationPath = nullptr; // TalmerosPath
        QPushButton* importer = nullptr;   // BitBtn1
        QPushButton* fermer = nullptr;     // BitBtn2
    };

    explicit GuiReporter(const Widgets& widgets);
    ~GuiReporter() override;

    void setStatus(const QString& text) override;
    void appendLine(const QString& line) override;
    QStringList lines() const override;
    void clearLines() override;
    void setProgressVisible(bool visible) override;
    void startProgress(int maximum) override;
    void stepProgress() override;
    void startElapsed(const QDateTime& start) override;
    QString stopElapsed() override;
    void errorBox(const QString& text) override;
    void warningBox(const QString& text) override;
    bool askYesNo(const QString& text) override;
    void notice(const QString& text) override;
    void setBusy(bool busy) override;
    void processEvents() override;
    void setDestinationPathText(const QString& text) override;
    void setButtonsEnabled(bool importer, bool fermer) override;

    // Once the window is closing, boxes are no longer shown (a question counts as "No") and a
    // box on screen is closed at once, so that the run returns without waiting for anyone.
    void setClosing(bool closing);
    bool isClosing() const { return m_closing; }

    // The elapsed-time tick of Timer1.
    void tick();

private:
    template <typename F> void onWindowThread(F&& f) const;
    int showBox(int icon, const QString& title, const QString& text, bool yesNo);

    Widgets m_w;
    QDateTime m_start; // written and read on the window's thread only
    bool m_closing = false;
    bool m_busy = false;
    bool m_hasLines = false; // a line was added since the text area was last cleared
    QPointer<QMessageBox> m_openBox;
};

} // namespace vf

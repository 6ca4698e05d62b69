#include "window/GuiReporter.h"

#include "base/Regional.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMutexLocker>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTextCursor>
#include <QTextDocument>
#include <QThread>
#include <QTimer>

#include <algorithm>

namespace vf {

QString shownStatus(const QString& text)
{
#ifdef _WIN32
    return text;
#else
    QString shown = text;
    shown.remove(QStringLiteral(" en ADO"));
    return shown;
#endif
}

GuiReporter::GuiReporter(const Widgets& widgets) : m_w(widgets) {}

GuiReporter::~GuiReporter()
{
    if (m_busy)
        QApplication::restoreOverrideCursor();
}

bool GuiReporter::onOtherThread() const
{
    return m_w.window && QThread::currentThread() != m_w.window->thread();
}

template <typename F> void GuiReporter::onWindowThread(F&& f) const
{
    if (!onOtherThread()) {
        applyQueued();
        f();
        return;
    }
    // Whatever was queued before this call is shown before it.
    QMetaObject::invokeMethod(
        m_w.window, [this, &f] { applyQueued(); f(); }, Qt::BlockingQueuedConnection);
}

void GuiReporter::queue(const std::function<void(Queued&)>& change)
{
    QMutexLocker lock(&m_queueMutex);
    change(m_queued);
    if (m_queued.posted)
        return;
    m_queued.posted = true;
    QMetaObject::invokeMethod(m_w.window, [this] { applyQueued(); }, Qt::QueuedConnection);
}

void GuiReporter::applyQueued() const
{
    Queued queued;
    {
        QMutexLocker lock(&m_queueMutex);
        std::swap(queued, m_queued);
    }
    for (const QString& line : std::as_const(queued.lines))
        addLine(line);
    if (queued.status)
        m_w.status->setText(*queued.status);
    if (queued.steps > 0) {
        QProgressBar* bar = m_w.progress;
        bar->setValue(std::min(bar->maximum(), bar->value() + queued.steps));
    }
}

void GuiReporter::setStatus(const QString& text)
{
    if (onOtherThread()) {
        queue([&](Queued& q) { q.status = shownStatus(text); });
        return;
    }
    m_w.status->setText(shownStatus(text));
    drawNow();
}

void GuiReporter::addLine(const QString& line) const
{
    QPlainTextEdit* textArea = m_w.textArea;
    if (m_hasLines && textArea->document()->isEmpty()) {
        // The text area holds one empty line: appendPlainText would fill it in place.
        QTextCursor cursor(textArea->document());
        cursor.movePosition(QTextCursor::End);
        cursor.insertBlock();
        cursor.insertText(line);
    } else {
        textArea->appendPlainText(line);
    }
    m_hasLines = true;
}

void GuiReporter::appendLine(const QString& line)
{
    if (onOtherThread())
        queue([&](Queued& q) { q.lines.append(line); });
    else
        addLine(line);
}

QStringList GuiReporter::lines() const
{
    QStringList result;
    onWindowThread([&] {
        const QString text = m_w.textArea->toPlainText();
        // An empty text area has no line; one empty line added by the run is a line.
        if (!text.isEmpty() || m_hasLines)
            result = text.split(QLatin1Char('\n'));
    });
    return result;
}

void GuiReporter::clearLines()
{
    onWindowThread([&] {
        m_w.textArea->clear();
        m_hasLines = false;
    });
}

void GuiReporter::setProgressVisible(bool visible)
{
    onWindowThread([&] { m_w.progress->setVisible(visible); });
}

void GuiReporter::startProgress(int maximum)
{
    onWindowThread([&] {
        // Qt draws a range of 0 to 0 as a busy indicator: a phase without records shows an
        // empty bar instead.
        m_w.progress->setRange(0, maximum > 0 ? maximum : 1);
        m_w.progress->setValue(0);
    });
}

void GuiReporter::stepProgress()
{
    if (onOtherThread()) {
        queue([](Queued& q) { ++q.steps; });
        return;
    }
    QProgressBar* bar = m_w.progress;
    if (bar->value() < bar->maximum())
        bar->setValue(bar->value() + 1);
    drawNow();
}

void GuiReporter::startElapsed(const QDateTime& start)
{
    onWindowThread([&] {
        m_start = start;
        m_w.elapsed->setText(elapsedText(m_start, m_start));
        m_w.elapsed->setVisible(true);
        m_w.elapsedTimer->start(1000);
    });
}

void GuiReporter::tick()
{
    m_w.elapsed->setText(elapsedText(m_start, QDateTime::currentDateTime()));
}

QString GuiReporter::stopElapsed()
{
    QString text;
    onWindowThread([&] {
        m_w.elapsedTimer->stop();
        text = m_w.elapsed->text();
        m_w.arreter->setEnabled(false);
    });
    return text;
}

int GuiReporter::showBox(int icon, const QString& title, const QString& text, bool yesNo)
{
    if (m_closing)
        return 0;
    QMessageBox box(static_cast<QMessageBox::Icon>(icon), title, text, QMessageBox::NoButton,
                    m_w.window);
    box.setObjectName(QStringLiteral("MessageBox"));
    QAbstractButton* yes = nullptr;
    if (yesNo) {
        yes = box.addButton(QStringLiteral("&Oui"), QMessageBox::YesRole);
        QAbstractButton* no = box.addButton(QStringLiteral("&Non"), QMessageBox::NoRole);
        // Return never purges: the purge deletes rows without undo.
        box.setDefaultButton(static_cast<QPushButton*>(isPurgeQuestion(text) ? no : yes));
        box.setEscapeButton(no);
    } else {
        box.setDefaultButton(box.addButton(QStringLiteral("OK"), QMessageBox::AcceptRole));
    }
    // The operator reads the box with the normal pointer, whatever the run is doing.
    if (m_busy)
        QApplication::restoreOverrideCursor();
    m_openBox = &box;
    box.exec();
    m_openBox = nullptr;
    if (m_busy)
        QApplication::setOverrideCursor(Qt::WaitCursor);
    return yes != nullptr && box.clickedButton() == yes && !m_closing ? 1 : 0;
}

void GuiReporter::errorBox(const QString& text)
{
    onWindowThread([&] { showBox(QMessageBox::Critical, QStringLiteral("Erreur"), text, false); });
}

void GuiReporter::warningBox(const QString& text)
{
    onWindowThread(
        [&] { showBox(QMessageBox::Warning, QStringLiteral("Avertissement"), text, false); });
}

bool GuiReporter::askYesNo(const QString& text)
{
    bool yes = false;
    onWindowThread([&] {
        yes = showBox(QMessageBox::Warning, QStringLiteral("Avertissement"), text, true) == 1;
    });
    return yes;
}

void GuiReporter::notice(const QString& text)
{
    onWindowThread(
        [&] { showBox(QMessageBox::Information, QStringLiteral("Information"), text, false); });
}

void GuiReporter::runStarted()
{
    applyControls([](RunControls& c) { c.runStarted(); });
}

void GuiReporter::purgeStarted()
{
    applyControls([](RunControls& c) { c.purgeStarted(); });
}

void GuiReporter::phasesStarted()
{
    applyControls([](RunControls& c) { c.phasesStarted(); });
}

void GuiReporter::runEnded(bool complete)
{
    applyControls([complete](RunControls& c) { c.runEnded(complete); });
}

void GuiReporter::applyControls(const std::function<void(RunControls&)>& event)
{
    onWindowThread([&] {
        event(m_controls);
        m_w.importer->setEnabled(m_controls.importerEnabled);
        m_w.fermer->setEnabled(m_controls.fermerEnabled);
        if (m_controls.busy == m_busy)
            return;
        m_busy = m_controls.busy;
        if (m_busy)
            QApplication::setOverrideCursor(Qt::WaitCursor);
        else
            QApplication::restoreOverrideCursor();
    });
}

void GuiReporter::drawNow() const
{
    QCoreApplication::processEvents();
}

void GuiReporter::setDestinationPathText(const QString& text)
{
    onWindowThread([&] { m_w.destinationPath->setText(text); });
}

void GuiReporter::setClosing(bool closing)
{
    m_closing = closing;
    if (closing && m_openBox)
        m_openBox->done(0);
}

} // namespace vf

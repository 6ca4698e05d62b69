#include "commands/TerminalProgress.h"

#include "commands/TerminalText.h"

#include <QByteArray>

#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace vf {

namespace {

constexpr qint64 kDrawIntervalMs = 100; // at most ten lines a second
constexpr int kDefaultColumns = 80;     // a terminal that does not tell its width

#ifdef _WIN32
HANDLE consoleHandle(FILE* stream)
{
    return reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
}
#endif

// A console that takes "\r" and "\033[K": a terminal, and on Windows a console that interprets
// escape sequences once asked to.
bool isTerminal(FILE* stream)
{
#ifdef _WIN32
    if (!_isatty(_fileno(stream)))
        return false;
    DWORD mode = 0;
    const HANDLE console = consoleHandle(stream);
    return GetConsoleMode(console, &mode)
        && SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
#else
    const char* term = std::getenv("TERM");
    return isatty(fileno(stream)) && !(term && std::strcmp(term, "dumb") == 0);
#endif
}

// 1200 -> "1 200"
QString grouped(int value)
{
    const QString digits = QString::number(qAbs(value));
    QString text;
    for (qsizetype i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            text += QLatin1Char(' ');
        text += digits.at(i);
    }
    return value < 0 ? QLatin1Char('-') + text : text;
}

// A duration as HH:MM:SS.
QString duration(qint64 ms)
{
    const qint64 seconds = ms / 1000;
    return QStringLiteral("%1:%2:%3")
        .arg(seconds / 3600, 2, 10, QLatin1Char('0'))
        .arg(seconds / 60 % 60, 2, 10, QLatin1Char('0'))
        .arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

TerminalProgress::TerminalProgress(FILE* stream) : m_stream(stream), m_active(isTerminal(stream)) {}

TerminalProgress::~TerminalProgress()
{
    finish();
}

bool TerminalProgress::isActive() const
{
    return m_active;
}

void TerminalProgress::startPhase(int total)
{
    if (!m_active)
        return;
    if (m_open)
        endLine();
    m_total = total;
    m_done = 0;
    m_open = true;
    m_hidden = false;
    m_phaseClock.start();
    draw();
}

void TerminalProgress::setStatus(const QString& text)
{
    if (text.isEmpty() || text == m_status)
        return;
    m_status = text;
    if (m_open && !m_hidden && !m_completeShown && m_drawClock.elapsed() >= kDrawIntervalMs)
        draw();
}

void TerminalProgress::step()
{
    ++m_done;
    if (m_open && !m_hidden && (m_done == m_total || m_drawClock.elapsed() >= kDrawIntervalMs))
        draw();
}

void TerminalProgress::hideForOutput()
{
    if (!m_open || m_hidden)
        return;
    if (m_done >= m_total) {
        endLine();
        return;
    }
    write("\r\033[K");
    m_hidden = true;
}

void TerminalProgress::showAfterOutput()
{
    if (!m_open || !m_hidden)
        return;
    m_hidden = false;
    draw();
}

void TerminalProgress::finish()
{
    if (m_open)
        endLine();
}

QString TerminalProgress::lineText() const
{
    const qint64 elapsed = m_phaseClock.elapsed();
    QString counts = grouped(m_done) + QStringLiteral(" / ") + grouped(m_total);
    if (m_total > 0)
        counts += QStringLiteral(" (%1 %)").arg(qint64(m_done) * 100 / m_total);
    QString remaining;
    if (m_done > 0 && m_done < m_total)
        remaining = QStringLiteral("reste environ ") + duration(elapsed * (m_total - m_done) / m_done);
    const QString full = counts + QStringLiteral(" — écoulé ") + duration(elapsed)
                       + (remaining.isEmpty() ? QString() : QStringLiteral(", ") + remaining);
    const QString shorter = counts + (remaining.isEmpty() ? QString() : QStringLiteral(" — ") + remaining);

    // One column short of the width, so that the terminal never wraps the line. A narrow
    // terminal loses the elapsed time first, then the end of the status text.
    const int width = columns() - 1;
    // The status is made safe before it is measured, so that shortening it never cuts an escape.
    const QString safeStatus = terminalSafe(m_status);
    const QString status = safeStatus.isEmpty() ? QString() : safeStatus + QLatin1Char(' ');
    if (status.size() + full.size() <= width)
        return status + full;
    if (status.size() + shorter.size() <= width)
        return status + shorter;
    const qsizetype room = width - shorter.size() - 1;
    if (room >= 2)
        return safeStatus.left(room - 1) + QStringLiteral("… ") + shorter;
    return (status + shorter).left(width);
}

void TerminalProgress::draw()
{
    write("\r" + lineText().toUtf8() + "\033[K");
    m_drawClock.start();
    m_completeShown = m_done >= m_total;
}

// The line as the phase leaves it, then a newline. A line drawn at 100 % stays as it is: what
// the phase does after its last record does not change what the line counted.
void TerminalProgress::endLine()
{
    if (m_hidden || !m_completeShown)
        draw();
    m_hidden = false;
    write("\n");
    m_open = false;
}

void TerminalProgress::write(const QByteArray& bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), m_stream);
    std::fflush(m_stream);
}

int TerminalProgress::columns() const
{
#ifdef _WIN32
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(consoleHandle(m_stream), &info))
        return info.srWindow.Right - info.srWindow.Left + 1;
#else
    winsize size{};
    if (ioctl(fileno(m_stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
#endif
    return kDefaultColumns;
}

} // namespace vf

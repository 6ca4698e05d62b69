#include "commands/TerminalText.h"

#include <QByteArray>

#ifdef _WIN32
#include <cstdlib>
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#endif

namespace vf {

namespace {

bool isHarmful(char32_t c)
{
    return (c < 0x20 && c != u'\n' && c != u'\t') || (c >= 0x7f && c <= 0x9f) || (c >= 0x202a && c <= 0x202e)
        || (c >= 0x2066 && c <= 0x2069);
}

} // namespace

QString terminalSafe(const QString& text)
{
    const auto harmful = [](QChar c) { return isHarmful(c.unicode()); };
    if (std::none_of(text.cbegin(), text.cend(), harmful))
        return text;
    QString safe;
    safe.reserve(text.size() + 16);
    for (const QChar c : text) {
        if (!harmful(c))
            safe += c;
        else if (c.unicode() <= 0xff)
            safe += QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
        else
            safe += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
    }
    return safe;
}

void printLine(FILE* stream, const QString& text)
{
    const QByteArray bytes = terminalSafe(text).toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

void prepareStandardStreams()
{
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    // The console's code page is the console's, shared with the command prompt: it is given back
    // when the program ends.
    static const UINT previousCodePage = GetConsoleOutputCP();
    if (previousCodePage != 0 && previousCodePage != CP_UTF8 && SetConsoleOutputCP(CP_UTF8))
        std::atexit([] { SetConsoleOutputCP(previousCodePage); });
#endif
}

} // namespace vf

#include "commands/TerminalText.h"

#include "base/VisibleText.h"

#include <QByteArray>

#ifdef _WIN32
#include <cstdlib>
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#endif

namespace vf {

QString terminalSafe(const QString& text)
{
    return withVisibleControls(text);
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

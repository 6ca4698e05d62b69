#include "commands/BatchCommand.h"
#include "commands/ExportCommand.h"
#include "commands/TerminalText.h"
#include "window/MainWindow.h"
#include "window/RunController.h"

#include "base/Settings.h"
#include "destination/DestinationConnection.h"

#include <QApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QTranslator>

#ifdef _WIN32
#include <windows.h>
#endif

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char kNoDisplay[] =
    "Aucun affichage graphique n'est disponible : la fenêtre ne peut pas s'ouvrir.\n"
    "Ouvrez-la dans une session graphique (DISPLAY ou WAYLAND_DISPLAY), ou importez sans fenêtre :\n"
    "velquor-fusion --batch --source FICHIER.mdb --letters DOSSIER --dest DOSSIER (voir velquor-fusion --help).\n";
constexpr int kUsage = 64;

[[maybe_unused]] bool hasEnvironment(const char* name) // not on Windows and macOS
{
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

// Whether the window's platform can have a display: X11 needs DISPLAY, Wayland needs
// WAYLAND_DISPLAY; another platform named in QT_QPA_PLATFORM (offscreen, vnc, eglfs ...) is
// left to Qt. Windows and macOS always have one.
bool displayAvailable()
{
#if defined(Q_OS_WIN) || defined(Q_OS_MACOS)
    return true;
#else
    const char* platforms = std::getenv("QT_QPA_PLATFORM");
    if (platforms == nullptr || *platforms == '\0')
        return hasEnvironment("DISPLAY") || hasEnvironment("WAYLAND_DISPLAY");
    // A list such as "wayland;xcb": one platform that can start is enough.
    for (const QByteArray& platform : QByteArray(platforms).split(';')) {
        if (platform.startsWith("xcb")) {
            if (hasEnvironment("DISPLAY"))
                return true;
        } else if (platform.startsWith("wayland")) {
            if (hasEnvironment("WAYLAND_DISPLAY"))
                return true;
        } else if (!platform.isEmpty()) {
            return true;
        }
    }
    return false;
#endif
}

// While the application object starts: a display that is named but cannot be reached makes Qt
// end the program with a fatal message after its platform plugin's warnings; it ends with the
// French message alone instead.
QtMessageHandler g_previousHandler = nullptr;

void fatalAtStart(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (type != QtFatalMsg) {
        if (g_previousHandler && !QByteArray(context.category).startsWith("qt.qpa"))
            g_previousHandler(type, context, message);
        return;
    }
    std::fputs(kNoDisplay, stderr);
    std::_Exit(kUsage);
}

} // namespace

int main(int argc, char** argv)
{
#ifdef __GLIBC__
    // Without TZ, the C library looks at the zone file again at every local-time conversion, and
    // a run makes millions of them; naming the same file keeps the zone and spares the calls.
    if (!qEnvironmentVariableIsSet("TZ"))
        qputenv("TZ", ":/etc/localtime");
#endif
    vf::prepareStandardStreams();
    vf::quietDriverWarnings();
    // Every argument leads to the command line, which needs no display; only the bare program
    // opens the window.
    if (argc > 1 && std::strcmp(argv[1], "--export") == 0)
        return vf::runExportCommand(argc, argv);
    if (argc > 1)
        return runBatchCommand(argc, argv);
    if (!displayAvailable()) {
        std::fputs(kNoDisplay, stderr);
        return kUsage;
    }

#ifdef _WIN32
    // Opened from the Explorer, the program got a console of its own, which the window does not
    // need; one shared with a command prompt stays.
    DWORD consoleProcesses[2];
    if (GetConsoleProcessList(consoleProcesses, 2) == 1)
        FreeConsole();
#endif
    g_previousHandler = qInstallMessageHandler(fatalAtStart);
    QApplication app(argc, argv);
    qInstallMessageHandler(g_previousHandler);
    QCoreApplication::setApplicationName(QStringLiteral("velquor-fusion"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VF_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral("velquor-fusion"));
    std::setlocale(LC_NUMERIC, "C"); // numbers never take a decimal comma
    // Qt's own texts (the file dialogs' buttons and columns) in French, as the program's.
    QTranslator qtTexts;
    if (qtTexts.load(QLocale(QLocale::French, QLocale::France), QStringLiteral("qtbase"), QStringLiteral("_"),
                     QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(&qtTexts);

    const vf::ProgramFiles files = vf::chooseProgramFiles(QCoreApplication::applicationFilePath());
    if (!files.error.isEmpty()) {
        QMessageBox::critical(nullptr, vf::MainWindow::caption(), files.error);
        return 3; // as the batch run: the program ends, it has nowhere to keep its files
    }
    vf::MainWindow window(files.folder, files.settingsPath);
    vf::RunController runController(window);
    window.show();
    return app.exec();
}

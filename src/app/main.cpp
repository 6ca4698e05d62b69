#include "BatchCommand.h"
#include "ExportCommand.h"
#include "MainWindow.h"
#include "RunController.h"

#include "db/DestinationConnection.h"
#include "db/Settings.h"

#include <QApplication>
#include <QMessageBox>

#include <clocale>
#include <cstring>

namespace {

// True when the first argument is `option`: the command-line modes are chosen before any
// application object exists, so that they run without a display.
bool firstArgumentIs(int argc, char** argv, const char* option)
{
    return argc > 1 && std::strcmp(argv[1], option) == 0;
}

} // namespace

int main(int argc, char** argv)
{
    vf::quietDriverWarnings();
    if (firstArgumentIs(argc, argv, "--batch") || firstArgumentIs(argc, argv, "--verify") || firstArgumentIs(argc, argv, "--help")
        || firstArgumentIs(argc, argv, "--version"))
        return runBatchCommand(argc, argv);
    if (firstArgumentIs(argc, argv, "--export"))
        return vf::runExportCommand(argc, argv);

    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("velquor-fusion"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VF_VERSION));
    QGuiApplication::setDesktopFileName(QStringLiteral("velquor-fusion"));
    std::setlocale(LC_NUMERIC, "C"); // numbers never take a decimal comma

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

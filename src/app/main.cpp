#include "BatchCommand.h"
#include "ExportCommand.h"
#include "MainWindow.h"
#include "RunController.h"

#include "db/Settings.h"

#include <QApplication>

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
    if (firstArgumentIs(argc, argv, "--batch") || firstArgumentIs(argc, argv, "--help")
        || firstArgumentIs(argc, argv, "--version"))
        return runBatchCommand(argc, argv);
    if (firstArgumentIs(argc, argv, "--export"))
        return vf::runExportCommand(argc, argv);

    QApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("velquor-fusion"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VF_VERSION));
    std::setlocale(LC_NUMERIC, "C"); // numbers never take a decimal comma

    vf::MainWindow window(QCoreApplication::applicationDirPath(),
                          vf::settingsFilePath(QCoreApplication::applicationFilePath()));
    vf::RunController runController(window);
    window.show();
    return app.exec();
}

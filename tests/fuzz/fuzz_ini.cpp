// The INI reader on arbitrary bytes, as the settings file, "Kestrune.ver" and EDITOR.INI are read:
// UTF-8, or Windows-1252 when the bytes are not valid UTF-8. What it reads it writes back byte for
// byte; a value it writes reads back as written, and every other key keeps its value.
#include "base/Errors.h"
#include "base/IniFile.h"
#include "base/Settings.h"
#include "destination/DestinationConfig.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>
#include <memory>

using namespace vf;

namespace {

std::unique_ptr<QTemporaryDir> g_folder;
const QStringList kSections = {QStringLiteral("Paths"), QStringLiteral("Main"), QStringLiteral("DBKERNEL"),
                               QStringLiteral("Destination"), QStringLiteral("DataBases")};

void check(bool condition)
{
    if (!condition)
        std::abort();
}

void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    check(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    check(file.write(bytes) == bytes.size());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // In memory where the system has it: the files are written again for every input.
    const QString base = QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
    g_folder = std::make_unique<QTemporaryDir>(base + QStringLiteral("/fuzz-ini-XXXXXX"));
    check(g_folder->isValid());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const IniFile ini = IniFile::fromBytes(bytes);
    check(ini.toBytes() == bytes);

    const QString written = QStringLiteral("C:\\Dossier é\\V3.MDB");
    IniFile changed = ini;
    changed.setValue(QStringLiteral("Paths"), QStringLiteral("V3"), written);
    const IniFile reread = IniFile::fromBytes(changed.toBytes());
    check(reread.value(QStringLiteral("Paths"), QStringLiteral("V3")) == written);
    for (const QString& section : kSections) {
        ini.boolValue(section, QStringLiteral("Vider"), false);
        for (const QString& key : ini.keys(section)) {
            if (section == QLatin1String("Paths") && key.compare(QLatin1String("V3"), Qt::CaseInsensitive) == 0)
                continue;
            check(reread.value(section, key) == ini.value(section, key));
        }
    }

    // The program's own readers of these files.
    const QDir folder(g_folder->path());
    const QString settingsPath = folder.filePath(QStringLiteral("velquor-fusion.INI"));
    writeFile(settingsPath, bytes);
    writeFile(folder.filePath(QStringLiteral("Kestrune.ver")), bytes);
    writeFile(folder.filePath(QStringLiteral("EDITOR.INI")), bytes);
    const KestruneConfig config = readKestrune(folder.path());
    const DestinationOptions options = readDestinationOptions(settingsPath);
    sqlServerPassword(config, options);
    WindowSettings settings = loadWindowSettings(settingsPath);
    settings.v3 = written;
    settings.vider = !settings.vider;
    saveWindowSettings(settingsPath, settings);
    const WindowSettings saved = loadWindowSettings(settingsPath);
    check(saved.v3 == settings.v3 && saved.courrier == settings.courrier && saved.talmeros == settings.talmeros
          && saved.vider == settings.vider);
    return 0;
}

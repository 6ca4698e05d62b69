// The Access file writer's JSON input on arbitrary text: either a file is written, or a
// WriteError says why and no file is left, neither at the output's name nor beside it.
#include "mdbwriter/MdbWriter.h"

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

fs::path g_folder;

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    g_folder = base / ("fuzz-json-" + std::to_string(getpid()));
    fs::create_directories(g_folder);
    std::atexit([] { fs::remove_all(g_folder); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    const fs::path output = g_folder / "out.mdb";
    bool written = true;
    try {
        mdbwriter::writeFromJson(text, output.string());
    } catch (const mdbwriter::WriteError& error) {
        written = false;
        if (std::string(error.what()).empty())
            std::abort();
    }
    if (written != fs::exists(output))
        std::abort();
    fs::remove(output);
    if (!fs::is_empty(g_folder))
        std::abort(); // a temporary file left behind
    return 0;
}

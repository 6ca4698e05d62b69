#include "commands/StopSignals.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <csignal>
#endif

namespace vf {
namespace {

std::atomic<bool> g_stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the flag is set from a signal handler");

#ifdef _WIN32
// Ctrl-C and Ctrl-Break in the console: the first one sets the flag; a second one goes on to the
// system's handler, which ends the program.
BOOL WINAPI onConsoleEvent(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    return g_stopRequested.exchange(true, std::memory_order_relaxed) ? FALSE : TRUE;
}
#else
extern "C" void onStopSignal(int signalNumber)
{
    g_stopRequested.store(true, std::memory_order_relaxed);
    std::signal(signalNumber, SIG_DFL);
}
#endif

} // namespace

const std::atomic<bool>& catchStopSignals()
{
#ifdef _WIN32
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
#else
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
#endif
    return g_stopRequested;
}

} // namespace vf

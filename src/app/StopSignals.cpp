#include "StopSignals.h"

#include <csignal>

namespace vf {
namespace {

std::atomic<bool> g_stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the flag is set from a signal handler");

extern "C" void onStopSignal(int signalNumber)
{
    g_stopRequested.store(true, std::memory_order_relaxed);
    std::signal(signalNumber, SIG_DFL);
}

} // namespace

const std::atomic<bool>& catchStopSignals()
{
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
    return g_stopRequested;
}

} // namespace vf

#pragma once

#include <atomic>

namespace vf {

// Ctrl-C (SIGINT) and SIGTERM during a command-line run. The first one only sets the flag that
// the run reads between batches, so that it ends unfinished with its link tables exact and the
// progress line ended; a second one ends the program at once (the pending pairs keep the link
// tables exact then too). On Windows, Ctrl-C and Ctrl-Break in the console do the same. Returns
// the flag.
const std::atomic<bool>& catchStopSignals();

} // namespace vf

// Internal entry points of the navigation core shared by its files.
#pragma once

#include <stdint.h>

namespace krv {

// Logs "krv_nav_core_wakeNavThread" and wakes the navigation thread.
void wake_nav_thread();

// krv_nav_core_waitSignal with the wake count snapshot taken by the caller
// (the thread takes it before reading its state, so no wake is lost).
int wait_signal_from(uint32_t seen, int timeoutSec, int timeoutMs);

}  // namespace krv

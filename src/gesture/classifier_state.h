// Module state of the touch classification, shared by the pass and the
// direction classifiers. One instance per loaded library, zero at load.
#pragma once

#include <stdint.h>

namespace krv {

extern uint8_t gDirection;     // result code of the latest classification
extern int32_t interval_time;  // elapsed ms of the latest full pass

}  // namespace krv

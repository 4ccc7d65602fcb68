// Module state of the touch classification, shared by the pass and the
// direction classifiers. One instance per loaded library, zero at load.
#pragma once

#include <stdint.h>
#include <sys/time.h>

namespace krv {

extern uint8_t gDirection;     // result code of the latest classification
extern int32_t interval_time;  // elapsed ms of the latest full pass

// Fetches a frame pair from the sensor into `buffer`; false when the node
// could not be opened or the driver refused the request.
bool fetch_frame_pair(uint8_t* buffer);
// krv_nav_getImageData with its traces, telling whether the fetch worked.
bool get_image_data(uint8_t* buffer);

}  // namespace krv

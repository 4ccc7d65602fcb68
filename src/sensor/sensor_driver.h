// The sensor driver's two requests, each on a descriptor opened and closed
// for it. Device I/O below the classification, logged under the core's tag.
#pragma once

#include <stdint.h>

namespace krv {

// Fetches a frame pair from the sensor into `buffer`; false when the node
// could not be opened or the driver refused the request.
bool fetch_frame_pair(uint8_t* buffer);
// krv_nav_getImageData with its traces, telling whether the fetch worked.
bool get_image_data(uint8_t* buffer);

}  // namespace krv

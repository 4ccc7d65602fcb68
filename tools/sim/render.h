// A frame pair as a picture: both frames side by side, touch pixels shaded,
// the centroid and the four edge points of each FrameInfo marked, and the
// result in the caption.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "frame_tools.h"

namespace krvsim {

struct Image {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;  // row-major, 3 bytes per pixel
    void set(int x, int y, uint8_t r, uint8_t g, uint8_t b);
};

// Layout: each sensor pixel is a kScale x kScale square. Row 0 is drawn at
// the bottom, so that a touch moving to higher rows (a swipe up) moves up
// in the picture.
constexpr int kScale = 4;
constexpr int kMargin = 8;
constexpr int kLine = 11;  // text line height
constexpr int kFrameW = KRV_FRAME_COLS * kScale, kFrameH = KRV_FRAME_ROWS * kScale;
constexpr int kImageW = 3 * kMargin + 2 * kFrameW;
constexpr int kImageH = kMargin + kLine + kFrameH + 6 + 2 * kLine + 6 + 2 * kLine + kMargin;

// Marker colours.
constexpr uint8_t kCentroid[3] = {230, 20, 20};
constexpr uint8_t kEdge[3] = {255, 150, 0};

// Picture coordinates of the middle of sensor pixel (row, col) of frame 0 or 1.
void cell_center(int which, int row, int col, int* x, int* y);

Image render_pair(const FramePair& pair, const PairInfo& info, int result, const std::string& title);
bool write_png(const std::string& path, const Image& image, std::string* error);

}  // namespace krvsim

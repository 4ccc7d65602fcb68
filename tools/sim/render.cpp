#include "render.h"

#include <errno.h>
#include <png.h>
#include <stdio.h>
#include <string.h>

#include "font5x7.h"

namespace krvsim {
namespace {

constexpr int kFramesY = kMargin + kLine;

int frame_x(int frame) { return kMargin + frame * (kFrameW + kMargin); }

void fill(Image& im, int x0, int y0, int w, int h, const uint8_t c[3]) {
    for (int y = y0; y < y0 + h; ++y)
        for (int x = x0; x < x0 + w; ++x) im.set(x, y, c[0], c[1], c[2]);
}

void text(Image& im, int x, int y, const std::string& s, const uint8_t c[3]) {
    for (char ch : s) {
        const char* const* g = glyph(ch);
        for (int r = 0; r < kGlyphH; ++r)
            for (int k = 0; k < kGlyphW; ++k)
                if (g[r][k] == '#') im.set(x + k, y + r, c[0], c[1], c[2]);
        x += kGlyphW + 1;
    }
}

bool in_frame(int row, int col) { return row >= 0 && row < KRV_FRAME_ROWS && col >= 0 && col < KRV_FRAME_COLS; }

// Top left picture pixel of sensor pixel (row, col).
int cell_x(int which, int col) { return frame_x(which) + col * kScale; }
int cell_y(int row) { return kFramesY + (KRV_FRAME_ROWS - 1 - row) * kScale; }

void frame(Image& im, int which, const uint8_t* px, const FrameInfo& info) {
    for (int r = 0; r < KRV_FRAME_ROWS; ++r)
        for (int c = 0; c < KRV_FRAME_COLS; ++c) {
            uint8_t v = px[r * KRV_FRAME_COLS + c];
            // Touch pixels (199 or less) in blue, lighter where the sensor
            // saw lighter; the rest in grey as seen.
            uint8_t col[3] = {v, v, v};
            if (v <= 199) {
                col[0] = static_cast<uint8_t>(20 + v / 4);
                col[1] = static_cast<uint8_t>(60 + v / 3);
                col[2] = static_cast<uint8_t>(150 + v / 4);
            }
            fill(im, cell_x(which, c), cell_y(r), kScale, kScale, col);
        }
    const uint8_t black[3] = {0, 0, 0};
    int cx = info.center.x, cy = info.center.y;
    bool centre = in_frame(cy, cx);
    if (centre) {  // a cross, three pixels either way
        for (int d = -3; d <= 3; ++d) {
            if (in_frame(cy, cx + d)) fill(im, cell_x(which, cx + d), cell_y(cy) + 1, kScale, 2, kCentroid);
            if (in_frame(cy + d, cx)) fill(im, cell_x(which, cx) + 1, cell_y(cy + d), 2, kScale, kCentroid);
        }
    }
    // Edge points: the pixel itself, in a dark frame, in an orange ring.
    for (const FramePoint& p : {info.row_first, info.row_last, info.col_first, info.col_last}) {
        if (!in_frame(p.row, p.col)) continue;
        int x = cell_x(which, p.col), y = cell_y(p.row);
        fill(im, x - 3, y - 3, kScale + 6, kScale + 6, kEdge);
        fill(im, x - 1, y - 1, kScale + 2, kScale + 2, black);
        fill(im, x, y, kScale, kScale, kEdge);
    }
    if (centre) fill(im, cell_x(which, cx), cell_y(cy), kScale, kScale, kCentroid);
}

std::string label(int which, const FrameInfo& i) {
    char b[80];
    (void)snprintf(b, sizeof b, "FRAME%d LEVEL %u CENTER (%u,%u)", which, i.level, i.center.x, i.center.y);
    return b;
}

}  // namespace

void Image::set(int x, int y, uint8_t r, uint8_t g, uint8_t b) {
    if (x < 0 || y < 0 || x >= width || y >= height) return;
    uint8_t* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
    p[0] = r;
    p[1] = g;
    p[2] = b;
}

void cell_center(int which, int row, int col, int* x, int* y) {
    *x = cell_x(which, col) + kScale / 2;
    *y = cell_y(row) + kScale / 2;
}

Image render_pair(const FramePair& pair, const PairInfo& info, int result, const std::string& title) {
    Image im;
    im.width = kImageW;
    im.height = kImageH;
    im.rgb.assign(static_cast<size_t>(kImageW) * kImageH * 3, 32);
    const uint8_t white[3] = {235, 235, 235}, grey[3] = {160, 160, 160};
    text(im, kMargin, kMargin, title, white);
    frame(im, 0, pair.frame0, info.first);
    frame(im, 1, pair.frame1, info.second);
    int y = kFramesY + kFrameH + 6;
    const FrameInfo* infos[2] = {&info.first, &info.second};
    for (int f = 0; f < 2; ++f) {
        text(im, frame_x(f), y, label(f, *infos[f]), white);
        text(im, frame_x(f), y + kLine, infos[f]->invalid == 1 ? "INVALID: UNDER 200 TOUCH PIXELS" : "VALID", grey);
    }
    y += 2 * kLine + 6;
    char b[120];
    (void)snprintf(b, sizeof b, "RESULT %d (%s)  STATUS %u  ROW 0 AT THE BOTTOM", result, result_name(result),
                   pair.status);
    text(im, kMargin, y, b, white);
    const uint8_t blue[3] = {80, 120, 200};
    int x = kMargin;
    text(im, x, y + kLine, "BLUE: TOUCH", blue);
    x += 13 * (kGlyphW + 1);
    text(im, x, y + kLine, "RED: CENTROID", kCentroid);
    x += 15 * (kGlyphW + 1);
    text(im, x, y + kLine, "ORANGE: EDGE POINTS", kEdge);
    return im;
}

bool write_png(const std::string& path, const Image& im, std::string* error) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) {
        // NOLINTNEXTLINE(concurrency-mt-unsafe): glibc's strerror uses a per-thread buffer.
        *error = "cannot create '" + path + "': " + strerror(errno);
        return false;
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!info) {
        png_destroy_write_struct(&png, nullptr);
        (void)fclose(f);
        *error = "libpng could not start";
        return false;
    }
    // libpng reports errors by longjmp; nothing here owns memory that the
    // jump would leak apart from what the two cleanups release.
    // NOLINTNEXTLINE(cert-err52-cpp): libpng reports errors only by longjmp.
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        (void)fclose(f);
        *error = "libpng failed writing '" + path + "'";
        return false;
    }
    png_init_io(png, f);
    png_set_compression_level(png, 9);
    png_set_IHDR(png, info, static_cast<png_uint_32>(im.width), static_cast<png_uint_32>(im.height), 8,
                 PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < im.height; ++y)
        png_write_row(png, const_cast<png_bytep>(&im.rgb[static_cast<size_t>(y) * im.width * 3]));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    if (fclose(f) != 0) {
        *error = "cannot write '" + path + "'";
        return false;
    }
    return true;
}

}  // namespace krvsim

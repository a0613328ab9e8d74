// 32-bit device-independent pictures: 4 bytes per pixel in blue, green, red,
// unused order, rows bottom-up (the first row in memory is the bottom row).
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace quillon {

struct Bitmap {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;  // width * 4 bytes per row, no padding

    int rowBytes() const { return width * 4; }
    bool empty() const { return width <= 0 || height <= 0; }
    void allocate(int w, int h);  // filled with black
    // Row r counted from the bottom (memory order).
    uint8_t* row(int r) { return pixels.data() + static_cast<size_t>(r) * rowBytes(); }
    const uint8_t* row(int r) const { return pixels.data() + static_cast<size_t>(r) * rowBytes(); }
    // Row counted from the top of the picture.
    uint8_t* topRow(int r) { return row(height - 1 - r); }
    const uint8_t* topRow(int r) const { return row(height - 1 - r); }
};

// Returns true to stop a long operation (the user aborted).
using AbortCheck = std::function<bool()>;

void flipVertical(Bitmap& picture);
// Crops to the rectangle (x, y from the top-left corner). False when the
// rectangle does not lie inside the picture.
bool cropBitmap(Bitmap& picture, int x, int y, int w, int h);
// Puts the picture through 24 bits per pixel and back: the unused byte
// becomes 0, colours are unchanged.
bool changeDepth(Bitmap& picture);
// Linear interpolation between neighbouring rows and columns. When abort
// says so the scaler stops early and leaves the remaining rows as they are.
// False on a bad size.
bool scaleBitmap(const Bitmap& source, Bitmap& target, int width, int height,
                 const AbortCheck& abort = {});
// Scales to fit inside the canvas keeping the shape, centred on black.
// For SVCD-shaped canvases the computation is made for a canvas 3/2 as wide
// and the scaled width then narrowed by 2/3.
bool scaleProportional(const Bitmap& source, Bitmap& canvas, int width, int height, bool svcdShape,
                       const AbortCheck& abort = {});

// Converts 24-bit BGR rows (top-down, given stride) into a Bitmap.
void bitmapFromBgr24(Bitmap& out, const uint8_t* data, int width, int height, int stride);

}  // namespace quillon

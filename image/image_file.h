// Loading pictures into 32-bit bottom-up BGRA bitmaps: JPEG through
// libjpeg, bitmap, PNG, GIF, Targa and the other still formats through
// libavcodec's image decoders.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/bitmap.h"

struct AVFrame;
struct SwsContext;

namespace quillon {

// The largest picture loaded: 16384 pixels a side and 64 megapixels (a
// quarter of a gigabyte as a 32-bit bitmap). Larger ones are refused before
// they are decoded.
inline constexpr int kMaxPictureSide = 16384;
inline constexpr int64_t kMaxPicturePixels = 64LL * 1024 * 1024;

// Empty when a w x h picture may be loaded, else why not (naming what).
std::string pictureSizeProblem(const std::string& what, int64_t width, int64_t height);

// False with a reason in *error when the file cannot be read or decoded,
// is not a regular file, declares a picture larger than the limits, or
// there is not enough memory for it.
bool loadPicture(const std::string& path, Bitmap& out, std::string* error = nullptr);

// A scaler from a decoded frame to BGRA of the same size (cached is reused
// when it still fits, as sws_getCachedContext does). The full-range formats
// the JPEG decoders give are handed over as their plain twins with the range
// set, and the frame's own range and colour matrix are honoured. Null when
// no scaler can be made.
SwsContext* pictureScaler(SwsContext* cached, const AVFrame* frame);

// Converts a decoded frame with a scaler made for it (same size, BGRA out)
// into out, top row first. The scaler may write past a row's last pixel, so
// it writes into padded rows in scratch and the rows are copied over, the
// unused fourth byte of each pixel set to 0.
void scaleFrameToBitmap(SwsContext* sws, const AVFrame* frame, Bitmap& out, std::vector<uint8_t>& scratch);
bool loadJpeg(const std::string& path, Bitmap& out, std::string* error = nullptr);

}  // namespace quillon

// Loading pictures into 32-bit bottom-up BGRA bitmaps: JPEG through
// libjpeg, bitmap, PNG, GIF, Targa and the other still formats through
// libavcodec's image decoders.
#pragma once

#include <string>

#include "image/bitmap.h"

namespace quillon {

// False with a reason in *error when the file cannot be read or decoded.
bool loadPicture(const std::string& path, Bitmap& out, std::string* error = nullptr);
bool loadJpeg(const std::string& path, Bitmap& out, std::string* error = nullptr);

}  // namespace quillon

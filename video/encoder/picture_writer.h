// Writes one coded picture: picture-level headers, slices, macroblocks and
// blocks, quantising each macroblock on the way.
#pragma once

#include "video/encoder/video_types.h"

namespace quillon {

// Returns false after reporting a value that cannot be coded.
bool codePicture(VideoEncoder& enc, const Picture& source);

}  // namespace quillon

// Set-up and teardown of one encode: writer, quantiser matrices, geometry,
// pictures, macroblock records and blocks.
#pragma once

#include "video/encoder/video_types.h"

namespace quillon {

VideoGeometry computeGeometry(const EncoderSettings& s, int horizontalSize, int verticalSize);
// Reports and returns false on the first failure; tearDownEncoder frees
// whatever was allocated.
bool setUpEncoder(VideoEncoder& enc);
// May run more than once.
void tearDownEncoder(VideoEncoder& enc);
bool loadQuantMatrices(VideoEncoder& enc);

// The default intra matrix of ISO/IEC 13818-2, natural order.
extern const std::array<uint8_t, 64> kDefaultIntraMatrix;

}  // namespace quillon

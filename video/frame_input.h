// Frame input: a window of recent frames pulled from the FrameSource,
// converted to Y/Cb/Cr, padded to whole macroblocks and subsampled to the
// chroma format.
#pragma once

#include <cstdint>

#include "video/video_types.h"

namespace quillon {

bool setUpFrameInput(VideoEncoder& enc);
void tearDownFrameInput(VideoEncoder& enc);
// Copies frame (displayIndex + first frame number) into target. False when
// the source could not deliver it (after an info line).
bool fetchPicture(VideoEncoder& enc, Picture& target, int displayIndex);

// The building blocks, exposed for tests.
enum class ColourRoutine { Floating, Integer };
// Converts width x height BGRA pixels (rows bottom-up, rowBytes apart,
// bottomRow the address of the last row in memory = the top picture row)
// into y/u/v planes of the given stride.
void convertRgbToYuv(ColourRoutine routine, int matrixCoefficients, const uint8_t* topRow,
                     int32_t rowBytes, int width, int height, uint8_t* y, uint8_t* u, uint8_t* v,
                     int stride);
// Repeats the last column and row of a width x height picture out to the
// padded size.
void padPlane(uint8_t* plane, int stride, int width, int height, int paddedWidth, int paddedHeight);
// 4:4:4 -> 4:2:2, each of the h rows of w input samples to w/2 outputs.
void filterHorizontal(const uint8_t* clip, bool mpeg2, const uint8_t* src, uint8_t* dst, int w, int h);
// 4:2:2 -> 4:2:0, w columns of h input rows to h/2 output rows.
void filterVertical(const uint8_t* clip, bool progressive, const uint8_t* src, uint8_t* dst, int w,
                    int h);
void buildClipTable(std::array<uint8_t, 1024>& table);

}  // namespace quillon

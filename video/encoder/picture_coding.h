// Coding of one frame of the coding order, as one frame picture or as two
// field pictures: motion estimation, f_code fitting, prediction, transform,
// the picture writer, inverse quantisation and reconstruction, and the
// statistics file's per-picture report.
#pragma once

#include <cstdio>

#include "video/encoder/picture_loop.h"
#include "video/encoder/video_types.h"

namespace quillon {

// Points enc.current and enc.reconstructed at the buffers of the picture
// the step codes; an I or P picture first swaps the reference roles so the
// last reference becomes the older one.
void assignPictureBuffers(VideoEncoder& enc, const CodingStep& step);

// The per-picture values of setPictureValues plus what only the coded
// picture needs: field pictures never use frame prediction.
void preparePicture(VideoEncoder& enc, const CodingStep& step);

// The statistics file's lines about the picture about to be fetched.
void writePictureHeaderStatistics(VideoEncoder& enc, int codingIndex);

// Codes the frame whose source is in enc.current. False when motion
// estimation saw a confirmed stop or the picture writer failed.
bool codeFrame(VideoEncoder& enc, const CodingStep& step);

// The statistics file's report after a frame picture or a field: signal to
// noise per plane, macroblock counts, the type map and the quantiser map.
void writePictureStatistics(VideoEncoder& enc, std::FILE* out);

}  // namespace quillon

// Levels of a macroblock re-chosen by distortion and bits after the
// rounding quantiser has fixed its quantiser (and, in constant bitrate, the
// intra blocks' coarser retries).
#pragma once

#include "video/encoder/macroblock_pipeline.h"

namespace quillon {

// coefficients: the transform output the levels in work.blocks came from.
// Updates the levels, the scan masks, mb.cbp and the pattern bit.
void refineMacroblockLevels(const VideoEncoder& enc, MacroblockInfo& mb, const Block* coefficients,
                            MacroblockWork& work);

}  // namespace quillon

// Rate-distortion choices for one macroblock, apart from writing it: each
// candidate runs through transform, quantisation, the block coder over a
// counting sink and the reconstruction, and costs its squared error plus
// lambda times its bits. The chosen candidate's levels are left in the
// macroblock's buffers for the picture writer to write and commit.
#pragma once

#include <cstdint>

#include "video/encoder/macroblock_pipeline.h"
#include "video/encoder/picture_writer.h"

namespace quillon {

struct CandidateCost {
    int64_t error = 0;  // squared error of the reconstruction, all planes
    int bits = 0;       // the macroblock's syntax, blocks included
    double cost = 0;    // error + lambda * bits
};

// One candidate: dct_type (ignored where the picture allows frame DCT only)
// and whether the prediction error is coded at all (a non-intra macroblock
// may leave every block out). On return work.blocks/scanMask hold the
// candidate's levels and mb its type, quantiser and pattern; the
// reconstruction buffer holds what the decoder would rebuild.
CandidateCost costCandidate(const VideoEncoder& enc, MacroblockInfo& mb, int mquant, int dctType, bool codeError,
                            bool trellis, const SliceState& st, const MacroblockSyntax& syntax,
                            MacroblockWork& work);

// The frame/field DCT choice (where the picture offers both) and, with
// rdDecision 2, for non-intra macroblocks coding the error against leaving
// it out and intra coding against the motion search's choice, each by
// cost. Leaves the chosen candidate's levels in work and mb, as
// quantiseMacroblock would.
void decideMacroblock(const VideoEncoder& enc, MacroblockInfo& mb, int mquant, bool trellis, const SliceState& st,
                      const MacroblockSyntax& syntax, MacroblockWork& work);

// Where a B macroblock stands for skipping: it may be skipped only inside a
// row and when the one before it was not intra (previousType: the kMb* bits
// of the last macroblock written or skipped in the slice).
struct SkipChance {
    bool inside = false;
    int previousType = 0;
};

// A predicted macroblock by cost. In a B picture: forward, backward and
// interpolated prediction with the motion search's vectors and motion type
// (with rdModes 2 in frame pictures also with the predicted vectors), each
// with and without its prediction error coded, the search's intra choice,
// and skipping (the previous macroblock's directions with the predicted
// vectors). In a P picture: the search's choice coded and not, no motion
// compensation coded and not (skipped where the row allows), and for a
// macroblock the search made intra its neighbours' vectors. Leaves mb,
// work's levels and work.prediction as the chosen candidate's; a skip
// comes back with cbp 0 and what the writer skips.
void decideInterMacroblock(const VideoEncoder& enc, MacroblockInfo& mb, int mquant, bool trellis, SkipChance skip,
                           const Picture& forward, const Picture& backward, const SliceState& st,
                           const MacroblockSyntax& syntax, MacroblockWork& work);

}  // namespace quillon

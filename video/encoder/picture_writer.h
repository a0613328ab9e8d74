// Writes one coded picture: picture-level headers, then slice by slice
// every macroblock through the macroblock pipeline (prediction, transform,
// quantiser choice, quantisation, VLC, reconstruction and commit).
#pragma once

#include <cstdint>

#include "video/dsp/vlc.h"
#include "video/encoder/video_types.h"

namespace quillon {

// The VLC state that runs along a slice: DC predictors, motion vector
// predictors, the pending macroblock address increment and the quantiser
// last written.
struct SliceState {
    int dcPred[3] = {0, 0, 0};
    int pmv[2][2][2] = {};
    int addressIncrement = 1;
    int prevMquant = 0;
    double macroblockBits = 0;  // written by putMacroblock
    double blockBits = 0;

    void resetDc() { dcPred[0] = dcPred[1] = dcPred[2] = 0; }
    void resetPmv() {
        for (auto& a : pmv)
            for (auto& b : a) b[0] = b[1] = 0;
    }
};

// What the picture fixes for the syntax of its macroblocks.
struct MacroblockSyntax {
    int pictureCodingType = kPictureI;
    bool fieldPicture = false;
    bool framePredFrameDct = true;
    int qScaleType = 0;
    int fCode[2][2] = {};
    int blockCount = 6;
    BlockCoding coding;
    bool verbose = false;
};
MacroblockSyntax macroblockSyntax(const VideoEncoder& enc);

// One coded (not skipped) macroblock: address increment, type, motion and
// DCT type, quantiser, vectors, pattern and blocks, over a BitWriter or a
// BitCounter; updates the slice state as the decoder would. A null engine
// reports nothing. False after a value that cannot be coded.
template <class Sink>
bool putMacroblock(Engine* engine, Sink& w, const MacroblockSyntax& p, const MacroblockInfo& mb,
                   const Block* levels, const uint64_t* scanMasks, SliceState& st);

// Returns false after reporting a value that cannot be coded.
bool codePicture(VideoEncoder& enc, const Picture& source);

}  // namespace quillon

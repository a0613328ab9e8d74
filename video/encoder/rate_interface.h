// The narrow interface between the picture writer and constant-bitrate rate
// control. The picture writer calls these hooks only while constBitrateFlag
// is set; in variable-bitrate mode every macroblock uses fixedMquant().
#pragma once

#include <memory>

#include "video/encoder/video_types.h"

namespace quillon {

class RateController {
public:
    virtual ~RateController() = default;
    // Once before the first picture (after rcInitSequenceStatistics).
    virtual void rcInitSequence(VideoEncoder& enc) = 0;
    // At each I picture that opens a GOP.
    virtual void rcInitGop(VideoEncoder& enc, int np, int nb) = 0;
    // Before the picture header; source is the picture being coded.
    virtual void rcInitPicture(VideoEncoder& enc, const Picture& source) = 0;
    // Inside the picture header, right after its start code; sets enc.pic.vbvDelay.
    virtual void rcComputeVbvDelay(VideoEncoder& enc) = 0;
    // The quantiser of the first slice header.
    virtual int rcStartMacroblock(VideoEncoder& enc) = 0;
    // The quantiser for macroblock j (index within the picture).
    virtual int rcCalcMquant(VideoEncoder& enc, int j) = 0;
    // The quantiser finally used for the macroblock just quantised.
    virtual void rcRecordMquant(VideoEncoder& enc, int mquant) = 0;
    // After the last macroblock; may pad the picture.
    virtual void rcUpdatePicture(VideoEncoder& enc) = 0;
    virtual void rcMarkEndOfPicture(VideoEncoder& enc) = 0;
};

// Creates the constant-bitrate controller for the encode, or null when the
// build has none (the encode then runs on the fixed quantiser).
std::unique_ptr<RateController> makeConstantRateController(VideoEncoder& enc);

// Both modes: the statistics part of sequence start (min/max values, window
// length) and the per-frame bit statistics after every picture (for field
// pictures after the second field).
void rcInitSequenceStatistics(VideoEncoder& enc);
void rcFrameStatistics(VideoEncoder& enc);

// The fixed quantiser of variable-bitrate mode for the current picture:
// nonLinearQuantTable[mquantValue] with q_scale_type 1, else 2 x mquantValue.
int fixedMquant(const VideoEncoder& enc);

}  // namespace quillon

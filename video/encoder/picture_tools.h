// The picture-level choices of the quality tools: the quantiser of each
// picture type, the scan, the intra VLC table and the intra DC precision.
// With every tool off (the classic level) nothing here changes what the
// picture values and the fixed quantiser already are.
#pragma once

#include "video/encoder/video_types.h"

namespace quillon {

// The quantiser of a picture type from the one mquantValue gives (P
// pictures): I and B pictures scaled by their ratio, then the nearest value
// the picture's scale can code.
int typeMquant(const EncoderSettings& s, int pictureType, int baseMquant, int qScaleType);

// The codable quantiser nearest to value under the scale (2..62 linear,
// 1..112 non-linear).
int nearestCodableMquant(double value, int qScaleType);

// Sets scan, intra VLC table and DC precision of the frame about to be coded
// (enc.current holds its source) as the tools ask. MPEG-1 syntax has none of
// these choices.
void applyPictureTools(VideoEncoder& enc);

// Whether the frame's luminance looks progressive: neighbouring lines are on
// the whole closer than lines two apart, as they are not where the two
// fields show different moments.
bool looksProgressive(const Picture& source, const VideoGeometry& geo);

}  // namespace quillon

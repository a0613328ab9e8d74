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
// share: percent of each ratio's distance from the grain ratio that
// applies (100: the settings' ratios, 0: the grain ratios).
int typeMquant(const EncoderSettings& s, int pictureType, int baseMquant, int qScaleType, int share = 100);
// The ratio typeMquant applies, in percent (share: how much of the
// settings' ratio a grainy picture keeps).
int typeRatioPercent(const EncoderSettings& s, int pictureType, int share = 100);

// The ratio of a picture type on a fully grainy picture, percent of P's
// quantiser: an I picture a little coarser than P, since the pictures after
// it cannot predict its grain and its finer intra steps only cost bits; B a
// little finer, since the two references' average leaves grain that a
// coarse B quantiser smooths away.
int grainTypeRatio(int pictureType);

// The codable quantiser nearest to value under the scale (2..62 linear,
// 1..112 non-linear).
int nearestCodableMquant(double value, int qScaleType);

// Sets scan, intra VLC table and DC precision of the frame about to be coded
// (enc.current holds its source) as the tools ask. MPEG-1 syntax has none of
// these choices.
void applyPictureTools(VideoEncoder& enc);

// Sets the type ratio share of the frame about to be coded (enc.current)
// from its grain, before anything that depends on it (the propagation, the
// rate control, the picture tools) looks at it.
void measureGrain(VideoEncoder& enc);

// Whether the frame's luminance looks progressive: neighbouring lines are on
// the whole closer than lines two apart, as they are not where the two
// fields show different moments.
bool looksProgressive(const Picture& source, const VideoGeometry& geo);

// How grainy the frame's luminance is: the lower quartile, over blocks
// spread across the picture, of the mean absolute same-field Laplacian.
// Flat or smooth areas of a clean picture give about 0-2; film grain
// lifts every block alike.
double grainLevel(const Picture& source, const VideoGeometry& geo);

// The share of the settings' type ratios for a grain level: all of it on
// clean pictures, none on grainy ones, which take the grain ratios instead
// (a finer I picture codes grain the next pictures cannot predict, coarser
// B pictures lose detail without saving much). Between the two it falls
// steadily.
int typeRatioShareFor(double grain);

}  // namespace quillon

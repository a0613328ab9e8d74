// One macroblock at a time through the coding steps: its source and
// prediction are loaded into buffers of its own, the prediction error is
// transformed and quantised there, and the reconstruction is formed there
// too; it reaches the picture only through commitMacroblock. A decision can
// so run a candidate through every step, count its bits and measure its
// error, and commit only the one it keeps.
#pragma once

#include <cstdint>

#include "video/encoder/video_types.h"

namespace quillon {

// The buffers of one macroblock. Planes are stored macroblock by
// macroblock: luminance 16 x 16 with stride 16, each chroma plane
// chromaBlockWidth x chromaBlockHeight with stride chromaBlockWidth; lines
// are those of the coded picture (a field picture's own lines).
struct MacroblockWork {
    int k = 0;     // index in the picture, raster order
    int x = 0;     // luminance position in the coded picture
    int y = 0;
    alignas(32) uint8_t source[3][256] = {};
    alignas(32) uint8_t prediction[3][256] = {};
    alignas(32) uint8_t reconstruction[3][256] = {};
    // Prediction error, coefficients, levels and the reconstructed error
    // in turn, in place.
    alignas(32) Block blocks[12] = {};
    // Per block, the non-zero levels in scan order (bit n: scan position n).
    uint64_t scanMask[12] = {};
    // Set when prepared: the macroblock's modes are chosen by cost while
    // it is coded (the steps above are then run there, per candidate).
    bool interByCost = false;
};

// Width and height of a chroma plane of one macroblock.
inline int chromaBlockWidth(int chromaFormat) { return chromaFormat == 3 ? 16 : 8; }
inline int chromaBlockHeight(int chromaFormat) { return chromaFormat == 1 ? 8 : 16; }

// Where macroblock k sits; its source copied from the coded picture.
void startMacroblock(const VideoEncoder& enc, int k, const Picture& source, MacroblockWork& work);
// dct_type by the correlation of the two fields of the prediction error
// (0 where the picture allows only frame DCT).
int decideMacroblockDctType(const VideoEncoder& enc, const MacroblockWork& work);
// Prediction error of every block, then the forward DCT. A block whose
// error is zero everywhere skips the transform: its coefficients are zero.
void transformMacroblock(const VideoEncoder& enc, int dctType, MacroblockWork& work);
// The quantiser for macroblock k: the rate controller's in constant
// bitrate, the fixed one otherwise.
int chooseMquant(VideoEncoder& enc, int k);
// Quantises the blocks with mquant (intra blocks in constant bitrate try
// coarser quantisers while a level does not fit); sets mb.mquant, mb.cbp,
// the pattern bit and the scan masks.
void quantiseMacroblock(const VideoEncoder& enc, MacroblockInfo& mb, int mquant, MacroblockWork& work);
// Inverse quantisation, inverse DCT and prediction plus error into the
// reconstruction buffer. Blocks without coded levels of a non-intra or
// skipped macroblock add nothing.
void reconstructMacroblock(const VideoEncoder& enc, const MacroblockInfo& mb, int dctType, MacroblockWork& work);
// The reconstruction into its place in the picture.
void commitMacroblock(const VideoEncoder& enc, const MacroblockWork& work, Picture& reconstructed);

// Sum of squared differences between the reconstruction and the source,
// all planes: the distortion of a candidate.
int64_t macroblockError(const VideoEncoder& enc, const MacroblockWork& work);
// The same between any two of the work's planes (source, prediction,
// reconstruction), through the routine set's form.
int64_t planesSquaredError(const VideoEncoder& enc, const uint8_t (*a)[256], const uint8_t (*b)[256]);

}  // namespace quillon

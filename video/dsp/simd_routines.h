// Vector forms of the encoder's inner routines (SSE2 and AVX2 intrinsics),
// compiled in their own files with their own instruction-set flags and only
// called when the processor has the set. Each gives exactly the result of
// its plain form in distance_routines.h, transform.cpp and quantize.h.
#pragma once

#include <cstdint>

namespace quillon {

int sadHalfPelSse2(const uint8_t* ref, const uint8_t* cur, int lx, int hx, int hy, int h, int limit);
int sseHalfPelSse2(const uint8_t* ref, const uint8_t* cur, int lx, int hx, int hy, int h);
int sadBidirectionalSse2(const uint8_t* refF, int hxf, int hyf, const uint8_t* refB, int hxb, int hyb,
                         const uint8_t* cur, int lx, int h);
int sseBidirectionalSse2(const uint8_t* refF, int hxf, int hyf, const uint8_t* refB, int hxb, int hyb,
                         const uint8_t* cur, int lx, int h);
int variance16Sse2(const uint8_t* block, int lx);
int sadSubsampled4x4Sse2(const uint8_t* block, const uint8_t* ref, int stride, int limit);

int sadHalfPelAvx2(const uint8_t* ref, const uint8_t* cur, int lx, int hx, int hy, int h, int limit);
int sseHalfPelAvx2(const uint8_t* ref, const uint8_t* cur, int lx, int hx, int hy, int h);
void halfSampleNineAvx2(const uint8_t* ref, const uint8_t* cur, int lx, int h, int out[9]);
int sadBidirectionalAvx2(const uint8_t* refF, int hxf, int hyf, const uint8_t* refB, int hxb, int hyb,
                         const uint8_t* cur, int lx, int h);
int sseBidirectionalAvx2(const uint8_t* refF, int hxf, int hyf, const uint8_t* refB, int hxb, int hyb,
                         const uint8_t* cur, int lx, int h);

// Frame input (frame_conversion.h): the integer and floating colour conversions
// and the two chroma filters. The vector forms convert whole vectors of
// pixels and leave a row's last few to the plain routine; the filters
// clamp through the saturating packs, which is what the fixed clip table
// does, so clip must be buildClipTable's table.
void convertRgbToYuvIntegerSse2(int matrixCoefficients, const uint8_t* topRow, int32_t rowBytes, int width,
                                int height, uint8_t* y, uint8_t* u, uint8_t* v, int stride);
void convertRgbToYuvFloatingSse2(int matrixCoefficients, const uint8_t* topRow, int32_t rowBytes, int width,
                                 int height, uint8_t* y, uint8_t* u, uint8_t* v, int stride);
void filterHorizontalSse2(const uint8_t* clip, bool mpeg2, const uint8_t* src, uint8_t* dst, int w, int h);
void filterVerticalSse2(const uint8_t* clip, bool progressive, const uint8_t* src, uint8_t* dst, int w, int h);

void convertRgbToYuvIntegerAvx2(int matrixCoefficients, const uint8_t* topRow, int32_t rowBytes, int width,
                                int height, uint8_t* y, uint8_t* u, uint8_t* v, int stride);
void convertRgbToYuvFloatingAvx2(int matrixCoefficients, const uint8_t* topRow, int32_t rowBytes, int width,
                                 int height, uint8_t* y, uint8_t* u, uint8_t* v, int stride);
void filterHorizontalAvx2(const uint8_t* clip, bool mpeg2, const uint8_t* src, uint8_t* dst, int w, int h);
void filterVerticalAvx2(const uint8_t* clip, bool progressive, const uint8_t* src, uint8_t* dst, int w, int h);

// 8x8 block steps: out = cur - pred, and out = clamp(pred + block, 0, 255)
// for blocks whose values lie in -256..255 (the inverse DCT's clipped range).
void blockDifferencePlain(const uint8_t* cur, const uint8_t* pred, int stride, int16_t* out);
void blockReconstructPlain(const uint8_t* pred, const int16_t* block, int stride, uint8_t* out);
void blockDifferenceSse2(const uint8_t* cur, const uint8_t* pred, int stride, int16_t* out);
void blockReconstructSse2(const uint8_t* pred, const int16_t* block, int stride, uint8_t* out);

// Bit i set when block[i] != 0 (nonzeroMaskPlain's result).
uint64_t nonzeroMaskSse2(const int16_t* block);
// The exact non-intra quantiser (quantizeNonIntraBlock's results).
bool quantizeNonIntraBlockSse2(const int16_t* src, int16_t* dst, const uint16_t* matrix, const uint16_t* reciprocals,
                               int mquant, bool mpeg2);
bool quantizeNonIntraBlockFastSse2(const int16_t* src, int16_t* dst, const uint16_t* matrix,
                                   const uint16_t* reciprocals, int mquant, bool mpeg2);

// ---------------------------------------------------------------------------
// Transforms and per-block quantisation: the same results as the plain forms
// in dct.h and quantize.h. The inverse transform clamps to -256..255 itself:
// it takes the coefficient clip table argument only for the signature, as
// buildCoefficientClipTable always makes that table.
// ---------------------------------------------------------------------------
void forwardDctIntegerAvx2(int16_t* block);
void forwardDctFloatAvx2(int16_t* block);
void inverseDctChenWangAvx2(int16_t* block, const int16_t* coefClip);
bool quantizeIntraBlockAvx2(const int16_t* src, int16_t* dst, int dcPrecision, const uint8_t* intraMatrix,
                            int mquant, bool mpeg2);
void dequantizeIntraBlockAvx2(const int16_t* src, int16_t* dst, int dcPrecision, const uint8_t* intraMatrix,
                              int mquant, bool mpeg2);
void dequantizeNonIntraBlockAvx2(const int16_t* src, int16_t* dst, const uint8_t* matrix, int mquant, bool mpeg2);
// The exact non-intra quantiser (quantizeNonIntraBlock's results).
bool quantizeNonIntraBlockAvx2(const int16_t* src, int16_t* dst, const uint16_t* matrix, const uint16_t* reciprocals,
                               int mquant, bool mpeg2);
bool quantizeNonIntraBlockFastAvx2(const int16_t* src, int16_t* dst, const uint16_t* matrix,
                                   const uint16_t* reciprocals, int mquant, bool mpeg2);
bool quantizeIntraBlockSse2(const int16_t* src, int16_t* dst, int dcPrecision, const uint8_t* intraMatrix,
                            int mquant, bool mpeg2);
void dequantizeIntraBlockSse2(const int16_t* src, int16_t* dst, int dcPrecision, const uint8_t* intraMatrix,
                              int mquant, bool mpeg2);
void dequantizeNonIntraBlockSse2(const int16_t* src, int16_t* dst, const uint8_t* matrix, int mquant, bool mpeg2);

}  // namespace quillon

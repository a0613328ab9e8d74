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
int sadBidirectionalAvx2(const uint8_t* refF, int hxf, int hyf, const uint8_t* refB, int hxb, int hyb,
                         const uint8_t* cur, int lx, int h);
int sseBidirectionalAvx2(const uint8_t* refF, int hxf, int hyf, const uint8_t* refB, int hxb, int hyb,
                         const uint8_t* cur, int lx, int h);

// 8x8 block steps: out = cur - pred, and out = clamp(pred + block, 0, 255)
// for blocks whose values lie in -256..255 (the inverse DCT's clipped range).
void blockDifferencePlain(const uint8_t* cur, const uint8_t* pred, int stride, int16_t* out);
void blockReconstructPlain(const uint8_t* pred, const int16_t* block, int stride, uint8_t* out);
void blockDifferenceSse2(const uint8_t* cur, const uint8_t* pred, int stride, int16_t* out);
void blockReconstructSse2(const uint8_t* pred, const int16_t* block, int stride, uint8_t* out);

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
bool quantizeNonIntraBlockFastAvx2(const int16_t* src, int16_t* dst, const uint16_t* matrix,
                                   const uint16_t* reciprocals, int mquant, bool mpeg2);
bool quantizeIntraBlockSse2(const int16_t* src, int16_t* dst, int dcPrecision, const uint8_t* intraMatrix,
                            int mquant, bool mpeg2);
void dequantizeIntraBlockSse2(const int16_t* src, int16_t* dst, int dcPrecision, const uint8_t* intraMatrix,
                              int mquant, bool mpeg2);
void dequantizeNonIntraBlockSse2(const int16_t* src, int16_t* dst, const uint8_t* matrix, int mquant, bool mpeg2);

}  // namespace quillon

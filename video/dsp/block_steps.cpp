// The plain 8x8 steps around the transforms (simd_routines.h has their
// vector forms).
#include <cstddef>
#include <cstdint>

#include "video/dsp/simd_routines.h"

namespace quillon {

void blockDifferencePlain(const uint8_t* cur, const uint8_t* pred, int stride, int16_t* out) {
    for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c) {
            const size_t at = static_cast<size_t>(r) * stride + c;
            out[8 * r + c] = static_cast<int16_t>(cur[at] - pred[at]);
        }
}

void blockReconstructPlain(const uint8_t* pred, const int16_t* block, int stride, uint8_t* out) {
    for (int r = 0; r < 8; ++r)
        for (int c = 0; c < 8; ++c) {
            const size_t at = static_cast<size_t>(r) * stride + c;
            const int v = pred[at] + block[8 * r + c];
            out[at] = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
        }
}

}  // namespace quillon

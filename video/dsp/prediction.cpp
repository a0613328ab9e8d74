#include "video/dsp/prediction.h"

#include <cstring>

#include "platform/cpu_features.h"

namespace quillon {

namespace {

inline int half(int v) { return (v + (v > 0 ? 1 : 0)) >> 1; }
inline int threeHalves(int v) { return (3 * v + (v > 0 ? 1 : 0)) >> 1; }

// The half-sample cases are separate loops so the inner loops do not branch.
template <bool Average>
void copyArea(const uint8_t* s, uint8_t* d, int lx, int dlx, int w, int h, int hx, int hy) {
    auto put = [](uint8_t& dst, int v) {
        if constexpr (Average)
            dst = static_cast<uint8_t>((dst + v + 1) >> 1);
        else
            dst = static_cast<uint8_t>(v);
    };
    if (!hx && !hy) {
        for (int j = 0; j < h; ++j, s += lx, d += dlx)
            for (int i = 0; i < w; ++i) put(d[i], s[i]);
    } else if (hx && !hy) {
        for (int j = 0; j < h; ++j, s += lx, d += dlx)
            for (int i = 0; i < w; ++i) put(d[i], (s[i] + s[i + 1] + 1) >> 1);
    } else if (!hx) {
        for (int j = 0; j < h; ++j, s += lx, d += dlx)
            for (int i = 0; i < w; ++i) put(d[i], (s[i] + s[i + lx] + 1) >> 1);
    } else {
        for (int j = 0; j < h; ++j, s += lx, d += dlx)
            for (int i = 0; i < w; ++i) put(d[i], (s[i] + s[i + 1] + s[i + lx] + s[i + lx + 1] + 2) >> 2);
    }
}

}  // namespace

void predictArea(AreaPrediction a, int component, int chromaFormat) {
    if (component > 0) {
        if (chromaFormat == 1) {
            a.height >>= 1;
            a.y >>= 1;
            a.dy /= 2;
        }
        if (chromaFormat != 3) {
            a.width >>= 1;
            a.x >>= 1;
            a.lx >>= 1;
            a.dx /= 2;
        }
    }
    // Fields are addressed with twice the frame stride; the bottom field
    // starts one frame line (half that stride) down.
    const uint8_t* s = a.reference + (a.referenceField ? a.lx / 2 : 0) + a.lx * (a.y + (a.dy >> 1)) + a.x + (a.dx >> 1);
    uint8_t* d;
    int dlx = a.lx;
    if (a.destinationStride == 0) {
        d = a.destination + (a.destinationField ? a.lx / 2 : 0) + a.lx * a.y + a.x;
    } else {
        // A buffer of its own whose first sample stands for (originX, originY).
        dlx = a.destinationStride;
        int ox = a.originX, oy = a.originY;
        if (component > 0) {
            if (chromaFormat == 1) oy >>= 1;
            if (chromaFormat != 3) {
                ox >>= 1;
                dlx >>= 1;
            }
        }
        d = a.destination + (a.destinationField ? dlx / 2 : 0) + dlx * (a.y - oy) + (a.x - ox);
    }
    const int hx = a.dx & 1, hy = a.dy & 1;
    if (a.vectorForm && (a.width == 16 || a.width == 8))
        copyAreaSse2(s, d, a.lx, dlx, a.width, a.height, hx, hy, a.average);
    else if (a.average)
        copyArea<true>(s, d, a.lx, dlx, a.width, a.height, hx, hy);
    else
        copyArea<false>(s, d, a.lx, dlx, a.width, a.height, hx, hy);
}

DualPrimeVectors dualPrimeVectors(int mx, int my, int ex, int ey, bool framePicture, bool topFieldFirst,
                                  int pictureStructure) {
    DualPrimeVectors out;
    if (framePicture) {
        if (topFieldFirst) {
            out.v[0][0] = half(mx) + ex;
            out.v[0][1] = half(my) + ey - 1;
            out.v[1][0] = threeHalves(mx) + ex;
            out.v[1][1] = threeHalves(my) + ey + 1;
        } else {
            out.v[0][0] = threeHalves(mx) + ex;
            out.v[0][1] = threeHalves(my) + ey - 1;
            out.v[1][0] = half(mx) + ex;
            out.v[1][1] = half(my) + ey + 1;
        }
    } else {
        out.v[0][0] = half(mx) + ex;
        out.v[0][1] = half(my) + ey + (pictureStructure == kTopField ? -1 : 1);
    }
    return out;
}

}  // namespace quillon

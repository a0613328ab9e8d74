// The conversion steps of frame input: colour matrices, the integer and
// floating conversions, padding, the chroma filters and the routine choice.
#include "video/dsp/frame_conversion.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "platform/cpu_features.h"
#include "video/dsp/simd_routines.h"

namespace quillon {

namespace {

constexpr ColourMatrix kMatrix1 = {{0.2125, 0.7154, 0.0721}, {-0.115, -0.386, 0.5}, {0.5, -0.454, -0.046},
                                   {6963, 23442, 2363},      {-3768, -12648, 16384}, {16384, -14877, -1507}};
constexpr ColourMatrix kMatrix3 = {{0.299, 0.587, 0.114}, {-0.169, -0.331, 0.5}, {0.5, -0.419, -0.081},
                                   {9798, 19235, 3736},   {-5538, -10846, 16384}, {16384, -13730, -2654}};
constexpr ColourMatrix kMatrix4 = {{0.3, 0.59, 0.11}, {-0.169, -0.331, 0.5}, {0.5, -0.421, -0.079},
                                   {9830, 19333, 3604}, {-5538, -10846, 16384}, {16384, -13795, -2589}};
constexpr ColourMatrix kMatrix7 = {{0.212, 0.701, 0.087}, {-0.116, -0.384, 0.5}, {0.5, -0.445, -0.055},
                                   {6947, 22970, 2851},   {-3801, -12583, 16384}, {16384, -14582, -1802}};

inline int clampIndex(int i, int n) { return i < 0 ? 0 : i >= n ? n - 1 : i; }

}  // namespace

void buildClipTable(std::array<uint8_t, 1024>& table) {
    for (int i = -384; i < 640; ++i)
        table[static_cast<size_t>(i + 384)] = static_cast<uint8_t>(i < 0 ? 0 : i > 255 ? 255 : i);
}

const ColourMatrix& colourMatrix(int matrixCoefficients) {
    switch (matrixCoefficients) {
        case 1: return kMatrix1;
        case 4: return kMatrix4;
        case 7: return kMatrix7;
        default: return kMatrix3;
    }
}

void convertRgbToYuvIntegerPlain(int matrixCoefficients, const uint8_t* topRow, int32_t rowBytes, int width,
                                 int height, uint8_t* y, uint8_t* u, uint8_t* v, int stride) {
    const ColourMatrix& m = colourMatrix(matrixCoefficients);
    for (int r = 0; r < height; ++r) {
        const uint8_t* px = topRow - static_cast<ptrdiff_t>(r) * rowBytes;
        uint8_t* yr = y + static_cast<size_t>(r) * stride;
        uint8_t* ur = u ? u + static_cast<size_t>(r) * stride : nullptr;
        uint8_t* vr = v ? v + static_cast<size_t>(r) * stride : nullptr;
        for (int x = 0; x < width; ++x, px += 4) {
            const int B = px[0], G = px[1], R = px[2];
            const int32_t sy = m.iy[0] * R + m.iy[1] * G + m.iy[2] * B;
            yr[x] = static_cast<uint8_t>((((sy * 219) >> 8) + 0x84000) >> 15);
            if (ur) {
                const int32_t su = m.icb[0] * R + m.icb[1] * G + m.icb[2] * B;
                const int32_t sv = m.icr[0] * R + m.icr[1] * G + m.icr[2] * B;
                ur[x] = static_cast<uint8_t>((((su * 224) >> 8) + 0x404000) >> 15);
                vr[x] = static_cast<uint8_t>((((sv * 224) >> 8) + 0x404000) >> 15);
            }
        }
    }
}

void convertRgbToYuvFloatingPlain(int matrixCoefficients, const uint8_t* topRow, int32_t rowBytes, int width,
                                  int height, uint8_t* y, uint8_t* u, uint8_t* v, int stride) {
    const ColourMatrix& m = colourMatrix(matrixCoefficients);
    for (int r = 0; r < height; ++r) {
        const uint8_t* px = topRow - static_cast<ptrdiff_t>(r) * rowBytes;
        uint8_t* yr = y + static_cast<size_t>(r) * stride;
        uint8_t* ur = u ? u + static_cast<size_t>(r) * stride : nullptr;
        uint8_t* vr = v ? v + static_cast<size_t>(r) * stride : nullptr;
        for (int x = 0; x < width; ++x, px += 4) {
            const int B = px[0], G = px[1], R = px[2];
            // Summed in pixel byte order (blue first): grey then sums to
            // exactly 128 and lands on 126, as the integer routine does.
            const double sy = m.y[2] * B + m.y[1] * G + m.y[0] * R;
            yr[x] = static_cast<uint8_t>(static_cast<int>(sy * 0.85546875 + 16.5));
            if (ur) {
                const double su = m.cb[2] * B + m.cb[1] * G + m.cb[0] * R;
                const double sv = m.cr[2] * B + m.cr[1] * G + m.cr[0] * R;
                ur[x] = static_cast<uint8_t>(static_cast<int>(su * 0.875 + 128.5));
                vr[x] = static_cast<uint8_t>(static_cast<int>(sv * 0.875 + 128.5));
            }
        }
    }
}

void convertRgbToYuv(ColourRoutine routine, int matrixCoefficients, const uint8_t* topRow,
                     int32_t rowBytes, int width, int height, uint8_t* y, uint8_t* u, uint8_t* v,
                     int stride) {
    (routine == ColourRoutine::Floating ? convertRgbToYuvFloatingPlain : convertRgbToYuvIntegerPlain)(
        matrixCoefficients, topRow, rowBytes, width, height, y, u, v, stride);
}

void padPlane(uint8_t* plane, int stride, int width, int height, int paddedWidth, int paddedHeight) {
    for (int r = 0; r < height; ++r) {
        uint8_t* row = plane + static_cast<size_t>(r) * stride;
        std::memset(row + width, row[width - 1], static_cast<size_t>(paddedWidth - width));
    }
    const uint8_t* last = plane + static_cast<size_t>(height - 1) * stride;
    for (int r = height; r < paddedHeight; ++r)
        std::memcpy(plane + static_cast<size_t>(r) * stride, last, static_cast<size_t>(paddedWidth));
}

void filterHorizontal(const uint8_t* clip, bool mpeg2, const uint8_t* src, uint8_t* dst, int w, int h) {
    const int outWidth = w / 2;
    for (int r = 0; r < h; ++r) {
        const uint8_t* in = src + static_cast<size_t>(r) * w;
        uint8_t* out = dst + static_cast<size_t>(r) * outWidth;
        for (int k = 0; k < outWidth; ++k) {
            const int c = 2 * k;
            int sum = 0;
            if (mpeg2) {
                if (c >= 5 && c + 5 < w) {
                    const uint8_t* p = in + c - 5;
                    for (int t = 0; t < 11; ++t) sum += kMpeg2HorizontalTaps[t] * p[t];
                } else {
                    for (int t = 0; t < 11; ++t) sum += kMpeg2HorizontalTaps[t] * in[clampIndex(c - 5 + t, w)];
                }
            } else {
                if (c >= 5 && c + 6 < w) {
                    const uint8_t* p = in + c - 5;
                    for (int t = 0; t < 12; ++t) sum += kMpeg1Taps[t] * p[t];
                } else {
                    for (int t = 0; t < 12; ++t) sum += kMpeg1Taps[t] * in[clampIndex(c - 5 + t, w)];
                }
            }
            out[k] = clip[(sum + 256) >> 9];
        }
    }
}

const int* verticalFilterRows(bool progressive, int k, int h, int rows[12]) {
    if (progressive) {
        for (int t = 0; t < 12; ++t) rows[t] = clampIndex(2 * k - 5 + t, h);
        return kMpeg1Taps;
    }
    const int m = k / 2;
    const int parity = k & 1;
    const int fieldRows = h / 2;
    for (int t = 0; t < 12; ++t) rows[t] = 2 * clampIndex(2 * m - 5 + t, fieldRows) + parity;
    return parity ? kBottomFieldTaps : kTopFieldTaps;
}

void filterVertical(const uint8_t* clip, bool progressive, const uint8_t* src, uint8_t* dst, int w, int h) {
    const int outHeight = h / 2;
    for (int k = 0; k < outHeight; ++k) {
        int rows[12];
        const int* taps = verticalFilterRows(progressive, k, h, rows);
        uint8_t* out = dst + static_cast<size_t>(k) * w;
        for (int x = 0; x < w; ++x) {
            int sum = 0;
            for (int t = 0; t < 12; ++t) sum += taps[t] * src[static_cast<size_t>(rows[t]) * w + x];
            out[x] = clip[(sum + 256) >> 9];
        }
    }
}

FrameInputRoutines selectFrameInputRoutines(bool useFloatingPoint, int MMXMode, uint32_t features) {
    FrameInputRoutines r;
    r.convert = useFloatingPoint ? convertRgbToYuvFloatingPlain : convertRgbToYuvIntegerPlain;
    r.filterHorizontal = filterHorizontal;
    r.filterVertical = filterVertical;
    if (MMXMode < 1 || MMXMode > 4 || !(features & kCpuSse2)) return r;
    r.convert = useFloatingPoint ? convertRgbToYuvFloatingSse2 : convertRgbToYuvIntegerSse2;
    r.filterHorizontal = filterHorizontalSse2;
    r.filterVertical = filterVerticalSse2;
    if (MMXMode < 3 || !(features & kCpuAvx2)) return r;
    r.convert = useFloatingPoint ? convertRgbToYuvFloatingAvx2 : convertRgbToYuvIntegerAvx2;
    r.filterHorizontal = filterHorizontalAvx2;
    r.filterVertical = filterVerticalAvx2;
    return r;
}

}  // namespace quillon

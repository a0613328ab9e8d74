#include "video/frame_input.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "engine/format.h"
#include "platform/cpu_features.h"
#include "video/row_threads.h"
#include "video/simd_routines.h"

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

bool allocate(Engine& engine, std::vector<uint8_t>& v, size_t size, const char* message) {
    try {
        v.assign(size, 0);
    } catch (const std::bad_alloc&) {
        engine.reportError(message);
        return false;
    }
    return true;
}

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

bool setUpFrameInput(VideoEncoder& enc) {
    const VideoGeometry& g = enc.geo;
    FrameWindow& in = enc.input;
    in.n = std::max(1, enc.gopSize);
    in.threads = encoderThreadCount();
    in.routines = selectFrameInputRoutines(enc.s.useFloatingPoint != 0, enc.engine.ev.MMXMode,
                                           enc.engine.ev.cpuFeatures);
    try {
        in.slots.assign(static_cast<size_t>(in.n + 1), Picture{});
        for (Picture& p : in.slots) {
            p.plane[0].assign(g.lumaSize(), 0);
            p.plane[1].assign(g.chromaSize(), 128);
            p.plane[2].assign(g.chromaSize(), 128);
        }
    } catch (const std::bad_alloc&) {
        in.slots.clear();
        enc.engine.reportError("Could not allocate memory for picture buffers.");
        return false;
    }
    const size_t full = g.lumaSize();
    if (g.chromaFormat != 3) {
        if (!allocate(enc.engine, in.u444, full, "Could not allocate memory for u444.")) return false;
        if (!allocate(enc.engine, in.v444, full, "Could not allocate memory for v444.")) return false;
    }
    if (g.chromaFormat == 1) {
        const size_t half = static_cast<size_t>(g.paddedWidth / 2) * g.paddedHeight;
        if (!allocate(enc.engine, in.u422, half, "Could not allocate memory for u422.")) return false;
        if (!allocate(enc.engine, in.v422, half, "Could not allocate memory for v422.")) return false;
    }
    in.held.assign(in.slots.size(), kNoFrame);
    in.windowFirst = enc.firstFrameNumber - in.n - 1;
    return true;
}

void tearDownFrameInput(VideoEncoder& enc) {
    FrameWindow& in = enc.input;
    in.slots.clear();
    in.slots.shrink_to_fit();
    in.held.clear();
    for (auto* v : {&in.u444, &in.v444, &in.u422, &in.v422}) {
        v->clear();
        v->shrink_to_fit();
    }
}

namespace {

bool readFrame(VideoEncoder& enc, Picture& slot, int frame) {
    FrameSource* source = enc.engine.request.frameSource;
    int32_t rowBytes = 0;
    const uint8_t* pixels = nullptr;
    const int status = source ? source->getFrame(frame, &rowBytes, &pixels) : -1;
    if (status != 0 || !pixels) {
        enc.engine.logLine(formatText("  Could not get frame # %d, error code %d.", frame, status));
        return false;
    }
    const VideoGeometry& g = enc.geo;
    FrameWindow& in = enc.input;
    const bool bw = enc.s.blackAndWhite != 0;
    const bool full = g.chromaFormat == 3;
    uint8_t* u = bw ? nullptr : full ? slot.cb() : in.u444.data();
    uint8_t* v = bw ? nullptr : full ? slot.cr() : in.v444.data();
    const uint8_t* top = pixels + static_cast<ptrdiff_t>(rowBytes) * (g.height - 1);
    // Every line converts on its own: bands of 32 lines on all threads.
    constexpr int kBand = 32;
    const int bands = (g.height + kBand - 1) / kBand;
    runRows(bands, in.threads, [&](int b, bool) {
        const int r0 = b * kBand, n = std::min(kBand, g.height - r0);
        const size_t at = static_cast<size_t>(r0) * g.paddedWidth;
        in.routines.convert(enc.s.matrixCoefficients, top - static_cast<ptrdiff_t>(r0) * rowBytes, rowBytes,
                        g.width, n, slot.y() + at, u ? u + at : nullptr, v ? v + at : nullptr, g.paddedWidth);
        return true;
    });
    padPlane(slot.y(), g.paddedWidth, g.width, g.height, g.paddedWidth, g.paddedHeight);
    if (bw) return true;
    const uint8_t* clip = enc.clip();
    // The two chroma planes filter independently of each other.
    runRows(2, in.threads, [&](int plane, bool) {
        uint8_t* full444 = plane ? v : u;
        padPlane(full444, g.paddedWidth, g.width, g.height, g.paddedWidth, g.paddedHeight);
        uint8_t* out = plane ? slot.cr() : slot.cb();
        if (g.chromaFormat == 2) {
            in.routines.filterHorizontal(clip, enc.mpeg2, full444, out, g.paddedWidth, g.paddedHeight);
        } else if (g.chromaFormat == 1) {
            uint8_t* half = plane ? in.v422.data() : in.u422.data();
            in.routines.filterHorizontal(clip, enc.mpeg2, full444, half, g.paddedWidth, g.paddedHeight);
            in.routines.filterVertical(clip, enc.s.progressiveFrame != 0, half, out, g.paddedWidth / 2, g.paddedHeight);
        }
        return true;
    });
    return true;
}

}  // namespace

bool fetchPicture(VideoEncoder& enc, Picture& target, int displayIndex) {
    FrameWindow& in = enc.input;
    const int n = in.n;
    const int a = displayIndex + enc.firstFrameNumber;
    size_t index;
    if (a > in.windowFirst + n) {
        const int shift = std::min(a - n - in.windowFirst, n + 1);
        std::rotate(in.slots.begin(), in.slots.begin() + shift, in.slots.end());
        std::rotate(in.held.begin(), in.held.begin() + shift, in.held.end());
        in.windowFirst = a - n;
        for (int j = 0; j < shift; ++j) {
            const size_t slot = static_cast<size_t>(n + 1 - shift + j);
            const int frame = in.windowFirst + static_cast<int>(slot);
            in.held[slot] = kNoFrame;
            if (!readFrame(enc, in.slots[slot], frame)) return false;
            in.held[slot] = frame;
        }
        index = static_cast<size_t>(n);
    } else if (a >= in.windowFirst) {
        index = static_cast<size_t>(a - in.windowFirst);
    } else {
        // Behind the window (the coding order never asks for it): borrow
        // the oldest slot.
        index = 0;
    }
    if (in.held[index] != a) {
        in.held[index] = kNoFrame;
        if (!readFrame(enc, in.slots[index], a)) return false;
        in.held[index] = a;
    }
    const Picture& slot = in.slots[index];
    target.plane[0] = slot.plane[0];
    if (enc.s.blackAndWhite) {
        std::fill(target.plane[1].begin(), target.plane[1].end(), 128);
        std::fill(target.plane[2].begin(), target.plane[2].end(), 128);
    } else {
        target.plane[1] = slot.plane[1];
        target.plane[2] = slot.plane[2];
    }
    return true;
}

}  // namespace quillon

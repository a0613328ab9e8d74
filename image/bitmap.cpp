#include "image/bitmap.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quillon {

void Bitmap::allocate(int w, int h) {
    width = std::max(w, 0);
    height = std::max(h, 0);
    pixels.assign(static_cast<size_t>(width) * static_cast<size_t>(height) * 4, 0);
}

void flipVertical(Bitmap& picture) {
    const size_t rowBytes = static_cast<size_t>(picture.rowBytes());
    std::vector<uint8_t> tmp(rowBytes);
    for (int top = 0, bottom = picture.height - 1; top < bottom; ++top, --bottom) {
        std::memcpy(tmp.data(), picture.row(top), rowBytes);
        std::memcpy(picture.row(top), picture.row(bottom), rowBytes);
        std::memcpy(picture.row(bottom), tmp.data(), rowBytes);
    }
}

bool cropBitmap(Bitmap& picture, int x, int y, int w, int h) {
    if (x < 0 || y < 0 || w <= 0 || h <= 0 || x + w > picture.width || y + h > picture.height) {
        return false;
    }
    Bitmap out;
    out.allocate(w, h);
    for (int r = 0; r < h; ++r) {
        std::memcpy(out.topRow(r), picture.topRow(y + r) + static_cast<size_t>(x) * 4,
                    static_cast<size_t>(w) * 4);
    }
    picture = std::move(out);
    return true;
}

bool changeDepth(Bitmap& picture) {
    if (picture.empty()) return false;
    uint8_t* p = picture.pixels.data();
    const size_t n = static_cast<size_t>(picture.width) * static_cast<size_t>(picture.height);
    for (size_t i = 0; i < n; ++i) p[i * 4 + 3] = 0;
    return true;
}

namespace {

// Source position and weight for each target position, centre-aligned.
struct Tap {
    int index0;
    int index1;
    int weight1;  // of 256
};

std::vector<Tap> makeTaps(int sourceSize, int targetSize) {
    std::vector<Tap> taps(static_cast<size_t>(targetSize));
    const double ratio = static_cast<double>(sourceSize) / targetSize;
    for (int i = 0; i < targetSize; ++i) {
        double pos = (i + 0.5) * ratio - 0.5;
        if (pos < 0) pos = 0;
        int i0 = static_cast<int>(pos);
        if (i0 > sourceSize - 1) i0 = sourceSize - 1;
        int i1 = std::min(i0 + 1, sourceSize - 1);
        int w = static_cast<int>(std::lround((pos - i0) * 256));
        if (i1 == i0) w = 0;
        taps[static_cast<size_t>(i)] = {i0, i1, std::clamp(w, 0, 256)};
    }
    return taps;
}

}  // namespace

namespace {

// One source row interpolated across to the target width, 256 times the
// sample value (at most 65280, kept as 16 bits).
void interpolateRow(const uint8_t* src, int sourceWidth, const std::vector<Tap>& cols, uint16_t* out) {
    const size_t n = cols.size();
    size_t x = 0;
#if defined(__SSE2__)
    // A pixel and its right neighbour in one load, both weighted at once;
    // a * w0 + b * w1 stays below 65536 because w0 + w1 is 256. Pixels whose
    // second tap is not the next one (the right edge) go the plain way.
    const __m128i zero = _mm_setzero_si128();
    for (; x < n; ++x) {
        const Tap& c = cols[x];
        if (c.index1 != c.index0 + 1 || c.index0 + 1 >= sourceWidth) break;
        const __m128i pair = _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(src + c.index0 * 4)), zero);
        const __m128i weights = _mm_set_epi16(static_cast<int16_t>(c.weight1), static_cast<int16_t>(c.weight1),
                                              static_cast<int16_t>(c.weight1), static_cast<int16_t>(c.weight1),
                                              static_cast<int16_t>(256 - c.weight1), static_cast<int16_t>(256 - c.weight1),
                                              static_cast<int16_t>(256 - c.weight1), static_cast<int16_t>(256 - c.weight1));
        const __m128i p = _mm_mullo_epi16(pair, weights);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + x * 4), _mm_add_epi16(p, _mm_srli_si128(p, 8)));
    }
#endif
    for (; x < n; ++x) {
        const Tap& c = cols[x];
        const uint8_t* a = src + c.index0 * 4;
        const uint8_t* b = src + c.index1 * 4;
        const int w1 = c.weight1, w0 = 256 - c.weight1;
        for (int k = 0; k < 4; ++k) out[x * 4 + k] = static_cast<uint16_t>(a[k] * w0 + b[k] * w1);
    }
}

}  // namespace

// Separable: each source row is interpolated across once and kept while
// the output rows that need it are made (an enlargement reuses a row for
// two or three output rows); the sums are those of the direct formula.
bool scaleBitmap(const Bitmap& source, Bitmap& target, int width, int height, const AbortCheck& abort) {
    if (source.empty() || width <= 0 || height <= 0) return false;
    if (target.width != width || target.height != height) target.allocate(width, height);
    const std::vector<Tap> cols = makeTaps(source.width, width);
    const std::vector<Tap> rows = makeTaps(source.height, height);
    const size_t lineValues = static_cast<size_t>(width) * 4;
    std::vector<uint16_t> lines[2] = {std::vector<uint16_t>(lineValues), std::vector<uint16_t>(lineValues)};
    int held[2] = {-1, -1};  // source row in each line
    // The line for a source row, made in the line not holding keep (rows
    // come in rising order, so the lower row is the one to give up).
    auto line = [&](int sourceRow, int keep) -> const uint16_t* {
        for (int i = 0; i < 2; ++i)
            if (held[i] == sourceRow) return lines[i].data();
        int i = held[0] < held[1] ? 0 : 1;
        if (held[i] == keep) i = 1 - i;
        interpolateRow(source.row(sourceRow), source.width, cols, lines[i].data());
        held[i] = sourceRow;
        return lines[i].data();
    };
    for (int y = 0; y < height; ++y) {
        if (abort && (y & 31) == 0 && abort()) return true;  // rest left unchanged
        const Tap& ry = rows[static_cast<size_t>(y)];
        const uint16_t* top = line(ry.index0, -2);
        // A row that lands on a source row needs no second one.
        const uint16_t* bottom = ry.weight1 ? line(ry.index1, ry.index0) : top;
        const uint32_t w1 = static_cast<uint32_t>(ry.weight1), w0 = 256 - w1;
        uint8_t* out = target.row(y);
        if (w1 == 0) {
            // (256 t + 32768) >> 16 is (t + 128) >> 8, which 16 bits hold.
            for (size_t i = 0; i < lineValues; ++i)
                out[i] = static_cast<uint8_t>(static_cast<uint16_t>(top[i] + 128) >> 8);
            continue;
        }
        for (size_t i = 0; i < lineValues; ++i)
            out[i] = static_cast<uint8_t>((top[i] * w0 + bottom[i] * w1 + 32768) >> 16);
    }
    return true;
}

bool scaleProportional(const Bitmap& source, Bitmap& canvas, int width, int height, bool svcdShape,
                       const AbortCheck& abort) {
    if (source.empty() || width <= 0 || height <= 0) return false;
    const int planWidth = svcdShape ? width * 3 / 2 : width;
    const double factor = std::min(static_cast<double>(planWidth) / source.width,
                                   static_cast<double>(height) / source.height);
    // Rounded up, with a little slack so an exact product is not pushed up
    // by floating-point noise.
    int scaledW = static_cast<int>(std::ceil(source.width * factor - 1e-7));
    int scaledH = static_cast<int>(std::ceil(source.height * factor - 1e-7));
    scaledW = std::clamp(scaledW, 1, planWidth);
    scaledH = std::clamp(scaledH, 1, height);
    if (svcdShape) scaledW = std::max(1, scaledW * 2 / 3);
    scaledW = std::min(scaledW, width);
    Bitmap scaled;
    if (!scaleBitmap(source, scaled, scaledW, scaledH, abort)) return false;
    canvas.allocate(width, height);
    const int offsetX = (width - scaledW) / 2;
    const int offsetY = (height - scaledH) / 2;
    for (int r = 0; r < scaledH; ++r) {
        std::memcpy(canvas.topRow(offsetY + r) + static_cast<size_t>(offsetX) * 4, scaled.topRow(r),
                    static_cast<size_t>(scaledW) * 4);
    }
    return true;
}

void bitmapFromBgr24(Bitmap& out, const uint8_t* data, int width, int height, int stride) {
    out.allocate(width, height);
    for (int r = 0; r < height; ++r) {
        const uint8_t* s = data + static_cast<ptrdiff_t>(r) * stride;
        uint8_t* d = out.topRow(r);
        for (int x = 0; x < width; ++x) {
            d[x * 4 + 0] = s[x * 3 + 0];
            d[x * 4 + 1] = s[x * 3 + 1];
            d[x * 4 + 2] = s[x * 3 + 2];
            d[x * 4 + 3] = 0;
        }
    }
}

}  // namespace quillon

#include "video/encoder/transform.h"

#include "video/dsp/simd_routines.h"

#include <cmath>
#include <cstring>

namespace quillon {

namespace {

// Where block b of the macroblock at (x, y) lies in a plane of the picture.
struct BlockPlace {
    int plane;
    size_t offset;
    int stride;
};

BlockPlace placeBlock(const VideoEncoder& enc, int b, int x, int y, int dctType) {
    const VideoGeometry& g = enc.geo;
    const PictureState& pic = enc.pic;
    const bool frame = !pic.isField();
    const bool bottom = pic.pictureStructure == kBottomField;
    if (b < 4) {
        const int col = x + 8 * (b & 1);
        if (frame && dctType) {
            return {0, static_cast<size_t>(y + ((b >> 1) & 1)) * g.paddedWidth + col, 2 * g.paddedWidth};
        }
        const size_t base = bottom ? static_cast<size_t>(g.paddedWidth) : 0;
        return {0, base + static_cast<size_t>(y + 8 * ((b >> 1) & 1)) * g.lineStep + col, g.lineStep};
    }
    const int plane = 1 + (b & 1);
    int cx = g.chromaFormat == 3 ? x : x / 2;
    const int cy = g.chromaFormat == 1 ? y / 2 : y;
    if (b & 8) cx += 8;
    if (frame && dctType && g.chromaFormat != 1) {
        return {plane, static_cast<size_t>(cy + ((b >> 1) & 1)) * g.chromaWidth + cx, 2 * g.chromaWidth};
    }
    const size_t base = bottom ? static_cast<size_t>(g.chromaWidth) : 0;
    return {plane, base + static_cast<size_t>(cy + 8 * ((b >> 1) & 1)) * g.chromaLineStep + cx,
            g.chromaLineStep};
}

// Blocks without levels are common in predicted pictures; every inverse
// transform maps them to zero, so they skip it.
bool allZero(const Block& block) {
    uint64_t words[16];
    std::memcpy(words, block.data(), sizeof words);
    uint64_t any = 0;
    for (uint64_t w : words) any |= w;
    return any == 0;
}

template <typename F>
void forEachMacroblock(const VideoEncoder& enc, F&& f) {
    const VideoGeometry& g = enc.geo;
    int k = 0;
    for (int j = 0; j < g.mbHeightPicture; ++j)
        for (int i = 0; i < g.mbWidth; ++i, ++k) f(k, 16 * i, 16 * j);
}

}  // namespace

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

void predictIntraMacroblocks(VideoEncoder& enc, Picture& prediction) {
    const VideoGeometry& g = enc.geo;
    forEachMacroblock(enc, [&](int k, int x, int y) {
        if (!(enc.mbInfo[static_cast<size_t>(k)].type & kMbIntra)) return;
        for (int b = 0; b < g.blockCount; ++b) {
            // Frame-DCT addressing covers exactly the macroblock's area.
            const BlockPlace p = placeBlock(enc, b, x, y, 0);
            uint8_t* dst = prediction.plane[p.plane].data() + p.offset;
            for (int r = 0; r < 8; ++r)
                for (int c = 0; c < 8; ++c) dst[static_cast<size_t>(r) * p.stride + c] = 128;
        }
    });
}

void decideDctType(VideoEncoder& enc, const Picture& prediction, const Picture& current) {
    const VideoGeometry& g = enc.geo;
    const bool fixed = enc.pic.framePredFrameDct || enc.pic.isField();
    forEachMacroblock(enc, [&](int k, int x, int y) {
        MacroblockInfo& mb = enc.mbInfo[static_cast<size_t>(k)];
        if (fixed) {
            mb.dctType = 0;
            return;
        }
        long long sa = 0, sb = 0, saa = 0, sbb = 0, sab = 0;
        for (int r = 0; r < 8; ++r) {
            const size_t top = static_cast<size_t>(y + 2 * r) * g.paddedWidth + x;
            const size_t bot = top + g.paddedWidth;
            for (int c = 0; c < 16; ++c) {
                const int a = current.y()[top + c] - prediction.y()[top + c];
                const int b = current.y()[bot + c] - prediction.y()[bot + c];
                sa += a;
                sb += b;
                saa += a * a;
                sbb += b * b;
                sab += a * b;
            }
        }
        const double d = (static_cast<double>(saa) - static_cast<double>(sa) * sa / 128.0) *
                         (static_cast<double>(sbb) - static_cast<double>(sb) * sb / 128.0);
        if (d > 0) {
            const double r = (static_cast<double>(sab) - static_cast<double>(sa) * sb / 128.0) / std::sqrt(d);
            mb.dctType = r > 0.5 ? 0 : 1;
        } else {
            mb.dctType = 1;
        }
    });
}

void formPredictionError(VideoEncoder& enc, const Picture& prediction, const Picture& current) {
    const VideoGeometry& g = enc.geo;
    auto difference = enc.transforms.blockDifference ? enc.transforms.blockDifference : blockDifferencePlain;
    forEachMacroblock(enc, [&](int k, int x, int y) {
        const MacroblockInfo& mb = enc.mbInfo[static_cast<size_t>(k)];
        Block* blocks = enc.macroblockBlocks(k);
        for (int b = 0; b < g.blockCount; ++b) {
            const BlockPlace p = placeBlock(enc, b, x, y, mb.dctType);
            const uint8_t* cur = current.plane[p.plane].data() + p.offset;
            const uint8_t* pr = prediction.plane[p.plane].data() + p.offset;
            int16_t* out = blocks[b].data();
            difference(cur, pr, p.stride, out);
            enc.transforms.forwardDct(out);
        }
    });
}

void reconstructPicture(VideoEncoder& enc, const Picture& prediction, Picture& reconstructed) {
    const VideoGeometry& g = enc.geo;
    const int16_t* coefClip = enc.coefClip();
    // Tables filled by hand (tests) may leave the block steps out.
    auto reconstruct = enc.transforms.blockReconstruct ? enc.transforms.blockReconstruct : blockReconstructPlain;
    forEachMacroblock(enc, [&](int k, int x, int y) {
        const MacroblockInfo& mb = enc.mbInfo[static_cast<size_t>(k)];
        Block* blocks = enc.macroblockBlocks(k);
        for (int b = 0; b < g.blockCount; ++b) {
            const BlockPlace p = placeBlock(enc, b, x, y, mb.dctType);
            int16_t* blk = blocks[b].data();
            if (!allZero(blocks[b])) enc.transforms.inverseDct(blk, coefClip);
            const uint8_t* pr = prediction.plane[p.plane].data() + p.offset;
            uint8_t* out = reconstructed.plane[p.plane].data() + p.offset;
            reconstruct(pr, blk, p.stride, out);
        }
    });
}

}  // namespace quillon

// A hand-built encoder context for testing motion estimation and prediction
// without the rest of the encoder: geometry, the seven pictures and the
// macroblock records, filled with smooth synthetic content.
#pragma once

#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "video/encoder/motion_estimation.h"
#include "video/dsp/prediction.h"
#include "video/encoder/picture_prediction.h"
#include "video/encoder/rate_interface.h"
#include "video/encoder/video_types.h"

namespace quillon::testing {

class QuietHost : public Host {
public:
    std::vector<std::string> boxes;
    void messageBox(const std::string& caption, const std::string& text, MessageIcon, bool) override {
        boxes.push_back(caption + ": " + text);
    }
    bool askYesNo(const std::string&, const std::string&) override { return true; }
    std::unique_ptr<DialogView> createDialog() override { return nullptr; }
    std::vector<std::string> lines;
    void logLine(const std::string& text) override { lines.push_back(text); }
};

// Smooth, non-periodic texture: value noise on a 6-sample lattice, bilinear
// between lattice points, so sub-sample shifts are well defined.
inline double textureAt(double x, double y, unsigned seed = 1) {
    auto lattice = [seed](int i, int j) {
        uint32_t h = static_cast<uint32_t>(i) * 73856093u ^ static_cast<uint32_t>(j) * 19349663u ^ seed * 83492791u;
        h ^= h >> 13;
        h *= 0x5bd1e995u;
        h ^= h >> 15;
        return 40.0 + static_cast<double>(h % 176);
    };
    const double s = 6.0;
    double gx = x / s, gy = y / s;
    int i = static_cast<int>(std::floor(gx)), j = static_cast<int>(std::floor(gy));
    double fx = gx - i, fy = gy - j;
    double a = lattice(i, j), b = lattice(i + 1, j), c = lattice(i, j + 1), d = lattice(i + 1, j + 1);
    return (a * (1 - fx) + b * fx) * (1 - fy) + (c * (1 - fx) + d * fx) * fy;
}

struct MotionFixture {
    QuietHost host;
    Engine engine{host};
    VideoEncoder enc{engine};

    MotionFixture(int width, int height, bool fieldPictures = false, int chromaFormat = 1) {
        VideoGeometry& g = enc.geo;
        g.width = width;
        g.height = height;
        g.chromaFormat = chromaFormat;
        g.mbWidth = (width + 15) / 16;
        g.mbHeight = fieldPictures ? 2 * ((height + 31) / 32) : (height + 15) / 16;
        g.mbHeightPicture = fieldPictures ? g.mbHeight / 2 : g.mbHeight;
        g.paddedWidth = 16 * g.mbWidth;
        g.paddedHeight = 16 * g.mbHeight;
        g.chromaWidth = chromaFormat == 3 ? g.paddedWidth : g.paddedWidth / 2;
        g.chromaHeight = chromaFormat == 1 ? g.paddedHeight / 2 : g.paddedHeight;
        g.lineStep = fieldPictures ? 2 * g.paddedWidth : g.paddedWidth;
        g.chromaLineStep = fieldPictures ? 2 * g.chromaWidth : g.chromaWidth;
        g.pictureHeight = fieldPictures ? g.paddedHeight / 2 : g.paddedHeight;
        g.blockCount = chromaFormat == 1 ? 6 : chromaFormat == 2 ? 8 : 12;
        for (auto& p : enc.pictureStore) {
            p.plane[0].assign(g.lumaSize(), 0);
            p.plane[1].assign(g.chromaSize(), 0);
            p.plane[2].assign(g.chromaSize(), 0);
        }
        enc.newRef = &enc.pictureStore[0];
        enc.oldRef = &enc.pictureStore[1];
        enc.aux = &enc.pictureStore[2];
        enc.newOrg = &enc.pictureStore[3];
        enc.oldOrg = &enc.pictureStore[4];
        enc.auxOrg = &enc.pictureStore[5];
        enc.pred = &enc.pictureStore[6];
        enc.mbInfo.assign(static_cast<size_t>(g.mbWidth) * g.mbHeightPicture, MacroblockInfo{});
        enc.s.fieldPictures = fieldPictures ? 1 : 0;
        enc.s.ipFrameDistance = 3;
        enc.mpeg2 = true;
    }

    int W() const { return enc.geo.paddedWidth; }
    int H() const { return enc.geo.paddedHeight; }

    // Fills all three planes with f(x, y) (chroma sampled at its own
    // positions, offset so the planes differ).
    void fill(Picture& p, const std::function<double(double, double)>& f) const {
        const VideoGeometry& g = enc.geo;
        for (int y = 0; y < g.paddedHeight; ++y)
            for (int x = 0; x < g.paddedWidth; ++x)
                p.plane[0][static_cast<size_t>(y * g.paddedWidth + x)] = clamp(f(x, y));
        const double sx = static_cast<double>(g.paddedWidth) / g.chromaWidth;
        const double sy = static_cast<double>(g.paddedHeight) / g.chromaHeight;
        for (int c = 1; c < 3; ++c)
            for (int y = 0; y < g.chromaHeight; ++y)
                for (int x = 0; x < g.chromaWidth; ++x)
                    p.plane[c][static_cast<size_t>(y * g.chromaWidth + x)] =
                        clamp(0.5 * f(x * sx + 7 * c, y * sy + 3 * c) + 64);
    }
    static uint8_t clamp(double v) {
        long r = std::lround(v);
        return static_cast<uint8_t>(r < 0 ? 0 : r > 255 ? 255 : r);
    }

    void setPicture(int type, int structure = kFramePicture, int framePredFrameDct = 1) {
        PictureState& pic = enc.pic;
        pic.pictureCodingType = type;
        pic.pictureStructure = structure;
        pic.framePredFrameDct = framePredFrameDct;
        for (int d = 0; d < 2; ++d)
            for (int c = 0; c < 2; ++c) pic.searchRange[d][c] = 7;
    }

    bool setUp(int variableMaxMotion) {
        enc.s.variableMaxMotion = variableMaxMotion;
        return setUpMotionSearch(enc);
    }

    // Squared luminance error between the prediction and the current
    // picture over macroblock k of the coded picture.
    long long macroblockError(size_t k) const {
        const VideoGeometry& g = enc.geo;
        const int i = static_cast<int>(k) % g.mbWidth, j = static_cast<int>(k) / g.mbWidth;
        const bool field = enc.pic.isField();
        const int W = g.paddedWidth;
        const int lx = field ? 2 * W : W;
        const int offset = (field && enc.pic.pictureStructure == kBottomField ? W : 0) + 16 * i + lx * 16 * j;
        long long s = 0;
        for (int y = 0; y < 16; ++y)
            for (int x = 0; x < 16; ++x) {
                int d = enc.pred->plane[0][static_cast<size_t>(offset + lx * y + x)] -
                        enc.current->plane[0][static_cast<size_t>(offset + lx * y + x)];
                s += d * d;
            }
        return s;
    }
};

}  // namespace quillon::testing

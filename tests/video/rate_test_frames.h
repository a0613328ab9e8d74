// Synthetic pictures for the rate tests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "engine/request.h"

namespace quillon::testing {

// Detail and motion, generated fast: a textured background twice the
// picture's size panned back and forth, with a square that moves on its
// own, and a scene cut (another part of the texture) every 8 seconds.
class PanningFrames : public FrameSource {
public:
    PanningFrames(int width, int height) : w_(width), h_(height), bw_(2 * width), bh_(2 * height) {
        background_.resize(static_cast<size_t>(bw_) * bh_ * 4);
        uint32_t seed = 12345;
        for (int y = 0; y < bh_; ++y)
            for (int x = 0; x < bw_; ++x) {
                seed = seed * 1664525u + 1013904223u;
                const int noise = static_cast<int>(seed >> 27);  // 0..31
                uint8_t* p = &background_[(static_cast<size_t>(y) * bw_ + x) * 4];
                const bool edge = ((x / 24) + (y / 18)) % 2;
                p[0] = static_cast<uint8_t>(60 + (x * 100) / bw_ + noise + (edge ? 40 : 0));
                p[1] = static_cast<uint8_t>(70 + (y * 120) / bh_ + noise);
                p[2] = static_cast<uint8_t>(50 + ((x + y) % 64) * 2 + noise);
                p[3] = 0;
            }
        frame_.resize(static_cast<size_t>(w_) * h_ * 4);
    }
    int getFrame(int frame, int32_t* rowBytes, const uint8_t** pixels) override {
        const int scene = frame / 200;
        const int period = 2 * (w_ - 8);
        const int phase = (3 * frame) % period;
        const int dx = (phase < period / 2 ? phase : period - phase) + (scene % 2) * 4;
        const int dy = ((frame / 2) % h_ + scene * 37) % h_;
        for (int row = 0; row < h_; ++row) {
            uint8_t* dst = frame_.data() + static_cast<size_t>(h_ - 1 - row) * w_ * 4;
            const uint8_t* src = background_.data() + (static_cast<size_t>(row + dy) * bw_ + dx) * 4;
            std::copy(src, src + static_cast<size_t>(w_) * 4, dst);
        }
        const int ox = (frame * 5) % (w_ - 48), oy = (frame * 2) % (h_ - 48);
        for (int row = oy; row < oy + 48; ++row) {
            uint8_t* dst = frame_.data() + (static_cast<size_t>(h_ - 1 - row) * w_ + ox) * 4;
            for (int x = 0; x < 48; ++x, dst += 4) {
                const uint8_t v = ((x / 6 + row / 6) % 2) ? 230 : 20;
                dst[0] = v, dst[1] = static_cast<uint8_t>(255 - v), dst[2] = v;
            }
        }
        *rowBytes = w_ * 4;
        *pixels = frame_.data();
        return 0;
    }

private:
    int w_, h_, bw_, bh_;
    std::vector<uint8_t> background_, frame_;
};

}  // namespace quillon::testing

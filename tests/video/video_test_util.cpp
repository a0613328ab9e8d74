#include "tests/video/video_test_util.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "engine/presets.h"

namespace quillon::testing {

void RecordingHost::messageBox(const std::string&, const std::string& text, MessageIcon icon, bool) {
    (icon == MessageIcon::Warning ? warnings : errors).push_back(text);
}

bool RecordingHost::hasLine(const std::string& text) const {
    return std::find(lines.begin(), lines.end(), text) != lines.end();
}

SyntheticFrames::SyntheticFrames(int width, int height, int frames)
    : width_(width), height_(height), frames_(frames), pixels_(static_cast<size_t>(width) * height * 4) {}

void SyntheticFrames::setUniform(uint8_t b, uint8_t g, uint8_t r) {
    uniform_ = true;
    colour_[0] = b;
    colour_[1] = g;
    colour_[2] = r;
}

int SyntheticFrames::getFrame(int frame, int32_t* rowBytes, const uint8_t** pixels) {
    ++calls;
    if (frame < 0 || frame >= frames_ || (failFrom >= 0 && frame >= failFrom)) return 5;
    for (int row = 0; row < height_; ++row) {
        // Rows bottom-up: picture row `row` is stored at memory row height-1-row.
        uint8_t* p = pixels_.data() + static_cast<size_t>(height_ - 1 - row) * width_ * 4;
        for (int x = 0; x < width_; ++x, p += 4) {
            if (uniform_) {
                p[0] = colour_[0], p[1] = colour_[1], p[2] = colour_[2], p[3] = 0;
                continue;
            }
            const int t = frame;
            int r = 40 + ((x + 3 * t) * 160) / (width_ + 1) % 160;
            int g = 50 + ((row + 2 * t) * 140) / (height_ + 1);
            int b = 60 + (((x + row) / 2 + t) % 120);
            if (((x + 2 * t) / 28) % 2) r += 50, g += 30;                   // vertical edges
            if ((x - row + t) % 97 < 3) b = 230, g = std::min(g + 60, 255);  // thin diagonal lines
            const int band = height_ / 3;
            if (row > band && row < band + 24) {
                // Glyph-like strokes: short 1-2 pixel bars from a hash.
                const int cx = (x + t) / 6, cy = (row - band) / 8;
                const unsigned h = (static_cast<unsigned>(cx) * 73856093u ^ static_cast<unsigned>(cy) * 19349663u) % 7u;
                const int lx = (x + t) % 6, ly = (row - band) % 8;
                const bool stroke = (h < 3 && lx < 2 && ly < 6) || (h == 4 && ly == 3 && lx < 5) ||
                                    (h == 5 && lx == ly % 6);
                if (stroke) r = g = b = 40;
                else r = g = b = 180;
            }
            p[0] = static_cast<uint8_t>(std::clamp(b, 0, 255));
            p[1] = static_cast<uint8_t>(std::clamp(g, 0, 255));
            p[2] = static_cast<uint8_t>(std::clamp(r, 0, 255));
            p[3] = 0;
        }
    }
    *rowBytes = width_ * 4;
    *pixels = pixels_.data();
    return 0;
}

void configureVideo(EncoderSettings& s, int videoType, int mquantValue) {
    applyPreset(s, videoType, 1, 1);
    // Variable bitrate: the fixed quantiser drives every macroblock.
    s.constBitrateFlag = 0;
    s.maxBitrate = 0;
    s.mquantValue = mquantValue;
}

void CapturingObserver::frameCoded(const VideoEncoder& enc) {
    const VideoGeometry& g = enc.geo;
    width = g.width;
    height = g.height;
    paddedWidth = g.paddedWidth;
    paddedChromaWidth = g.chromaWidth;
    chromaWidth = g.chromaFormat == 3 ? g.width : (g.width + 1) / 2;
    chromaHeight = g.chromaFormat == 1 ? (g.height + 1) / 2 : g.height;
    CapturedFrame f;
    f.displayIndex = enc.pic.displayIndex;
    f.sourceY = enc.current->plane[0];
    f.reconY = enc.reconstructed->plane[0];
    f.reconCb = enc.reconstructed->plane[1];
    f.reconCr = enc.reconstructed->plane[2];
    frames.push_back(std::move(f));
}

VideoJob::VideoJob(int width, int height, int frames, const std::string& output, int videoType,
                   int mquantValue) {
    configureVideo(engine.work, videoType, mquantValue);
    engine.ev.horizontalSize = width;
    engine.ev.verticalSize = height;
    engine.job.frameCount = frames;
    engine.job.firstFrame = 0;
    engine.job.videoStreamName = output;
    source = std::make_unique<SyntheticFrames>(width, height);
    engine.request.frameSource = source.get();
}

namespace {

int maxDifference(const std::vector<uint8_t>& decoded, int width, int height, const std::vector<uint8_t>& padded,
                  int stride) {
    int worst = 0;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            worst = std::max(worst, std::abs(decoded[static_cast<size_t>(y) * width + x] -
                                             padded[static_cast<size_t>(y) * stride + x]));
    return worst;
}

std::vector<uint8_t> crop(const std::vector<uint8_t>& padded, int stride, int width, int height) {
    std::vector<uint8_t> out(static_cast<size_t>(width) * height);
    for (int y = 0; y < height; ++y)
        std::memcpy(out.data() + static_cast<size_t>(y) * width, padded.data() + static_cast<size_t>(y) * stride,
                    static_cast<size_t>(width));
    return out;
}

}  // namespace

StreamCheck compareWithEncoder(const DecodedVideo& video, const CapturingObserver& observer) {
    StreamCheck check;
    double psnrSum = 0;
    int count = 0;
    for (size_t n = 0; n < video.pictures.size(); ++n) {
        const DecodedPicture& d = video.pictures[n];
        const CapturedFrame* f = nullptr;
        for (const CapturedFrame& c : observer.frames)
            if (c.displayIndex == static_cast<int>(n)) f = &c;
        if (!f) {
            ADD_FAILURE() << "no encoder picture for display index " << n;
            continue;
        }
        EXPECT_EQ(d.width, observer.width);
        EXPECT_EQ(d.height, observer.height);
        EXPECT_EQ(d.chromaWidth, observer.chromaWidth);
        EXPECT_EQ(d.chromaHeight, observer.chromaHeight);
        if (d.width != observer.width || d.height != observer.height || d.chromaWidth != observer.chromaWidth ||
            d.chromaHeight != observer.chromaHeight)
            continue;
        check.maxReconDifference = std::max(
            {check.maxReconDifference, maxDifference(d.y, d.width, d.height, f->reconY, observer.paddedWidth),
             maxDifference(d.cb, d.chromaWidth, d.chromaHeight, f->reconCb, observer.paddedChromaWidth),
             maxDifference(d.cr, d.chromaWidth, d.chromaHeight, f->reconCr, observer.paddedChromaWidth)});
        psnrSum += psnr(d.y, crop(f->sourceY, observer.paddedWidth, d.width, d.height));
        ++count;
    }
    check.psnrY = count ? psnrSum / count : 0;
    return check;
}

}  // namespace quillon::testing

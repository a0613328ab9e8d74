// The high and best levels across targets and coding structures: every
// stream decodes in libavcodec without an error, the decoder's pictures
// are the encoder's reconstruction, and the tools really change the stream.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <functional>
#include <iterator>

#include "engine/quality_level.h"
#include "engine/presets.h"
#include "tests/support/temp_dir.h"
#include "tests/support/video_stream_check.h"
#include "tests/video/video_test_util.h"
#include "video/video_encoder.h"

namespace quillon::testing {
namespace {

struct Variant {
    const char* name;
    int kind;
    std::function<void(EncoderSettings&)> adjust;
};

std::vector<Variant> variants() {
    return {
        {"mpeg1-vbr", 0, nullptr},
        {"vcd-cbr", 1, [](EncoderSettings& s) {
             applyPreset(s, kKindVcd, 1, 1);
             s.constBitrateFlag = 1;
             s.constBitrate = 1150000;
         }},
        {"mpeg2-vbr", 2, nullptr},
        {"svcd-cbr", 3, [](EncoderSettings& s) {
             applyPreset(s, kKindSvcd, 1, 1);
             s.constBitrateFlag = 1;
             s.constBitrate = 2600000;
             s.forceVBVDelay = 0;
         }},
        {"dvd-vbr-max", 4, [](EncoderSettings& s) { s.maxBitrate = 900000; }},
        {"dvd-fields", 4, [](EncoderSettings& s) { s.fieldPictures = 1; }},
        {"dvd-progressive-pulldown", 4, [](EncoderSettings& s) {
             s.progressiveSequence = s.progressiveFrame = 1;
             s.videoPulldownFlag = 1;
             s.frameRateCode = 1;
         }},
        {"mpeg2-422", 2, [](EncoderSettings& s) {
             s.chromaFormat = 2;
             s.profile = 1;
         }},
        {"mpeg2-444-linear", 2, [](EncoderSettings& s) {
             s.chromaFormat = 3;
             s.profile = 1;
             s.quantizationScaleI = s.quantizationScaleP = s.quantizationScaleB = 0;
         }},
    };
}

struct Encoded {
    std::vector<uint8_t> bytes;
    bool ok = false;
};

Encoded encodeAt(const Variant& v, int level, TempDir& dir, bool check) {
    const std::string out = dir.file(v.kind >= 2 ? "q.m2v" : "q.m1v");
    VideoJob job(128, 96, 9, out, v.kind, 5);
    EncoderSettings& s = job.engine.work;
    if (v.adjust) v.adjust(s);
    s.iFramesInGOP = 6;
    deriveMotionTable(s);
    applyQualityLevel(s, level);
    CapturingObserver observer;
    Encoded e;
    e.ok = runVideoEncoder(job.engine, &observer);
    EXPECT_TRUE(job.host.errors.empty()) << (job.host.errors.empty() ? "" : job.host.errors[0]);
    if (check) {
        const DecodedVideo video = decodeVideo(out);
        EXPECT_TRUE(video.opened);
        EXPECT_EQ(video.errors, 0);
        EXPECT_EQ(static_cast<int>(video.pictures.size()), 9);
        const StreamCheck c = compareWithEncoder(video, observer);
        EXPECT_LE(c.maxReconDifference, 2);
        EXPECT_GT(c.psnrY, 28.0);
        if (s.constBitrateFlag) {
            // Constant bitrate: the buffer model the stream's own fields
            // describe never under- or overflows.
            const VbvReport vbv = checkVbv(parseVideoStream(out));
            EXPECT_TRUE(vbv.checked) << vbv.firstProblem;
            EXPECT_EQ(vbv.underflows, 0) << vbv.firstProblem;
            EXPECT_EQ(vbv.overflows, 0) << vbv.firstProblem;
        }
    }
    std::ifstream in(out, std::ios::binary);
    e.bytes.assign(std::istreambuf_iterator<char>(in), {});
    return e;
}

TEST(QualityEncode, HighAndBestStreamsDecodeToTheEncodersPictures) {
    for (const Variant& v : variants()) {
        TempDir dir;
        const Encoded classic = encodeAt(v, kQualityClassic, dir, false);
        for (int level : {kQualityHigh, kQualityBest}) {
            SCOPED_TRACE(std::string(v.name) + " " + qualityLevelName(level));
            const Encoded e = encodeAt(v, level, dir, true);
            EXPECT_TRUE(e.ok);
            EXPECT_NE(e.bytes, classic.bytes);
        }
    }
}

// Frames woven from two instants: a bright disc that moves 8 samples a
// field over a textured background, the odd lines a field later than the
// even ones; or, with `woven` false, both fields of the same instant.
class WovenFrames : public FrameSource {
public:
    WovenFrames(int width, int height, bool woven)
        : width_(width), height_(height), woven_(woven), pixels_(static_cast<size_t>(width) * height * 4) {}
    int getFrame(int frame, int32_t* rowBytes, const uint8_t** pixels) override {
        for (int row = 0; row < height_; ++row) {
            const int instant = 2 * frame + (woven_ ? (row & 1) : 0);
            const double cx = 24 + 8.0 * instant, cy = height_ / 2.0;
            uint8_t* p = pixels_.data() + static_cast<size_t>(height_ - 1 - row) * width_ * 4;
            for (int x = 0; x < width_; ++x, p += 4) {
                int v = 60 + ((x * 7 + row / 8) % 40);
                if (std::hypot(x - cx, row - cy) < 24) v = 220;
                p[0] = static_cast<uint8_t>(v);
                p[1] = static_cast<uint8_t>(v);
                p[2] = static_cast<uint8_t>(v);
                p[3] = 0;
            }
        }
        *rowBytes = width_ * 4;
        *pixels = pixels_.data();
        return 0;
    }

private:
    int width_, height_;
    bool woven_;
    std::vector<uint8_t> pixels_;
};

// frame_pred_frame_dct of every frame picture's coding extension.
std::vector<int> framePredFrameDctFlags(const std::vector<uint8_t>& b) {
    std::vector<int> flags;
    for (size_t i = 0; i + 8 < b.size(); ++i) {
        if (b[i] != 0 || b[i + 1] != 0 || b[i + 2] != 1 || b[i + 3] != 0xB5 || (b[i + 4] >> 4) != 8) continue;
        // After the identifier: four f_codes, intra_dc_precision,
        // picture_structure and top_field_first, 25 bits in all.
        const int structure = b[i + 6] & 3;
        if (structure == 3) flags.push_back((b[i + 7] >> 6) & 1);
    }
    return flags;
}

TEST(QualityEncode, InterlacedFramesChooseFieldFormsAndDecode) {
    struct Case {
        const char* name;
        bool woven;
        int fieldModes;
        bool expectFieldForms;
    };
    for (const Case& c : {Case{"woven", true, 1, true}, Case{"woven, key off", true, 0, false},
                          Case{"progressive content", false, 1, false}}) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string out = dir.file("i.m2v");
        VideoJob job(160, 96, 7, out, 4, 6);
        WovenFrames source(160, 96, c.woven);
        job.engine.request.frameSource = &source;
        EncoderSettings& s = job.engine.work;
        s.iFramesInGOP = 7;
        deriveMotionTable(s);
        applyQualityLevel(s, kQualityHigh);
        s.fieldModes = c.fieldModes;
        CapturingObserver observer;
        ASSERT_TRUE(runVideoEncoder(job.engine, &observer));
        std::ifstream in(out, std::ios::binary);
        const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
        const std::vector<int> flags = framePredFrameDctFlags(bytes);
        ASSERT_EQ(flags.size(), 7u);
        int fieldForms = 0;
        for (int f : flags) fieldForms += f == 0;
        if (c.expectFieldForms)
            EXPECT_EQ(fieldForms, 7);
        else
            EXPECT_EQ(fieldForms, 0);
        const DecodedVideo video = decodeVideo(out);
        EXPECT_EQ(video.errors, 0);
        ASSERT_EQ(static_cast<int>(video.pictures.size()), 7);
        const StreamCheck check = compareWithEncoder(video, observer);
        EXPECT_LE(check.maxReconDifference, 2);
        EXPECT_GT(check.psnrY, 30.0);
    }
}

}  // namespace
}  // namespace quillon::testing

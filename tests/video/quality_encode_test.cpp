// The high and best levels across targets and coding structures: every
// stream decodes in libavcodec without an error, the decoder's pictures
// are the encoder's reconstruction, and the tools really change the stream.
#include <gtest/gtest.h>

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

}  // namespace
}  // namespace quillon::testing

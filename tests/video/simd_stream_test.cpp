// The routine set changes the speed, never the stream: every MMXMode of one
// DCT family writes the same bytes, on P and B pictures with half-sample
// motion, frame and field DCT and both quantiser forms.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/presets.h"
#include "platform/cpu_features.h"
#include "tests/support/av_reader.h"
#include "tests/support/temp_dir.h"
#include "tests/video/video_test_util.h"
#include "video/video_encoder.h"

namespace quillon {
namespace {

std::vector<uint8_t> fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// bitrate > 0 switches to constant bitrate: the quantiser then changes
// from macroblock to macroblock and intra blocks are requantised when a
// level does not fit.
std::vector<uint8_t> encodeWith(int mode, int floating, int videoType, int mquant, const std::string& out,
                                int chromaFormat = 1, double bitrate = 0) {
    testing::VideoJob job(128, 96, 9, out, videoType, mquant);
    if (bitrate > 0) {
        job.engine.work.constBitrateFlag = 1;
        job.engine.work.constBitrate = bitrate;
    }
    job.engine.ev.cpuFeatures = detectCpuFeatures();
    job.engine.ev.MMXMode = mode;
    job.engine.work.useFloatingPoint = floating;
    job.engine.work.chromaFormat = chromaFormat;
    job.engine.work.iFramesInGOP = 9;
    job.engine.work.ipFrameDistance = 3;
    deriveMotionTable(job.engine.work);
    EXPECT_TRUE(runVideoEncoder(job.engine, nullptr));
    return fileBytes(out);
}

TEST(SimdStream, EveryRoutineSetWritesTheSameStream) {
    testing::TempDir dir;
    for (int floating : {0, 1})
        for (int videoType : {1, 4})
            for (int mquant : {2, 9}) {
                const std::vector<uint8_t> first = encodeWith(1, floating, videoType, mquant, dir.file("m1.mpg"));
                ASSERT_GT(first.size(), 1000u);
                const testing::DecodedVideo d = testing::decodeVideo(dir.file("m1.mpg"));
                EXPECT_EQ(d.pictures.size(), 9u);
                EXPECT_EQ(d.errors, 0);
                for (int mode : {2, 3, 4})
                    EXPECT_EQ(encodeWith(mode, floating, videoType, mquant, dir.file("m.mpg")), first)
                        << "MMXMode " << mode << " floating " << floating << " type " << videoType;
            }
    for (int videoType : {1, 4})
        for (double bitrate : {250000.0, 4000000.0}) {
            const std::vector<uint8_t> first = encodeWith(1, 0, videoType, 4, dir.file("b1.mpg"), 1, bitrate);
            ASSERT_GT(first.size(), 1000u);
            EXPECT_EQ(testing::decodeVideo(dir.file("b1.mpg")).pictures.size(), 9u);
            for (int mode : {2, 3, 4})
                EXPECT_EQ(encodeWith(mode, 0, videoType, 4, dir.file("b.mpg"), 1, bitrate), first)
                    << "constant bitrate " << bitrate << ", MMXMode " << mode << " type " << videoType;
        }
    // 4:2:2 takes the horizontal chroma filter straight into the picture.
    for (int floating : {0, 1}) {
        const std::vector<uint8_t> first = encodeWith(1, floating, 4, 5, dir.file("c1.mpg"), 2);
        const testing::DecodedVideo d = testing::decodeVideo(dir.file("c1.mpg"));
        EXPECT_EQ(d.pictures.size(), 9u);
        EXPECT_EQ(d.errors, 0);
        EXPECT_EQ(encodeWith(3, floating, 4, 5, dir.file("c3.mpg"), 2), first) << "4:2:2 floating " << floating;
    }
}

// Keeps the source planes of every coded frame.
struct SourceCapture : PictureObserver {
    std::vector<std::array<std::vector<uint8_t>, 3>> frames;
    void frameCoded(const VideoEncoder& enc) override {
        frames.push_back({enc.current->plane[0], enc.current->plane[1], enc.current->plane[2]});
    }
};

// The plain routine set quantises differently (no reciprocal quantiser),
// so its streams differ; the pictures the encoder reads must not. 176
// samples wide, chroma lines end part-way into a vector.
TEST(SimdStream, EveryRoutineSetReadsTheSamePictures) {
    testing::TempDir dir;
    struct Case {
        int chromaFormat, videoType, floating, progressiveFrame, blackAndWhite;
    };
    const Case cases[] = {{1, 1, 0, 1, 0}, {1, 4, 0, 0, 0}, {1, 4, 1, 0, 0}, {1, 4, 0, 1, 0},
                          {2, 4, 0, 0, 0}, {3, 4, 1, 0, 0}, {1, 4, 0, 0, 1}};
    for (const Case& c : cases) {
        std::vector<SourceCapture> captures;
        for (int mode : {0, 1, 3}) {
            testing::VideoJob job(176, 80, 4, dir.file("s.mpg"), c.videoType, 6);
            job.engine.ev.cpuFeatures = detectCpuFeatures();
            job.engine.ev.MMXMode = mode;
            job.engine.work.useFloatingPoint = c.floating;
            job.engine.work.chromaFormat = c.chromaFormat;
            job.engine.work.blackAndWhite = c.blackAndWhite;
            if (c.videoType >= 2) job.engine.work.progressiveFrame = c.progressiveFrame;
            job.engine.work.iFramesInGOP = 4;
            job.engine.work.ipFrameDistance = 2;
            deriveMotionTable(job.engine.work);
            SourceCapture capture;
            ASSERT_TRUE(runVideoEncoder(job.engine, &capture));
            ASSERT_EQ(capture.frames.size(), 4u);
            captures.push_back(std::move(capture));
        }
        for (size_t i = 1; i < captures.size(); ++i)
            EXPECT_TRUE(captures[i].frames == captures[0].frames)
                << "chroma " << c.chromaFormat << " type " << c.videoType << " floating " << c.floating
                << " progressive " << c.progressiveFrame << " set " << i;
    }
}

// Rows searched side by side: the same bytes with one thread and several,
// in frame and field pictures, with the full and the hierarchical search.
TEST(ThreadedStream, OneThreadAndSeveralWriteTheSameStream) {
    testing::TempDir dir;
    const char* saved = std::getenv("QUILLON_THREADS");
    const std::string restore = saved ? saved : "";
    auto encode = [&](const char* threads, int fieldPictures, int variableMaxMotion) {
        setenv("QUILLON_THREADS", threads, 1);
        const std::string out = dir.file(std::string("t") + threads + ".mpg");
        testing::VideoJob job(160, 96, 8, out, 4, 5);
        job.engine.ev.cpuFeatures = detectCpuFeatures();
        job.engine.ev.MMXMode = 3;
        job.engine.work.fieldPictures = fieldPictures;
        job.engine.work.variableMaxMotion = variableMaxMotion;
        job.engine.work.iFramesInGOP = 8;
        job.engine.work.ipFrameDistance = 3;
        deriveMotionTable(job.engine.work);
        EXPECT_TRUE(runVideoEncoder(job.engine, nullptr));
        return fileBytes(out);
    };
    for (int fieldPictures : {0, 1})
        for (int vmm : {0, 16}) {
            const std::vector<uint8_t> one = encode("1", fieldPictures, vmm);
            ASSERT_GT(one.size(), 1000u);
            EXPECT_EQ(encode("2", fieldPictures, vmm), one) << fieldPictures << " " << vmm;
            EXPECT_EQ(encode("5", fieldPictures, vmm), one) << fieldPictures << " " << vmm;
        }
    if (saved)
        setenv("QUILLON_THREADS", restore.c_str(), 1);
    else
        unsetenv("QUILLON_THREADS");
}

// In variable bitrate the macroblocks' levels and reconstructions are made
// ahead of their coding, by the rows' worker, and with a slice per row the
// rows are coded apart and joined: the same stream with one thread and
// several, with the tools that change the levels (trellis, the quantiser by
// activity and by the lookahead, whose changes the slice headers carry
// over), with one slice per picture and with B macroblocks decided by cost
// beside P ones prepared ahead.
TEST(ThreadedStream, LevelsMadeAheadKeepTheStream) {
    testing::TempDir dir;
    const char* saved = std::getenv("QUILLON_THREADS");
    const std::string restore = saved ? saved : "";
    struct Tools {
        int trellis, adaptiveQuant, lookahead, rdModes, fieldPictures, slicePerRow = 1;
    };
    auto encode = [&](const char* threads, const Tools& t) {
        setenv("QUILLON_THREADS", threads, 1);
        const std::string out = dir.file(std::string("l") + threads + ".mpg");
        testing::VideoJob job(176, 112, 10, out, 4, 6);
        job.engine.ev.cpuFeatures = detectCpuFeatures();
        job.engine.ev.MMXMode = 3;
        job.engine.work.trellis = t.trellis;
        job.engine.work.adaptiveQuant = t.adaptiveQuant;
        job.engine.work.lookahead = t.lookahead;
        job.engine.work.rdModes = t.rdModes;
        job.engine.work.fieldPictures = t.fieldPictures;
        job.engine.work.sliceHdrEveryMBrow = t.slicePerRow;
        job.engine.work.variableMaxMotion = 16;
        job.engine.work.iFramesInGOP = 10;
        job.engine.work.ipFrameDistance = 3;
        deriveMotionTable(job.engine.work);
        EXPECT_TRUE(runVideoEncoder(job.engine, nullptr));
        return fileBytes(out);
    };
    for (const Tools& t : {Tools{0, 0, 0, 0, 0}, Tools{1, 0, 0, 0, 0}, Tools{0, 60, 0, 0, 1}, Tools{1, 40, 8, 0, 0},
                           Tools{0, 0, 0, 1, 0}, Tools{0, 60, 0, 0, 0, 0}, Tools{1, 40, 8, 0, 1, 0}}) {
        SCOPED_TRACE(::testing::Message() << "trellis " << t.trellis << " adaptive " << t.adaptiveQuant
                                          << " lookahead " << t.lookahead << " rdModes " << t.rdModes << " fields "
                                          << t.fieldPictures << " slice per row " << t.slicePerRow);
        const std::vector<uint8_t> one = encode("1", t);
        ASSERT_GT(one.size(), 1000u);
        const testing::DecodedVideo decoded = testing::decodeVideo(dir.file("l1.mpg"));
        EXPECT_EQ(decoded.pictures.size(), 10u);
        EXPECT_EQ(decoded.errors, 0);
        EXPECT_EQ(encode("2", t), one);
        EXPECT_EQ(encode("5", t), one);
    }
    if (saved)
        setenv("QUILLON_THREADS", restore.c_str(), 1);
    else
        unsetenv("QUILLON_THREADS");
}

}  // namespace
}  // namespace quillon

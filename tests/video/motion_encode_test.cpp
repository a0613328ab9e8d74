// End to end with motion: P and B pictures, field pictures and pulldown
// through runVideoEncoder, decoded by libavcodec and compared with the
// source and with the encoder's own reconstruction.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>

#include "tests/support/temp_dir.h"
#include "tests/video/motion_fixture.h"
#include "engine/presets.h"
#include "tests/video/video_test_util.h"
#include "video/video_encoder.h"

namespace quillon::testing {
namespace {

enum class Scene { Pan, SlowPan, FastPan, Zoom, Objects, SceneCut, Interlaced };

// Pictures of smooth texture that move as the scene says.
class MovingScene : public FrameSource {
public:
    MovingScene(int width, int height, Scene scene) : w_(width), h_(height), scene_(scene), pixels_(size_t(width) * height * 4) {}
    int calls = 0;

    int getFrame(int frame, int32_t* rowBytes, const uint8_t** pixels) override {
        ++calls;
        for (int row = 0; row < h_; ++row) {
            uint8_t* p = pixels_.data() + size_t(h_ - 1 - row) * w_ * 4;  // rows bottom-up
            for (int x = 0; x < w_; ++x, p += 4) {
                double t = frame;
                if (scene_ == Scene::Interlaced && (row & 1)) t += 0.5;  // the bottom field is later
                double sx = x, sy = row;
                unsigned seed = 1;
                switch (scene_) {
                    case Scene::Pan: sx -= 2.5 * t; sy -= 1.0 * t; break;
                    case Scene::SlowPan: sx -= 0.5 * t; break;
                    case Scene::FastPan: sx -= 11.0 * t; sy += 3.0 * t; break;
                    case Scene::Interlaced: sx -= 4.0 * t; break;
                    case Scene::Zoom: {
                        const double s = 1.0 + 0.015 * t;
                        sx = (x - w_ / 2.0) / s + w_ / 2.0;
                        sy = (row - h_ / 2.0) / s + h_ / 2.0;
                        break;
                    }
                    case Scene::Objects: {
                        sx -= 1.0 * t;
                        // Two squares moving their own ways over the background.
                        const double ax = 20 + 3 * t, ay = 16 + 1 * t;
                        const double bx = w_ - 50 - 2 * t, by = h_ - 40 - 2 * t;
                        if (x >= ax && x < ax + 28 && row >= ay && row < ay + 24) {
                            sx = x - ax + 400;
                            sy = row - ay + 400;
                        } else if (x >= bx && x < bx + 24 && row >= by && row < by + 24) {
                            sx = x - bx + 800;
                            sy = row - by;
                        }
                        break;
                    }
                    case Scene::SceneCut:
                        sx -= 2.0 * t;
                        if (frame >= 7) seed = 5;
                        break;
                }
                const double r = textureAt(sx, sy, seed), g = textureAt(sx + 50, sy, seed + 1),
                             b = textureAt(sx, sy + 70, seed + 2);
                p[0] = MotionFixture::clamp(b);
                p[1] = MotionFixture::clamp(g);
                p[2] = MotionFixture::clamp(r);
                p[3] = 0;
            }
        }
        *rowBytes = w_ * 4;
        *pixels = pixels_.data();
        return 0;
    }

private:
    int w_, h_;
    Scene scene_;
    std::vector<uint8_t> pixels_;
};

struct EncodeRun {
    bool ok = false;
    DecodedVideo video;
    StreamCheck check;
    std::vector<std::string> errors, lines;
    std::vector<uint8_t> bytes;
    std::vector<int> codingOrder;  // display indices as coded
    std::string statistics;
};

std::vector<uint8_t> readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

struct Options {
    int width = 176, height = 144, frames = 12, videoType = 2, mquant = 4;
    Scene scene = Scene::Pan;
    bool statistics = false;
    DialogView* dialog = nullptr;
    std::function<void(EncoderSettings&)> adjust;
};

EncodeRun encode(const Options& o) {
    TempDir dir;
    const std::string out = dir.file(o.videoType >= 2 ? "out.m2v" : "out.m1v");
    VideoJob job(o.width, o.height, o.frames, out, o.videoType, o.mquant);
    MovingScene scene(o.width, o.height, o.scene);
    job.engine.request.frameSource = &scene;
    if (o.adjust) o.adjust(job.engine.work);
    const std::string stats = dir.file("stats.txt");
    if (o.statistics) job.engine.job.statisticsFile = std::fopen(stats.c_str(), "w");
    if (o.dialog) job.engine.setActiveDialog(o.dialog);
    CapturingObserver observer;
    EncodeRun r;
    r.ok = runVideoEncoder(job.engine, &observer);
    job.engine.setActiveDialog(nullptr);
    if (job.engine.job.statisticsFile) {
        std::fclose(job.engine.job.statisticsFile);
        job.engine.job.statisticsFile = nullptr;
        std::ifstream in(stats);
        r.statistics.assign(std::istreambuf_iterator<char>(in), {});
    }
    r.errors = job.host.errors;
    r.lines = job.host.lines;
    r.video = decodeVideo(out);
    r.check = compareWithEncoder(r.video, observer);
    r.bytes = readAll(out);
    for (const CapturedFrame& f : observer.frames) r.codingOrder.push_back(f.displayIndex);
    return r;
}

void expectClean(const EncodeRun& r, int frames) {
    EXPECT_TRUE(r.ok);
    EXPECT_TRUE(r.errors.empty()) << (r.errors.empty() ? "" : r.errors[0]);
    ASSERT_TRUE(r.video.opened);
    EXPECT_EQ(r.video.errors, 0);
    EXPECT_EQ(static_cast<int>(r.video.pictures.size()), frames);
    EXPECT_LE(r.check.maxReconDifference, 2);
}

std::vector<size_t> startCodes(const std::vector<uint8_t>& b, int code) {
    std::vector<size_t> at;
    for (size_t i = 0; i + 3 < b.size(); ++i)
        if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1 && b[i + 3] == code) at.push_back(i);
    return at;
}

// picture_coding_type of every picture header, in stream order.
std::vector<int> pictureTypes(const std::vector<uint8_t>& b) {
    std::vector<int> types;
    for (size_t at : startCodes(b, 0x00)) types.push_back((b[at + 5] >> 3) & 7);
    return types;
}

// The picture coding extensions' (top_field_first, repeat_first_field,
// picture_structure) in stream order.
struct CodingExtension {
    int topFieldFirst, repeatFirstField, pictureStructure, framePredFrameDct;
};
std::vector<CodingExtension> codingExtensions(const std::vector<uint8_t>& b) {
    std::vector<CodingExtension> out;
    for (size_t at : startCodes(b, 0xB5)) {
        if ((b[at + 4] >> 4) != 8) continue;
        // After the 4-bit id: four f_codes (16 bits), intra_dc_precision (2),
        // picture_structure (2), then the flags.
        const uint32_t v = (uint32_t(b[at + 4]) << 24) | (uint32_t(b[at + 5]) << 16) | (uint32_t(b[at + 6]) << 8) |
                           b[at + 7];
        const uint32_t w = (v << 4) | (b[at + 8] >> 4);  // bits after the id
        auto bit = [&](int n) { return int((w >> (31 - n)) & 1); };
        CodingExtension e;
        e.pictureStructure = bit(18) * 2 + bit(19);
        e.topFieldFirst = bit(20);
        e.framePredFrameDct = bit(21);
        e.repeatFirstField = bit(26);
        out.push_back(e);
    }
    return out;
}

TEST(MotionEncode, CodingOrderAndGopsOfSixteenFrames) {
    Options o;
    o.width = 64;
    o.height = 48;
    o.frames = 16;
    const EncodeRun r = encode(o);
    expectClean(r, 16);
    EXPECT_EQ(r.codingOrder, (std::vector<int>{0, 3, 1, 2, 6, 4, 5, 9, 7, 8, 12, 10, 11, 15, 13, 14}));
    EXPECT_EQ(pictureTypes(r.bytes), (std::vector<int>{1, 2, 3, 3, 2, 3, 3, 2, 3, 3, 2, 3, 3, 1, 3, 3}));
    // Display order out of the decoder.
    std::vector<int> shown;
    for (const DecodedPicture& p : r.video.pictures) shown.push_back(p.pictType);
    EXPECT_EQ(shown, (std::vector<int>{1, 3, 3, 2, 3, 3, 2, 3, 3, 2, 3, 3, 2, 3, 3, 1}));
    // A sequence header before each GOP; the second GOP opens at display 13,
    // not closed, and its I picture has temporal_reference 2.
    EXPECT_EQ(startCodes(r.bytes, 0xB3).size(), 2u);
    const std::vector<size_t> gops = startCodes(r.bytes, 0xB8);
    ASSERT_EQ(gops.size(), 2u);
    auto timeCode = [&](size_t at) {
        return (uint32_t(r.bytes[at + 4]) << 17) | (uint32_t(r.bytes[at + 5]) << 9) | (uint32_t(r.bytes[at + 6]) << 1) |
               (r.bytes[at + 7] >> 7);
    };
    EXPECT_EQ(timeCode(gops[0]) & 0x3F, 0u);
    EXPECT_EQ(timeCode(gops[1]) & 0x3F, 13u);
    EXPECT_EQ((r.bytes[gops[0] + 7] >> 6) & 1, 1);
    EXPECT_EQ((r.bytes[gops[1] + 7] >> 6) & 1, 0);
    const std::vector<size_t> pictures = startCodes(r.bytes, 0x00);
    auto temporalReference = [&](size_t n) {
        return (int(r.bytes[pictures[n] + 4]) << 2) | (r.bytes[pictures[n] + 5] >> 6);
    };
    EXPECT_EQ(temporalReference(13), 2);
    EXPECT_EQ(temporalReference(14), 0);
    EXPECT_EQ(temporalReference(15), 1);
    EXPECT_EQ(temporalReference(1), 3);
}

TEST(MotionEncode, ShortInputsAndNoBPictures) {
    Options o;
    o.width = 64;
    o.height = 48;
    o.frames = 8;
    EncodeRun r = encode(o);
    expectClean(r, 8);
    // The last reference lies beyond the input: it takes the last frame.
    EXPECT_EQ(r.codingOrder, (std::vector<int>{0, 3, 1, 2, 6, 4, 5, 7}));

    o.frames = 1;
    r = encode(o);
    expectClean(r, 1);
    EXPECT_EQ(pictureTypes(r.bytes), std::vector<int>{1});
    EXPECT_EQ(startCodes(r.bytes, 0xB3).size(), 1u);
    EXPECT_EQ((r.bytes[startCodes(r.bytes, 0xB8)[0] + 7] >> 6) & 1, 1);
    ASSERT_GE(r.bytes.size(), 4u);
    EXPECT_EQ(std::vector<uint8_t>(r.bytes.end() - 4, r.bytes.end()), (std::vector<uint8_t>{0, 0, 1, 0xB7}));

    o.frames = 20;
    o.adjust = [](EncoderSettings& s) {
        s.ipFrameDistance = 1;
        s.iFramesInGOP = 12;
        deriveMotionTable(s);
    };
    r = encode(o);
    expectClean(r, 20);
    std::vector<int> want(20, 2);
    want[0] = want[12] = 1;
    EXPECT_EQ(pictureTypes(r.bytes), want);
}

TEST(MotionEncode, PulldownFlagsFollowTheFrameNumber) {
    for (int flag : {1, 2}) {
        SCOPED_TRACE(flag);
        Options o;
        o.width = 64;
        o.height = 48;
        o.frames = 8;
        o.adjust = [flag](EncoderSettings& s) {
            s.videoPulldownFlag = flag;
            s.frameRateCode = 1;
            s.frameRate = 23.976;
        };
        const EncodeRun r = encode(o);
        expectClean(r, 8);
        static const int kWant[2][4][2] = {{{1, 0}, {1, 1}, {0, 0}, {0, 1}}, {{1, 1}, {0, 0}, {0, 1}, {1, 0}}};
        const std::vector<CodingExtension> ext = codingExtensions(r.bytes);
        ASSERT_EQ(ext.size(), 8u);
        for (size_t n = 0; n < ext.size(); ++n) {
            const int frame = r.codingOrder[n];
            EXPECT_EQ(ext[n].topFieldFirst, kWant[flag - 1][frame % 4][0]) << "frame " << frame;
            EXPECT_EQ(ext[n].repeatFirstField, kWant[flag - 1][frame % 4][1]) << "frame " << frame;
        }
        // What a player sees: ten fields for every four frames.
        int fields = 0;
        for (const DecodedPicture& p : r.video.pictures) fields += 2 + p.repeatPict;
        EXPECT_EQ(fields, 20);
    }
}

TEST(MotionEncode, FieldPicturesCodeAnIFrameAsAnIAndAPField) {
    for (int tff : {1, 0}) {
        SCOPED_TRACE(tff);
        Options o;
        o.width = 176;
        o.height = 128;
        o.frames = 7;
        o.scene = Scene::Interlaced;
        o.adjust = [tff](EncoderSettings& s) {
            s.fieldPictures = 1;
            s.topFieldFirst = tff;
            s.progressiveSequence = s.progressiveFrame = 0;
        };
        const EncodeRun r = encode(o);
        expectClean(r, 7);
        // Frames I0 P3 B1 B2 P6 B4 B5, two fields each.
        EXPECT_EQ(pictureTypes(r.bytes), (std::vector<int>{1, 2, 2, 2, 3, 3, 3, 3, 2, 2, 3, 3, 3, 3}));
        const std::vector<CodingExtension> ext = codingExtensions(r.bytes);
        ASSERT_EQ(ext.size(), 14u);
        for (size_t n = 0; n < ext.size(); ++n) {
            EXPECT_EQ(ext[n].pictureStructure, (n % 2 == 0) == (tff == 1) ? 1 : 2);
            EXPECT_EQ(ext[n].framePredFrameDct, 0);
        }
        EXPECT_GE(r.check.psnrY, 30.0);
    }
}

struct MatrixCase {
    int videoType;
    Scene scene;
    int M, N;
    int variableMaxMotion;
    int framePredFrameDct;
    int fieldPictures;
    int pulldown;
};

class MotionStreams : public ::testing::TestWithParam<MatrixCase> {};

TEST_P(MotionStreams, DecodeCleanlyAndMatchTheReconstruction) {
    const MatrixCase c = GetParam();
    Options o;
    o.videoType = c.videoType;
    o.scene = c.scene;
    o.frames = 10;
    o.width = 176;
    o.height = c.fieldPictures ? 128 : 144;
    o.adjust = [c](EncoderSettings& s) {
        s.iFramesInGOP = c.N;
        s.ipFrameDistance = c.M;
        s.variableMaxMotion = c.variableMaxMotion;
        deriveMotionTable(s);
        if (c.videoType >= 2) {
            s.framePredDCTP = s.framePredDCTB = c.framePredFrameDct;
            s.fieldPictures = c.fieldPictures;
            if (!c.framePredFrameDct || c.fieldPictures) s.progressiveSequence = s.progressiveFrame = 0;
            s.videoPulldownFlag = c.pulldown;
            if (c.pulldown) {
                s.frameRateCode = 1;
                s.frameRate = 23.976;
                s.progressiveSequence = 0;
            }
        }
    };
    const EncodeRun r = encode(o);
    expectClean(r, o.frames);
    EXPECT_GE(r.check.psnrY, 30.0);
}

INSTANTIATE_TEST_SUITE_P(
    Streams, MotionStreams,
    ::testing::Values(
        // Every videoType with its preset GOP, hierarchical search.
        MatrixCase{0, Scene::Pan, 3, 15, 58, 1, 0, 0}, MatrixCase{1, Scene::Pan, 3, 12, 58, 1, 0, 0},
        MatrixCase{2, Scene::Pan, 3, 15, 58, 1, 0, 0}, MatrixCase{3, Scene::Pan, 3, 12, 58, 1, 0, 0},
        MatrixCase{4, Scene::Pan, 3, 15, 58, 1, 0, 0},
        // Full search, other content.
        MatrixCase{0, Scene::Zoom, 3, 15, 4, 1, 0, 0}, MatrixCase{2, Scene::Objects, 3, 12, 4, 1, 0, 0},
        MatrixCase{2, Scene::SceneCut, 3, 15, 58, 1, 0, 0}, MatrixCase{1, Scene::FastPan, 3, 12, 58, 1, 0, 0},
        MatrixCase{4, Scene::FastPan, 3, 15, 58, 1, 0, 0}, MatrixCase{2, Scene::SlowPan, 3, 15, 4, 1, 0, 0},
        // M = 1 (dual prime with frame_pred_frame_dct 0), field and frame.
        MatrixCase{2, Scene::Interlaced, 1, 15, 58, 0, 0, 0}, MatrixCase{2, Scene::Interlaced, 1, 15, 4, 0, 1, 0},
        MatrixCase{0, Scene::Pan, 1, 15, 58, 1, 0, 0},
        // frame_pred_frame_dct 0: field motion and field DCT in frame pictures.
        MatrixCase{2, Scene::Interlaced, 3, 15, 58, 0, 0, 0}, MatrixCase{4, Scene::Interlaced, 3, 15, 4, 0, 0, 0},
        // Field pictures.
        MatrixCase{4, Scene::Interlaced, 3, 15, 58, 0, 1, 0}, MatrixCase{3, Scene::Objects, 3, 12, 4, 0, 1, 0},
        // Pulldown.
        MatrixCase{4, Scene::Pan, 3, 15, 58, 1, 0, 1}, MatrixCase{2, Scene::Pan, 3, 12, 4, 1, 0, 2}));

TEST(MotionEncode, PredictionBeatsIntraOnPanningContent) {
    for (Scene scene : {Scene::Pan, Scene::SlowPan}) {
        Options o;
        o.scene = scene;
        o.frames = 15;
        const EncodeRun coded = encode(o);
        expectClean(coded, 15);
        o.adjust = [](EncoderSettings& s) { s.iFramesInGOP = s.ipFrameDistance = 1; };
        const EncodeRun intra = encode(o);
        expectClean(intra, 15);
        EXPECT_GE(coded.check.psnrY, intra.check.psnrY - 1.5);
        EXPECT_LE(double(coded.bytes.size()), 0.7 * double(intra.bytes.size()))
            << coded.bytes.size() << " vs " << intra.bytes.size();
    }
}

TEST(MotionEncode, SixtyPicturesDoNotDrift) {
    Options o;
    o.frames = 60;
    o.scene = Scene::Objects;
    const EncodeRun r = encode(o);
    expectClean(r, 60);  // every picture within 2 of the reconstruction
    EXPECT_GE(r.check.psnrY, 30.0);
}

TEST(MotionEncode, StatisticsFileDescribesEveryPicture) {
    Options o;
    o.width = 64;
    o.height = 48;
    o.frames = 4;
    o.statistics = true;  // 64x48 interlaced: 4 x 4 macroblocks
    o.adjust = [](EncoderSettings& s) { s.variableMaxMotion = 4; };
    const EncodeRun r = encode(o);
    expectClean(r, 4);
    const std::string& st = r.statistics;
    EXPECT_NE(st.find("\nFrame 0 (#0 in display order):\n picture_type=I\n temporal_reference=0\n"), std::string::npos);
    EXPECT_NE(st.find("\nFrame 1 (#3 in display order):\n picture_type=P\n temporal_reference=3\n"), std::string::npos);
    // P: entry 0 of the motion table (range 9, f_code 2).
    EXPECT_NE(st.find(" forward search window: -9...9 / -9...9\n forward vector range: -16...15.5 / -16...15.5\n"),
              std::string::npos);
    // B at distance 1: forward range 3, backward 6, f_code 1.
    EXPECT_NE(st.find(" backward search window: -6...6 / -6...6\n backward vector range: -8...7.5 / -8...7.5\n"),
              std::string::npos);
    EXPECT_NE(st.find("Y: variance="), std::string::npos);
    EXPECT_NE(st.find("\npicture statistics:\n # of intra coded macroblocks:    16 (100.0%)\n"), std::string::npos);
    EXPECT_NE(st.find("\nmacroblock_type map:\nI  I  I  I  \n"), std::string::npos);
    EXPECT_NE(st.find("\nmquant map:\n"), std::string::npos);
    size_t pictures = 0;
    for (size_t at = st.find("picture statistics"); at != std::string::npos; at = st.find("picture statistics", at + 1))
        ++pictures;
    EXPECT_EQ(pictures, 4u);
}

class StopAfter : public DialogView {
public:
    StopAfter(Engine*& engine, int framesAfter, int pumps) : engine_(engine), framesAfter_(framesAfter), left_(pumps) {}
    void setStartEnabled(bool) override {}
    void setStopEnabled(bool) override {}
    void setCancelEnabled(bool) override {}
    void setCancelLabel(const std::string&) override {}
    void setProgressValue(int) override {}
    void setStatusText(const std::string&) override {}
    void startTimer(int) override {}
    void postStart() override {}
    void postClose() override {}
    // Counts the pumps once framesAfter pictures are done.
    void processEvents() override {
        if (engine_->job.framesEncoded >= framesAfter_ && --left_ == 0) engine_->pressStop();
    }
    void runModal(DialogController&) override {}

private:
    Engine*& engine_;
    int framesAfter_;
    int left_;
};

TEST(MotionEncode, StopDuringMotionSearchKeepsTheStreamWithoutEndCode) {
    // The loop pumps once per picture and the search once per macroblock: a
    // stop confirmed in the middle of the third picture's search (a B
    // picture; 64x48 has 12 macroblocks) ends the encode there.
    TempDir dir;
    const std::string out = dir.file("stop.m2v");
    VideoJob job(64, 48, 10, out, 2, 4);
    MovingScene scene(64, 48, Scene::Pan);
    job.engine.request.frameSource = &scene;
    Engine* engine = &job.engine;
    StopAfter view(engine, 2, 5);
    job.engine.setActiveDialog(&view);
    EXPECT_FALSE(runVideoEncoder(job.engine));
    job.engine.setActiveDialog(nullptr);
    EXPECT_TRUE(job.engine.job.stopRequested);
    EXPECT_TRUE(job.host.errors.empty());
    EXPECT_EQ(job.engine.job.framesEncoded, 2);
    const std::vector<uint8_t> b = readAll(out);
    EXPECT_TRUE(startCodes(b, 0xB7).empty());
    EXPECT_EQ(pictureTypes(b), (std::vector<int>{1, 2}));
    const DecodedVideo video = decodeVideo(out);
    EXPECT_EQ(video.errors, 0);
    EXPECT_GE(video.pictures.size(), 1u);
}

}  // namespace
}  // namespace quillon::testing

// Colour conversion, padding, chroma filters and the frame window.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <thread>

#include "tests/video/video_test_util.h"
#include "video/encoder/encoder_setup.h"
#include "video/encoder/frame_input.h"

namespace quillon::testing {
namespace {

struct Yuv {
    int y, u, v;
};

Yuv convertOne(ColourRoutine routine, int matrix, uint8_t r, uint8_t g, uint8_t b) {
    // Two pixels per row, so the even-pixel pairing is exercised.
    const uint8_t px[8] = {b, g, r, 0, b, g, r, 0};
    uint8_t y[2], u[2], v[2];
    convertRgbToYuv(routine, matrix, px, 8, 2, 1, y, u, v, 2);
    EXPECT_EQ(y[0], y[1]);
    return {y[0], u[0], v[0]};
}

TEST(ColourConversion, ReferenceColours) {
    for (ColourRoutine routine : {ColourRoutine::Integer, ColourRoutine::Floating}) {
        SCOPED_TRACE(routine == ColourRoutine::Integer ? "integer" : "floating");
        const Yuv grey = convertOne(routine, 5, 128, 128, 128);
        EXPECT_EQ(grey.y, 126);
        EXPECT_EQ(grey.u, 128);
        EXPECT_EQ(grey.v, 128);
        EXPECT_EQ(convertOne(routine, 5, 255, 255, 255).y, 234);
        EXPECT_EQ(convertOne(routine, 5, 0, 0, 0).y, 16);
        const Yuv blue = convertOne(routine, 5, 0, 0, 255);
        EXPECT_EQ(blue.u, 240);
        EXPECT_EQ(convertOne(routine, 5, 255, 0, 0).v, 240);
        // Codes outside 1..7 convert like code 3; code 1 differs.
        for (int code : {0, 8, 2, 6}) {
            const Yuv a = convertOne(routine, code, 200, 30, 90), b = convertOne(routine, 3, 200, 30, 90);
            EXPECT_EQ(a.y, b.y);
            EXPECT_EQ(a.u, b.u);
            EXPECT_EQ(a.v, b.v);
        }
        EXPECT_NE(convertOne(routine, 1, 200, 30, 90).y, convertOne(routine, 3, 200, 30, 90).y);
    }
    // The two routines agree within rounding on arbitrary colours.
    for (int c = 0; c < 256; c += 5) {
        for (int m : {1, 3, 4, 7}) {
            const Yuv a = convertOne(ColourRoutine::Integer, m, static_cast<uint8_t>(c), static_cast<uint8_t>(255 - c),
                                     static_cast<uint8_t>((c * 7) & 255));
            const Yuv b = convertOne(ColourRoutine::Floating, m, static_cast<uint8_t>(c), static_cast<uint8_t>(255 - c),
                                     static_cast<uint8_t>((c * 7) & 255));
            EXPECT_NEAR(a.y, b.y, 1);
            EXPECT_NEAR(a.u, b.u, 1);
            EXPECT_NEAR(a.v, b.v, 1);
        }
    }
}

TEST(ColourConversion, RowsAreReadBottomUp) {
    // Memory row 0 is the bottom picture row.
    const uint8_t px[16] = {0, 0, 0, 0, 0, 0, 0, 0, 255, 255, 255, 0, 255, 255, 255, 0};
    uint8_t y[4], u[4], v[4];
    convertRgbToYuv(ColourRoutine::Integer, 5, px + 8, 8, 2, 2, y, u, v, 2);
    EXPECT_EQ(y[0], 234);  // top row: the white memory row
    EXPECT_EQ(y[2], 16);
}

TEST(Padding, InterlacedHeightRoundsToThirtyTwoLines) {
    EncoderSettings s;
    s.progressiveSequence = 0;
    const VideoGeometry g = computeGeometry(s, 352, 240);
    EXPECT_EQ(g.paddedWidth, 352);
    EXPECT_EQ(g.paddedHeight, 256);
    EXPECT_EQ(g.chromaWidth, 176);
    EXPECT_EQ(g.chromaHeight, 128);
    s.progressiveSequence = 1;
    EXPECT_EQ(computeGeometry(s, 352, 240).paddedHeight, 240);
    s.fieldPictures = 1;
    s.progressiveSequence = 0;
    s.chromaFormat = 2;
    const VideoGeometry f = computeGeometry(s, 714, 486);
    EXPECT_EQ(f.mbWidth, 45);
    EXPECT_EQ(f.mbHeight, 32);
    EXPECT_EQ(f.mbHeightPicture, 16);
    EXPECT_EQ(f.lineStep, 2 * 720);
    EXPECT_EQ(f.chromaHeight, 512);
    EXPECT_EQ(f.blockCount, 8);

    std::vector<uint8_t> plane(static_cast<size_t>(352) * 256, 0);
    for (int r = 0; r < 240; ++r)
        for (int x = 0; x < 350; ++x) plane[static_cast<size_t>(r) * 352 + x] = static_cast<uint8_t>(r + x);
    padPlane(plane.data(), 352, 350, 240, 352, 256);
    for (int r = 0; r < 240; ++r) {
        EXPECT_EQ(plane[static_cast<size_t>(r) * 352 + 350], plane[static_cast<size_t>(r) * 352 + 349]);
        EXPECT_EQ(plane[static_cast<size_t>(r) * 352 + 351], plane[static_cast<size_t>(r) * 352 + 349]);
    }
    for (int r = 240; r < 256; ++r)
        EXPECT_TRUE(std::equal(plane.begin() + r * 352, plane.begin() + (r + 1) * 352, plane.begin() + 239 * 352));
}

TEST(ChromaFilters, UniformPlanesAndEdges) {
    std::array<uint8_t, 1024> clipTable;
    buildClipTable(clipTable);
    const uint8_t* clip = clipTable.data() + 384;
    EXPECT_EQ(clip[-384], 0);
    EXPECT_EQ(clip[639], 255);
    EXPECT_EQ(clip[100], 100);

    const int w = 32, h = 32;
    std::vector<uint8_t> in(w * h, 128), half(w / 2 * h), quarter(w / 2 * h / 2);
    filterHorizontal(clip, false, in.data(), half.data(), w, h);
    for (uint8_t v : half) ASSERT_EQ(v, 128);
    filterHorizontal(clip, true, in.data(), half.data(), w, h);
    for (uint8_t v : half) ASSERT_EQ(v, 129);  // the MPEG-2 taps sum to 514
    std::fill(half.begin(), half.end(), 128);
    for (bool progressive : {true, false}) {
        filterVertical(clip, progressive, half.data(), quarter.data(), w / 2, h);
        for (uint8_t v : quarter) ASSERT_EQ(v, 128);
    }

    // A step edge: MPEG-1 output k sits between inputs 2k and 2k + 1.
    std::vector<uint8_t> step(w * 2);
    for (int x = 0; x < w; ++x) step[x] = step[w + x] = x < 16 ? 16 : 235;
    std::vector<uint8_t> out(w / 2 * 2);
    filterHorizontal(clip, false, step.data(), out.data(), w, 2);
    EXPECT_EQ(out[0], 16);
    EXPECT_EQ(out[15], 235);
    // The two outputs either side of the step mirror each other.
    EXPECT_LT(out[7], 64);
    EXPECT_GT(out[8], 192);
    EXPECT_EQ(out[7] - 16, 235 - out[8]);

    // Interlaced: each output row comes from one field only.
    std::vector<uint8_t> fields(16 * 32);
    for (int r = 0; r < 32; ++r)
        for (int x = 0; x < 16; ++x) fields[r * 16 + x] = r % 2 ? 200 : 50;
    std::vector<uint8_t> outFields(16 * 16);
    filterVertical(clip, false, fields.data(), outFields.data(), 16, 32);
    for (int r = 0; r < 16; ++r) EXPECT_EQ(outFields[r * 16], r % 2 ? 200 : 50) << r;
    filterVertical(clip, true, fields.data(), outFields.data(), 16, 32);
    EXPECT_NEAR(outFields[16 * 8], 125, 1);
}

TEST(FrameWindow, FramesInsideTheWindowAreNotReadAgain) {
    RecordingHost host;
    Engine engine(host);
    configureVideo(engine.work, 2, 4);
    engine.work.chromaFormat = 1;
    engine.ev.horizontalSize = 48;
    engine.ev.verticalSize = 32;
    engine.job.firstFrame = 10;
    SyntheticFrames frames(48, 32, 100);
    frames.setUniform(128, 128, 128);
    engine.request.frameSource = &frames;
    VideoEncoder enc(engine);
    enc.mpeg2 = true;
    enc.gopSize = 3;
    enc.geo = computeGeometry(engine.work, 48, 32);
    enc.firstFrameNumber = 10;
    buildClipTable(enc.clipTable);
    ASSERT_TRUE(setUpFrameInput(enc));
    EXPECT_EQ(enc.input.slots.size(), 4u);
    Picture target = enc.input.slots[0];
    // Coding order I0 P3 B1 B2 P6 B4 B5: every frame is read once.
    for (int display : {0, 3, 1, 2, 6, 4, 5}) ASSERT_TRUE(fetchPicture(enc, target, display));
    EXPECT_EQ(frames.calls, 7);
    EXPECT_EQ(target.y()[0], 126);
    EXPECT_EQ(target.cb()[0], 129);  // uniform 128 through the MPEG-2 horizontal filter
    ASSERT_TRUE(fetchPicture(enc, target, 5));
    EXPECT_EQ(frames.calls, 7);
    frames.failFrom = 17;
    EXPECT_FALSE(fetchPicture(enc, target, 9));
    EXPECT_EQ(host.lines.back(), "  Could not get frame # 17, error code 5.");
    // Frames before the failed one are still served from the window.
    const int calls = frames.calls;
    EXPECT_TRUE(fetchPicture(enc, target, 6));
    EXPECT_EQ(frames.calls, calls);
    tearDownFrameInput(enc);
}

// A source that converts the next picture on a thread of its own, as the
// media input's read-ahead does: the picture after the one asked for.
class ConvertingAhead : public FrameSource {
public:
    ConvertingAhead(int width, int height) : frames_(width, height) {}
    ~ConvertingAhead() override { join(); }
    int getFrame(int frame, int32_t* rowBytes, const uint8_t** pixels) override {
        join();
        return frames_.getFrame(frame, rowBytes, pixels);
    }
    int conversionBuffers() const override { return 2; }
    bool setConversion(Conversion convert, const std::vector<void*>& buffers) override {
        join();
        convert_ = std::move(convert);
        buffers_[0] = buffers.empty() ? nullptr : buffers[0];
        buffers_[1] = buffers.size() < 2 ? nullptr : buffers[1];
        aheadFrame_ = -1;
        return true;
    }
    int getConvertedFrame(int frame, void** buffer) override {
        join();
        if (frame == aheadFrame_ && aheadResult_ == 0) {
            ++madeAhead;
            std::swap(buffers_[0], buffers_[1]);
        } else {
            int32_t rowBytes;
            const uint8_t* pixels;
            const int result = frames_.getFrame(frame, &rowBytes, &pixels);
            if (result != 0) return result;
            convert_(rowBytes, pixels, buffers_[0]);
        }
        *buffer = buffers_[0];
        aheadFrame_ = frame + 1;
        ahead_ = std::thread([this] {
            int32_t rowBytes;
            const uint8_t* pixels;
            aheadResult_ = frames_.getFrame(aheadFrame_, &rowBytes, &pixels);
            if (aheadResult_ == 0) convert_(rowBytes, pixels, buffers_[1]);
        });
        return 0;
    }
    int madeAhead = 0;

private:
    void join() {
        if (ahead_.joinable()) ahead_.join();
    }
    SyntheticFrames frames_;
    Conversion convert_;
    void* buffers_[2] = {};
    int aheadFrame_ = -1, aheadResult_ = 0;
    std::thread ahead_;
};

// Pictures the source converts ahead, on another thread, are those the
// encoder converts in place: in coding order, behind the window (a missed
// guess) and for every chroma format.
TEST(FrameWindow, PicturesConvertedAheadEqualThoseConvertedInPlace) {
    const char* saved = std::getenv("QUILLON_THREADS");
    const std::string old = saved ? saved : "";
    for (int chroma : {1, 2, 3}) {
        SCOPED_TRACE(chroma);
        std::vector<std::vector<uint8_t>> planes[2];
        int madeAhead = 0;
        for (int threads : {1, 2}) {
            setenv("QUILLON_THREADS", std::to_string(threads).c_str(), 1);
            RecordingHost host;
            Engine engine(host);
            configureVideo(engine.work, 2, 4);
            engine.work.chromaFormat = chroma;
            engine.work.progressiveFrame = 0;
            SyntheticFrames plain(48, 32, 100);
            ConvertingAhead ahead(48, 32);
            engine.request.frameSource = threads == 1 ? static_cast<FrameSource*>(&plain) : &ahead;
            VideoEncoder enc(engine);
            enc.mpeg2 = true;
            enc.gopSize = 3;
            enc.geo = computeGeometry(engine.work, 48, 32);
            buildClipTable(enc.clipTable);
            ASSERT_TRUE(setUpFrameInput(enc));
            EXPECT_EQ(enc.input.ahead != nullptr, threads == 2);
            Picture target = enc.input.slots[0];
            for (int display : {0, 3, 1, 2, 6, 4, 5, 9, 7, 8, 1, 10}) {
                ASSERT_TRUE(fetchPicture(enc, target, display));
                for (auto& p : target.plane) planes[threads - 1].push_back(p);
            }
            tearDownFrameInput(enc);
            madeAhead = ahead.madeAhead;
        }
        EXPECT_GE(madeAhead, 8);
        ASSERT_EQ(planes[0].size(), planes[1].size());
        for (size_t i = 0; i < planes[0].size(); ++i) EXPECT_EQ(planes[0][i], planes[1][i]) << "plane " << i;
    }
    if (saved)
        setenv("QUILLON_THREADS", old.c_str(), 1);
    else
        unsetenv("QUILLON_THREADS");
}

TEST(FrameWindow, BlackAndWhiteAndFullChroma) {
    RecordingHost host;
    Engine engine(host);
    configureVideo(engine.work, 2, 4);
    engine.work.chromaFormat = 3;
    engine.work.blackAndWhite = 1;
    SyntheticFrames frames(32, 32, 10);
    frames.setUniform(255, 0, 0);  // pure blue
    engine.request.frameSource = &frames;
    VideoEncoder enc(engine);
    enc.mpeg2 = true;
    enc.geo = computeGeometry(engine.work, 32, 32);
    buildClipTable(enc.clipTable);
    ASSERT_TRUE(setUpFrameInput(enc));
    EXPECT_TRUE(enc.input.u444.empty());
    Picture target = enc.input.slots[0];
    ASSERT_TRUE(fetchPicture(enc, target, 0));
    for (uint8_t v : target.plane[1]) ASSERT_EQ(v, 128);
    engine.work.blackAndWhite = 0;
    ASSERT_TRUE(fetchPicture(enc, target, 1));
    EXPECT_EQ(target.cb()[0], 240);  // 4:4:4 is not filtered
    EXPECT_EQ(target.cb()[32 * 32 - 1], 240);
}

}  // namespace
}  // namespace quillon::testing

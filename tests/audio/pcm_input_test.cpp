#include <gtest/gtest.h>

#include "audio/pcm_input.h"
#include "tests/audio/audio_test_support.h"

namespace quillon::audio {
namespace {

using quillon::testing::BufferSource;

// Stereo ramp: left frame index i gives i, right gives -i (mod 16 bits).
std::vector<int16_t> ramp(int frames) {
    std::vector<int16_t> pcm(2 * static_cast<size_t>(frames));
    for (int i = 0; i < frames; ++i) {
        pcm[2 * i] = static_cast<int16_t>(i);
        pcm[2 * i + 1] = static_cast<int16_t>(-i);
    }
    return pcm;
}

struct Fixture {
    quillon::testing::AudioTestHost host;
    Engine engine{host};
    quillon::testing::ProgressView view;
    BufferSource source;
    PcmInput input{engine};
    Fixture(int frames, int blockFrames, int sourceFrames = -1)
        : source(ramp(sourceFrames < 0 ? frames : sourceFrames), blockFrames) {
        engine.request.sampleSource = &source;
        engine.job.firstSample = 0;
        engine.job.lastSample = frames - 1;
        engine.job.sampleCount = frames;
        engine.setActiveDialog(&view);
    }
    ~Fixture() { engine.setActiveDialog(nullptr); }
};

TEST(PcmInput, OneBlockOfFourFramesGivesFourLayerTwoFrames) {
    Fixture f(4608, 4608);
    ASSERT_TRUE(f.input.start());
    for (int frame = 0; frame < 4; ++frame) {
        ASSERT_EQ(f.input.fetchFrame(2, 2), 2304) << frame;
        EXPECT_EQ(f.input.pcm[0][0], static_cast<int16_t>(1152 * frame));
        EXPECT_EQ(f.input.pcm[1][1151], static_cast<int16_t>(-(1152 * frame + 1151)));
    }
    EXPECT_EQ(f.input.fetchFrame(2, 2), 0);
    EXPECT_EQ(f.source.requested, std::vector<int>{0});
    // 4608 of 4608 is 100 %, shown as 0 again.
    ASSERT_EQ(f.view.percents.size(), 1u);
    EXPECT_EQ(f.view.percents[0], 0);
    EXPECT_EQ(f.view.texts[0], "Audio Conversion Progress: 0% \n\nCurrent Sample: 0 / Total Sample: 4608.");
}

TEST(PcmInput, FramesSpanBlocksOfAThousandSampleFrames) {
    Fixture f(4608, 1000);
    ASSERT_TRUE(f.input.start());
    for (int frame = 0; frame < 4; ++frame) {
        ASSERT_EQ(f.input.fetchFrame(2, 2), 2304);
        for (int i = 0; i < 1152; ++i) {
            ASSERT_EQ(f.input.pcm[0][i], static_cast<int16_t>(1152 * frame + i)) << frame << " " << i;
            ASSERT_EQ(f.input.pcm[1][i], static_cast<int16_t>(-(1152 * frame + i)));
        }
    }
    EXPECT_EQ(f.input.fetchFrame(2, 2), 0);
    EXPECT_EQ(f.source.requested, (std::vector<int>{0, 1000, 2000, 3000, 4000}));
    EXPECT_EQ(f.view.percents, (std::vector<int>{21, 43, 65, 86, 0}));
    EXPECT_EQ(f.view.texts[1], "Audio Conversion Progress: 43% \n\nCurrent Sample: 2000 / Total Sample: 4608.");
}

TEST(PcmInput, FinalPartialFrameIsFilledWithSilence) {
    Fixture f(1252, 4608);
    ASSERT_TRUE(f.input.start());
    ASSERT_EQ(f.input.fetchFrame(2, 2), 2304);
    ASSERT_EQ(f.input.fetchFrame(2, 2), 2304);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(f.input.pcm[0][i], 1152 + i);
    for (int i = 100; i < 1152; ++i) {
        ASSERT_EQ(f.input.pcm[0][i], 0) << i;
        ASSERT_EQ(f.input.pcm[1][i], 0) << i;
    }
    EXPECT_EQ(f.input.fetchFrame(2, 2), 0);
}

TEST(PcmInput, TinyBlocksAndOverlongBlocksStayInTheirBounds) {
    // Blocks of 7 sample frames (28 bytes) still fill whole frames.
    Fixture tiny(2304, 7);
    ASSERT_TRUE(tiny.input.start());
    ASSERT_EQ(tiny.input.fetchFrame(2, 2), 2304);
    ASSERT_EQ(tiny.input.fetchFrame(2, 2), 2304);
    EXPECT_EQ(tiny.input.pcm[0][1151], 2303);
    EXPECT_EQ(tiny.input.fetchFrame(2, 2), 0);
    // A source handing out more than the job's range: the rest is not sound
    // of this job.
    Fixture longer(1200, 4608, 4608);
    ASSERT_TRUE(longer.input.start());
    ASSERT_EQ(longer.input.fetchFrame(2, 2), 2304);
    ASSERT_EQ(longer.input.fetchFrame(2, 2), 2304);
    EXPECT_EQ(longer.input.pcm[0][47], 1199);
    EXPECT_EQ(longer.input.pcm[0][48], 0);
    EXPECT_EQ(longer.input.fetchFrame(2, 2), 0);
}

TEST(PcmInput, AFailingSourceEndsTheSoundThere) {
    Fixture f(10000, 1000);
    f.source.failAtCall = 2;
    ASSERT_TRUE(f.input.start());
    ASSERT_EQ(f.input.fetchFrame(2, 2), 2304);
    ASSERT_EQ(f.input.fetchFrame(2, 2), 2304);  // 848 sample frames, then silence
    EXPECT_EQ(f.input.pcm[0][847], 1999);
    EXPECT_EQ(f.input.pcm[0][848], 0);
    EXPECT_EQ(f.input.fetchFrame(2, 2), 0);
    EXPECT_EQ(f.source.requested.size(), 3u);

    Fixture empty(1000, 1000);
    empty.source.failAtCall = 0;
    EXPECT_FALSE(empty.input.start());
}

TEST(PcmInput, LayerOneKeepsTheFilterLookbackAndSingleChannelTakesTheMean) {
    Fixture f(1152, 4608);
    ASSERT_TRUE(f.input.start());
    ASSERT_EQ(f.input.fetchFrame(2, 1), 768);
    EXPECT_EQ(f.input.pcm[0][64], 0);
    EXPECT_EQ(f.input.pcm[0][447], 383);
    ASSERT_EQ(f.input.fetchFrame(2, 1), 768);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(f.input.pcm[0][i], 320 + i);  // positions 384..447 before
    EXPECT_EQ(f.input.pcm[0][64], 384);
    EXPECT_EQ(f.input.pcm[1][64], -384);

    Fixture mono(1152, 4608);
    std::vector<int16_t> pcm(2304);
    for (int i = 0; i < 1152; ++i) {
        pcm[2 * i] = static_cast<int16_t>(3 * i);
        pcm[2 * i + 1] = static_cast<int16_t>(i + 10);
    }
    BufferSource source(pcm);
    mono.engine.request.sampleSource = &source;
    ASSERT_TRUE(mono.input.start());
    ASSERT_EQ(mono.input.fetchFrame(1, 2), 1152);
    for (int i = 0; i < 1152; ++i) {
        ASSERT_EQ(mono.input.pcm[0][i], 2 * i + 5) << i;
        ASSERT_EQ(mono.input.pcm[1][i], 0);
    }
}

}  // namespace
}  // namespace quillon::audio

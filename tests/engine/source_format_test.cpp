#include <gtest/gtest.h>

#include "engine/engine.h"
#include "engine/presets.h"
#include "engine/source_format.h"
#include "tests/engine/fake_host.h"

namespace quillon {
namespace {

using testing::FakeHost;

struct Fixture {
    FakeHost host;
    Engine engine{host};
    explicit Fixture(int kind = kKindMpeg2, int tv = 1) {
        applyPreset(engine.work, kind, tv, 1);
        engine.ev.hasVideo = 1;
        engine.ev.hasAudio = 1;
    }
    int check(int w, int h, int rate = 44100, int bits = 16) {
        return checkSourceFormat(engine, w, h, rate, bits);
    }
    std::vector<std::string> texts() const {
        std::vector<std::string> t;
        for (const auto& b : host.boxes) t.push_back(b.text);
        return t;
    }
};

TEST(SourceFormat, SizeMessagesDropTheVideo) {
    Fixture f;
    EXPECT_EQ(f.check(1921, 0), 1);
    EXPECT_EQ(f.texts(), (std::vector<std::string>{
                             "Horizontal size must be in the range 1 .. 1920.",
                             "Vertical size must be in the range 1 .. 1152.",
                             "Horizontal size must be a even."}));
    EXPECT_EQ(f.host.boxes[0].caption, "Quorvel Encoder - error");
    EXPECT_EQ(f.engine.ev.hasVideo, 0);
    EXPECT_EQ(f.engine.ev.hasAudio, 1);
    EXPECT_EQ(f.engine.work.level, 8);  // no adjustment after a size message

    Fixture odd;
    EXPECT_EQ(odd.check(352, 287), 1);
    EXPECT_EQ(odd.texts(), std::vector<std::string>{"Vertical size must be a even."});

    Fixture fine;
    EXPECT_EQ(fine.check(720, 576), 0);
    EXPECT_TRUE(fine.host.boxes.empty());
    EXPECT_EQ(fine.engine.ev.hasVideo, 1);
}

TEST(SourceFormat, LevelAndProfileRiseWithThePicture) {
    Fixture hd;
    hd.engine.work.profile = 5;
    hd.check(1920, 1088);
    EXPECT_EQ(hd.engine.work.level, 4);
    EXPECT_EQ(hd.engine.work.profile, 4);

    Fixture mid;
    mid.engine.work.level = 10;
    mid.engine.work.profile = 5;
    mid.check(1280, 720);
    EXPECT_EQ(mid.engine.work.level, 6);
    EXPECT_EQ(mid.engine.work.profile, 4);

    Fixture sd;
    sd.engine.work.level = 10;
    sd.engine.work.profile = 5;
    sd.check(480, 576);
    EXPECT_EQ(sd.engine.work.level, 8);
    EXPECT_EQ(sd.engine.work.profile, 5);  // a rise to Main leaves the profile

    Fixture small;
    small.engine.work.level = 10;
    small.check(352, 288);
    EXPECT_EQ(small.engine.work.level, 10);
}

// The pictures come at the standard's rate, so the level rises to take it;
// only a rate beyond the highest level comes down (never below 25).
TEST(SourceFormat, TheLevelRisesToTheFrameRate) {
    Fixture f;
    f.engine.work.frameRateCode = 5;
    f.engine.work.frameRate = 30.0;
    f.check(720, 576);
    EXPECT_EQ(f.engine.work.frameRateCode, 5);
    EXPECT_EQ(f.engine.work.level, 6);

    Fixture ntscOfPal(kKindMpeg2, 0);
    ntscOfPal.engine.work.profile = 5;
    ntscOfPal.check(720, 576);
    EXPECT_EQ(ntscOfPal.engine.work.frameRateCode, 4);
    EXPECT_EQ(ntscOfPal.engine.work.level, 6);
    EXPECT_EQ(ntscOfPal.engine.work.profile, 4);  // no Simple profile at High 1440

    Fixture mpeg1(kKindMpeg1, 0);
    mpeg1.check(720, 576);
    EXPECT_EQ(mpeg1.engine.work.frameRateCode, 4);

    Fixture ntsc(kKindDvd, 0);
    ntsc.check(720, 480);
    EXPECT_EQ(ntsc.engine.work.frameRateCode, 4);  // 720 x 480 x 29.97 fits
    EXPECT_EQ(ntsc.engine.work.level, 8);

    Fixture low;
    low.engine.work.level = 10;
    low.engine.work.frameRateCode = 5;
    low.engine.work.frameRate = 30.0;
    low.check(352, 288);
    EXPECT_EQ(low.engine.work.level, 10);  // 352 x 288 x 30 is the Low limit
    low.engine.work.frameRateCode = 8;
    low.engine.work.frameRate = 60.0;
    low.check(352, 288);
    EXPECT_EQ(low.engine.work.frameRateCode, 8);
    EXPECT_EQ(low.engine.work.level, 6);  // Main takes no 60

    Fixture high;
    high.engine.work.frameRateCode = 8;
    high.engine.work.frameRate = 60.0;
    high.check(1920, 1080);
    EXPECT_EQ(high.engine.work.level, 4);
    EXPECT_EQ(high.engine.work.frameRateCode, 5);  // x 50 exceeds level 4, x 30 fits
}

TEST(SourceFormat, SoundFormat) {
    Fixture mono;
    mono.engine.work.audioMode = 3;
    mono.engine.work.audioBitrate = 14;
    EXPECT_EQ(mono.check(352, 288, 48000), 0);
    EXPECT_EQ(mono.engine.work.audioBitrate, 10);
    EXPECT_EQ(mono.engine.ev.hasAudio, 1);

    Fixture stereo;
    stereo.engine.work.audioBitrate = 14;
    stereo.check(352, 288, 32000);
    EXPECT_EQ(stereo.engine.work.audioBitrate, 14);

    Fixture rate;
    EXPECT_EQ(rate.check(352, 288, 22050, 8), 0);
    EXPECT_EQ(rate.texts(),
              (std::vector<std::string>{
                  "Audio sample size must be 16 bits.",
                  "Audio sample rate must be 8, 11.025, 12, 16, 22.05, 24, 32, 44.1 or 48 kHz.\n"
                  "Otherwise, no sound will be handled."}));
    EXPECT_EQ(rate.engine.ev.hasAudio, 0);
    EXPECT_EQ(rate.engine.ev.hasVideo, 1);

    Fixture silent;
    silent.engine.ev.hasAudio = 0;
    silent.check(352, 288, 1, 1);
    EXPECT_TRUE(silent.host.boxes.empty());
}

}  // namespace
}  // namespace quillon

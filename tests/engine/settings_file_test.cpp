#include <gtest/gtest.h>

#include <cstring>

#include "engine/engine.h"
#include "engine/engine_entry.h"
#include "engine/presets.h"
#include "engine/settings_file.h"
#include "engine/settings_keys.h"
#include "platform/cpu_features.h"
#include "platform/profile.h"
#include "tests/engine/config_dir.h"
#include "tests/engine/fake_host.h"

namespace quillon {
namespace {

using testing::FakeHost;
using testing::ScopedConfigDir;

EncoderSettings preset(int kind, int tv) {
    EncoderSettings s;
    applyPreset(s, kind, tv, 1);
    return s;
}

TEST(SettingsFile, KeyTableCoversEveryKeyOnce) {
    const auto& keys = settingsKeys();
    // 1 + 5 + 13 + 21 + 9 + 21 + 48 plain keys, 4 P keys, 15 x 8 B keys,
    // then the 20 coding tools of [quality].
    EXPECT_EQ(keys.size(), 1u + 5 + 13 + 21 + 9 + 21 + 48 + 4 + 120 + 20);
    for (size_t i = 0; i < keys.size(); ++i)
        for (size_t j = i + 1; j < keys.size(); ++j) EXPECT_NE(keys[i].name, keys[j].name);
    EXPECT_EQ(keys[keys.size() - 21].name, "backVertSearchB15");
    EXPECT_EQ(keys.back().name, "propagation");
    EXPECT_STREQ(keys.back().section, "quality");
    EXPECT_EQ(findSettingsKey("IFRAMESINGOP")->name, "iFramesInGOP");
    EXPECT_EQ(findSettingsKey("nope"), nullptr);
}

TEST(SettingsFile, OnlyTheKeysPresentChange) {
    ScopedConfigDir config;
    FakeHost host;
    Engine engine(host);
    config.write("one.ini", "[video]\niFramesInGOP=12\n\n[audio]\niFramesInGOP=3\n");
    EncoderSettings s = preset(kKindMpeg2, 1);
    const EncoderSettings before = s;
    ASSERT_TRUE(loadSettingsFile(engine, "one.ini", s));
    EXPECT_EQ(s.iFramesInGOP, 12);
    s.iFramesInGOP = before.iFramesInGOP;
    EXPECT_EQ(formatSettingsFile(s), formatSettingsFile(before));
    EXPECT_TRUE(host.boxes.empty());
}

TEST(SettingsFile, MissingFileKeepsThePreset) {
    ScopedConfigDir config;
    FakeHost host;
    Engine engine(host);
    EncoderSettings s = preset(kKindDvd, 0);
    const std::string before = formatSettingsFile(s);
    EXPECT_TRUE(loadSettingsFile(engine, "default.ini", s));
    EXPECT_EQ(formatSettingsFile(s), before);
}

TEST(SettingsFile, BitratesAreWholeNumbersStoredAsDoubles) {
    ScopedConfigDir config;
    FakeHost host;
    Engine engine(host);
    config.write("rate.ini",
                 "[video]\nconstBitrate = 2500000\nmaxBitrate=12000000000\nminBitrate=7.9\n");
    EncoderSettings s = preset(kKindMpeg2, 1);
    s.avgBitrate = 1234.75;  // the default passed is the value truncated
    s.level = 4;
    // maxBitrate has no limit of its own, and wider than 32 bits survives.
    ASSERT_TRUE(loadSettingsFile(engine, "rate.ini", s));
    EXPECT_EQ(s.constBitrate, 2500000.0);
    EXPECT_EQ(s.maxBitrate, 12000000000.0);
    EXPECT_EQ(s.minBitrate, 7.0);
    EXPECT_EQ(s.avgBitrate, 1234.0);
}

TEST(SettingsFile, RejectedValuesNameTheFileAndDerivedValuesFollow) {
    ScopedConfigDir config;
    FakeHost host;
    Engine engine(host);
    config.write("gop.ini", "[VIDEO]\nipFrameDistance=4\n");
    EncoderSettings s = preset(kKindMpeg1, 1);
    EXPECT_FALSE(loadSettingsFile(engine, "gop.ini", s));
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].caption, "Quorvel Encoder");
    EXPECT_EQ(host.boxes[0].text,
              "Invalid video settings in file gop.ini.\niFramesInGOP=15 is not a multiple of ipFrameDistance=4.");
    EXPECT_EQ(host.boxes[0].icon, MessageIcon::None);
    EXPECT_FALSE(host.boxes[0].ownedByDialog);

    config.write("audio.ini", "[audio]\npsychModel=3\n");
    s = preset(kKindMpeg1, 1);
    EXPECT_FALSE(loadSettingsFile(engine, "audio.ini", s));
    EXPECT_EQ(host.boxes.back().text, "Invalid audio settings in file audio.ini.\npsychModel=3 is outside its range 1..2.");

    config.write("derive.ini",
                 "[general]\nuserEncodeAudio=0\n[video]\nvideoType=1\nframeRateCode=5\n"
                 "firstFrameHours=1\nfirstFrameMinutes=2\nfirstFrameSeconds=3\nfirstFrameFrame=4\n"
                 "[loadsave]\ndescription=  " + std::string(300, 'd') + "\n");
    s = preset(kKindMpeg1, 1);
    s.encodeAudio = 1;
    EXPECT_TRUE(loadSettingsFile(engine, "derive.ini", s));
    EXPECT_EQ(s.encodeAudio, 0);
    EXPECT_EQ(s.frameRate, 30.0);
    EXPECT_EQ(s.constrainedParameters, 1);
    EXPECT_EQ(s.firstFrameTimecode, ((1 * 60 + 2) * 60 + 3) * 30 + 4);
    EXPECT_EQ(std::strlen(s.description), 259u);
}

TEST(SettingsFile, PrintedFileLoadsBackToTheSameRecord) {
    ScopedConfigDir config;
    FakeHost host;
    Engine engine(host);
    for (int kind = 0; kind < 5; ++kind) {
        EncoderSettings s = preset(kind, kind % 2);
        std::strcpy(s.statisticsFilename, " stats with blanks ");
        std::strcpy(s.intraQuantMatrix, "\"quoted\"");
        s.maxBitrate = 9876543.9;
        const std::string text = formatSettingsFile(s);
        config.write("printed.ini", text);
        // Load over a different record: every key must come from the file.
        EncoderSettings back = preset(kind, 1 - kind % 2);
        back.constrainedParameters = s.constrainedParameters;
        ASSERT_TRUE(loadSettingsFile(engine, "printed.ini", back)) << kind;
        EXPECT_EQ(formatSettingsFile(back), text) << kind;
        EXPECT_STREQ(back.statisticsFilename, " stats with blanks ");
        EXPECT_STREQ(back.intraQuantMatrix, "\"quoted\"");
        EXPECT_EQ(back.frameRate, s.frameRate);
    }
}

TEST(InitEngine, PresetThenFileThenFallback) {
    ScopedConfigDir config;
    FakeHost host;
    Engine engine(host);
    engine.job.videoStreamName = "left.m1v";
    EXPECT_EQ(initEngine(engine, 0x13), 0);
    EXPECT_STREQ(engine.record.description, "MPEG-2 SuperVCD PAL video and MPEG audio");
    EXPECT_EQ(engine.record.displayVerticalSize, 576);
    EXPECT_EQ(engine.record.frameRateCode, 3);
    EXPECT_EQ(engine.record.sectorSize, 2324);
    EXPECT_EQ(engine.record.muxSVCDScanOffsets, 1);
    EXPECT_EQ(engine.ev.tvStandard, 1);
    EXPECT_TRUE(engine.job.videoStreamName.empty());
    EXPECT_EQ(formatSettingsFile(engine.work), formatSettingsFile(engine.record));
    EXPECT_FALSE(engine.settingsFileRejected);
    EXPECT_EQ(engine.ev.MMXMode, defaultMMXMode(detectCpuFeatures()));
    EXPECT_EQ(engine.ev.batchMode, 0);

    // default.ini lives in the configuration directory and reads over the
    // preset; profile keys come from the user profile.
    config.write("default.ini", "[video]\nmquantValue=7\n");
    config.write("profile.ini", "[quorvel encoder]\nbatch = 1\nMMXMode=2\nPALDefaults=1\n");
    initEngine(engine, 0x02);
    EXPECT_EQ(engine.record.videoType, kKindMpeg2);
    EXPECT_EQ(engine.record.mquantValue, 7);
    EXPECT_EQ(engine.ev.batchMode, 1);
    EXPECT_EQ(engine.ev.MMXMode, 2);
    EXPECT_EQ(engine.ev.tvStandard, 0);  // the code decides the standard

    // Kind 5 applies no preset: the record is what it was plus the file.
    config.write("default.ini", "[video]\nmquantValue=9\n");
    initEngine(engine, 0x05);
    EXPECT_EQ(engine.record.videoType, kKindMpeg2);
    EXPECT_EQ(engine.record.mquantValue, 9);

    // A rejected file gives its message and the MPEG-1 preset.
    config.write("default.ini", "[video]\nipFrameDistance=4\n");
    host.boxes.clear();
    initEngine(engine, 0x14);
    EXPECT_TRUE(engine.settingsFileRejected);
    ASSERT_EQ(host.boxes.size(), 1u);
    // (The DVD PAL preset has 12 pictures a GOP; the file's M of 4 fits
    // that, but the motion table has no entry for a B picture at 3.)
    EXPECT_EQ(host.boxes[0].text,
              "Invalid video settings in file default.ini.\nforwHorzFCodeB3=0 is outside 1..9 for MPEG-2.");
    EXPECT_STREQ(engine.record.description, "MPEG-1 PAL video and MPEG audio");
    EXPECT_EQ(engine.record.ipFrameDistance, 3);
    EXPECT_EQ(engine.work.videoType, kKindMpeg1);
}

TEST(InitEngine, DefaultEngineEntryPoint) {
    ScopedConfigDir config;
    EXPECT_EQ(engineInit(0x04), 0);
    EXPECT_EQ(defaultEngine().record.videoType, kKindDvd);
    // Without a host that can open a dialog the conversion cannot start.
    ConversionRequest r;
    r.videoPresent = 1;
    r.width = 352;
    r.height = 240;
    r.lastFrame = 9;
    EXPECT_EQ(engineConvert(r), 4);
    FakeHost host;
    setDefaultEngineHost(host);
    EXPECT_EQ(engineInit(0x11), 0);
    EXPECT_EQ(&defaultEngine().host(), &host);
    EXPECT_EQ(defaultEngine().record.sectorSize, 2324);
}

}  // namespace
}  // namespace quillon

// Every settings value is bounded: each key has a range, the keys that size
// the multiplexer and the bit rate bounds agree with one another, and a
// value outside them never reaches an encoder, however it came in.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <climits>
#include <filesystem>

#include "engine/engine.h"
#include "engine/engine_entry.h"
#include "engine/presets.h"
#include "engine/settings_file.h"
#include "engine/settings_keys.h"
#include "engine/validation.h"
#include "platform/cpu_features.h"
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

void setKey(EncoderSettings& s, const SettingsKey& key, int64_t value) {
    if (key.type == SettingsKey::Type::Bitrate) s.*key.bitrate = static_cast<double>(value);
    else *key.integerIn(s) = static_cast<int32_t>(value);
}

TEST(SettingsLimits, EveryPresetIsWithinThemAndEveryKeyHasARange) {
    for (int kind = 0; kind < 5; ++kind)
        for (int tv = 0; tv < 2; ++tv) {
            std::string key;
            EXPECT_EQ(settingsLimitProblem(preset(kind, tv), &key), "") << kind << "/" << tv << " " << key;
        }
    // Just past either end of each key's range is refused, and the message
    // names that key.
    const EncoderSettings base = preset(kKindMpeg2, 1);
    for (const SettingsKey& key : settingsKeys()) {
        if (key.type == SettingsKey::Type::Text) continue;
        ASSERT_LT(key.minimum, key.maximum) << key.name;
        for (int64_t outside : {key.minimum - 1, key.maximum + 1}) {
            if (key.type == SettingsKey::Type::Integer && (outside < INT32_MIN || outside > INT32_MAX)) continue;
            EncoderSettings s = base;
            setKey(s, key, outside);
            std::string named;
            const std::string problem = settingsLimitProblem(s, &named);
            EXPECT_EQ(named, key.name) << problem;
            EXPECT_EQ(problem.rfind(key.name + "=" + std::to_string(outside), 0), 0u) << problem;
        }
    }
    // A key with a set of values refuses the gaps between them.
    EncoderSettings s = base;
    s.level = 7;
    EXPECT_EQ(settingsLimitProblem(s), "level=7 is not 4, 6, 8 or 10.");
}

TEST(SettingsLimits, MultiplexerKeysMustLeaveRoomToMakeProgress) {
    struct Case {
        std::function<void(EncoderSettings&)> set;
        const char* key;
    };
    const Case cases[] = {
        // Packets too small for a sequence header in front of a picture.
        {[](EncoderSettings& s) { s.packetsPerPack = 8; }, "packetsPerPack"},
        {[](EncoderSettings& s) { s.sectorSize = 512, s.packetsPerPack = 2; }, "packetsPerPack"},
        // Buffers that could never take one packet: the stream would wait
        // for ever while padding is written.
        {[](EncoderSettings& s) { s.videoBufferSize = 1; }, "videoBufferSize"},
        {[](EncoderSettings& s) { s.audioBufferSize = 1; }, "audioBufferSize"},
        {[](EncoderSettings& s) { s.sectorSize = 4096, s.audio1BufferSize = 3; }, "audio1BufferSize"},
        // A rate of less than one pack a second stops the clock.
        {[](EncoderSettings& s) { s.userMuxRate = 40; }, "userMuxRate"},
        // Rates the GOP re-coding could never reach: above the level's limit
        // (MPEG-2 without a maximum), the maximum, or the header's rate
        // (MPEG-1).
        {[](EncoderSettings& s) { s.minBitrate = 15000001; }, "minBitrate"},
        {[](EncoderSettings& s) { s.videoType = kKindMpeg1, s.minBitrate = 6000001; }, "minBitrate"},
        {[](EncoderSettings& s) { s.maxBitrate = 7e6, s.avgBitrate = 7e6 + 1; }, "avgBitrate"},
        {[](EncoderSettings& s) { s.maxBitrate = 7e6, s.avgBitrate = 3e6, s.minBitrate = 4e6; }, "minBitrate"},
    };
    for (const Case& c : cases) {
        EncoderSettings s = preset(kKindMpeg2, 0);
        c.set(s);
        std::string key;
        const std::string problem = settingsLimitProblem(s, &key);
        EXPECT_EQ(key, c.key) << problem;
        EXPECT_NE(problem.find(c.key), std::string::npos) << problem;
    }
    // The edges that still work are accepted.
    EncoderSettings s = preset(kKindMpeg2, 0);
    s.packetsPerPack = 5;  // (2048 - 5 * 22 - 14) / 5 = 384 bytes a packet
    s.userMuxRate = 41;    // 2050 bytes a second: one pack
    s.maxBitrate = 7e6, s.avgBitrate = 5e6, s.minBitrate = 5e6;
    EXPECT_EQ(settingsLimitProblem(s), "");
    EXPECT_EQ(videoPacketPayload(s), 384);
    // A constant-rate stream is not re-coded: its bounds are not used.
    s.constBitrateFlag = 1;
    s.maxBitrate = 0, s.minBitrate = 2e7;
    EXPECT_EQ(settingsLimitProblem(s), "");
}

TEST(SettingsLimits, TheReasonNamesTheValueAndWhatTheTargetAllows) {
    EncoderSettings vcd = preset(kKindVcd, 1);
    EXPECT_EQ(videoSettingsProblem(vcd, 720, 576),
              "The 720 x 576 picture has 1620 macroblocks; a VCD allows at most 396 (for example 352 x 288 or "
              "352 x 240).");
    EXPECT_EQ(videoSettingsProblem(vcd, 352, 288), "");
    EncoderSettings dvd = preset(kKindDvd, 0);
    EXPECT_EQ(videoSettingsProblem(dvd, 1920, 1080),
              "The 1920 x 1080 picture is larger than the 720 x 576 the Main level (level=8) allows.");
    dvd.aspectRatio = 8;
    EXPECT_EQ(videoSettingsProblem(dvd, 720, 480), "aspectRatio=8 is outside 1..4, the codes MPEG-2 has.");
    EncoderSettings m = preset(kKindMpeg1, 0);
    m.motion[1][kBackHorzSearch] = 40;
    EXPECT_EQ(videoSettingsProblem(m, 352, 240),
              "backHorzSearchB1=40 is beyond the 7 samples its f_code 1 (backHorzFCodeB1) reaches.");
    m = preset(kKindMpeg1, 0);
    m.alternateScanB = 1;
    EXPECT_EQ(videoSettingsProblem(m, 352, 240), "alternateScanB=1: MPEG-1 has only 0.");
    EncoderSettings a = preset(kKindSvcd, 0);
    a.deEmphasis = 2;
    EXPECT_EQ(audioSettingsProblem(a), "deEmphasis=2 is not 0, 1 or 3.");
    // The reasons agree with the plain verdicts.
    EXPECT_FALSE(validateVideoSettings(vcd, 720, 576));
    EXPECT_TRUE(validateVideoSettings(vcd, 352, 288));
    EXPECT_FALSE(validateAudioSettings(a));
}

TEST(SettingsLimits, AFileValueOutsideItsRangeGivesWayToTheMpeg1Preset) {
    ScopedConfigDir config;
    FakeHost host;
    Engine engine(host);
    // Each of these once went straight to the multiplexer or the encoder.
    const char* files[] = {"[program]\nvideoDelay=2147483647\n", "[program]\nsectorSize=0\n",
                           "[program]\nuserMuxRate=-1\n", "[advVideo]\nvariableMaxMotion=2147483647\n",
                           "[video]\nfirstFrameFrame=-2147483648\n", "[audio]\naudioBitrate=0\n"};
    for (const char* text : files) {
        config.write("default.ini", text);
        host.boxes.clear();
        initEngine(engine, 0x04);
        EXPECT_TRUE(engine.settingsFileRejected) << text;
        ASSERT_EQ(host.boxes.size(), 1u) << text;
        const std::string& box = host.boxes[0].text;
        const std::string key = std::string(text).substr(std::string(text).find(']') + 2,
                                                         std::string(text).find('=') - std::string(text).find(']') - 2);
        EXPECT_NE(box.find(" settings in file default.ini.\n" + key + "="), std::string::npos) << box;
        EXPECT_STREQ(engine.record.description, "MPEG-1 NTSC video and MPEG audio") << text;
        EXPECT_EQ(settingsLimitProblem(engine.work), "") << text;
    }
    // What is no settings file at all is refused the same way, and never
    // waited on.
    std::filesystem::remove(config.file("default.ini"));
    std::filesystem::create_directory(config.file("default.ini"));
    host.boxes.clear();
    initEngine(engine, 0x02);
    EXPECT_TRUE(engine.settingsFileRejected);
    ASSERT_EQ(host.boxes.size(), 1u);
    EXPECT_EQ(host.boxes[0].text, "Invalid video settings in file default.ini.\n" + config.file("default.ini") +
                                      " is a folder, not a file.");
    std::filesystem::remove(config.file("default.ini"));
    ASSERT_EQ(::mkfifo(config.file("default.ini").c_str(), 0600), 0);
    initEngine(engine, 0x02);
    EXPECT_TRUE(engine.settingsFileRejected);
    std::filesystem::remove(config.file("default.ini"));
    initEngine(engine, 0x02);
    EXPECT_FALSE(engine.settingsFileRejected);  // a missing file is no fault
}

TEST(SettingsLimits, ProfileValuesOutsideTheirRangesGiveWayToTheirDefaults) {
    ScopedConfigDir config;
    FakeHost host;
    Engine engine(host);
    config.write("profile.ini", "[Quorvel Encoder]\nMMXMode=9\nBatch=1\n");
    initEngine(engine, 0x01);
    EXPECT_EQ(engine.ev.MMXMode, defaultMMXMode(detectCpuFeatures()));
    EXPECT_EQ(engine.ev.batchMode, 1);
    EXPECT_EQ(engine.profileProblem,
              "The profile value MMXMode=9 in " + config.file("profile.ini") + " is outside its range 0..4; " +
                  std::to_string(defaultMMXMode(detectCpuFeatures())) + " is used.");
    ASSERT_FALSE(host.boxes.empty());
    EXPECT_EQ(host.boxes.back().text, engine.profileProblem);
    EXPECT_EQ(host.boxes.back().icon, MessageIcon::Warning);

    config.write("profile.ini", "[Quorvel Encoder]\nBatch=-5\nMMXMode=2\n");
    initEngine(engine, 0x01);
    EXPECT_EQ(engine.ev.batchMode, 0);
    EXPECT_EQ(engine.ev.MMXMode, 2);
    EXPECT_NE(engine.profileProblem.find("Batch=-5"), std::string::npos);

    config.write("profile.ini", "[Quorvel Encoder]\nBatch=1\nMMXMode=0\n");
    initEngine(engine, 0x01);
    EXPECT_EQ(engine.profileProblem, "");
    EXPECT_EQ(engine.ev.MMXMode, 0);
}

}  // namespace
}  // namespace quillon

#include <gtest/gtest.h>

#include "engine/presets.h"
#include "engine/settings_file.h"
#include "engine/settings_overrides.h"

namespace quillon {
namespace {

EncoderSettings preset(int kind) {
    EncoderSettings s;
    applyPreset(s, kind, 1, 1);
    return s;
}

TEST(SettingOverrides, ValuesByKeyNameWithTheirTypes) {
    EncoderSettings s = preset(kKindMpeg2);
    std::string error;
    EXPECT_TRUE(setSettingByName(s, "MQUANTVALUE", "17", error));
    EXPECT_EQ(s.mquantValue, 17);
    EXPECT_TRUE(setSettingByName(s, "backVertSearchB15", "7", error));
    EXPECT_EQ(s.motion[15][kBackVertSearch], 7);
    EXPECT_TRUE(setSettingByName(s, "constBitrate", "429496729200", error));
    EXPECT_EQ(s.constBitrate, 429496729200.0);
    EXPECT_TRUE(setSettingByName(s, "description", "mine", error));
    EXPECT_STREQ(s.description, "mine");

    const std::pair<const char*, const char*> bad[] = {
        {"mquantValue", "4.5"},    {"mquantValue", ""},        {"mquantValue", "2147483648"},
        {"constBitrate", "-1"},    {"constBitrate", "1e6"},    {"description", "a\tb"},
        // Whole numbers, but outside the key's range.
        {"mquantValue", "-3"},     {"mquantValue", "32"},      {"level", "7"},
        {"constBitrate", "429496729201"},                      {"userMuxRate", "-1"},
        {"forwHorzFCodeB3", "10"},
    };
    for (const auto& [key, value] : bad) {
        EncoderSettings before = s;
        EXPECT_FALSE(setSettingByName(s, key, value, error)) << key << "=" << value;
        EXPECT_NE(error.find(key), std::string::npos) << error;
        EXPECT_EQ(formatSettingsFile(s), formatSettingsFile(before));
    }
    EXPECT_FALSE(setSettingByName(s, "description", std::string(260, 'x'), error));
    EXPECT_FALSE(setSettingByName(s, "frameRate", "25", error));  // derived, no key
}

TEST(SettingOverrides, ValidatedAsAWholeAndAtomic) {
    EncoderSettings s = preset(kKindMpeg2);
    const std::string before = formatSettingsFile(s);
    std::string error;
    EXPECT_FALSE(applySettingOverrides(s, {"mquantValue=9", "level=7"}, 0, 0, error));
    EXPECT_EQ(error, "key level=7 is not 4, 6, 8 or 10");
    EXPECT_EQ(formatSettingsFile(s), before);
    // A rule between keys names the key at fault and what it breaks.
    EXPECT_FALSE(applySettingOverrides(s, {"mquantValue=9", "iFramesInGOP=14"}, 0, 0, error));
    EXPECT_EQ(error,
              "Invalid video settings: rejected value iFramesInGOP=14. iFramesInGOP=14 is not a multiple of "
              "ipFrameDistance=3.");
    EXPECT_FALSE(applySettingOverrides(s, {"sectorSize=2048", "packetsPerPack=9"}, 0, 0, error));
    EXPECT_EQ(error,
              "Invalid video settings: rejected value packetsPerPack=9. packetsPerPack=9 leaves 204 payload bytes "
              "in a sector of sectorSize=2048; at least 300 are needed.");
    EXPECT_EQ(formatSettingsFile(s), before);
    EXPECT_FALSE(applySettingOverrides(s, {"noequals"}, 0, 0, error));
    EXPECT_FALSE(applySettingOverrides(s, {"=5"}, 0, 0, error));

    // M changes bring their motion table, unless the table is given too.
    ASSERT_TRUE(applySettingOverrides(s, {"ipFrameDistance=4", "iFramesInGOP=12"}, 0, 0, error))
        << error;
    EXPECT_EQ(s.motion[3][kForwHorzSearch], 9);
    EXPECT_EQ(s.motion[0][kForwHorzSearch], 12);
    EXPECT_FALSE(applySettingOverrides(s, {"ipFrameDistance=5", "iFramesInGOP=15",
                                           "forwHorzSearchP=15"},
                                       0, 0, error));
    EXPECT_EQ(s.ipFrameDistance, 4);

    // Derived values follow as after a load.
    ASSERT_TRUE(applySettingOverrides(s, {"frameRateCode=4", "userEncodeAudio=0"}, 0, 0, error));
    EXPECT_DOUBLE_EQ(s.frameRate, 30000.0 / 1001.0);
    EXPECT_EQ(s.encodeAudio, 0);
    // The picture size takes part in the level limits.
    EXPECT_FALSE(applySettingOverrides(s, {"level=10", "vbvBufferSize=29",
                                           "constBitrate=4000000"},
                                       720, 576, error));
    EXPECT_TRUE(applySettingOverrides(s, {"level=10", "vbvBufferSize=29", "constBitrate=4000000"},
                                      352, 240, error))
        << error;
}

}  // namespace
}  // namespace quillon

// The quality level: read from the profile or chosen for one engine, it
// gives the [quality] keys their values before the settings file, which may
// change them one by one within their ranges.
#include <gtest/gtest.h>

#include "engine/engine.h"
#include "engine/engine_entry.h"
#include "engine/quality_level.h"
#include "engine/settings_file.h"
#include "engine/settings_keys.h"
#include "engine/settings_overrides.h"
#include "tests/engine/config_dir.h"
#include "tests/engine/fake_host.h"

namespace quillon {
namespace {

using testing::FakeHost;
using testing::ScopedConfigDir;

// The [quality] section as the settings file prints it.
std::string qualitySection(const EncoderSettings& s) {
    const std::string all = formatSettingsFile(s);
    const size_t at = all.find("[quality]\n");
    return at == std::string::npos ? "" : all.substr(at);
}

TEST(QualityLevel, ClassicTurnsEveryToolOffAndTheOtherLevelsTurnThemOn) {
    EncoderSettings s;
    const std::string classic = qualitySection(s);
    ASSERT_NE(classic, "");
    applyQualityLevel(s, kQualityHigh);
    const std::string high = qualitySection(s);
    EXPECT_NE(high, classic);
    EXPECT_GT(s.bQuantRatio, 100);
    EXPECT_LT(s.iQuantRatio, 100);
    EXPECT_NE(s.trellis, 0);
    applyQualityLevel(s, kQualityBest);
    EXPECT_GE(s.trellis, 1);
    applyQualityLevel(s, kQualityClassic);
    EXPECT_EQ(qualitySection(s), classic);
    // Every tool value of every level lies in its key's range.
    for (int level : {kQualityClassic, kQualityHigh, kQualityBest}) {
        applyQualityLevel(s, level);
        std::string problem;
        EXPECT_EQ(keyOutOfRange(s, &problem), nullptr) << qualityLevelName(level) << ": " << problem;
    }
    EXPECT_EQ(qualityLevelFromName("BEST"), kQualityBest);
    EXPECT_EQ(qualityLevelFromName("classic"), kQualityClassic);
    EXPECT_EQ(qualityLevelFromName("fast"), -1);
}

TEST(QualityLevel, ProfileKeyOverrideAndSettingsFileAgree) {
    ScopedConfigDir config;
    FakeHost host;
    Engine engine(host);
    EncoderSettings high, classic;
    applyQualityLevel(high, kQualityHigh);

    // No key: high.
    initEngine(engine, 0x14);
    EXPECT_EQ(engine.ev.quality, kQualityHigh);
    EXPECT_EQ(qualitySection(engine.record), qualitySection(high));

    config.write("profile.ini", "[Quorvel Encoder]\nQuality=0\n");
    initEngine(engine, 0x14);
    EXPECT_EQ(engine.ev.quality, kQualityClassic);
    EXPECT_EQ(qualitySection(engine.record), qualitySection(classic));
    EXPECT_EQ(engine.profileProblem, "");

    // One engine's own choice stands over the profile.
    engine.qualityOverride = kQualityHigh;
    initEngine(engine, 0x14);
    EXPECT_EQ(qualitySection(engine.record), qualitySection(high));
    engine.qualityOverride = -1;

    // Out of range: reported, and the default used.
    config.write("profile.ini", "[Quorvel Encoder]\nQuality=3\n");
    initEngine(engine, 0x14);
    EXPECT_EQ(engine.ev.quality, kQualityHigh);
    EXPECT_NE(engine.profileProblem.find("Quality=3"), std::string::npos) << engine.profileProblem;

    // A settings file changes single tools over the level...
    config.write("profile.ini", "[Quorvel Encoder]\nQuality=2\n");
    config.write("default.ini", "[quality]\ntrellis=0\nbQuantRatio=150\n");
    initEngine(engine, 0x14);
    EXPECT_FALSE(engine.settingsFileRejected);
    EXPECT_EQ(engine.record.trellis, 0);
    EXPECT_EQ(engine.record.bQuantRatio, 150);
    EXPECT_EQ(engine.record.intraVLCAll, 1);  // the level's, untouched

    // ... and a value outside a key's range is refused naming the key.
    config.write("default.ini", "[quality]\nadaptiveQuant=250\n");
    host.boxes.clear();
    initEngine(engine, 0x14);
    EXPECT_TRUE(engine.settingsFileRejected);
    ASSERT_FALSE(host.boxes.empty());
    EXPECT_NE(host.boxes.back().text.find("adaptiveQuant=250 is outside its range 0..100"), std::string::npos)
        << host.boxes.back().text;
    // The fallback preset still carries the level's tools.
    EXPECT_EQ(engine.record.intraVLCAll, 1);
}

}  // namespace
}  // namespace quillon

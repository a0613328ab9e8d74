#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "audio/audio_tables.h"
#include "audio/psycho_model_one.h"
#include "audio/psycho_model_two.h"
#include "tests/audio/audio_test_support.h"

namespace quillon::audio {
namespace {

struct Pcm {
    int16_t v[2][1152] = {};
};

Pcm sine(double hz, int rate, double amplitude, int frame) {
    Pcm p;
    for (int i = 0; i < 1152; ++i) {
        double s = amplitude * std::sin(2 * M_PI * hz * (frame * 1152 + i) / rate);
        p.v[0][i] = p.v[1][i] = static_cast<int16_t>(std::lround(s));
    }
    return p;
}

TEST(PsychoModelOne, SilenceLeavesTheThresholdInQuiet) {
    for (int kbps : {160, 192}) {  // 80 and 96 kbit/s per channel
        FrameShape shape{2, 2, 0, 44100, kbps};
        PsychoModelOne model(shape);
        Pcm silent;
        int indices[2][32];
        for (auto& row : indices) std::fill(std::begin(row), std::end(row), 63);
        double smr[2][32];
        model.analyse(silent.v, indices, smr);
        EXPECT_TRUE(model.tonalLines().empty());
        ModelOneTables t = modelOneTables(2, 0);  // D.1e
        double offset = kbps == 192 ? -12 : 0;
        for (int i = 0; i < t.entryCount; ++i)
            ASSERT_NEAR(model.globalThreshold()[i], t.entries[i].quietDb + offset, 1e-6) << i;
        // Every line sits at the floor; the sub-band level is 16 of them.
        double bandLevel = 10 * std::log10(1e-20 + 16 * std::pow(10.0, (-200 + 90.309) / 10));
        for (int sb = 0; sb < 29; ++sb) {
            double minimum = 1e9;
            for (int i = 0; i < t.entryCount; ++i)
                if (t.entries[i].line / 16 == sb) minimum = std::min(minimum, t.entries[i].quietDb + offset);
            ASSERT_NEAR(smr[0][sb], bandLevel - minimum, 1e-6) << sb;
            ASSERT_EQ(smr[0][sb], smr[1][sb]);
        }
    }
}

TEST(PsychoModelOne, APureSineIsOneTonalComponent) {
    FrameShape shape{2, 1, 0, 44100, 192};
    PsychoModelOne model(shape);
    double hz = 100 * 44100.0 / 1024;  // the centre of line 100, in sub-band 6
    int indices[2][32];  // silent scale factors: the spectrum alone decides
    for (auto& row : indices) std::fill(std::begin(row), std::end(row), 63);
    double smr[2][32];
    for (int frame = 0; frame < 3; ++frame) {
        Pcm p = sine(hz, 44100, 16000, frame);
        model.analyse(p.v, indices, smr);
    }
    EXPECT_EQ(model.tonalLines(), std::vector<int>{100});
    EXPECT_EQ(std::max_element(smr[0], smr[0] + 32) - smr[0], 6);

    FrameShape layerOne{1, 1, 0, 44100, 192};
    PsychoModelOne one(layerOne);
    for (int frame = 0; frame < 4; ++frame) {
        Pcm p;  // Layer I frames: 384 new samples from position 64
        for (int i = 0; i < 384; ++i)
            p.v[0][64 + i] = static_cast<int16_t>(std::lround(16000 * std::sin(2 * M_PI * 50 * (frame * 384 + i) / 512.0)));
        one.analyse(p.v, indices, smr);
    }
    EXPECT_EQ(one.tonalLines(), std::vector<int>{50});
}

// The ratios rest on each sub-band's lowest entry of the global threshold,
// which the model finds without finishing every entry; the threshold worked
// out in full must give the same lowest values, frame after frame as the
// sound and the lowest entries move. Scale factor 0 stands above every
// sub-band's level here, so a ratio is that level less the minimum.
TEST(PsychoModelOne, RatiosRestOnTheLowestEntryOfEachSubBand) {
    const double fromScale = 20 * std::log10(kTableB1[0] * 32768) - 10;
    for (int layer = 1; layer <= 2; ++layer)
        for (int code = 0; code < 3; ++code) {
            const int rate = code == 0 ? 44100 : code == 1 ? 48000 : 32000;
            FrameShape shape{layer, 1, code, rate, layer == 1 ? 192 : 96};
            PsychoModelOne model(shape);
            const ModelOneTables t = modelOneTables(layer, code);
            const int perBand = layer == 2 ? 16 : 8, fresh = layer == 2 ? 1152 : 384;
            const std::vector<int16_t> pcm = testing::multiTone(fresh * 12, rate, 0.05);
            int indices[2][32] = {};
            double smr[2][32];
            int checked = 0;
            for (int frame = 0; frame < 12; ++frame) {
                Pcm p;
                const double gain = 0.05 + 0.1 * (frame % 4);  // the maskers rise and fall
                for (int i = 0; i < fresh; ++i)
                    p.v[0][(layer == 2 ? 0 : 64) + i] = static_cast<int16_t>(pcm[2 * (frame * fresh + i)] * gain);
                model.analyse(p.v, indices, smr);
                const std::vector<double>& global = model.globalThreshold();
                const int lastBand = t.entries[t.entryCount - 1].line / perBand;
                for (int sb = 0; sb <= lastBand; ++sb) {
                    double minimum = 1e9;
                    for (int i = 0; i < t.entryCount; ++i)
                        if (t.entries[i].line / perBand == sb) minimum = std::min(minimum, global[i]);
                    if (minimum > 1e8) continue;
                    ASSERT_EQ(smr[0][sb], fromScale - minimum) << layer << " " << rate << " " << frame << " " << sb;
                    ++checked;
                }
            }
            EXPECT_GT(checked, 12 * 20);
        }
}

TEST(PsychoModelTwo, SpreadingFallsFasterDownwardThanUpward) {
    EXPECT_NEAR(PsychoModelTwo::spreading(5, 5), 1.0, 1e-3);
    EXPECT_GT(PsychoModelTwo::spreading(10, 12), PsychoModelTwo::spreading(12, 10));
    EXPECT_GT(PsychoModelTwo::spreading(10, 11), PsychoModelTwo::spreading(10, 13));
    EXPECT_EQ(PsychoModelTwo::spreading(20, 10), 0.0);
}

TEST(PsychoModelTwo, ASineStandsAboveItsMaskInItsSubBand) {
    quillon::testing::AudioTestHost host;
    Engine engine(host);
    engine.work.verbose = 1;
    for (int layer : {1, 2}) {
        FrameShape shape{layer, 1, 1, 48000, 192};
        PsychoModelTwo model(shape);
        double smr[32];
        double hz = 5.5 * 750;  // middle of sub-band 5 at 48 kHz
        for (int frame = 0; frame < 4; ++frame) {
            Pcm p = sine(hz, 48000, 12000, frame);
            model.analyse(engine, p.v[0], 0, smr);
        }
        EXPECT_EQ(std::max_element(smr, smr + 32) - smr, 5) << layer;
        EXPECT_GT(smr[5], 20.0);
        EXPECT_LT(smr[20], 0.0);
        EXPECT_GT(model.partitionCount(), 40);
    }
    EXPECT_EQ(host.log, (std::vector<std::string>{"   absthr[][] sampling frequency index: 2.",
                                                  "   absthr[][] sampling frequency index: 2."}));
}

}  // namespace
}  // namespace quillon::audio

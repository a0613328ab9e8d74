// The audio encoder's bytes, pinned: Layer I and II streams of both models
// at several rates, modes and bit rates, compared by hash with the values
// recorded when the analysis window and model 1's tables became the
// standard's. Making the encoder faster must not change them, and neither
// may the routine set (plain, SSE2, AVX2): every set meets the same pin.
// The models' signal-to-mask ratios are pinned as well, every bit of them:
// a change too small to move a bit of the stream here would move one on
// some other sound.
//
// QUILLON_PIN_RECORD=1 prints the table of the current build instead of
// comparing (to pin a deliberate change, with its reason in the commit).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "audio/audio_encoder.h"
#include "audio/psycho_model_one.h"
#include "audio/psycho_model_two.h"
#include "platform/cpu_features.h"
#include "tests/audio/audio_test_support.h"
#include "tests/support/temp_dir.h"

namespace quillon {
namespace {

struct Pin {
    const char* name;
    uint64_t size;  // of the stream; 0 for the models' ratios
    uint64_t hash;
};

const Pin kPins[] = {
#include "tests/audio/audio_pins.inc"
};

uint64_t fnv1a(const std::vector<uint8_t>& bytes) {
    uint64_t h = 1469598103934665603ull;
    for (uint8_t b : bytes) {
        h ^= b;
        h *= 1099511628211ull;
    }
    return h;
}

bool recording() {
    const char* v = std::getenv("QUILLON_PIN_RECORD");
    return v && *v && *v != '0';
}

// Half a second: silence, then tones and noise fading in, a click, and a
// loud stretch near full scale, so scale factors, scfsi patterns, tonal and
// non-tonal maskers and both ends of the allocation all take part.
std::vector<int16_t> pinSignal(int rate) {
    const int frames = rate / 2;
    std::vector<int16_t> pcm = testing::multiTone(frames, rate, 0.1);
    for (int i = 0; i < frames; ++i) {
        double gain = i < rate / 20 ? 0.0 : std::min(1.0, (i - rate / 20) / (rate / 10.0));
        if (i >= rate / 4 && i < rate / 4 + 2400) gain *= 2.2;
        for (int c = 0; c < 2; ++c) {
            double v = pcm[2 * i + c] * gain;
            if (i == rate / 5) v = c ? -30000 : 30000;
            pcm[2 * i + c] = static_cast<int16_t>(std::max(-32768.0, std::min(32767.0, v)));
        }
    }
    return pcm;
}

struct Cell {
    const char* name;
    testing::AudioJob job;
};

// layer, rate, mode (0 stereo, 1 joint, 2 dual, 3 single), bitrate index, model, CRC
const Cell kCells[] = {
    {"l2-44k-stereo-224-m1", {2, 44100, 0, 11, 1, 0}},
    {"l2-44k-stereo-224-m2", {2, 44100, 0, 11, 2, 0}},
    {"l2-48k-stereo-224-m1", {2, 48000, 0, 11, 1, 1}},
    {"l2-48k-stereo-224-m2", {2, 48000, 0, 11, 2, 1}},
    {"l2-32k-single-96-m1", {2, 32000, 3, 6, 1, 0}},
    {"l2-32k-single-96-m2", {2, 32000, 3, 6, 2, 0}},
    {"l2-44k-stereo-64-m1", {2, 44100, 0, 4, 1, 0}},
    {"l2-48k-joint-192-m2", {2, 48000, 1, 10, 2, 1}},
    {"l1-44k-stereo-384-m1", {1, 44100, 0, 12, 1, 0}},
    {"l1-44k-stereo-384-m2", {1, 44100, 0, 12, 2, 0}},
    {"l1-32k-single-128-m1", {1, 32000, 3, 4, 1, 1}},
    {"l1-48k-dual-256-m2", {1, 48000, 2, 8, 2, 0}},
};

std::vector<uint8_t> encode(const testing::AudioJob& job, int mmxMode) {
    testing::AudioTestHost host;
    Engine engine(host);
    testing::TempDir dir;
    testing::BufferSource source(pinSignal(job.rate), 3000);
    const std::string path = dir.file("pin.mpa");
    testing::configure(engine, job, source, source.frames(), path);
    engine.ev.cpuFeatures = detectCpuFeatures();
    engine.ev.MMXMode = mmxMode;
    EXPECT_TRUE(runAudioEncoder(engine));
    EXPECT_TRUE(host.messages.empty());
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

TEST(AudioPins, EveryRoutineSetWritesThePinnedBytes) {
    const uint32_t features = detectCpuFeatures();
    for (const Cell& cell : kCells) {
        for (int mmxMode : {0, 1, 3}) {
            if (mmxMode >= 1 && !(features & kCpuSse2)) continue;
            if (mmxMode >= 3 && !(features & kCpuAvx2)) continue;
            SCOPED_TRACE(::testing::Message() << cell.name << " MMXMode " << mmxMode);
            const std::vector<uint8_t> bytes = encode(cell.job, mmxMode);
            ASSERT_GT(bytes.size(), 1000u);
            const uint64_t h = fnv1a(bytes);
            if (recording()) {
                if (mmxMode == 0)
                    std::printf("    {\"%s\", %zu, 0x%016llxull},\n", cell.name, bytes.size(),
                                static_cast<unsigned long long>(h));
                continue;
            }
            bool found = false;
            for (const Pin& p : kPins) {
                if (std::string(p.name) != cell.name) continue;
                found = true;
                EXPECT_EQ(bytes.size(), p.size);
                EXPECT_EQ(h, p.hash);
            }
            EXPECT_TRUE(found) << "no pin";
        }
    }
}

uint64_t fnv1a(const double* values, size_t n, uint64_t h) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(values);
    for (size_t i = 0; i < n * sizeof(double); ++i) {
        h ^= p[i];
        h *= 1099511628211ull;
    }
    return h;
}

// Both models, both layers, every rate, on the pin signal frame by frame
// (model 1 with scale factors that sweep the table).
TEST(AudioPins, ModelRatiosArePinned) {
    const uint32_t features = detectCpuFeatures();
    const int rates[3] = {44100, 48000, 32000};
    for (int model = 1; model <= 2; ++model)
        for (int layer = 1; layer <= 2; ++layer)
            for (int code = 0; code < 3; ++code)
                for (int mmxMode : {0, 1, 3}) {
                    const std::string name = "smr-m" + std::to_string(model) + "-l" + std::to_string(layer) + "-" +
                                             std::to_string(rates[code] / 1000);
                    SCOPED_TRACE(::testing::Message() << name << " MMXMode " << mmxMode);
                    audio::FrameShape shape{layer, 2, code, rates[code], layer == 1 ? 384 : 192, mmxMode, features};
                    audio::PsychoModelOne one(shape);
                    audio::PsychoModelTwo two(shape);
                    testing::AudioTestHost host;
                    Engine engine(host);
                    const std::vector<int16_t> pcm = pinSignal(rates[code]);
                    const int fresh = layer == 1 ? 384 : 1152;
                    int16_t frame[2][1152] = {};
                    uint64_t h = 1469598103934665603ull;
                    for (int f = 0; (f + 1) * fresh * 2 <= static_cast<int>(pcm.size()); ++f) {
                        const int offset = layer == 1 ? 64 : 0;
                        for (int ch = 0; ch < 2; ++ch) {
                            if (layer == 1)
                                for (int i = 0; i < 64; ++i) frame[ch][i] = frame[ch][384 + i];
                            for (int i = 0; i < fresh; ++i) frame[ch][offset + i] = pcm[2 * (f * fresh + i) + ch];
                        }
                        double smr[2][32];
                        if (model == 1) {
                            int indices[2][32];
                            for (int ch = 0; ch < 2; ++ch)
                                for (int sb = 0; sb < 32; ++sb) indices[ch][sb] = (sb * 7 + f * 3 + ch) % 64;
                            one.analyse(frame, indices, smr);
                        } else {
                            for (int ch = 0; ch < 2; ++ch) two.analyse(engine, frame[ch], ch, smr[ch]);
                        }
                        h = fnv1a(&smr[0][0], 64, h);
                    }
                    if (recording()) {
                        if (mmxMode == 0)
                            std::printf("    {\"%s\", 0, 0x%016llxull},\n", name.c_str(), static_cast<unsigned long long>(h));
                        continue;
                    }
                    bool found = false;
                    for (const Pin& p : kPins)
                        if (name == p.name) {
                            found = true;
                            EXPECT_EQ(h, p.hash);
                        }
                    EXPECT_TRUE(found) << "no pin";
                }
}

}  // namespace
}  // namespace quillon

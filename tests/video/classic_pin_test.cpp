// The classic encoder's bytes, pinned. Every cell encodes a small moving
// picture with one target's settings and compares a hash of what was
// written with the value recorded before the encoder's internals were
// reorganised; any change of these bytes is a fault unless a change of the
// classic coding itself was meant. The vector routine sets and the thread
// count must never change the bytes, so their cells share one pin.
//
// QUILLON_PIN_RECORD=1 prints the table of the current build instead of
// comparing (to pin a deliberate change, with its reason in the commit).
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/engine_entry.h"
#include "engine/presets.h"
#include "engine/standard_phases.h"
#include "platform/cpu_features.h"
#include "tests/engine/fake_host.h"
#include "tests/support/av_reader.h"
#include "tests/support/temp_dir.h"
#include "tests/video/video_test_util.h"
#include "video/video_encoder.h"

namespace quillon {
namespace {

struct Pin {
    const char* name;
    uint64_t size;
    uint64_t hash;
};

// Recorded from the encoder as it stood before the reorganisation.
const Pin kPins[] = {
#include "tests/video/classic_pins.inc"
};

uint64_t fnv1a(const std::vector<uint8_t>& bytes) {
    uint64_t h = 1469598103934665603ull;
    for (uint8_t b : bytes) {
        h ^= b;
        h *= 1099511628211ull;
    }
    return h;
}

std::vector<uint8_t> fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

bool recording() {
    const char* v = std::getenv("QUILLON_PIN_RECORD");
    return v && *v && *v != '0';
}

void expectPinned(const std::string& name, const std::vector<uint8_t>& bytes) {
    ASSERT_GT(bytes.size(), 100u) << name;
    const uint64_t h = fnv1a(bytes);
    if (recording()) {
        std::printf("    {\"%s\", %zu, 0x%016llxull},\n", name.c_str(), bytes.size(),
                    static_cast<unsigned long long>(h));
        return;
    }
    for (const Pin& p : kPins) {
        if (name != p.name) continue;
        EXPECT_EQ(bytes.size(), p.size) << name;
        EXPECT_EQ(h, p.hash) << name;
        return;
    }
    ADD_FAILURE() << "no pin for " << name;
}

// Sets QUILLON_THREADS for one encode and puts the old value back.
class ThreadCount {
public:
    explicit ThreadCount(int n) {
        if (const char* v = std::getenv("QUILLON_THREADS")) saved_ = v, had_ = true;
        setenv("QUILLON_THREADS", std::to_string(n).c_str(), 1);
    }
    ~ThreadCount() {
        if (had_)
            setenv("QUILLON_THREADS", saved_.c_str(), 1);
        else
            unsetenv("QUILLON_THREADS");
    }

private:
    std::string saved_;
    bool had_ = false;
};

using Tweak = std::function<void(EncoderSettings&)>;

struct Cell {
    std::string name;
    int kind = 4;
    int pal = 1;
    Tweak tweak;
    int frames = 17;
    bool recodes = false;  // the GOP budget must send at least one GOP back
    int grain = 0;         // noise amplitude added to the moving picture
    int width = 176;       // the height follows the standard: 144 or 120 at this width
};

// The moving picture with film grain on top: coefficients of every size,
// where the quantiser forms and the escapes show.
class GrainyFrames : public FrameSource {
public:
    GrainyFrames(int width, int height, int amplitude)
        : base_(width, height), height_(height), amplitude_(amplitude) {}
    int getFrame(int frame, int32_t* rowBytes, const uint8_t** pixels) override {
        const uint8_t* p = nullptr;
        const int status = base_.getFrame(frame, rowBytes, &p);
        if (status != 0) return status;
        grainy_.assign(p, p + static_cast<size_t>(*rowBytes) * height_);
        uint32_t x = 2463534242u + static_cast<uint32_t>(frame) * 977u;
        for (size_t i = 0; i < grainy_.size(); ++i) {
            if (i % 4 == 3) continue;
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            const int v = grainy_[i] + static_cast<int>(x % (2u * amplitude_ + 1)) - amplitude_;
            grainy_[i] = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
        }
        *pixels = grainy_.data();
        return 0;
    }
private:
    testing::SyntheticFrames base_;
    int height_;
    int amplitude_;
    std::vector<uint8_t> grainy_;
};

struct Run {
    int mode = 3;
    int threads = 1;
};

// One video elementary stream: the preset of kind and standard at a small
// size, the cell's changes on top.
std::vector<uint8_t> encodeCell(const Cell& c, const Run& r, testing::TempDir& dir) {
    const std::string out = dir.file("pin.mpv");
    const int width = c.width, height = (c.pal ? 144 : 120) * c.width / 176;
    testing::VideoJob job(width, height, c.frames, out, c.kind, 4);
    GrainyFrames grainy(width, height, c.grain);
    if (c.grain > 0) job.engine.request.frameSource = &grainy;
    EncoderSettings& s = job.engine.work;
    applyPreset(s, c.kind, c.pal, 1);
    if (c.recodes) s.verbose = 1;
    if (c.tweak) c.tweak(s);
    deriveMotionTable(s);
    job.engine.ev.cpuFeatures = detectCpuFeatures();
    job.engine.ev.MMXMode = r.mode;
    ThreadCount threads(r.threads);
    EXPECT_TRUE(runVideoEncoder(job.engine, nullptr)) << c.name;
    EXPECT_TRUE(job.host.errors.empty()) << c.name << ": " << (job.host.errors.empty() ? "" : job.host.errors[0]);
    if (c.recodes) {
        bool recoded = false;
        for (const std::string& line : job.host.lines)
            if (line.find("new mquant") != std::string::npos) recoded = true;
        EXPECT_TRUE(recoded) << c.name << ": no GOP was coded again";
    }
    return fileBytes(out);
}

// Constant bitrate at a rate that makes the quantiser move on a picture
// this small.
Tweak constantRate(double bitrate, Tweak more = nullptr) {
    return [=](EncoderSettings& s) {
        s.constBitrateFlag = 1;
        s.constBitrate = bitrate;
        if (more) more(s);
    };
}

std::vector<Cell> cells() {
    std::vector<Cell> v;
    static const char* kKinds[] = {"mpeg1", "vcd", "mpeg2", "svcd", "dvd"};
    // The ten presets as they stand (VCD in constant bitrate, the others in
    // variable bitrate; MPEG-2 without a maximum runs the embedding pass).
    for (int kind = 0; kind < 5; ++kind)
        for (int pal : {0, 1}) v.push_back({std::string(kKinds[kind]) + (pal ? "-pal" : "-ntsc"), kind, pal, nullptr});
    // Constant bitrate on every syntax, with vbv_delay computed.
    v.push_back({"mpeg1-cbr", 0, 1, constantRate(350000)});
    v.push_back({"vcd-cbr-low", 1, 0, constantRate(200000)});
    v.push_back({"svcd-cbr", 3, 1, constantRate(500000, [](EncoderSettings& s) { s.forceVBVDelay = 0; })});
    v.push_back({"dvd-cbr", 4, 0, constantRate(600000, [](EncoderSettings& s) { s.forceVBVDelay = 0; })});
    v.push_back({"dvd-cbr-linear", 4, 1, constantRate(450000, [](EncoderSettings& s) {
                     s.forceVBVDelay = 0;
                     s.quantizationScaleI = s.quantizationScaleP = s.quantizationScaleB = 0;
                     s.intraDCPrec = 2;
                 })});
    // Variable bitrate with GOP re-coding: too large for the maximum, too
    // small for the minimum, and over the average's bank.
    v.push_back({"recode-max", 4, 1,
                 [](EncoderSettings& s) {
                     s.mquantValue = 2;
                     s.maxBitrate = 400000;
                     s.iFramesInGOP = 6;
                 },
                 19, true});
    v.push_back({"recode-min", 3, 0,
                 [](EncoderSettings& s) {
                     s.mquantValue = 20;
                     s.maxBitrate = 0;
                     s.minBitrate = 2500000;
                     s.iFramesInGOP = 6;
                 },
                 19, true});
    v.push_back({"recode-avg", 4, 1,
                 [](EncoderSettings& s) {
                     s.mquantValue = 1;
                     s.maxBitrate = 0;
                     s.avgBitrate = 300000;
                     s.iFramesInGOP = 6;
                 },
                 13, true, 24, 352});
    // Grain: coefficients of every size, escapes, intra levels that do not
    // fit (constant bitrate tries coarser quantisers), the exact and the
    // reciprocal quantisers apart.
    v.push_back({"grain-vbr-fine", 4, 1, [](EncoderSettings& s) { s.mquantValue = 1; }, 8, false, 30});
    v.push_back({"grain-mpeg1-fine", 0, 0, [](EncoderSettings& s) { s.mquantValue = 1; }, 8, false, 30});
    v.push_back({"grain-cbr", 4, 0, constantRate(900000, [](EncoderSettings& s) { s.forceVBVDelay = 0; }), 11,
                 false, 20});
    v.push_back({"grain-vcd", 1, 1, nullptr, 11, false, 16});
    // MPEG-2 variable bitrate without a maximum: the embedding pass
    // rewrites each sequence header's rate.
    v.push_back({"embed-max", 2, 1, [](EncoderSettings& s) { s.iFramesInGOP = 6; }, 19});
    // Field pictures, in both rate modes and both field orders.
    v.push_back({"field-vbr", 4, 1, [](EncoderSettings& s) { s.fieldPictures = 1; }});
    v.push_back({"field-cbr-bff", 4, 0, constantRate(700000, [](EncoderSettings& s) {
                     s.fieldPictures = 1;
                     s.topFieldFirst = 0;
                     s.forceVBVDelay = 0;
                 })});
    // Frame and field DCT and prediction in frame pictures.
    v.push_back({"interlaced-frame", 4, 1, [](EncoderSettings& s) {
                     s.framePredDCTI = s.framePredDCTP = s.framePredDCTB = 0;
                     s.alternateScanP = s.alternateScanB = 0;
                 }});
    // Pulldown written into the stream, both cadences.
    for (int flag : {1, 2})
        v.push_back({"pulldown-" + std::to_string(flag), 4, 0, constantRate(500000, [flag](EncoderSettings& s) {
                         s.videoPulldownFlag = flag;
                         s.frameRateCode = 1;
                         s.frameRate = 24000.0 / 1001.0;
                         s.forceVBVDelay = 0;
                     })});
    // Chroma formats.
    v.push_back({"chroma-422", 4, 1, [](EncoderSettings& s) {
                     s.chromaFormat = 2;
                     s.profile = 1;
                     s.level = 6;
                 }});
    v.push_back({"chroma-422-cbr", 4, 0, constantRate(800000, [](EncoderSettings& s) {
                     s.chromaFormat = 2;
                     s.fieldPictures = 1;
                 })});
    v.push_back({"chroma-444", 2, 1, [](EncoderSettings& s) {
                     s.chromaFormat = 3;
                     s.framePredDCTP = s.framePredDCTB = 0;
                 }});
    // The floating DCT and colour conversion.
    v.push_back({"floating", 4, 1, [](EncoderSettings& s) { s.useFloatingPoint = 1; }});
    v.push_back({"floating-vcd", 1, 0, [](EncoderSettings& s) { s.useFloatingPoint = 1; }});
    // The full search (no coarse stage) and a wide coarse one.
    v.push_back({"full-search", 4, 1, [](EncoderSettings& s) { s.variableMaxMotion = 0; }});
    v.push_back({"wide-search", 0, 1, [](EncoderSettings& s) {
                     s.variableMaxMotion = 16;
                     s.horzPelMovement = 6;
                     s.ipFrameDistance = 2;
                 }});
    // Only I and P pictures; only I pictures.
    v.push_back({"ip-only", 4, 1, [](EncoderSettings& s) { s.ipFrameDistance = 1; }});
    v.push_back({"i-only", 1, 1, [](EncoderSettings& s) {
                     s.ipFrameDistance = 1;
                     s.iFramesInGOP = 1;
                 },
                 5});
    return v;
}

TEST(ClassicPin, EveryTargetAndCodingToolKeepsItsBytes) {
    testing::TempDir dir;
    for (const Cell& c : cells()) {
        SCOPED_TRACE(c.name);
        expectPinned(c.name, encodeCell(c, {3, 1}, dir));
        expectPinned(c.name + "/plain", encodeCell(c, {0, 1}, dir));
    }
}

// The vector sets and a second thread give the bytes of the plain-DCT
// vector set's pin (MMXMode 0 quantises exactly, so it has its own pins).
TEST(ClassicPin, RoutineSetsAndThreadsKeepTheBytes) {
    testing::TempDir dir;
    const uint32_t cpu = detectCpuFeatures();
    const char* wanted[] = {"vcd-ntsc", "dvd-pal", "svcd-cbr", "recode-max", "field-cbr-bff", "chroma-422-cbr",
                            "chroma-444", "floating", "pulldown-2", "full-search"};
    for (const Cell& c : cells()) {
        bool take = false;
        for (const char* w : wanted) take = take || c.name == w;
        if (!take) continue;
        SCOPED_TRACE(c.name);
        for (int mode : {1, 2, 4}) {
            // A set the processor lacks falls back to the plain routines;
            // those cells prove nothing new.
            if (mode >= 3 && !(cpu & kCpuAvx2)) continue;
            expectPinned(c.name, encodeCell(c, {mode, 1}, dir));
        }
        expectPinned(c.name, encodeCell(c, {3, 2}, dir));
        expectPinned(c.name + "/plain", encodeCell(c, {0, 2}, dir));
    }
}

// A sine per channel, in blocks like the media input hands out.
class ToneSource : public SampleSource {
public:
    explicit ToneSource(int frames) : pcm_(2 * static_cast<size_t>(frames)) {
        for (int n = 0; n < frames; ++n) {
            pcm_[2 * static_cast<size_t>(n)] = static_cast<int16_t>(8000 * ((n * 7 % 200) - 100) / 100);
            pcm_[2 * static_cast<size_t>(n) + 1] = static_cast<int16_t>(6000 * ((n * 3 % 150) - 75) / 75);
        }
    }
    int getSamples(int first, int32_t* consumed, int32_t* bytes, const uint8_t** pcm) override {
        const int total = static_cast<int>(pcm_.size() / 2);
        const int n = std::max(0, std::min(4608, total - first));
        block_.assign(pcm_.begin() + 2 * first, pcm_.begin() + 2 * (first + n));
        *consumed = n;
        *bytes = n * 4;
        *pcm = reinterpret_cast<const uint8_t*>(block_.data());
        return kSourceOk;
    }

private:
    std::vector<int16_t> pcm_, block_;
};

// Whole program streams through the real driver, encoders and multiplexer.
TEST(ClassicPin, ProgramStreamsKeepTheirBytes) {
    struct Stream {
        const char* name;
        int kind, pal, width, height, frames, rate;
    };
    const Stream streams[] = {{"ps-vcd-pal", 1, 1, 176, 144, 14, 44100},
                              {"ps-svcd-ntsc", 3, 0, 176, 120, 16, 44100},
                              {"ps-dvd-pal", 4, 1, 176, 144, 14, 48000}};
    for (const Stream& st : streams) {
        SCOPED_TRACE(st.name);
        testing::TempDir dir;
        testing::FakeHost host;
        Engine engine(host);
        initEngine(engine, st.pal * 16 + st.kind);
        engine.ev.MMXMode = 3;
        engine.setPhases(&standardPhases());
        testing::SyntheticFrames frames(st.width, st.height, st.frames);
        const double fps = st.pal ? 25.0 : 30000.0 / 1001.0;
        const int samples = static_cast<int>(st.frames / fps * st.rate);
        ToneSource sound(samples);
        const std::string out = dir.file("pin.mpg");
        ConversionRequest request;
        request.videoPresent = 1;
        request.width = st.width;
        request.height = st.height;
        request.lastFrame = st.frames - 1;
        request.audioPresent = 1;
        request.sampleRate = st.rate;
        request.lastSample = samples - 1;
        request.outputName = out.c_str();
        request.frameSource = &frames;
        request.sampleSource = &sound;
        ThreadCount threads(1);
        ASSERT_EQ(engineConvert(engine, request), 31);
        const std::vector<uint8_t> bytes = fileBytes(out);
        expectPinned(st.name, bytes);
        const testing::DecodedVideo video = testing::decodeVideo(out);
        EXPECT_EQ(static_cast<int>(video.pictures.size()), st.frames);
        EXPECT_EQ(video.errors, 0);
    }
}

}  // namespace
}  // namespace quillon

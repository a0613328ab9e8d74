// Benchmark driver: runs one phase of our engine on raw input files, so the
// bench script can time it next to the ffmpeg tool on the same frames, and
// makes the clips both are fed.
//
//   quillon_bench picture OUT.ppm W H          photograph-like still picture
//   quillon_bench clip NAME W H RATE FRAMES OUT.bgra   (OUT "-": standard output)
//   quillon_bench grain IN.bgra W H FRAMES OUT.bgra STRENGTH
//   quillon_bench video KIND RAW.bgra W H FRAMES OUT [key=value ...] [set.KEY=VALUE ...]
//   quillon_bench audio RAW.s16 RATE OUT [key=value ...]
//   quillon_bench yuv KIND RAW.bgra W H FRAMES OUT.yuv [std=ntsc]
//
// clip NAME: interlaced or scenes (bench/clip_maker.h); RATE a number or a
// fraction such as 30000/1001. Raw pictures are top-down BGRA.
//
// yuv writes the 4:2:0 planes our frame input makes of the frames, so the
// other encoder can be fed the very pictures ours codes and both streams
// are measured against the same reference (our colour conversion scales
// to 219/256 of the range, the ffmpeg tool's to 219/255, which alone would
// cap PSNR-Y near 40 dB on bright clips).
//
// video starts the engine as the programs do, so the user profile and the
// settings file of $QUILLON_CONFIG_DIR apply (the bench script points it
// at a folder of its own, with the quality level in the profile).
//
// KIND: vcd, svcd, dvd. Keys: std (pal, the default, or ntsc), avg, max,
// const (bits/s), mquant, model (1, 2), mmx (MMXMode), threads, verbose
// (the encoder's GOP lines), log (print the log lines).
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "audio/audio_encoder.h"
#include "bench/clip_maker.h"
#include "engine/engine.h"
#include "engine/engine_entry.h"
#include "engine/presets.h"
#include "engine/settings_overrides.h"
#include "platform/cpu_features.h"
#include "video/encoder/frame_input.h"
#include "video/video_encoder.h"

using namespace quillon;

namespace {

class QuietHost : public Host {
public:
    void messageBox(const std::string& caption, const std::string& text, MessageIcon, bool) override {
        std::cerr << caption << ": " << text << "\n";
    }
    bool askYesNo(const std::string&, const std::string&) override { return true; }
    void logLine(const std::string& line) override {
        if (log) std::cerr << line << "\n";
    }
    bool log = false;
    void droppedWarning(const std::string& text) override { std::cerr << "warning: " << text << "\n"; }
    std::unique_ptr<DialogView> createDialog() override { return nullptr; }
};

// Frames of a raw top-down BGRA file, handed out bottom-up as the engine
// expects them.
class RawFrames : public FrameSource {
public:
    RawFrames(const std::string& path, int w, int h) : in_(path, std::ios::binary), w_(w), h_(h) {
        raw_.resize(static_cast<size_t>(w) * h * 4);
        flipped_.resize(raw_.size());
    }
    int getFrame(int frame, int32_t* rowBytes, const uint8_t** pixels) override {
        const size_t row = static_cast<size_t>(w_) * 4;
        in_.seekg(static_cast<std::streamoff>(frame) * static_cast<std::streamoff>(raw_.size()));
        if (!in_.read(reinterpret_cast<char*>(raw_.data()), static_cast<std::streamsize>(raw_.size()))) return 5;
        for (int y = 0; y < h_; ++y)
            std::memcpy(flipped_.data() + static_cast<size_t>(h_ - 1 - y) * row, raw_.data() + y * row, row);
        *rowBytes = static_cast<int32_t>(row);
        *pixels = flipped_.data();
        return kSourceOk;
    }

private:
    std::ifstream in_;
    int w_, h_;
    std::vector<uint8_t> raw_, flipped_;
};

// Raw interleaved 16-bit stereo, read block by block as the engine asks for
// it, the way the other encoder reads its input: the timing is the coding,
// not the loading of the whole file into memory.
class RawSamples : public SampleSource {
public:
    explicit RawSamples(const std::string& path) : in_(path, std::ios::binary | std::ios::ate) {
        frames_ = in_ ? static_cast<int>(in_.tellg() / 4) : 0;
    }
    int frames() const { return frames_; }
    int getSamples(int firstSample, int32_t* framesConsumed, int32_t* byteCount, const uint8_t** pcm) override {
        const int n = std::max(0, std::min(kBlockFrames, frames_ - firstSample));
        if (firstSample != next_) in_.seekg(static_cast<std::streamoff>(firstSample) * 4);
        if (n > 0 && !in_.read(reinterpret_cast<char*>(block_.data()), static_cast<std::streamsize>(n) * 4))
            return kSourceSoundFailed;
        next_ = firstSample + n;
        *framesConsumed = n;
        *byteCount = n * 4;
        *pcm = block_.data();
        return kSourceOk;
    }

private:
    static constexpr int kBlockFrames = 4096;
    std::ifstream in_;
    int frames_ = 0;
    int next_ = -1;  // opened at the end, for the size
    std::array<uint8_t, kBlockFrames * 4> block_{};
};

std::map<std::string, std::string> keys(int argc, char** argv, int from) {
    std::map<std::string, std::string> k;
    for (int i = from; i < argc; ++i) {
        std::string a = argv[i];
        auto eq = a.find('=');
        if (eq != std::string::npos) k[a.substr(0, eq)] = a.substr(eq + 1);
    }
    return k;
}

int writePicture(const std::string& path, int w, int h) {
    const bench::Photo photo = bench::paintLandscape(w, h, bench::kMeadow, 0);
    std::ofstream out(path, std::ios::binary);
    out << "P6\n" << w << " " << h << "\n255\n";
    out.write(reinterpret_cast<const char*>(photo.rgb.data()), static_cast<std::streamsize>(photo.rgb.size()));
    return out ? 0 : 1;
}

int kindCode(const std::string& kind) { return kind == "vcd" ? kKindVcd : kind == "svcd" ? kKindSvcd : kKindDvd; }

// tvStandard of the presets: 1 PAL (the default), 0 NTSC.
int standard(const std::map<std::string, std::string>& k) { return k.count("std") && k.at("std") == "ntsc" ? 0 : 1; }

// A picture rate as a number or a fraction such as 30000/1001.
double rate(const std::string& text) {
    const size_t slash = text.find('/');
    if (slash == std::string::npos) return std::atof(text.c_str());
    return std::atof(text.substr(0, slash).c_str()) / std::atof(text.substr(slash + 1).c_str());
}

void commonEngine(Engine& e, const std::map<std::string, std::string>& k) {
    e.ev.cpuFeatures = detectCpuFeatures();
    e.ev.MMXMode = k.count("mmx") ? std::atoi(k.at("mmx").c_str()) : defaultMMXMode(e.ev.cpuFeatures);
}

// Our frame input's pictures as planar 4:2:0, for sizes of whole macroblocks.
int writeYuv(const std::string& kind, int tvStandard, const std::string& raw, int w, int h, int frames,
             const std::string& out) {
    EncoderSettings s;
    applyPreset(s, kindCode(kind), tvStandard, 1);
    const bool mpeg2 = kind != "vcd";
    std::array<uint8_t, 1024> clipTable{};
    buildClipTable(clipTable);
    const uint8_t* clip = clipTable.data() + 384;
    const size_t n = static_cast<size_t>(w) * h;
    std::vector<uint8_t> y(n), u(n), v(n), u422(n / 2), v422(n / 2), u420(n / 4), v420(n / 4);
    RawFrames src(raw, w, h);
    std::ofstream o(out, std::ios::binary);
    for (int f = 0; f < frames; ++f) {
        int32_t rowBytes = 0;
        const uint8_t* px = nullptr;
        if (src.getFrame(f, &rowBytes, &px) != kSourceOk) return 1;
        convertRgbToYuv(s.useFloatingPoint ? ColourRoutine::Floating : ColourRoutine::Integer, s.matrixCoefficients,
                        px + static_cast<ptrdiff_t>(rowBytes) * (h - 1), rowBytes, w, h, y.data(), u.data(), v.data(), w);
        filterHorizontal(clip, mpeg2, u.data(), u422.data(), w, h);
        filterHorizontal(clip, mpeg2, v.data(), v422.data(), w, h);
        filterVertical(clip, s.progressiveFrame != 0, u422.data(), u420.data(), w / 2, h);
        filterVertical(clip, s.progressiveFrame != 0, v422.data(), v420.data(), w / 2, h);
        for (const auto* p : {&y, &u420, &v420})
            o.write(reinterpret_cast<const char*>(p->data()), static_cast<std::streamsize>(p->size()));
    }
    return o ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const std::string mode = argv[1];
    if (mode == "picture" && argc >= 5) return writePicture(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
    QuietHost host;
    Engine engine(host);
    if (mode == "video" && argc >= 8) {
        const std::string kind = argv[2];
        const int w = std::atoi(argv[4]), h = std::atoi(argv[5]), frames = std::atoi(argv[6]);
        auto k = keys(argc, argv, 8);
        // Engine start-up as the programs do it: the user profile (routine
        // set, quality level) and the settings file of the configuration
        // directory over the preset.
        initEngine(engine, kindCode(kind) + 16 * standard(k));
        if (k.count("mmx")) engine.ev.MMXMode = std::atoi(k["mmx"].c_str());
        EncoderSettings& s = engine.work;
        if (kind == "dvd") {
            s.constBitrateFlag = 0;
            s.avgBitrate = 6000000;
            s.maxBitrate = 9000000;
        }
        if (k.count("avg")) s.avgBitrate = std::atof(k["avg"].c_str());
        if (k.count("max")) s.maxBitrate = std::atof(k["max"].c_str());
        if (k.count("const")) s.constBitrate = std::atof(k["const"].c_str());
        if (k.count("mquant")) s.mquantValue = std::atoi(k["mquant"].c_str());
        if (k.count("twopass")) s.twoPass = std::atoi(k["twopass"].c_str());
        if (k.count("verbose")) s.verbose = std::atoi(k["verbose"].c_str());
        // set.KEY=VALUE: one settings key, as --set gives it, for trying a
        // tool's value without a settings file.
        for (const auto& [name, value] : k) {
            if (name.rfind("set.", 0) != 0) continue;
            std::string error;
            if (!setSettingByName(s, name.substr(4), value, error)) {
                std::fprintf(stderr, "%s\n", error.c_str());
                return 2;
            }
        }
        host.log = k.count("log") != 0;
        if (k.count("threads")) setenv("QUILLON_THREADS", k["threads"].c_str(), 1);
        engine.ev.horizontalSize = w;
        engine.ev.verticalSize = h;
        engine.job.frameCount = frames;
        engine.job.videoStreamName = argv[7];
        RawFrames src(argv[3], w, h);
        engine.request.frameSource = &src;
        return runVideoEncoder(engine) ? 0 : 1;
    }
    if (mode == "yuv" && argc >= 8)
        return writeYuv(argv[2], standard(keys(argc, argv, 8)), argv[3], std::atoi(argv[4]), std::atoi(argv[5]),
                        std::atoi(argv[6]), argv[7]);
    if (mode == "clip" && argc >= 8 && bench::isClipName(argv[2])) {
        std::ofstream file;
        if (std::string(argv[7]) != "-") file.open(argv[7], std::ios::binary);
        std::ostream& out = file.is_open() ? file : std::cout;
        return bench::writeClip(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), rate(argv[5]), std::atoi(argv[6]), out)
                   ? 0
                   : 1;
    }
    if (mode == "grain" && argc >= 8) {
        std::ifstream in(argv[2], std::ios::binary);
        std::ofstream out(argv[6], std::ios::binary);
        return bench::addGrain(in, out, std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]), std::atof(argv[7])) ? 0
                                                                                                                     : 1;
    }
    if (mode == "audio" && argc >= 5) {
        auto k = keys(argc, argv, 5);
        applyPreset(engine.work, kKindDvd, 1, 1);  // Layer II, 224 kbit/s stereo
        commonEngine(engine, k);
        if (k.count("model")) engine.work.psychModel = std::atoi(k["model"].c_str());
        RawSamples src(argv[2]);
        engine.ev.audioSampleRate = std::atoi(argv[3]);
        engine.request.sampleSource = &src;
        engine.job.lastSample = src.frames() - 1;
        engine.job.sampleCount = src.frames();
        engine.job.audioStreamName = argv[4];
        return runAudioEncoder(engine) ? 0 : 1;
    }
    std::cerr << "usage: see bench/quillon_bench.cpp\n";
    return 2;
}

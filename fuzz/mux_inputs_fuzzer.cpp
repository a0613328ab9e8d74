// The whole multiplex step as `quillon mux` runs it, over arbitrary
// elementary streams and settings: input checks, both scans and the
// multiplexer writing a program stream. It must end (no stream, setting or
// mix of them may make it write without end) and never touch memory it
// does not own.
//
// Input: byte 0 picks the target and standard, byte 1 which streams take
// part; then three parts separated by the bytes 00 00 FF: the video
// stream, the audio stream and --set assignments (one KEY=VALUE a line).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/presets.h"
#include "engine/settings_overrides.h"
#include "fuzz/fuzz_support.h"
#include "mux/multiplex_step.h"

using namespace quillon;

namespace {

std::vector<std::string> parts(const uint8_t* data, size_t size) {
    std::vector<std::string> out(3);
    size_t k = 0;
    for (size_t i = 0; i < size; ++i) {
        if (k < 2 && i + 2 < size && data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 0xFF) {
            ++k;
            i += 2;
            continue;
        }
        out[k] += static_cast<char>(data[i]);
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > 200000) return 0;
    static const bool configured = [] {
        ::setenv("TMP", fuzz::scratchDir().c_str(), 1);
        return true;
    }();
    (void)configured;
    const std::vector<std::string> p = parts(data + 2, size - 2);
    fuzz::SilentHost host;
    Engine engine(host);
    applyPreset(engine.record, data[0] % 5, (data[0] >> 3) & 1, 1);
    engine.work = engine.record;

    std::vector<std::string> assignments;
    std::string line;
    for (char c : p[2] + "\n") {
        if (c == '\n') {
            if (!line.empty()) assignments.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    std::string error;
    if (!applySettingOverrides(engine, assignments, error)) return 0;  // refused before any work

    const std::string video = fuzz::scratchFile("in.m1v"), audio = fuzz::scratchFile("in.mpa");
    const std::string out = fuzz::scratchFile("out.mpg");
    fuzz::writeScratch(video, reinterpret_cast<const uint8_t*>(p[0].data()), p[0].size());
    fuzz::writeScratch(audio, reinterpret_cast<const uint8_t*>(p[1].data()), p[1].size());
    const bool withVideo = data[1] & 1, withAudio = (data[1] & 2) || !withVideo;
    engine.work.encodeVideo = engine.work.encodeAudio = 0;
    engine.job = JobValues();
    engine.job.programStreamName = out;
    engine.job.videoStreamName = withVideo ? video : "";
    engine.job.audioStreamName = withAudio ? audio : "";
    (void)runMultiplexStep(engine, withVideo, withAudio);
    // Split outputs are numbered; remove whatever the step wrote.
    std::remove(out.c_str());
    for (int i = 0; i < 100; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "out%02d.mpg", i);
        if (std::remove(fuzz::scratchFile(name).c_str()) != 0) break;
    }
    return 0;
}

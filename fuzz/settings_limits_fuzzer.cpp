// Settings from every way in, checked against their limits: a settings
// file and a user profile read by the engine's start-up, then --set
// assignments over the result. Whatever the bytes, the working settings an
// encoder would get lie within every key's range and the multiplexer's
// limits, and the routine set is one that exists.
//
// Input: byte 0 picks the start-up code (target and standard); then three
// parts separated by a 0x00 byte each: the settings file, the profile, and
// the assignments, one KEY=VALUE a line.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/engine_entry.h"
#include "engine/settings_overrides.h"
#include "engine/validation.h"
#include "fuzz/fuzz_support.h"

using namespace quillon;

namespace {

std::vector<std::string> parts(const uint8_t* data, size_t size, size_t count) {
    std::vector<std::string> out(count);
    size_t k = 0;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0 && k + 1 < count) {
            ++k;
            continue;
        }
        out[k] += static_cast<char>(data[i]);
    }
    return out;
}

void checkWithinLimits(const Engine& engine) {
    if (!settingsLimitProblem(engine.work).empty()) std::abort();
    if (!settingsLimitProblem(engine.record).empty()) std::abort();
    if (engine.ev.MMXMode < 0 || engine.ev.MMXMode > 4) std::abort();
    if (engine.ev.batchMode < 0 || engine.ev.batchMode > 1) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    static const bool configured = [] {
        ::setenv("QUILLON_CONFIG_DIR", fuzz::scratchDir().c_str(), 1);
        return true;
    }();
    (void)configured;
    const std::vector<std::string> p = parts(data + 1, size - 1, 3);
    const std::string settingsPath = fuzz::scratchFile("default.ini"), profilePath = fuzz::scratchFile("profile.ini");
    fuzz::writeScratch(settingsPath, reinterpret_cast<const uint8_t*>(p[0].data()), p[0].size());
    fuzz::writeScratch(profilePath, reinterpret_cast<const uint8_t*>(p[1].data()), p[1].size());

    fuzz::SilentHost host;
    Engine engine(host);
    initEngine(engine, data[0]);
    checkWithinLimits(engine);

    std::vector<std::string> assignments;
    std::string line;
    for (char c : p[2]) {
        if (c == '\n') {
            assignments.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    if (!line.empty()) assignments.push_back(line);
    // A job's picture size takes part in the level limits.
    engine.ev.horizontalSize = 16 * (1 + data[0] % 45);
    engine.ev.verticalSize = 16 * (1 + (data[0] >> 2) % 36);
    const std::string before = engine.record.description;
    std::string error;
    if (applySettingOverrides(engine, assignments, error)) {
        checkWithinLimits(engine);
        if (!validateVideoSettings(engine.record, engine.ev) || !validateAudioSettings(engine.record)) std::abort();
    } else if (error.empty()) {
        std::abort();  // a refusal always says why
    }
    return 0;
}

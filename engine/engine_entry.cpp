#include "engine/engine_entry.h"

#include <cstdio>

#include "engine/format.h"
#include "engine/job_driver.h"
#include "engine/presets.h"
#include "engine/settings_file.h"
#include "platform/cpu_features.h"
#include "platform/profile.h"

namespace quillon {

int initEngine(Engine& engine, int code) {
    EngineValues& ev = engine.ev;
    ev.cpuFeatures = detectCpuFeatures();
    const int detectedMode = defaultMMXMode(ev.cpuFeatures);

    engine.job.programStreamName.clear();
    engine.job.videoStreamName.clear();
    engine.job.audioStreamName.clear();
    engine.job.audio2StreamName.clear();

    ev.audioStereo = 1;
    ev.horizontalSize = 0;
    ev.verticalSize = 0;

    engine.profileProblem.clear();
    std::string refused;
    ProfileFile profile = ProfileFile::load(userProfilePath(), &refused);
    if (!refused.empty()) engine.profileProblem = refused;
    // A value outside its range is reported and gives way to its default,
    // so it never reaches the routine selection.
    auto profileValue = [&](const char* key, int fallback, int lo, int hi) {
        const int v = profile.getInt(kProfileSection, key, fallback);
        if (v >= lo && v <= hi) return v;
        if (engine.profileProblem.empty())
            engine.profileProblem = formatText("The profile value %s=%d in %s is outside its range %d..%d; %d is used.",
                                               key, v, userProfilePath().c_str(), lo, hi, fallback);
        return fallback;
    };
    ev.tvStandard = profileValue("PALDefaults", 0, 0, 1);
    ev.batchMode = profileValue("Batch", 0, 0, 1);
    ev.MMXMode = profileValue("MMXMode", detectedMode, 0, 4);
    if (!engine.profileProblem.empty()) engine.showMessage(engine.profileProblem, MessageIcon::Warning);

    const unsigned ucode = static_cast<unsigned>(code);
    ev.tvStandard = static_cast<int>((ucode / 16) % 16);
    const int kind = static_cast<int>(ucode % 16);
    applyPreset(engine, kind);

    engine.settingsFileRejected = !loadSettingsFile(engine, engine.settingsFile, engine.record);
    if (engine.settingsFileRejected) applyPreset(engine, kKindMpeg1);
    applySettings(engine);
    return 0;
}

void applySettings(Engine& engine) { engine.work = engine.record; }
void captureSettings(Engine& engine) { engine.record = engine.work; }

int engineConvert(Engine& engine, const ConversionRequest& request) {
    engine.request = request;
    engine.work.maxFileSize = request.maxFileSize;
    int result = startJob(engine, engine.request);
    if (result == 4) return 4;
    return result == 3 ? 31 : 30;
}

namespace {

// Reports to standard error; has no conversion dialog, so a conversion
// through it ends with "Unable to create main window.".
class StandardErrorHost : public Host {
public:
    void messageBox(const std::string& caption, const std::string& text, MessageIcon,
                    bool) override {
        std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
    }
    bool askYesNo(const std::string&, const std::string&) override { return false; }
    void logLine(const std::string& text) override { std::fprintf(stderr, "%s\n", text.c_str()); }
    std::unique_ptr<DialogView> createDialog() override { return nullptr; }
};

struct DefaultEngineSlot {
    StandardErrorHost fallback;
    std::unique_ptr<Engine> engine = std::make_unique<Engine>(fallback);
};

DefaultEngineSlot& slot() {
    static DefaultEngineSlot s;
    return s;
}

}  // namespace

Engine& defaultEngine() { return *slot().engine; }

void setDefaultEngineHost(Host& host) {
    ConversionPhases* phases = slot().engine->phases();
    slot().engine = std::make_unique<Engine>(host);
    slot().engine->setPhases(phases);
}

int engineInit(int code) { return initEngine(defaultEngine(), code); }
int engineConvert(const ConversionRequest& request) {
    return engineConvert(defaultEngine(), request);
}

}  // namespace quillon

// The window's engine: one Engine object reporting through the desktop
// host, started and run through the classic entry points.
#pragma once

#include "app/services.h"
#include "engine/engine.h"
#include "engine/job_driver.h"
#include "platform/profile.h"

namespace quillon::app {

class EngineLink : public ConversionEngine {
public:
    EngineLink(Host& host, ConversionPhases* phases) : engine_(host) { engine_.setPhases(phases); }
    Engine& engine() { return engine_; }

    bool init(int code) override;
    int convert(const ConversionRequest& request) override;
    int batchMode() const override { return engine_.ev.batchMode; }
    PlannedJobFiles plannedFiles(const ConversionRequest& request) const override {
        return plannedJobFiles(engine_, request);
    }
    void setReplaceExisting(bool on) override { engine_.replaceExisting = on; }
    void setFitSize(int64_t bytes) override { engine_.fitSize = bytes; }
    std::vector<std::string> lastFiles() const override { return engine_.job.filesWritten; }
    bool lastStopped() const override { return engine_.job.stopped; }
    std::string outputSizeProblem(int width, int height) const override;
    // For the frame and sample callbacks: dispatches events, says whether
    // the user stopped the run.
    bool pump();
    // The pel aspect code the settings had after the last start-up.
    int initialAspectCode() const { return initialAspect_; }

private:
    Engine engine_;
    int initialAspect_ = 0;
};

class ProfilePreferences : public Preferences {
public:
    int getInt(const std::string& section, const std::string& key, int fallback) override {
        return getProfileInt(section, key, fallback);
    }
    void setInt(const std::string& section, const std::string& key, int value) override {
        writeProfileString(section, key, std::to_string(value));
    }
};

}  // namespace quillon::app

// The window's engine: one Engine object reporting through the desktop
// host, started and run through the classic entry points.
#pragma once

#include "app/services.h"
#include "engine/engine.h"
#include "platform/profile.h"

namespace quillon::app {

class EngineLink : public ConversionEngine {
public:
    EngineLink(Host& host, ConversionPhases* phases) : engine_(host) { engine_.setPhases(phases); }
    Engine& engine() { return engine_; }

    bool init(int code) override;
    int convert(const ConversionRequest& request) override;
    int batchMode() const override { return engine_.ev.batchMode; }
    std::string outputSizeProblem(int width, int height) const override;
    // For the frame and sample callbacks: dispatches events, says whether
    // the user stopped the run.
    bool pump();

private:
    Engine engine_;
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

#include "engine/source_format.h"

#include "engine/derived_values.h"
#include "engine/engine.h"
#include "engine/presets.h"
#include "engine/validation.h"

namespace quillon {

void fitLevelToPicture(EncoderSettings& s, int width, int height) {
    bool raised = false;
    if (width > 1440 && s.level != 4) {
        s.level = 4;
        raised = true;
    }
    if ((width > 720 || height > 576) && s.level > 6) {
        s.level = 6;
        raised = true;
    }
    if (raised && s.profile > 4) s.profile = 4;
    if ((width > 352 || height > 288) && s.level > 8) s.level = 8;

    // The pictures arrive at the rate of the chosen standard, so a lower
    // rate here would make them run longer than the sound: a rate beyond
    // the level's sample rate takes a higher level.
    const double needed = static_cast<double>(width) * height * s.frameRate;
    const LevelLimits* current = levelLimits(s.level);
    if (current && current->samplesPerSecond < needed) {
        for (int higher : {8, 6, 4}) {
            const LevelLimits* limits = levelLimits(higher);
            // Main level takes no rate above 30.
            if (higher == 8 && s.frameRateCode > 5) continue;
            if (higher < s.level && limits && limits->samplesPerSecond >= needed) {
                s.level = higher;
                if (s.profile > 4) s.profile = 4;
                break;
            }
        }
    }
    // Only a rate beyond every level (a high rate set by hand) is lowered.
    if (const LevelLimits* limits = levelLimits(s.level)) {
        while (s.frameRateCode > 3 && limits->samplesPerSecond < static_cast<double>(width) * height * s.frameRate) {
            --s.frameRateCode;
            s.frameRate = frameRateFromCode(s.frameRateCode);
        }
    }
}

std::string outputSizeProblem(const EncoderSettings& settings, int width, int height) {
    if (width < 1 || width > 1920) return "Horizontal size must be in the range 1 .. 1920.";
    if (height < 1 || height > 1152) return "Vertical size must be in the range 1 .. 1152.";
    if (width % 2 != 0) return "Horizontal size must be a even.";
    if (height % 2 != 0) return "Vertical size must be a even.";
    EncoderSettings s = settings;
    fitLevelToPicture(s, width, height);
    if (s.autoBitrate) applyAutoBitrate(s, width, height);
    std::string problem = settingsLimitProblem(s);
    if (problem.empty()) problem = videoSettingsProblem(s, width, height);
    return problem;
}

int checkSourceFormat(Engine& engine, int width, int height, int sampleRate, int bitsPerSample) {
    EncoderSettings& s = engine.work;
    EngineValues& ev = engine.ev;
    bool videoFault = false, audioFault = false;

    if (ev.hasVideo) {
        if (width < 1 || width > 1920) {
            engine.reportError("Horizontal size must be in the range 1 .. 1920.");
            videoFault = true;
        }
        if (height < 1 || height > 1152) {
            engine.reportError("Vertical size must be in the range 1 .. 1152.");
            videoFault = true;
        }
        if (width % 2 != 0) {
            engine.reportError("Horizontal size must be a even.");
            videoFault = true;
        }
        if (height % 2 != 0) {
            engine.reportError("Vertical size must be a even.");
            videoFault = true;
        }
        if (!videoFault) fitLevelToPicture(s, width, height);
    }
    if (ev.hasAudio) {
        if (s.audioMode == 3 && s.audioBitrate > 10) s.audioBitrate = 10;
        if (bitsPerSample != 16) {
            engine.reportError("Audio sample size must be 16 bits.");
            audioFault = true;
        }
        if (sampleRate != 32000 && sampleRate != 44100 && sampleRate != 48000) {
            engine.reportError(
                "Audio sample rate must be 8, 11.025, 12, 16, 22.05, 24, 32, 44.1 or 48 kHz.\n"
                "Otherwise, no sound will be handled.");
            audioFault = true;
        }
        if (audioFault) ev.hasAudio = 0;
    }
    if (videoFault) ev.hasVideo = 0;
    return videoFault ? 1 : 0;
}

}  // namespace quillon

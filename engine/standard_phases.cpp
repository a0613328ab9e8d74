#include "engine/standard_phases.h"

#include <limits>

#include "audio/audio_encoder.h"
#include "engine/derived_values.h"
#include "mux/multiplex_step.h"
#include "mux/multiplexer.h"
#include "platform/cpu_features.h"
#include "video/video_encoder.h"

namespace quillon {
namespace {

class StandardPhases final : public ConversionPhases {
public:
    bool encodeVideo(Engine& engine) override { return runVideoEncoder(engine); }
    bool encodeAudio(Engine& engine) override { return runAudioEncoder(engine); }
    bool multiplex(Engine& engine, bool multiplexVideo, bool multiplexAudio) override {
        return runMultiplexStep(engine, multiplexVideo, multiplexAudio);
    }
    // One thread asked for: the sound waits for the pictures.
    bool audioAlongsideVideo(const Engine&) const override { return configuredThreadCount() > 1; }
    bool checkSettings(Engine& engine) override {
        const EncoderSettings& w = engine.work;
        if (w.encodeAudio && !checkAudioSettings(engine)) return false;
        if (!w.multiplexVideo && !w.multiplexAudio) return true;
        const int mask = (w.multiplexVideo ? 1 : 0) | (w.multiplexAudio ? 2 : 0);
        // Streams already on disk are measured by the multiplexer itself.
        double seconds = std::numeric_limits<double>::infinity();
        const double rate = frameRateFromCode(w.frameRateCode);
        if (w.encodeVideo && rate > 0) seconds = engine.job.frameCount / rate;
        return checkMultiplexSettings(engine, mask, seconds);
    }
};

}  // namespace

ConversionPhases& standardPhases() {
    // Stateless: every run's state lives in the Engine it is given.
    static StandardPhases phases;
    return phases;
}

}  // namespace quillon

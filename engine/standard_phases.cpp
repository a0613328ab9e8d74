#include "engine/standard_phases.h"

#include "audio/audio_encoder.h"
#include "mux/multiplex_step.h"
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
};

}  // namespace

ConversionPhases& standardPhases() {
    // Stateless: every run's state lives in the Engine it is given.
    static StandardPhases phases;
    return phases;
}

}  // namespace quillon

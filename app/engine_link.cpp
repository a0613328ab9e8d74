#include "app/engine_link.h"

#include "engine/engine_entry.h"
#include "engine/source_format.h"

namespace quillon::app {

bool EngineLink::init(int code) {
    // The engine's start-up always ends with a valid record; it reports
    // trouble with the settings file itself.
    const bool ok = initEngine(engine_, code) == 0;
    initialAspect_ = engine_.record.aspectRatio;
    return ok;
}

int EngineLink::convert(const ConversionRequest& request) {
    if (!engine_.phases()) {
        engine_.reportError("This build has no encoders.");
        return 30;
    }
    return engineConvert(engine_, request);
}

std::string EngineLink::outputSizeProblem(int width, int height) const {
    return quillon::outputSizeProblem(engine_.record, width, height);
}

bool EngineLink::pump() {
    engine_.pumpMessages();
    return engine_.job.stopRequested;
}

}  // namespace quillon::app

#include "video/video_types.h"

#include "video/rate_interface.h"

namespace quillon {

VideoEncoder::VideoEncoder(Engine& e) : engine(e), s(e.work) {}
VideoEncoder::~VideoEncoder() {
    if (maxBitrateFile) std::fclose(maxBitrateFile);
}

}  // namespace quillon

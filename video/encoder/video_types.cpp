#include "video/encoder/video_types.h"

#include "video/encoder/rate_interface.h"

namespace quillon {

VideoEncoder::VideoEncoder(Engine& e) : engine(e), s(e.work) {}
VideoEncoder::~VideoEncoder() {
    if (maxBitrateFile) std::fclose(maxBitrateFile);
    // The max-bitrate offsets file never outlives the encode, whatever path it ended on.
    if (!maxBitrateFileName.empty()) std::remove(maxBitrateFileName.c_str());
}

}  // namespace quillon

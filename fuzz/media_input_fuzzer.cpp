// Media input opening arbitrary bytes as a video file: the open, the entry
// description, the first pictures and some sound.
#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/log.h>
}

#include "fuzz/fuzz_support.h"
#include "input/input_table.h"
#include "input/media_file.h"

using namespace quillon;

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    av_log_set_level(AV_LOG_QUIET);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = fuzz::scratchFile("input.avi");
    fuzz::writeScratch(path, data, size);
    fuzz::SilentHost host;
    InputTable table;
    if (!table.open(path, host)) return 0;
    MediaOpenFailure failure;
    std::string detail;
    std::unique_ptr<MediaFile> media = MediaFile::open(path, &failure, &detail);
    if (!media) return 0;
    Bitmap picture;
    std::string error;
    if (media->hasVideo() && media->width() <= 1024 && media->height() <= 1024) {
        (void)media->readFrame(0, picture, &error);
        (void)media->readFrame(2, picture, &error);
        (void)media->readFrame(1, picture, &error);
    }
    if (media->hasAudio()) {
        std::vector<uint8_t> sound;
        (void)media->readSamples(0, 512, sound, &error);
        (void)media->readSamples(100, 64, sound, &error);
    }
    return 0;
}

// The disc stage's reader of picture times over arbitrary bytes, as it
// meets them in a program stream file's first and last megabytes.
#include <cstdint>
#include <vector>

#include "disc/stream_span.h"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::vector<disc::StreamPicture> pictures = disc::videoPictures(data, size);
    int64_t first = 0, end = 0;
    if (disc::displaySpan(pictures, 3600, &first, &end) && end < first) __builtin_trap();
    return 0;
}

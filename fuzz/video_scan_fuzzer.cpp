// The multiplexer's video elementary-stream scanner over arbitrary bytes.
// The first byte picks the target (and so MPEG-1 or MPEG-2 program stream
// rules); the rest is the stream.
#include <cstdint>
#include <string>

#include "engine/engine.h"
#include "engine/presets.h"
#include "fuzz/fuzz_support.h"
#include "mux/stream_scan.h"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    fuzz::SilentHost host;
    Engine engine(host);
    applyPreset(engine.work, data[0] % 5, (data[0] >> 3) & 1, 1);
    engine.work.muxPulldownFlag = (data[0] >> 4) % 4;
    engine.work.verbose = (data[0] >> 6) & 1;
    const std::string path = fuzz::scratchFile("v.mpv"), units = fuzz::scratchFile("v.units");
    fuzz::writeScratch(path, data + 1, size - 1);
    VideoStreamInfo info;
    uint32_t count = 0;
    double earliest = 0;
    if (scanVideoStream(engine, path, units, info, static_cast<double>(size - 1), count, earliest)) {
        logVideoInfo(engine, info);
        (void)effectivePulldown(engine.work, info.pulldown);
    }
    return 0;
}

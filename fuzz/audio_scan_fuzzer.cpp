// The multiplexer's audio scanner (MPEG audio and AC-3) over arbitrary
// bytes. The first byte picks the target; the rest is the stream.
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
    engine.work.verbose = (data[0] >> 6) & 1;
    const std::string path = fuzz::scratchFile("a.mpa"), units = fuzz::scratchFile("a.units");
    fuzz::writeScratch(path, data + 1, size - 1);
    AudioStreamInfo info;
    uint32_t records = 0;
    if (scanAudioStream(engine, path, units, info, 900000.0 * (data[0] >> 7), static_cast<double>(size - 1),
                        records))
        logAudioInfo(engine, info);
    return 0;
}

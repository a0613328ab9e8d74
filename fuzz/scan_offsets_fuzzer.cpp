// The SVCD scan-offset pass over an arbitrary program file. Input layout:
// byte 0 frame_rate_code, byte 1 pulldown, byte 2 GOP count, byte 3 the
// number n of I-picture pack indices (0..63), then n 32-bit indices, then
// the program stream bytes the pass searches and patches.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "engine/engine.h"
#include "engine/presets.h"
#include "fuzz/fuzz_support.h"
#include "mux/scan_offsets.h"

using namespace quillon;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    VideoStreamInfo info;
    info.frameRateCode = data[0] % 10;
    info.pulldown = data[1] % 3;
    info.groups = data[2];
    info.pictures = static_cast<uint32_t>(data[2]) * 12 + (data[1] >> 2);
    const size_t n = data[3] % 64;
    if (size < 4 + 4 * n) return 0;
    fuzz::SilentHost host;
    Engine engine(host);
    applyPreset(engine.work, 2, 1, 1);
    engine.work.verbose = (data[1] >> 7) & 1;
    const std::string scanPath = fuzz::scratchFile("scan.tmp"), programPath = fuzz::scratchFile("p.mpg");
    fuzz::writeScratch(scanPath, data + 4, 4 * n);
    fuzz::writeScratch(programPath, data + 4 + 4 * n, size - 4 - 4 * n);
    std::FILE* program = std::fopen(programPath.c_str(), "r+b");
    if (!program) return 0;
    std::FILE* scan = std::fopen(scanPath.c_str(), "rb");
    (void)writeScanOffsets(engine, programPath, program, info, scanPath, scan);
    if (scan) std::fclose(scan);
    std::fclose(program);
    return 0;
}

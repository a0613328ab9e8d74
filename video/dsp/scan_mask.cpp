#include "video/dsp/scan_mask.h"

#include <array>

#include "video/dsp/vlc.h"

namespace quillon {

namespace {

// For each of the eight bytes of a natural-order mask and each value of
// that byte, the scan-order bits it stands for.
using ScanTable = std::array<std::array<uint64_t, 256>, 8>;

ScanTable makeScanTable(const uint8_t* scan) {
    int position[64] = {};
    for (int n = 0; n < 64; ++n) position[scan[n]] = n;
    ScanTable t{};
    for (int byte = 0; byte < 8; ++byte)
        for (int v = 0; v < 256; ++v) {
            uint64_t bits = 0;
            for (int b = 0; b < 8; ++b)
                if (v & (1 << b)) bits |= uint64_t{1} << position[8 * byte + b];
            t[static_cast<size_t>(byte)][static_cast<size_t>(v)] = bits;
        }
    return t;
}

const ScanTable& scanTable(bool alternate) {
    static const ScanTable zigzag = makeScanTable(kZigzagScan);
    static const ScanTable alternateTable = makeScanTable(kAlternateScan);
    return alternate ? alternateTable : zigzag;
}

}  // namespace

uint64_t nonzeroMaskPlain(const int16_t* block) {
    uint64_t mask = 0;
    for (int i = 0; i < 64; ++i) mask |= static_cast<uint64_t>(block[i] != 0) << i;
    return mask;
}

uint64_t toScanOrder(uint64_t naturalMask, bool alternateScan) {
    if (naturalMask == 0) return 0;
    const ScanTable& t = scanTable(alternateScan);
    uint64_t out = 0;
    for (size_t byte = 0; byte < 8; ++byte) out |= t[byte][(naturalMask >> (8 * byte)) & 0xFF];
    return out;
}

}  // namespace quillon

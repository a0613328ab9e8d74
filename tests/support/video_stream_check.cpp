#include "tests/support/video_stream_check.h"

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>

#include "engine/format.h"

namespace quillon::testing {

namespace {

// Big-endian bit reads from a byte position onwards.
uint32_t bitsAt(const std::vector<uint8_t>& d, int64_t byte, int firstBit, int count) {
    uint64_t v = 0;
    for (int k = 0; k < 8; ++k) {
        size_t at = static_cast<size_t>(byte + k);
        v = (v << 8) | (at < d.size() ? d[at] : 0);
    }
    return static_cast<uint32_t>((v >> (64 - firstBit - count)) & ((1ull << count) - 1));
}

}  // namespace

VideoStreamLayout parseVideoStream(const std::string& path) {
    VideoStreamLayout out;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        out.error = "cannot open " + path;
        return out;
    }
    std::vector<uint8_t> d{std::istreambuf_iterator<char>(in), {}};
    out.size = static_cast<int64_t>(d.size());

    bool pictureOpen = false;  // inside a picture's data
    int64_t pendingUnitStart = -1;
    size_t gop = SIZE_MAX;
    for (size_t i = 0; i + 3 < d.size(); ++i) {
        if (d[i] != 0 || d[i + 1] != 0 || d[i + 2] != 1) continue;
        const int code = d[i + 3];
        const int64_t p = static_cast<int64_t>(i);
        const bool opensUnit = code == 0xB3 || code == 0xB8 || code == 0x00;
        if (opensUnit && pictureOpen) {
            out.pictures.back().unitEnd = p;
            pictureOpen = false;
        }
        if ((code == 0xB3 || code == 0xB8) && pendingUnitStart < 0) pendingUnitStart = p;
        if (code == 0xB3) {
            StreamSequenceHeader h;
            h.offset = p;
            h.bitRateValue = bitsAt(d, p + 4, 32, 18);
            h.vbvBufferSize = bitsAt(d, p + 4, 51, 10);
            out.sequenceHeaders.push_back(h);
            out.gops.push_back(StreamGop{});
            out.gops.back().offset = p;
            gop = out.gops.size() - 1;
        } else if (code == 0xB8) {
            if (gop != SIZE_MAX && out.gops[gop].gopHeaderOffset < 0) out.gops[gop].gopHeaderOffset = p;
        } else if (code == 0xB5) {
            const int id = bitsAt(d, p + 4, 0, 4);
            if (id == 1 && !out.sequenceHeaders.empty()) {
                out.mpeg2 = true;
                // bit_rate_extension and vbv_buffer_size_extension
                StreamSequenceHeader& h = out.sequenceHeaders.back();
                h.bitRateValue |= bitsAt(d, p + 4, 19, 12) << 18;
                h.vbvBufferSize |= bitsAt(d, p + 4, 32, 8) << 10;
            }
        } else if (code == 0x00) {
            StreamPicture pic;
            pic.offset = p;
            pic.unitStart = pendingUnitStart >= 0 ? pendingUnitStart : p;
            pendingUnitStart = -1;
            pic.temporalReference = static_cast<int>(bitsAt(d, p + 4, 0, 10));
            pic.type = static_cast<int>(bitsAt(d, p + 4, 10, 3));
            pic.vbvDelay = static_cast<int>(bitsAt(d, p + 4, 13, 16));
            out.pictures.push_back(pic);
            pictureOpen = true;
            if (gop != SIZE_MAX) out.gops[gop].pictures += 1;
        } else if (code >= 0x01 && code <= 0xAF && !out.pictures.empty()) {
            const int q = static_cast<int>(bitsAt(d, p + 4, 0, 5));
            StreamPicture& pic = out.pictures.back();
            pic.maxQuantCode = std::max(pic.maxQuantCode, q);
            if (gop != SIZE_MAX) out.gops[gop].maxQuantCode = std::max(out.gops[gop].maxQuantCode, q);
        }
    }
    if (pictureOpen) out.pictures.back().unitEnd = out.size;
    for (size_t k = 0; k < out.gops.size(); ++k)
        out.gops[k].bytes = (k + 1 < out.gops.size() ? out.gops[k + 1].offset : out.size) - out.gops[k].offset;
    if (out.sequenceHeaders.empty() || out.pictures.empty()) {
        out.error = "no sequence header or no picture";
        return out;
    }
    out.ok = true;
    return out;
}

VbvReport checkVbv(const VideoStreamLayout& s) {
    VbvReport r;
    if (!s.ok) {
        r.firstProblem = s.error;
        return r;
    }
    r.bitRate = s.sequenceHeaders.front().bitRateValue * 400.0;
    r.bufferBits = s.sequenceHeaders.front().vbvBufferSize * 16384.0;
    if (r.bitRate <= 0 || s.pictures.front().vbvDelay == 0xFFFF) return r;
    r.checked = true;
    // vbv_delay is whole 90 kHz periods: allow the rounding of two of them.
    const double slack = 2.0 / 90000;
    const double R = r.bitRate;
    const double streamBits = 8.0 * s.size;
    r.minFullness = 1e300;
    double previous = -1;
    for (size_t n = 0; n < s.pictures.size(); ++n) {
        const StreamPicture& p = s.pictures[n];
        const double t = 8.0 * (p.offset + 4) / R + p.vbvDelay / 90000.0;
        if (t + slack < previous) {
            r.decodeTimeRegressions += 1;
            if (r.firstProblem.empty()) r.firstProblem = formatText("picture %zu decoded before its predecessor", n);
        }
        previous = std::max(previous, t);
        r.decodeTimes.push_back(t);
        // Everything of the picture must be in the buffer when it is removed.
        const double endArrives = 8.0 * p.unitEnd / R;
        if (endArrives > t + slack) {
            r.underflows += 1;
            if (r.firstProblem.empty())
                r.firstProblem = formatText("underflow at picture %zu: last bit %.6f s after removal", n, endArrives - t);
        }
        // Bits in the buffer just before the removal: arrived minus removed.
        const double arrived = std::min(R * t, streamBits);
        const double before = arrived - 8.0 * p.unitStart;
        const double after = before - 8.0 * (p.unitEnd - p.unitStart);
        if (before > r.bufferBits + slack * R) {
            r.overflows += 1;
            if (r.firstProblem.empty())
                r.firstProblem = formatText("overflow at picture %zu: %.0f bits in a %.0f-bit buffer", n, before, r.bufferBits);
        }
        r.maxFullness = std::max(r.maxFullness, before);
        r.minFullness = std::min(r.minFullness, after);
    }
    return r;
}

}  // namespace quillon::testing

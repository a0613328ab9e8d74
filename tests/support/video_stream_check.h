// An independent look at a video elementary stream: its sequence headers,
// GOPs and pictures as the bytes say, and a VBV buffer model (ISO/IEC
// 13818-2 Annex C, ISO/IEC 11172-2 Annex C) driven only by the stream's own
// bit_rate, vbv_buffer_size and vbv_delay fields.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillon::testing {

struct StreamSequenceHeader {
    int64_t offset = 0;       // byte offset of the start code
    uint32_t bitRateValue = 0;  // 18 bits, plus the extension's 12 bits above them under MPEG-2
    uint32_t vbvBufferSize = 0; // 10 bits, plus the extension's 8 bits
};

struct StreamPicture {
    int64_t offset = 0;     // picture start code
    int64_t unitStart = 0;  // first byte removed with the picture (its preceding headers)
    int64_t unitEnd = 0;    // one past its last byte (trailing stuffing included)
    int type = 0;           // 1 I, 2 P, 3 B
    int temporalReference = 0;
    int vbvDelay = 0;
    int maxQuantCode = 0;   // largest quantiser_scale_code of its slice headers
};

struct StreamGop {
    int64_t offset = 0;  // the sequence header (or GOP header) that opens it
    int64_t bytes = 0;   // up to the next opening header or the end
    int64_t gopHeaderOffset = -1;  // its GOP header, after the sequence header and extensions
    int pictures = 0;
    int maxQuantCode = 0;
};

struct VideoStreamLayout {
    bool ok = false;
    std::string error;
    bool mpeg2 = false;
    int64_t size = 0;
    std::vector<StreamSequenceHeader> sequenceHeaders;
    std::vector<StreamGop> gops;  // one per sequence header when every GOP has one
    std::vector<StreamPicture> pictures;  // coding order
};

VideoStreamLayout parseVideoStream(const std::string& path);

struct VbvReport {
    bool checked = false;  // false for vbv_delay 0xFFFF (variable bitrate)
    double bitRate = 0;    // bit/s
    double bufferBits = 0;
    int underflows = 0;
    int overflows = 0;
    int decodeTimeRegressions = 0;
    double minFullness = 0;  // bits just after a removal
    double maxFullness = 0;  // bits just before a removal
    std::string firstProblem;
    std::vector<double> decodeTimes;  // seconds, per picture in coding order
};

VbvReport checkVbv(const VideoStreamLayout& stream);

}  // namespace quillon::testing

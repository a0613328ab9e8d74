// Records of the temporary units files and the scanned stream descriptions.
// The units files hold fixed-size records in the machine's little-endian
// order, no header, one per access unit.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "mux/clock_value.h"

namespace quillon {

// Bytes the multiplexer inserts in front of an I picture's first slice for
// the SVCD scan information.
constexpr int kScanOffsetBlockSize = 18;

struct VideoUnitRecord {
    uint32_t length = 0;          // bytes, including bytes the multiplexer inserts
    uint16_t pictureType = 0;     // 1 I, 2 P, 3 B, 4 D
    uint16_t flags = 0;           // kUnitHasSequenceHeader, kUnitHasGop
    uint16_t insertionPoint = 0;  // offset of the scan-offset block, 0 = none
    uint16_t pictureOffset = 0;   // offset of the picture start code
    uint32_t gopLead = 0;         // ticks of the pictures shown before a GOP's first
    ClockValue dts;
    ClockValue pts;
};
static_assert(sizeof(VideoUnitRecord) == 48);

constexpr uint16_t kUnitHasSequenceHeader = 1;
constexpr uint16_t kUnitHasGop = 2;

struct AudioUnitRecord {
    uint32_t length = 0;
    ClockValue pts;
};
static_assert(sizeof(AudioUnitRecord) == 20);

struct VideoStreamInfo {
    double streamLength = 0;
    uint32_t sequenceHeaders = 0;
    uint32_t sequenceEnds = 0;
    uint32_t pictures = 0;
    uint32_t groups = 0;
    uint32_t typeCount[4] = {};  // I, P, B, D
    uint32_t typeBytes[4] = {};  // average bytes of a picture of each type
    uint32_t horizontalSize = 0;
    uint32_t verticalSize = 0;
    uint32_t aspectRatio = 0;
    uint32_t frameRateCode = 0;
    uint32_t bitRate = 0;  // 18-bit bit_rate_value; 0 for a variable-rate stream
    uint32_t vbvBufferSize = 0;
    uint32_t constrainedParameters = 0;
    uint32_t computedAverageRate = 0;  // units of 400 bit/s
    uint32_t computedMaximumRate = 0;
    uint32_t pulldown = 0;  // detected: 0 none, 1 2:3, 2 3:2
    uint32_t headerLength = 0;  // captured first sequence header, 0 = none
    uint8_t header[256] = {};
    ClockValue latestPts;
};

struct AudioStreamInfo {
    double streamLength = 0;
    uint32_t syncWords = 0;
    uint32_t frames[2] = {};       // without, with padding (AC-3: all in [0])
    uint32_t frameLength[2] = {};  // bytes without, with padding (AC-3: first frame)
    uint32_t layer = 0;            // header code: 3 Layer I, 2 Layer II, 1 Layer III; 0 AC-3
    uint32_t protection = 0;
    uint32_t bitrateIndex = 0;     // AC-3: nominal kbit/s
    uint32_t samplingFrequency = 0;  // AC-3: fscod
    uint32_t mode = 0;
    uint32_t modeExtension = 0;
    uint32_t copyright = 0;
    uint32_t original = 0;
    uint32_t emphasis = 0;
    bool ac3() const { return layer == 0; }
};

// A units file open for reading or writing; removed by its owner.
class UnitsFile {
public:
    UnitsFile() = default;
    ~UnitsFile() { close(); }
    UnitsFile(const UnitsFile&) = delete;
    UnitsFile& operator=(const UnitsFile&) = delete;
    bool create(const std::string& path) { return open(path, "wb"); }
    bool openForReading(const std::string& path) { return open(path, "rb"); }
    template <typename Record>
    bool write(const Record& r) { return file_ && std::fwrite(&r, sizeof r, 1, file_) == 1; }
    template <typename Record>
    bool read(Record& r) { return file_ && std::fread(&r, sizeof r, 1, file_) == 1; }
    bool close() {
        bool ok = true;
        if (file_) ok = std::fclose(file_) == 0;
        file_ = nullptr;
        return ok;
    }
    bool isOpen() const { return file_ != nullptr; }

private:
    bool open(const std::string& path, const char* mode) {
        close();
        file_ = std::fopen(path.c_str(), mode);
        return file_ != nullptr;
    }
    std::FILE* file_ = nullptr;
};

}  // namespace quillon

// Test-side readers built on libavformat/libavcodec: what a real player
// sees of the streams we write.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillon::testing {

struct DecodedPicture {
    int width = 0, height = 0;
    int chromaWidth = 0, chromaHeight = 0;
    std::vector<uint8_t> y, cb, cr;  // tightly packed planes
    int64_t pts = 0;
    int pictType = 0;  // AVPictureType: 1 I, 2 P, 3 B
    bool interlaced = false;
    bool topFieldFirst = false;
    int repeatPict = 0;
};

struct DecodedVideo {
    bool opened = false;
    std::string codecName;
    int width = 0, height = 0;
    int pixFmt = -1;  // AVPixelFormat
    double frameRate = 0;
    int64_t bitRate = 0;
    std::vector<DecodedPicture> pictures;  // display order
    int errors = 0;  // decoder errors plus error lines logged by libav
};

struct DecodedAudio {
    bool opened = false;
    std::string codecName;
    int sampleRate = 0;
    int channels = 0;
    int64_t bitRate = 0;
    std::vector<int16_t> samples;  // interleaved
    int frames = 0;                // codec frames decoded
    int errors = 0;
};

struct DemuxedPacket {
    int streamIndex = 0;
    int streamId = 0;  // the MPEG stream id (0xE0, 0xC0, 0xBD...) when libav reports it
    int codecId = 0;
    int64_t pts = INT64_MIN;
    int64_t dts = INT64_MIN;
    int64_t pos = -1;
    std::vector<uint8_t> data;
};

struct DemuxedFile {
    bool opened = false;
    std::string formatName;
    std::vector<DemuxedPacket> packets;
    std::vector<int> streamIds;  // per stream index
    std::vector<int> codecIds;   // per stream index
    int errors = 0;
};

// Decodes the first video stream of a file (elementary or program stream).
DecodedVideo decodeVideo(const std::string& path);
// Decodes the first audio stream; crcCheck turns on err_detect crccheck.
DecodedAudio decodeAudio(const std::string& path, bool crcCheck = true);
// Reads every packet of a file.
DemuxedFile demux(const std::string& path);

double psnr(const uint8_t* a, const uint8_t* b, size_t count);
double psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b);

// Number of error lines libav has logged since the last call (all threads).
int takeLoggedErrors();

}  // namespace quillon::testing

// A plain AVI writer: uncompressed 24-bit pictures and PCM sound,
// interleaved, with an index. Used for the demo clip and for test inputs
// whose every pixel and sample is known.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "image/bitmap.h"

namespace quillon {

struct AviFormat {
    int width = 320;
    int height = 240;
    int rateNumerator = 25;    // frames per second as a fraction
    int rateDenominator = 1;
    int audioChannels = 0;     // 0: no sound
    int audioRate = 44100;
    int audioBits = 16;        // 8 (unsigned) or 16 (signed)
};

class AviWriter {
public:
    AviWriter() = default;
    ~AviWriter();
    AviWriter(const AviWriter&) = delete;
    AviWriter& operator=(const AviWriter&) = delete;

    bool open(const std::string& path, const AviFormat& format);
    // The picture must have the file's size.
    bool writeFrame(const Bitmap& picture);
    // Interleaved PCM in the file's format.
    bool writeAudio(const void* pcm, size_t bytes);
    // Writes the index and the final sizes; false when any write failed.
    bool close();
    const std::string& error() const { return error_; }

private:
    struct IndexEntry {
        uint32_t id;
        uint32_t flags;
        uint32_t offset;
        uint32_t size;
    };
    bool writeChunk(uint32_t id, const void* data, size_t bytes);
    void put32(uint32_t v);
    void put16(uint16_t v);
    void putId(const char* id);
    long tell() const;

    std::FILE* file_ = nullptr;
    AviFormat format_;
    std::vector<IndexEntry> index_;
    std::vector<uint8_t> row_;
    long riffSizeAt_ = 0, moviSizeAt_ = 0, moviStart_ = 0;
    long totalFramesAt_ = 0, videoLengthAt_ = 0, audioLengthAt_ = 0;
    uint32_t frames_ = 0;
    uint64_t audioBytes_ = 0;
    uint32_t largestChunk_ = 0;
    bool failed_ = false;
    std::string error_;
};

}  // namespace quillon

// Buffered MSB-first reader over one input file. The scanners walk the
// elementary streams with it, and the scan-offset pass re-reads the finished
// program stream. Positions are counted in bits as doubles so that files
// beyond 4 GB count correctly.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace quillon {

class Engine;

constexpr int kBitReaderBufferSize = 262144;

class BitReader {
public:
    explicit BitReader(Engine& engine) : engine_(&engine) {}
    ~BitReader() { close(); }
    BitReader(const BitReader&) = delete;
    BitReader& operator=(const BitReader&) = delete;

    // Reports "Unable to open file %s for reading." and the like on failure.
    bool open(const std::string& path);
    void close();

    bool readBit(uint32_t& bit);
    // n up to 32.
    bool readBits(int n, uint32_t& value);
    // Skips whole bytes from a byte boundary; false when the data ends first.
    bool skipBytes(double count);
    bool endOfData() const { return endOfData_; }
    double position() const { return position_; }
    bool byteAligned() const { return bitsLeft_ == 8; }

    // Reads one bit and compares it with the expected value; a mismatch is
    // reported with the bit position.
    bool checkMarker(uint32_t expected);
    // Skips to the next byte boundary and reads until the last n bits
    // (16, 24 or 32) equal the pattern; positioned just after it.
    bool search(uint32_t pattern, int n);

private:
    void advanceByte();
    bool readByte(uint32_t& value);

    Engine* engine_;
    std::FILE* file_ = nullptr;
    std::unique_ptr<uint8_t[]> buffer_;
    int validBytes_ = 0;
    int index_ = 0;
    int bitsLeft_ = 8;
    double position_ = 0;
    bool endOfData_ = true;
};

}  // namespace quillon

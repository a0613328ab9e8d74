// Buffered MSB-first bit writer over one output file. Both encoders write
// their elementary streams through it; the video encoder also rolls it back
// to a snapshot when it re-codes a group of pictures.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace quillon {

class Engine;

constexpr int kBitWriterBufferSize = 262144;  // 0x40000

// The writer state copied out and back whole. The buffer's contents travel
// separately, in the one undo buffer the encoder owns.
struct WriterSnapshot {
    uint8_t currentByte = 0;
    int32_t bufferedBytes = 0;
    int32_t bitsLeft = 8;
    int64_t filePosition = 0;
    double totalBits = 0;
    int32_t writeError = 0;
};

class BitWriter {
public:
    BitWriter() = default;
    ~BitWriter();
    BitWriter(const BitWriter&) = delete;
    BitWriter& operator=(const BitWriter&) = delete;

    // Creates (replaces) the file. Reports through the engine and returns
    // false on failure.
    bool open(Engine& engine, const std::string& path);
    // Writes what is buffered and closes. A failed final write or close sets
    // the error flag (which stays readable after close) and returns false.
    bool close();
    bool isOpen() const { return file_ != nullptr; }

    // Whole runs of bits at a time: both encoders write every code here.
    inline void putBits(uint32_t value, int count) {
        while (count > 0) {
            const int take = count < state_.bitsLeft ? count : state_.bitsLeft;
            const uint32_t chunk = (value >> (count - take)) & ((1u << take) - 1);
            state_.currentByte = static_cast<uint8_t>((static_cast<uint32_t>(state_.currentByte) << take) | chunk);
            state_.totalBits += take;
            state_.bitsLeft -= take;
            count -= take;
            if (state_.bitsLeft == 0) emitByte();
        }
    }
    inline void putBit(uint32_t value) {
        state_.totalBits += 1;
        state_.currentByte = static_cast<uint8_t>((state_.currentByte << 1) | (value & 1));
        if (--state_.bitsLeft == 0) emitByte();
    }
    void alignToByte() {
        if (state_.bitsLeft != 8) putBits(0, state_.bitsLeft);
    }
    double totalBits() const { return state_.totalBits; }
    bool writeError() const { return state_.writeError != 0; }
    int bitsLeft() const { return state_.bitsLeft; }

    // undo must hold kBitWriterBufferSize bytes; only one snapshot is live.
    void snapshot(WriterSnapshot& out, uint8_t* undo);
    void restore(const WriterSnapshot& in, const uint8_t* undo);

    // File position of the next byte to be written (flushed plus buffered).
    int64_t bytePosition() const;
    std::FILE* file() const { return file_; }

private:
    void emitByte();
    void flushFull();

    std::FILE* file_ = nullptr;
    uint8_t* buffer_ = nullptr;
    WriterSnapshot state_;
};

}  // namespace quillon

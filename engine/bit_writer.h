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
// separately, in the one undo buffer the encoder owns. Bits wait in a 64-bit
// accumulator until they make whole bytes; the count of bits put is an
// integer, so the double totalBits() hands out is exact.
struct WriterSnapshot {
    uint64_t accumulator = 0;  // pending bits, the newest in bit 0
    int32_t pendingBits = 0;   // bits in the accumulator not yet in the buffer, 0..63
    int32_t bufferedBytes = 0;
    int64_t filePosition = 0;
    int64_t totalBits = 0;
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
    // Writes into memory instead of a file, for a part of a stream made
    // apart from the rest (a slice coded on another thread). It holds one
    // buffer's worth: putting more sets the error flag. False when the
    // buffer cannot be had.
    bool openMemory();
    // Puts everything written into memory so far at the end of `to` and
    // empties this writer. What `to`
    // gets is what it would have got had the bits been put into it (after
    // an overflow, see writeError, they are lost: code them again).
    void moveTo(BitWriter& to);
    // Forgets what was written into memory (after an overflow too).
    void forget() { state_ = WriterSnapshot{}; }

    // The low count (1..32) bits of value, most significant first. Whole
    // words go to the buffer four bytes at a time; the buffer reaches the
    // file the moment its last byte is complete.
    inline void putBits(uint32_t value, int count) {
        state_.totalBits += count;
        state_.accumulator = (state_.accumulator << count) | (value & ((uint64_t{1} << count) - 1));
        state_.pendingBits += count;
        if (state_.bufferedBytes + (state_.pendingBits >> 3) >= kBitWriterBufferSize)
            drainNearFullBuffer();
        else if (state_.pendingBits >= 32)
            storeWord();
    }
    inline void putBit(uint32_t value) { putBits(value & 1, 1); }
    void alignToByte() {
        if (state_.pendingBits & 7) putBits(0, 8 - (state_.pendingBits & 7));
    }
    double totalBits() const { return static_cast<double>(state_.totalBits); }
    bool writeError() const { return state_.writeError != 0; }
    // Free bit positions left in the byte being assembled, 8 down to 1.
    int bitsLeft() const { return 8 - (state_.pendingBits & 7); }

    // undo must hold kBitWriterBufferSize bytes; only one snapshot is live.
    void snapshot(WriterSnapshot& out, uint8_t* undo);
    void restore(const WriterSnapshot& in, const uint8_t* undo);

    // File position of the next byte to be written (flushed plus buffered).
    int64_t bytePosition() const;
    std::FILE* file() const { return file_; }

private:
    inline void storeWord() {
        state_.pendingBits -= 32;
        if (state_.writeError) return;
        const uint32_t word = static_cast<uint32_t>(state_.accumulator >> state_.pendingBits);
        uint8_t* out = buffer_ + state_.bufferedBytes;
        out[0] = static_cast<uint8_t>(word >> 24);
        out[1] = static_cast<uint8_t>(word >> 16);
        out[2] = static_cast<uint8_t>(word >> 8);
        out[3] = static_cast<uint8_t>(word);
        state_.bufferedBytes += 4;
    }
    // Every whole pending byte, one at a time, writing the buffer to the
    // file when it fills.
    void drainNearFullBuffer();
    void emitByte(uint8_t byte);
    void flushFull();

    std::FILE* file_ = nullptr;
    uint8_t* buffer_ = nullptr;
    WriterSnapshot state_;
};

}  // namespace quillon

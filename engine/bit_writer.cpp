#include "engine/bit_writer.h"

#include <cstring>
#include <new>

#include "engine/engine.h"
#include "engine/format.h"

namespace quillon {

BitWriter::~BitWriter() { close(); }

bool BitWriter::open(Engine& engine, const std::string& path) {
    close();
    file_ = std::fopen(path.c_str(), "wb");
    if (!file_) {
        engine.reportError(formatText("Unable to open file %s for writing.", path.c_str()));
        return false;
    }
    buffer_ = new (std::nothrow) uint8_t[kBitWriterBufferSize];
    if (!buffer_) {
        std::fclose(file_);
        file_ = nullptr;
        engine.reportError(formatText("Unable to allocate memory for bitstream file %s.", path.c_str()));
        return false;
    }
    state_ = WriterSnapshot{};
    return true;
}

bool BitWriter::openMemory() {
    close();
    buffer_ = new (std::nothrow) uint8_t[kBitWriterBufferSize];
    state_ = WriterSnapshot{};
    return buffer_ != nullptr;
}

void BitWriter::moveTo(BitWriter& to) {
    const uint8_t* b = buffer_;
    const int n = state_.bufferedBytes;
    int i = 0;
    for (; i + 4 <= n; i += 4)
        to.putBits(static_cast<uint32_t>(b[i]) << 24 | static_cast<uint32_t>(b[i + 1]) << 16 |
                       static_cast<uint32_t>(b[i + 2]) << 8 | b[i + 3],
                   32);
    for (; i < n; ++i) to.putBits(b[i], 8);
    // The accumulator's pending bits, oldest first, at most 32 at a time.
    int pending = state_.pendingBits;
    while (pending > 0) {
        const int count = pending > 32 ? pending - 32 : pending;
        pending -= count;
        to.putBits(static_cast<uint32_t>(state_.accumulator >> pending), count);
    }
    state_ = WriterSnapshot{};
}

bool BitWriter::close() {
    if (file_) {
        // Whole pending bytes join the buffer; a part byte is dropped (the
        // callers align first).
        while (state_.pendingBits >= 8) {
            state_.pendingBits -= 8;
            emitByte(static_cast<uint8_t>(state_.accumulator >> state_.pendingBits));
        }
        if (state_.bufferedBytes > 0 && !state_.writeError) {
            const size_t n = static_cast<size_t>(state_.bufferedBytes);
            if (std::fwrite(buffer_, 1, n, file_) != n) state_.writeError = 1;
        }
        if (std::fclose(file_) != 0) state_.writeError = 1;
        file_ = nullptr;
    }
    delete[] buffer_;
    buffer_ = nullptr;
    return state_.writeError == 0;
}

void BitWriter::drainNearFullBuffer() {
    while (state_.pendingBits >= 8) {
        state_.pendingBits -= 8;
        emitByte(static_cast<uint8_t>(state_.accumulator >> state_.pendingBits));
    }
}

void BitWriter::emitByte(uint8_t byte) {
    if (state_.writeError) return;
    buffer_[state_.bufferedBytes++] = byte;
    if (state_.bufferedBytes == kBitWriterBufferSize) flushFull();
}

void BitWriter::flushFull() {
    if (!file_) {
        // In memory there is nowhere to put a second buffer's worth.
        state_.writeError = 1;
        state_.bufferedBytes = 0;
        return;
    }
    size_t n = std::fwrite(buffer_, 1, kBitWriterBufferSize, file_);
    if (n != static_cast<size_t>(kBitWriterBufferSize) || std::fflush(file_) != 0) state_.writeError = 1;
    state_.bufferedBytes = 0;
}

int64_t BitWriter::bytePosition() const {
    if (!file_) return 0;
    return static_cast<int64_t>(ftello(file_)) + state_.bufferedBytes + (state_.pendingBits >> 3);
}

void BitWriter::snapshot(WriterSnapshot& out, uint8_t* undo) {
    std::memcpy(undo, buffer_, kBitWriterBufferSize);
    off_t pos = ftello(file_);
    if (pos < 0) state_.writeError = 1;
    state_.filePosition = pos;
    out = state_;
}

void BitWriter::restore(const WriterSnapshot& in, const uint8_t* undo) {
    std::memcpy(buffer_, undo, kBitWriterBufferSize);
    int err = state_.writeError;
    if (fseeko(file_, static_cast<off_t>(in.filePosition), SEEK_SET) != 0) err = 1;
    state_ = in;
    if (err) state_.writeError = 1;
}

}  // namespace quillon

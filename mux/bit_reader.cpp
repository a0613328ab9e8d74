#include "mux/bit_reader.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

#include "engine/engine.h"
#include "engine/format.h"

namespace quillon {

bool BitReader::open(const std::string& path) {
    close();
    file_ = std::fopen(path.c_str(), "rb");
    if (!file_) {
        engine_->reportError(formatText("Unable to open file %s for reading.", path.c_str()));
        return false;
    }
    buffer_.reset(new (std::nothrow) uint8_t[kBitReaderBufferSize]);
    if (!buffer_) {
        engine_->reportError(formatText("Unable to allocate memory for bitstream file %s.", path.c_str()));
        close();
        return false;
    }
    validBytes_ = static_cast<int>(std::fread(buffer_.get(), 1, kBitReaderBufferSize, file_));
    if (std::ferror(file_)) {
        engine_->reportError(formatText("Unable to read from file %s.", path.c_str()));
        close();
        return false;
    }
    index_ = 0;
    bitsLeft_ = 8;
    position_ = 0;
    endOfData_ = validBytes_ == 0;
    return true;
}

void BitReader::close() {
    if (file_) std::fclose(file_);
    file_ = nullptr;
    buffer_.reset();
    endOfData_ = true;
}

void BitReader::advanceByte() {
    bitsLeft_ = 8;
    if (++index_ < validBytes_) return;
    if (validBytes_ == kBitReaderBufferSize) {
        validBytes_ = static_cast<int>(std::fread(buffer_.get(), 1, kBitReaderBufferSize, file_));
        index_ = 0;
        if (validBytes_ == 0) endOfData_ = true;
    } else {
        endOfData_ = true;
    }
}

bool BitReader::readBit(uint32_t& bit) {
    if (endOfData_) return false;
    bit = (buffer_[index_] >> (bitsLeft_ - 1)) & 1u;
    position_ += 1;
    if (--bitsLeft_ == 0) advanceByte();
    return true;
}

bool BitReader::readByte(uint32_t& value) {
    if (endOfData_) return false;
    value = buffer_[index_];
    position_ += 8;
    advanceByte();
    return true;
}

bool BitReader::readBits(int n, uint32_t& value) {
    uint32_t v = 0;
    if (bitsLeft_ == 8 && (n & 7) == 0) {
        for (int i = 0; i < n; i += 8) {
            uint32_t b;
            if (!readByte(b)) return false;
            v = (v << 8) | b;
        }
    } else {
        for (int i = 0; i < n; ++i) {
            uint32_t b;
            if (!readBit(b)) return false;
            v = (v << 1) | b;
        }
    }
    value = v;
    return true;
}

bool BitReader::skipBytes(double count) {
    // A span well past the buffer is sought over rather than read.
    if (bitsLeft_ == 8 && !endOfData_ && validBytes_ == kBitReaderBufferSize &&
        count > (validBytes_ - index_) + 2.0 * kBitReaderBufferSize) {
        const double ahead = count - (validBytes_ - index_);
        struct stat st;
        const off_t here = ftello(file_);
        if (here < 0 || ::fstat(::fileno(file_), &st) != 0) return false;
        const double target = static_cast<double>(here) + ahead;
        if (target > static_cast<double>(st.st_size)) {
            endOfData_ = true;
            return false;
        }
        if (fseeko(file_, static_cast<off_t>(target), SEEK_SET) != 0) return false;
        position_ += count * 8;
        validBytes_ = static_cast<int>(std::fread(buffer_.get(), 1, kBitReaderBufferSize, file_));
        index_ = 0;
        endOfData_ = validBytes_ == 0;
        return true;
    }
    while (count > 0) {
        if (endOfData_) return false;
        int available = validBytes_ - index_;
        if (bitsLeft_ != 8 || available <= 1) {
            uint32_t b;
            if (!readBits(8, b)) return false;
            count -= 1;
            continue;
        }
        // Take all but the last buffered byte in one step; the last one goes
        // through advanceByte so refills and the end flag stay in one place.
        double take = count < available - 1 ? count : available - 1;
        index_ += static_cast<int>(take);
        position_ += take * 8;
        count -= take;
    }
    return true;
}

bool BitReader::checkMarker(uint32_t expected) {
    double at = position_;
    uint32_t bit;
    if (!readBit(bit)) return false;
    if (bit != expected) {
        engine_->reportError(formatText(
            "Error in MPEG stream at offset (bits) %.0f: supposed marker bit not found.", at));
        return false;
    }
    return true;
}

bool BitReader::search(uint32_t pattern, int n) {
    if (bitsLeft_ != 8) {
        uint32_t rest;
        if (!readBits(bitsLeft_, rest)) return false;
    }
    uint32_t mask = n >= 32 ? 0xFFFFFFFFu : ((1u << n) - 1);
    uint32_t window;
    if (!readBits(n, window)) return false;
    // The scanners spend their time here, so the buffered bytes are walked
    // in place; the last byte taken goes through advanceByte, which keeps
    // refills and the end flag in one place.
    while ((window & mask) != pattern) {
        if (endOfData_) return false;
        const uint8_t* bytes = buffer_.get();
        const int end = validBytes_;
        int i = index_;
        // Only a byte equal to the pattern's last one can complete it, and
        // such bytes are rare in coded data: memchr leaps between them.
        const int last = static_cast<int>(pattern & 0xFF);
        for (;;) {
            const void* hit = std::memchr(bytes + i, last, static_cast<size_t>(end - i));
            const int next = hit ? static_cast<int>(static_cast<const uint8_t*>(hit) - bytes) + 1 : end;
            for (int k = std::max(i, next - 4); k < next; ++k) window = (window << 8) | bytes[k];
            i = next;
            if (!hit || (window & mask) == pattern || i == end) break;
        }
        position_ += 8.0 * (i - index_);
        index_ = i - 1;
        advanceByte();
    }
    return true;
}

}  // namespace quillon

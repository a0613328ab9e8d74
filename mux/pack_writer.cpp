#include "mux/pack_writer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "engine/engine.h"

namespace quillon {

PackWriter::PackWriter(int programStreamType, int sectorSize, uint32_t muxRate)
    : type_(programStreamType),
      mpeg2_(programStreamType >= 2),
      sectorSize_(std::min(sectorSize, kSectorBufferSize)),
      muxRate_(muxRate) {}

void PackWriter::putTimestamp(int prefix, const ClockValue& c) {
    uint64_t base = (static_cast<uint64_t>(c.baseHigh & 1) << 32) | c.baseLow;
    put(static_cast<uint8_t>((prefix << 4) | ((base >> 29) & 0x0E) | 1));
    put(static_cast<uint8_t>(base >> 22));
    put(static_cast<uint8_t>(((base >> 14) & 0xFE) | 1));
    put(static_cast<uint8_t>(base >> 7));
    put(static_cast<uint8_t>(((base << 1) & 0xFE) | 1));
}

void PackWriter::packHeader(double scr) {
    lastScr_ = scr;
    ClockValue c;
    c.set(scr, mpeg2_);
    put(0);
    put(0);
    put(1);
    put(0xBA);
    if (!mpeg2_) {
        putTimestamp(2, c);
        put(static_cast<uint8_t>((muxRate_ >> 15) | 0x80));
        put(static_cast<uint8_t>(muxRate_ >> 7));
        put(static_cast<uint8_t>((muxRate_ << 1) | 1));
        return;
    }
    uint64_t base = (static_cast<uint64_t>(c.baseHigh & 1) << 32) | c.baseLow;
    uint32_t ext = c.extension;
    put(static_cast<uint8_t>(0x40 | ((base >> 27) & 0x38) | 0x04 | ((base >> 28) & 0x03)));
    put(static_cast<uint8_t>(base >> 20));
    put(static_cast<uint8_t>(((base >> 12) & 0xF8) | 0x04 | ((base >> 13) & 0x03)));
    put(static_cast<uint8_t>(base >> 5));
    put(static_cast<uint8_t>(((base << 3) & 0xF8) | 0x04 | ((ext >> 7) & 0x03)));
    put(static_cast<uint8_t>((ext << 1) | 1));
    put(static_cast<uint8_t>(muxRate_ >> 14));
    put(static_cast<uint8_t>(muxRate_ >> 6));
    put(static_cast<uint8_t>((muxRate_ << 2) | 3));
    put(0xF8);
}

int PackWriter::systemHeaderLength(int mask) {
    int entries = (mask & 1) + ((mask >> 1) & 1) + ((mask >> 2) & 1);
    return 12 + 3 * entries;
}

void PackWriter::systemHeader(const SystemHeaderFields& f) {
    int entries = 0, audio = 0;
    for (int i = 0; i < 3; ++i)
        if (f.mask & (1 << i)) {
            ++entries;
            if (i > 0) ++audio;
        }
    put(0);
    put(0);
    put(1);
    put(0xBB);
    put16(6 + 3 * entries);
    put(static_cast<uint8_t>((f.rateBound >> 15) | 0x80));
    put(static_cast<uint8_t>(f.rateBound >> 7));
    put(static_cast<uint8_t>((f.rateBound << 1) | 1));
    put(static_cast<uint8_t>((audio << 2) | (f.fixed ? 2 : 0) | (f.csps ? 1 : 0)));
    put(static_cast<uint8_t>((f.audioLock ? 0x80 : 0) | (f.videoLock ? 0x40 : 0) | 0x20 | ((f.mask & 1) ? 1 : 0)));
    put(mpeg2_ ? 0x7F : 0xFF);
    for (int i = 0; i < 3; ++i) {
        if (!(f.mask & (1 << i))) continue;
        const StreamEntry& e = f.streams[i];
        put(e.streamId);
        put(static_cast<uint8_t>(0xC0 | ((e.bufferScale & 1) << 5) | ((e.bufferSize >> 8) & 0x1F)));
        put(static_cast<uint8_t>(e.bufferSize));
    }
}

void PackWriter::paddingPacket(int total) {
    put(0);
    put(0);
    put(1);
    put(0xBE);
    put16(static_cast<uint32_t>(total - 6));
    int content = total - 6;
    if (!mpeg2_ && content > 0) {
        put(0x0F);
        --content;
    }
    std::memset(buffer_ + length_, 0xFF, static_cast<size_t>(content));
    length_ += content;
}

bool PackWriter::dataPacket(Engine& engine, const DataPacket& p) {
    length_ = 0;
    if (p.packHeader) packHeader(p.scr);
    if (p.systemHeader) systemHeader(p.system);

    // Payload first: its size decides the stuffing.
    int got = 0;
    if (p.prefix && p.prefixLength > 0) {
        std::memcpy(payload_, p.prefix, static_cast<size_t>(p.prefixLength));
        got = p.prefixLength;
    }
    int streamBytes = p.take - got - (p.blockAt >= 0 ? 18 : 0);
    bool readError = false;
    auto readInto = [&](int count) {
        if (count <= 0) return 0;
        size_t n = std::fread(payload_ + got, 1, static_cast<size_t>(count), p.input);
        if (n < static_cast<size_t>(count) && std::ferror(p.input)) readError = true;
        got += static_cast<int>(n);
        return static_cast<int>(n);
    };
    if (p.blockAt >= 0) {
        int before = p.blockAt - got;
        if (readInto(before) == std::max(before, 0)) {
            static constexpr uint8_t kBlock[18] = {0, 0, 1, 0xB2, 0x10, 0x0E, 0, 0x80, 0x80, 0, 0x80, 0x80,
                                                   0, 0x80, 0x80, 0, 0x80, 0x80};
            std::memcpy(payload_ + got, kBlock, sizeof kBlock);
            got += 18;
            readInto(streamBytes - std::max(before, 0));
        }
    } else {
        readInto(streamBytes);
    }
    if (readError) {
        engine.reportError("Error reading from an input file.");
        return false;
    }
    int shortfall = p.capacity - got;
    if (p.endCode && shortfall > 4) {
        payload_[got++] = 0;
        payload_[got++] = 0;
        payload_[got++] = 1;
        payload_[got++] = 0xB7;
        shortfall -= 4;
    }
    if (p.brokenLink) {
        for (int i = 0; i + 7 < got; ++i) {
            if (payload_[i] == 0 && payload_[i + 1] == 0 && payload_[i + 2] == 1 && payload_[i + 3] == 0xB8) {
                payload_[i + 7] |= 0x20;
                break;
            }
        }
    }
    payloadBytes_ = got;
    int extra = shortfall > 0 && shortfall < 7 ? shortfall : 0;
    int sub = p.subStreamId >= 0 ? 4 : 0;
    const int headerSize = mpeg2_ ? (p.video ? 22 : 17) : (p.video ? 18 : 13);

    put(0);
    put(0);
    put(1);
    put(p.streamId);
    put16(static_cast<uint32_t>(extra + headerSize - 6 + got + sub));
    if (!mpeg2_) {
        int stuffing = extra + (p.bufferField ? 0 : 2) + (p.timestamps == kNoTimestamp ? (p.video ? 9 : 4) : 0) +
                       (p.video && p.timestamps == kPtsOnly ? 5 : 0);
        std::memset(buffer_ + length_, 0xFF, static_cast<size_t>(stuffing));
        length_ += stuffing;
        if (p.bufferField) {
            put(static_cast<uint8_t>(0x40 | ((p.bufferScale & 1) << 5) | ((p.bufferSize >> 8) & 0x1F)));
            put(static_cast<uint8_t>(p.bufferSize));
        }
        if (p.timestamps == kNoTimestamp) put(0x0F);
        else if (p.timestamps == kPtsOnly) putTimestamp(2, p.pts);
        else {
            putTimestamp(3, p.pts);
            putTimestamp(1, p.dts);
        }
    } else {
        int stuffing = extra + (p.timestamps == kNoTimestamp ? (p.video ? 10 : 5) : 0) +
                       (p.video && p.timestamps == kPtsOnly ? 5 : 0) + (p.bufferField ? 0 : 3);
        put(type_ == 3 ? 0x81 : 0x80);
        put(static_cast<uint8_t>((p.timestamps == kPtsOnly ? 0x80 : p.timestamps == kPtsAndDts ? 0xC0 : 0) |
                                 (p.bufferField ? 1 : 0)));
        put(static_cast<uint8_t>(extra + (p.video ? 13 : 8)));
        if (p.timestamps == kPtsOnly) putTimestamp(2, p.pts);
        else if (p.timestamps == kPtsAndDts) {
            putTimestamp(3, p.pts);
            putTimestamp(1, p.dts);
        }
        if (p.bufferField) {
            put(0x1E);
            put(static_cast<uint8_t>(0x40 | ((p.bufferScale & 1) << 5) | ((p.bufferSize >> 8) & 0x1F)));
            put(static_cast<uint8_t>(p.bufferSize));
        }
        std::memset(buffer_ + length_, 0xFF, static_cast<size_t>(stuffing));
        length_ += stuffing;
    }
    if (sub) {
        put(static_cast<uint8_t>(p.subStreamId));
        put(static_cast<uint8_t>(p.ac3Frames));
        put16(p.ac3Frames > 0 ? static_cast<uint32_t>(p.ac3FirstFrame + 1) : 0);
    }
    std::memcpy(buffer_ + length_, payload_, static_cast<size_t>(got));
    length_ += got;
    if (shortfall >= 7) paddingPacket(shortfall);
    std::memset(buffer_ + length_, 0, static_cast<size_t>(p.trailingZeros));
    length_ += p.trailingZeros;
    return true;
}

void PackWriter::paddingPack(double scr, const SystemHeaderFields* system, int total, int trailingZeros) {
    length_ = 0;
    packHeader(scr);
    if (system) systemHeader(*system);
    paddingPacket(total - trailingZeros - length_);
    std::memset(buffer_ + length_, 0, static_cast<size_t>(trailingZeros));
    length_ += trailingZeros;
}

void PackWriter::navigationPack(double scr, bool privateStream2) {
    length_ = 0;
    packHeader(scr);
    static constexpr uint8_t kFixed[] = {0x04, 0xE1, 0x7F, 0xB9, 0xE0, 0xE8, 0xB8, 0xC0,
                                         0x20, 0xBD, 0xE0, 0x3A, 0xBF, 0xE0, 0x02};
    put(0);
    put(0);
    put(1);
    put(0xBB);
    put(0x00);
    put(0x12);
    put(static_cast<uint8_t>((muxRate_ >> 15) | 0x80));
    put(static_cast<uint8_t>(muxRate_ >> 7));
    put(static_cast<uint8_t>((muxRate_ << 1) | 1));
    for (uint8_t b : kFixed) put(b);
    auto privatePacket = [&](int size, uint8_t substream) {
        put(0);
        put(0);
        put(1);
        put(0xBF);
        put16(static_cast<uint32_t>(size));
        std::memset(buffer_ + length_, 0, static_cast<size_t>(size));
        // The first byte names the area: 0 presentation control, 1 search data.
        buffer_[length_] = substream;
        length_ += size;
    };
    if (!privateStream2) {
        paddingPacket(sectorSize_ - length_);
    } else if (sectorSize_ - 44 >= 981) {
        privatePacket(980, 0x00);
        privatePacket(sectorSize_ - 1030, 0x01);
    } else {
        privatePacket(sectorSize_ - 44, 0x00);
    }
}

void PackWriter::endSector(double scr, int videoPayload) {
    length_ = 0;
    packHeader(scr);
    paddingPacket(videoPayload + (mpeg2_ ? 12 : 8) + 6);
    programEndCode();
}

void PackWriter::programEndCode() {
    put(0);
    put(0);
    put(1);
    put(0xB9);
}

}  // namespace quillon

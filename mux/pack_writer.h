// Builders for the bytes of every pack: pack and system headers, data
// packets with stuffing or a trailing padding packet, padding packs, DVD
// navigation packs and the end sector. Each pack is built in one sector
// buffer and written with one call.
#pragma once

#include <cstdint>
#include <cstdio>

#include "mux/clock_value.h"

namespace quillon {

class Engine;

constexpr int kSectorBufferSize = 4096;

struct StreamEntry {
    uint8_t streamId = 0;
    int bufferScale = 0;
    uint32_t bufferSize = 0;  // in units of the scale (128 or 1024 bytes)
};

struct SystemHeaderFields {
    uint32_t rateBound = 0;
    bool fixed = false;
    bool csps = false;
    bool audioLock = false;
    bool videoLock = false;
    StreamEntry streams[3];  // video, first audio, second audio
    int mask = 0;            // which entries are listed
};

enum TimestampKind { kNoTimestamp = 0, kPtsOnly = 1, kPtsAndDts = 2 };

struct DataPacket {
    bool packHeader = false;
    double scr = 0;
    bool systemHeader = false;
    SystemHeaderFields system;
    int capacity = 0;      // payload the packet is sized for (V or A)
    int take = 0;          // payload bytes planned, inserted bytes included
    std::FILE* input = nullptr;
    uint8_t streamId = 0;
    int subStreamId = -1;  // AC-3 in private stream 1
    bool video = false;
    bool bufferField = false;
    int bufferScale = 0;
    uint32_t bufferSize = 0;
    TimestampKind timestamps = kNoTimestamp;
    ClockValue pts, dts;
    int trailingZeros = 0;
    int blockAt = -1;  // payload offset of the scan-offset block
    bool brokenLink = false;
    bool endCode = false;
    const uint8_t* prefix = nullptr;  // a sequence header sent in front
    int prefixLength = 0;
    int ac3Frames = 0;       // frames starting in this packet
    int ac3FirstFrame = 0;   // payload offset of the first of them
};

class PackWriter {
public:
    // programStreamType 0..4; muxRate in units of 50 bytes/s.
    PackWriter(int programStreamType, int sectorSize, uint32_t muxRate);

    bool mpeg2() const { return mpeg2_; }
    const uint8_t* data() const { return buffer_; }
    int length() const { return length_; }
    int payloadBytes() const { return payloadBytes_; }
    double lastScr() const { return lastScr_; }

    void clear() { length_ = 0; }
    void packHeader(double scr);
    void systemHeader(const SystemHeaderFields& f);
    static int systemHeaderLength(int mask);
    int packHeaderLength() const { return mpeg2_ ? 14 : 12; }

    // Returns false after "Error reading from an input file.".
    bool dataPacket(Engine& engine, const DataPacket& p);
    // A pack of the given total length: pack header, optional system header
    // and one padding packet filling the rest, then trailing zero bytes.
    void paddingPack(double scr, const SystemHeaderFields* system, int total, int trailingZeros);
    void navigationPack(double scr, bool privateStream2);
    // videoPayload: the video packet payload V.
    void endSector(double scr, int videoPayload);
    void programEndCode();

private:
    void put(uint8_t b) { buffer_[length_++] = b; }
    void put16(uint32_t v) {
        put(static_cast<uint8_t>(v >> 8));
        put(static_cast<uint8_t>(v));
    }
    void putTimestamp(int prefix, const ClockValue& c);
    void paddingPacket(int total);

    int type_;
    bool mpeg2_;
    int sectorSize_;
    uint32_t muxRate_;
    uint8_t buffer_[kSectorBufferSize];
    uint8_t payload_[kSectorBufferSize];
    int length_ = 0;
    int payloadBytes_ = 0;
    double lastScr_ = 0;
};

}  // namespace quillon

// Scanner, pack builder and scan-offset details on hand-made streams.
#include <gtest/gtest.h>

#include <random>

#include <cstdio>
#include <cstdlib>

#include "mux/bit_reader.h"
#include "mux/pack_writer.h"
#include "mux/scan_offsets.h"
#include "mux/stream_scan.h"
#include "tests/mux/mux_fixture.h"

namespace quillon {
namespace {

using testing::RecordingHost;

// MSB-first bit packer for building streams by hand.
struct Bits {
    std::vector<uint8_t> bytes;
    int used = 8;
    void put(uint32_t v, int n) {
        for (int i = n - 1; i >= 0; --i) {
            if (used == 8) {
                bytes.push_back(0);
                used = 0;
            }
            bytes.back() |= static_cast<uint8_t>(((v >> i) & 1) << (7 - used));
            ++used;
        }
    }
    void align() { used = 8; }
    void code(uint8_t c) {
        align();
        for (uint8_t b : {uint8_t{0}, uint8_t{0}, uint8_t{1}, c}) bytes.push_back(b);
    }
    void fill(uint8_t b, int n) {
        align();
        bytes.insert(bytes.end(), static_cast<size_t>(n), b);
    }
};

struct Pic {
    int tr;
    int type;
    int structure = 3;
    bool rff = false;
    int userTag = -1;  // user data after the coding extension
};

// A 13818-2 stream: sequence header and extension (with extra user data to
// make the header long), one GOP per group of pictures, slices of filler.
std::vector<uint8_t> mpeg2Stream(const std::vector<std::vector<Pic>>& gops, int headerPadding = 0) {
    Bits b;
    b.code(0xB3);
    b.put(720, 12);
    b.put(576, 12);
    b.put(2, 4);
    b.put(3, 4);
    b.put(0x3FFFF, 18);
    b.put(1, 1);
    b.put(112, 10);
    b.put(0, 3);
    b.code(0xB5);
    b.put(1, 4);
    b.put(0x48, 8);
    b.put(0, 18);
    b.put(0, 18);
    if (headerPadding) {
        b.code(0xB2);
        b.fill(0x55, headerPadding);
    }
    for (const auto& gop : gops) {
        b.code(0xB8);
        b.put(0x123456, 25);
        b.put(1, 1);
        b.put(0, 6);
        for (const Pic& p : gop) {
            b.code(0x00);
            b.put(static_cast<uint32_t>(p.tr), 10);
            b.put(static_cast<uint32_t>(p.type), 3);
            b.put(0xFFFF, 16);
            b.put(0x1FF, 11);
            b.code(0xB5);
            b.put(8, 4);
            b.put(0xFFFF, 16);
            b.put(1, 2);
            b.put(static_cast<uint32_t>(p.structure), 2);
            b.put(1, 1);
            b.put(0, 5);
            b.put(p.rff ? 1 : 0, 1);
            b.put(0, 3);
            if (p.userTag >= 0) {
                b.code(0xB2);
                b.put(static_cast<uint32_t>(p.userTag), 16);
                b.fill(0x33, 12);
            }
            b.code(0x01);
            b.fill(0x11, 40);
        }
    }
    b.code(0xB7);
    return b.bytes;
}

struct ScanJob {
    RecordingHost host;
    Engine engine{host};
    testing::TempDir dir;
    ScanJob(int kind) { testing::setMuxTarget(engine.work, kind, true); }
    bool scanVideo(const std::vector<uint8_t>& data, VideoStreamInfo& info, std::vector<VideoUnitRecord>& units) {
        std::string path = dir.file("v.m2v"), unitsPath = dir.file("units");
        testing::writeFile(path, data);
        uint32_t count;
        double earliest;
        bool ok = scanVideoStream(engine, path, unitsPath, info, static_cast<double>(data.size()), count, earliest);
        units.clear();
        if (std::FILE* f = std::fopen(unitsPath.c_str(), "rb")) {
            VideoUnitRecord r;
            while (std::fread(&r, sizeof r, 1, f) == 1) units.push_back(r);
            std::fclose(f);
        }
        return ok;
    }
};

TEST(VideoScan, PulldownIsThreeTwoWhenTheFirstDisplayedPictureRepeats) {
    ScanJob job(3);
    VideoStreamInfo info;
    std::vector<VideoUnitRecord> units;
    ASSERT_TRUE(job.scanVideo(mpeg2Stream({{{2, 1}, {0, 3, 3, true}, {1, 3}}}), info, units));
    EXPECT_EQ(info.pulldown, 2u);
    EXPECT_TRUE(job.host.logged("    3:2 pulldown detected ..."));

    ScanJob other(3);
    ASSERT_TRUE(other.scanVideo(mpeg2Stream({{{2, 1, 3, true}, {0, 3}, {1, 3}}}), info, units));
    EXPECT_EQ(info.pulldown, 1u);
    EXPECT_TRUE(other.host.logged("    2:3 pulldown detected ..."));

    ScanJob none(3);
    ASSERT_TRUE(none.scanVideo(mpeg2Stream({{{2, 1}, {0, 3}, {1, 3}}}), info, units));
    EXPECT_EQ(info.pulldown, 0u);
    EXPECT_TRUE(none.host.logged("    no pulldown detected ..."));
}

TEST(VideoScan, CapturesTheSequenceHeaderOnlyUpTo256Bytes) {
    ScanJob job(2);
    VideoStreamInfo info;
    std::vector<VideoUnitRecord> units;
    std::vector<uint8_t> s = mpeg2Stream({{{0, 1}, {1, 2}}}, 100);
    ASSERT_TRUE(job.scanVideo(s, info, units));
    // 12 header + 10 extension + 4 + 100 user data bytes before the GOP.
    EXPECT_EQ(info.headerLength, 126u);
    EXPECT_TRUE(std::equal(info.header, info.header + 126, s.begin()));

    ScanJob longer(2);
    ASSERT_TRUE(longer.scanVideo(mpeg2Stream({{{0, 1}, {1, 2}}}, 300), info, units));
    EXPECT_EQ(info.headerLength, 0u);
    EXPECT_EQ(units.size(), 2u);
}

TEST(VideoScan, UnitsCoverTheStreamAndFieldPairsMakeOneUnit) {
    ScanJob job(2);
    VideoStreamInfo info;
    std::vector<VideoUnitRecord> units;
    std::vector<uint8_t> s = mpeg2Stream({{{0, 1, 1}, {0, 1, 2}, {1, 2, 1}, {1, 2, 2}}});
    ASSERT_TRUE(job.scanVideo(s, info, units));
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(info.pictures, 2u);
    EXPECT_EQ(units[0].pictureType, 1);
    EXPECT_EQ(units[0].flags, kUnitHasSequenceHeader | kUnitHasGop);
    EXPECT_EQ(units[1].flags, 0);
    EXPECT_EQ(units[0].length + units[1].length, s.size());
    EXPECT_EQ(info.streamLength, static_cast<double>(s.size()));
    // Both fields of the second pair lie in its unit.
    EXPECT_EQ(units[1].pictureOffset, 0);
    EXPECT_GT(units[1].length, 2u * 40);
    // MPEG-2 time stamps at 25 pictures a second, with the 27 MHz extension.
    EXPECT_EQ(units[1].dts.ticks(), 1080000.0);
    EXPECT_EQ(units[0].pts.ticks(), 1080000.0);
}

TEST(VideoScan, ScanOffsetBlocksGoAtUserDataOrTheFirstSlice) {
    ScanJob job(3);
    VideoStreamInfo info;
    std::vector<VideoUnitRecord> units;
    std::vector<uint8_t> s = mpeg2Stream({{{0, 1, 3, false, 0x100E}}, {{0, 1, 3, false, 0x2000}}, {{0, 1}}});
    ASSERT_TRUE(job.scanVideo(s, info, units));
    ASSERT_EQ(units.size(), 3u);
    EXPECT_EQ(units[0].insertionPoint, 0);
    // The second and third units begin at their GOP headers.
    auto find = [&](size_t from, uint8_t code) {
        for (size_t i = from; i + 4 <= s.size(); ++i)
            if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1 && s[i + 3] == code) return i;
        return s.size();
    };
    size_t second = units[0].length;
    EXPECT_EQ(second + units[1].insertionPoint, find(second, 0xB2));
    EXPECT_EQ(units[1].length, find(second + 4, 0xB8) - second + 18);
    size_t third = second + units[1].length - 18;
    EXPECT_EQ(third + units[2].insertionPoint, find(third, 0x01));
}

TEST(VideoScan, ANonVideoStreamFailsBeforeAnyUnit) {
    ScanJob job(2);
    VideoStreamInfo info;
    std::vector<VideoUnitRecord> units;
    EXPECT_FALSE(job.scanVideo({0, 0, 1, 0xB8, 1, 2, 3}, info, units));
    ASSERT_EQ(job.host.errors.size(), 1u);
    EXPECT_EQ(job.host.errors[0], "Quorvel Encoder - error: Invalid MPEG Video stream header.");
    EXPECT_FALSE(std::filesystem::exists(job.dir.file("units")));
}

TEST(AudioScan, TrailingBytesEndTheScanCleanlyAndTheFirstPtsIsTheStart) {
    ScanJob job(1);
    std::vector<uint8_t> mp2 = testing::readFile(testing::madeStreams().mp2(false));
    ASSERT_GT(mp2.size(), 1000u);
    std::vector<uint8_t> withTail = mp2;
    for (int i = 0; i < 500; ++i) withTail.push_back(static_cast<uint8_t>(i * 7));
    std::string path = job.dir.file("a.mpa"), unitsPath = job.dir.file("units");
    testing::writeFile(path, withTail);
    AudioStreamInfo info;
    uint32_t records;
    ASSERT_TRUE(scanAudioStream(job.engine, path, unitsPath, info, 900000, withTail.size(), records));
    EXPECT_EQ(info.streamLength, static_cast<double>(mp2.size()));
    EXPECT_EQ(info.frameLength[0], 731u);  // 224 kbit/s at 44.1 kHz
    EXPECT_EQ(info.frames[0] + info.frames[1], records);
    std::FILE* f = std::fopen(unitsPath.c_str(), "rb");
    ASSERT_TRUE(f);
    AudioUnitRecord first, second;
    ASSERT_EQ(std::fread(&first, sizeof first, 1, f), 1u);
    ASSERT_EQ(std::fread(&second, sizeof second, 1, f), 1u);
    std::fclose(f);
    EXPECT_EQ(first.pts.ticks(), 900000.0);
    EXPECT_NEAR(second.pts.ticks() - first.pts.ticks(), 1152 / 44.1 * 27000, 300);
    EXPECT_TRUE(job.host.logged("  MPEG audio stream information"));
}

TEST(PackWriter, ShortPacketsStuffBelowSevenBytesAndPadFromSeven) {
    RecordingHost host;
    Engine engine(host);
    testing::TempDir dir;
    std::string path = dir.file("payload");
    testing::writeFile(path, std::vector<uint8_t>(4000, 0x42));
    for (int type : {0, 2}) {
        PackWriter w(type, 2048, 1000);
        const int V = type == 0 ? 2018 : 2012;
        const int header = type == 0 ? 18 : 22;
        const int packHeader = type == 0 ? 12 : 14;
        for (int missing : {0, 3, 6, 7, 100}) {
            std::FILE* in = std::fopen(path.c_str(), "rb");
            DataPacket p;
            p.packHeader = true;
            p.capacity = V;
            p.take = V - missing;
            p.input = in;
            p.streamId = 0xE0;
            p.video = true;
            p.bufferField = true;
            p.timestamps = kPtsOnly;  // a B picture: still the full header size
            ASSERT_TRUE(w.dataPacket(engine, p));
            std::fclose(in);
            EXPECT_EQ(w.length(), 2048) << type << " " << missing;
            const uint8_t* d = w.data() + packHeader;
            int packetLength = (d[4] << 8) | d[5];
            if (missing < 7) {
                EXPECT_EQ(packetLength, header - 6 + V) << missing;
            } else {
                EXPECT_EQ(packetLength, header - 6 + V - missing) << missing;
                const uint8_t* pad = d + 6 + packetLength;
                EXPECT_EQ(pad[3], 0xBE);
                EXPECT_EQ((pad[4] << 8) | pad[5], missing - 6);
            }
            if (type == 2) {
                EXPECT_EQ(d[8], 13 + (missing < 7 ? missing : 0));  // PES_header_data_length
            }
        }
    }
}

TEST(PackWriter, SystemHeaderListsItsStreams) {
    PackWriter w(0, 2048, 3528);
    SystemHeaderFields f;
    f.rateBound = 3528;
    f.mask = 7;
    f.streams[0] = {0xE0, 1, 46};
    f.streams[1] = {0xC0, 0, 32};
    f.streams[2] = {0xC1, 0, 32};
    w.systemHeader(f);
    EXPECT_EQ(w.length(), 21);
    EXPECT_EQ((w.data()[4] << 8) | w.data()[5], 15);
    EXPECT_EQ(w.data()[9] >> 2, 2);  // audio_bound
    w.clear();
    f.mask = 3;
    w.systemHeader(f);
    EXPECT_EQ(w.length(), 18);
    EXPECT_EQ((w.data()[4] << 8) | w.data()[5], 12);
    EXPECT_EQ(PackWriter::systemHeaderLength(1), 15);
}

TEST(ScanOffsets, BcdAddressesAndJumpDistance) {
    uint8_t b[3];
    encodeScanOffset(4500, b);
    EXPECT_EQ(std::vector<uint8_t>(b, b + 3), (std::vector<uint8_t>{0x01, 0x80, 0x80}));
    encodeScanOffset(75, b);
    EXPECT_EQ(std::vector<uint8_t>(b, b + 3), (std::vector<uint8_t>{0x00, 0x81, 0x80}));
    encodeScanOffset(0, b);
    EXPECT_EQ(std::vector<uint8_t>(b, b + 3), (std::vector<uint8_t>{0x00, 0x80, 0x80}));
    encodeScanOffset(12 * 4500 + 34 * 75 + 56, b);
    EXPECT_EQ(std::vector<uint8_t>(b, b + 3), (std::vector<uint8_t>{0x12, 0xB4, 0xD6}));
    encodeScanOffset(1000000, b);  // past 99 minutes: the last address
    EXPECT_EQ(std::vector<uint8_t>(b, b + 3), (std::vector<uint8_t>{0x99, 0xD9, 0xF4}));
    VideoStreamInfo info;
    info.frameRateCode = 3;
    info.pictures = 120;
    info.groups = 10;
    EXPECT_EQ(scanJumpDistance(info), 15);
    info.pulldown = 1;
    EXPECT_EQ(scanJumpDistance(info), 14);
}

TEST(ClockValue, SplitsTicksIntoBaseAndExtension) {
    ClockValue c;
    c.set(27000000.0 + 299, true);
    EXPECT_EQ(c.baseLow, 90000u);
    EXPECT_EQ(c.extension, 299u);
    c.set(27000000.0 + 299, false);
    EXPECT_EQ(c.extension, 0u);
    double big = 4294967296.0 * 300 + 600;  // past 32 bits of base
    c.set(big, true);
    EXPECT_EQ(c.baseHigh, 1u);
    EXPECT_EQ(c.baseLow, 2u);
    EXPECT_EQ(c.ticks(), big);
    c.set(-3000, true);
    EXPECT_EQ(c.negative, 1u);
    EXPECT_EQ(c.ticks(), -3000.0);
    // Past 33 bits (26.5 hours) the base starts again from 0 and keeps its
    // extension.
    c.set((8589934592.0 + 5) * 300 + 7, true);
    EXPECT_EQ(c.baseHigh, 0u);
    EXPECT_EQ(c.baseLow, 5u);
    EXPECT_EQ(c.extension, 7u);
    c.set((8589934592.0 + 4294967296.0 + 1) * 300, false);
    EXPECT_EQ(c.baseHigh, 1u);
    EXPECT_EQ(c.baseLow, 1u);
    EXPECT_EQ(c.extension, 0u);
}

TEST(BitReader, ReadsAcrossBufferRefillsAndSearches) {
    RecordingHost host;
    Engine engine(host);
    testing::TempDir dir;
    std::vector<uint8_t> data(kBitReaderBufferSize + 100, 0xAA);
    data[kBitReaderBufferSize - 2] = 0;
    data[kBitReaderBufferSize - 1] = 0;
    data[kBitReaderBufferSize] = 1;
    data[kBitReaderBufferSize + 1] = 0xB3;
    testing::writeFile(dir.file("f"), data);
    BitReader r(engine);
    ASSERT_TRUE(r.open(dir.file("f")));
    uint32_t v;
    ASSERT_TRUE(r.readBits(3, v));
    EXPECT_EQ(v, 5u);
    ASSERT_TRUE(r.search(0x1B3, 32));
    EXPECT_EQ(r.position(), 8.0 * (kBitReaderBufferSize + 2));
    ASSERT_TRUE(r.skipBytes(97));
    ASSERT_TRUE(r.readBits(8, v));
    EXPECT_TRUE(r.endOfData());
    EXPECT_FALSE(r.readBits(1, v));
    EXPECT_FALSE(r.open(dir.file("missing")));
    EXPECT_EQ(host.errors.back(), "Quorvel Encoder - error: Unable to open file " + dir.file("missing") + " for reading.");
}

// The searches the scanners make, over bytes full of near misses and with
// matches across every buffer refill: each must stop where a walk byte by
// byte stops.
TEST(BitReader, SearchStopsWhereAByteWalkStops) {
    RecordingHost host;
    Engine engine(host);
    testing::TempDir dir;
    const size_t size = 3 * kBitReaderBufferSize + 17;
    std::vector<uint8_t> data(size);
    uint32_t seed = 12345;
    const uint8_t alphabet[] = {0, 0, 0, 1, 1, 0xB3, 0xB5, 0xB2, 0x0B, 0x77, 0x42};
    for (uint8_t& b : data) {
        seed = seed * 1103515245u + 12345u;
        b = alphabet[(seed >> 16) % sizeof alphabet];
    }
    const std::vector<uint8_t> planted[] = {{0, 0, 1}, {0x0B, 0x77}, {0, 0, 1, 0xB5}, {0, 0, 1, 0xB2}};
    for (size_t refill = 1; refill <= 3; ++refill)
        for (size_t back = 1; back <= 4; ++back)
            for (size_t i = 0; i < planted[back - 1].size(); ++i) {
                const size_t at = refill * kBitReaderBufferSize - back + 64 * back + i;
                if (at < size) data[at] = planted[back - 1][i];
            }
    testing::writeFile(dir.file("f"), data);

    struct Pattern {
        uint32_t value;
        int bits;
    };
    for (const Pattern p : {Pattern{0x000001, 24}, Pattern{0x0B77, 16}, Pattern{0x1B5, 32}, Pattern{0x1B2, 32}}) {
        const size_t k = static_cast<size_t>(p.bits / 8);
        std::vector<uint8_t> bytes(k);
        for (size_t i = 0; i < k; ++i) bytes[i] = static_cast<uint8_t>(p.value >> (8 * (k - 1 - i)));
        BitReader r(engine);
        ASSERT_TRUE(r.open(dir.file("f")));
        size_t pos = 0;
        int found = 0, turn = 0;
        for (;;) {
            size_t end = 0;
            for (size_t j = pos; j + k <= size; ++j)
                if (std::equal(bytes.begin(), bytes.end(), data.begin() + static_cast<ptrdiff_t>(j))) {
                    end = j + k;
                    break;
                }
            const bool hit = r.search(p.value, p.bits);
            ASSERT_EQ(hit, end != 0) << std::hex << p.value << " after " << std::dec << pos;
            if (!hit) break;
            ASSERT_EQ(r.position(), 8.0 * static_cast<double>(end)) << std::hex << p.value;
            ++found;
            pos = end;
            // Now and then read on a little, as the scanners do, sometimes
            // leaving the reader off a byte boundary.
            uint32_t v;
            if (++turn % 3 == 0 && pos + 2 <= size) {
                ASSERT_TRUE(r.readBits(13, v));
                pos += 2;  // the search moves on to the next byte boundary
            }
        }
        EXPECT_GT(found, 100) << std::hex << p.value;
    }
    EXPECT_TRUE(host.errors.empty());
}

// Start codes land anywhere, across refills too: every hit and the final
// miss must agree with a plain byte-by-byte scan, for each pattern width.
TEST(BitReader, SearchFindsEveryPatternAPlainScanFinds) {
    RecordingHost host;
    Engine engine(host);
    testing::TempDir dir;
    std::mt19937 rng(5);
    std::vector<uint8_t> data(3 * kBitReaderBufferSize + 777);
    for (uint8_t& b : data) {
        const uint32_t r = rng() % 16;
        b = r < 6 ? 0 : r < 9 ? 1 : r == 9 ? 0xB3 : r == 10 ? 0x0B : r == 11 ? 0x77 : static_cast<uint8_t>(rng());
    }
    testing::writeFile(dir.file("f"), data);
    const struct { uint32_t pattern; int bits; } cases[] = {{0x000001, 24}, {0x1B3, 32}, {0x0B77, 16}};
    for (const auto& c : cases) {
        const uint32_t mask = c.bits == 32 ? 0xFFFFFFFFu : (1u << c.bits) - 1;
        std::vector<double> expected;
        uint32_t window = 0;
        size_t from = 0;  // bytes of the window gathered since the last hit
        for (size_t i = 0; i < data.size(); ++i) {
            window = (window << 8) | data[i];
            if (++from >= static_cast<size_t>(c.bits / 8) && (window & mask) == c.pattern) {
                expected.push_back(8.0 * (i + 1));
                from = 0;
            }
        }
        ASSERT_GT(expected.size(), 100u);
        BitReader r(engine);
        ASSERT_TRUE(r.open(dir.file("f")));
        std::vector<double> found;
        while (r.search(c.pattern, c.bits)) found.push_back(r.position());
        EXPECT_EQ(found, expected) << std::hex << c.pattern;
        EXPECT_EQ(r.position(), 8.0 * data.size());
    }
}

}  // namespace
}  // namespace quillon

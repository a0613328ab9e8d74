// Writer, header and VLC details checked bit by bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <cmath>
#include <map>

#include "tests/support/temp_dir.h"
#include "tests/video/video_test_util.h"
#include "video/encoder/encoder_setup.h"
#include "video/encoder/stream_headers.h"
#include "video/dsp/vlc.h"
#include "video/dsp/vlc_tables.h"

namespace quillon::testing {
namespace {

// Runs write against a fresh writer and returns exactly the bits it put.
std::string bitsOf(const std::function<void(Engine&, BitWriter&)>& write, RecordingHost* hostOut = nullptr) {
    RecordingHost localHost;
    RecordingHost& host = hostOut ? *hostOut : localHost;
    Engine engine(host);
    TempDir dir;
    BitWriter w;
    EXPECT_TRUE(w.open(engine, dir.file("bits")));
    write(engine, w);
    const long long total = static_cast<long long>(w.totalBits());
    w.alignToByte();
    w.close();
    std::ifstream in(dir.file("bits"), std::ios::binary);
    std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    std::string bits;
    for (long long i = 0; i < total; ++i) bits += ((bytes[static_cast<size_t>(i / 8)] >> (7 - i % 8)) & 1) ? '1' : '0';
    return bits;
}

std::string bin(uint32_t v, int n) {
    std::string s;
    for (int i = n - 1; i >= 0; --i) s += ((v >> i) & 1) ? '1' : '0';
    return s;
}

TEST(BitWriterEdges, FullByteAndExactBufferFlush) {
    RecordingHost host;
    Engine engine(host);
    TempDir dir;
    BitWriter w;
    ASSERT_TRUE(w.open(engine, dir.file("f")));
    w.putBits(0xA5, 8);
    EXPECT_EQ(w.bitsLeft(), 8);
    w.alignToByte();
    EXPECT_EQ(w.totalBits(), 8.0);
    for (int i = 1; i < kBitWriterBufferSize; ++i) w.putBits(0x5A, 8);
    // The full buffer went to the file in one write.
    EXPECT_EQ(std::filesystem::file_size(dir.file("f")), static_cast<uintmax_t>(kBitWriterBufferSize));
    EXPECT_TRUE(w.close());
    EXPECT_EQ(std::filesystem::file_size(dir.file("f")), static_cast<uintmax_t>(kBitWriterBufferSize));
}

TEST(BitWriterEdges, FailedFinalWriteIsReported) {
    RecordingHost host;
    Engine engine(host);
    BitWriter w;
    ASSERT_TRUE(w.open(engine, "/dev/full"));
    w.putBits(0x12345678, 32);
    EXPECT_FALSE(w.close());
    EXPECT_TRUE(w.writeError());
}

TEST(TimeCode, FieldsAndPulldown) {
    EncoderSettings s;
    s.frameRate = 25;
    EXPECT_EQ(makeTimeCode(s, 0), 0x001000u);
    EXPECT_EQ(makeTimeCode(s, 90000), 0x081000u);
    // 1 h 2 min 3 s and 4 pictures.
    EXPECT_EQ(makeTimeCode(s, ((60 + 2) * 60 + 3) * 25 + 4), (1u << 19) | (2u << 13) | 0x1000u | (3u << 6) | 4u);
    s.frameRate = 29.97;  // rounds to 30 frames per second
    EXPECT_EQ(makeTimeCode(s, 31), 0x1000u | (1u << 6) | 1u);
    // Pulldown: 24 coded frames are 30 displayed ones.
    s.videoPulldownFlag = 2;
    s.frameRate = 23.976;
    EXPECT_EQ(makeTimeCode(s, 24), 0x1000u | (1u << 6));
    EXPECT_EQ(makeTimeCode(s, 5), 0x1000u | 5u);  // ((5/2)*5)/2 = 5
    s.frameRateCode = 1;
    EXPECT_EQ(codedFrameRateCode(s), 4);
    s.frameRateCode = 2;
    EXPECT_EQ(codedFrameRateCode(s), 5);
    s.videoPulldownFlag = 3;
    EXPECT_EQ(codedFrameRateCode(s), 2);
}

// A sequence header as the encoder writes it for the settings.
std::vector<uint8_t> sequenceHeaderBytes(EncoderSettings settings, double* headerBits = nullptr) {
    RecordingHost host;
    Engine engine(host);
    engine.work = settings;
    VideoEncoder enc(engine);
    enc.mpeg2 = isMpeg2Syntax(settings);
    enc.geo = computeGeometry(settings, 352, 288);
    EXPECT_TRUE(loadQuantMatrices(enc));
    TempDir dir;
    EXPECT_TRUE(enc.writer.open(engine, dir.file("h")));
    writeSequenceHeaders(enc);
    if (headerBits) *headerBits = enc.headerBits;
    EXPECT_EQ(enc.headerBits, enc.writer.totalBits());
    enc.writer.alignToByte();
    enc.writer.close();
    std::ifstream in(dir.file("h"), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

uint32_t bitRateValue(const std::vector<uint8_t>& b) { return (uint32_t(b[8]) << 10) | (uint32_t(b[9]) << 2) | (b[10] >> 6); }

TEST(SequenceHeader, BitRateFieldByMode) {
    EncoderSettings s;
    configureVideo(s, 0, 4);
    std::vector<uint8_t> b = sequenceHeaderBytes(s);
    ASSERT_EQ(b.size(), 12u);
    EXPECT_EQ(bitRateValue(b), 0x3FFFFu);
    EXPECT_EQ(b[7] & 0x0F, 3);  // frame_rate_code
    s.constBitrateFlag = 1;
    s.constBitrate = 1150000;
    EXPECT_EQ(bitRateValue(sequenceHeaderBytes(s)), 2875u);
    s.constBitrate = 1150001;  // rounded up
    EXPECT_EQ(bitRateValue(sequenceHeaderBytes(s)), 2876u);

    configureVideo(s, 4, 4);
    s.maxBitrate = 9800000;
    b = sequenceHeaderBytes(s);
    // Sequence header 12 bytes, sequence extension 10, display extension 12.
    ASSERT_EQ(b.size(), 12u + 10u + 12u);
    EXPECT_EQ(bitRateValue(b), 24500u);
    EXPECT_EQ(b[12 + 4] >> 4, 1);     // sequence extension identifier
    EXPECT_EQ(b[12 + 4] & 0x0F, 4);   // profile Main ...
    EXPECT_EQ(b[12 + 5] >> 4, 8);     // ... level Main
    EXPECT_EQ((b[12 + 5] >> 1) & 3, 1);  // chroma_format 4:2:0
    EXPECT_EQ(b[22 + 4] >> 4, 2);     // sequence display extension
    s.writeSequenceDisplayExt = 0;
    EXPECT_EQ(sequenceHeaderBytes(s).size(), 22u);
    s.videoPulldownFlag = 1;
    s.frameRateCode = 1;
    EXPECT_EQ(sequenceHeaderBytes(s)[7] & 0x0F, 4);
}

TEST(SequenceHeader, HeaderBitsCountEveryHeader) {
    EncoderSettings s;
    configureVideo(s, 2, 4);
    double bits = 0;
    sequenceHeaderBytes(s, &bits);
    // The display extension is 93 bits; the alignment after it belongs to
    // whatever header follows.
    EXPECT_EQ(bits, 8.0 * (12 + 10) + 93);
}

TEST(Vlc, AddressIncrementEscapes) {
    EXPECT_EQ(bitsOf([](Engine&, BitWriter& w) { putAddressIncrement(w, 1); }), "1");
    EXPECT_EQ(bitsOf([](Engine&, BitWriter& w) { putAddressIncrement(w, 33); }), "00000011000");
    EXPECT_EQ(bitsOf([](Engine&, BitWriter& w) { putAddressIncrement(w, 41); }), "00000001000" "0000111");
    EXPECT_EQ(bitsOf([](Engine&, BitWriter& w) { putAddressIncrement(w, 67); }), "00000001000" "00000001000" "1");
}

TEST(Vlc, MacroblockTypesByPicture) {
    auto type = [](int pictureType, int t) {
        return bitsOf([&](Engine&, BitWriter& w) { putMacroblockType(w, pictureType, t); });
    };
    EXPECT_EQ(type(kPictureI, kMbIntra), "1");
    EXPECT_EQ(type(kPictureI, kMbIntra | kMbQuant), "01");
    EXPECT_EQ(type(kPictureP, kMbMotionForward | kMbPattern), "1");
    EXPECT_EQ(type(kPictureP, kMbMotionForward), "001");
    EXPECT_EQ(type(kPictureP, kMbPattern | kMbQuant), "00001");
    EXPECT_EQ(type(kPictureB, kMbMotionForward | kMbMotionBackward), "10");
    EXPECT_EQ(type(kPictureB, kMbMotionBackward | kMbPattern | kMbQuant), "000010");
    EXPECT_EQ(type(kPictureB, kMbIntra | kMbQuant), "000001");
}

TEST(Vlc, MotionVectorsWrapAndCarryResiduals) {
    auto mv = [](int d, int f) {
        return bitsOf([&](Engine& e, BitWriter& w) { putMotionDelta(&e, w, d, f, true); });
    };
    EXPECT_EQ(mv(0, 1), "1");
    EXPECT_EQ(mv(17, 1), "0000001101" "1");  // wraps to -15
    EXPECT_EQ(mv(-16, 1), "0000001100" "1");
    EXPECT_EQ(mv(3, 2), "001" "0" "0");        // t = 4: code 2, residual 0
    EXPECT_EQ(mv(-4, 2), "001" "1" "1");       // t = 5: code -2, residual 1
    EXPECT_EQ(mv(63, 3), "0000001100" "0" "10");  // in range: t = 66, code 16, residual 2
    RecordingHost host;
    bitsOf([](Engine& e, BitWriter& w) { putMotionDelta(&e, w, 100, 1, true); }, &host);
    ASSERT_EQ(host.warnings.size(), 1u);
    EXPECT_EQ(host.warnings[0], "Invalid motion vector.");
    EXPECT_EQ(bitsOf([](Engine&, BitWriter& w) {
                  putDmVector(w, 0);
                  putDmVector(w, 1);
                  putDmVector(w, -1);
              }),
              "0" "10" "11");
}

TEST(Vlc, CodedBlockPatterns) {
    EXPECT_EQ(bitsOf([](Engine&, BitWriter& w) { putCodedBlockPattern(w, 1, 6); }), "01011");
    EXPECT_EQ(bitsOf([](Engine&, BitWriter& w) { putCodedBlockPattern(w, 63, 6); }), "001100");
    // 4:2:2: the 4:2:0 part is cbp >> 2, then two more bits.
    EXPECT_EQ(bitsOf([](Engine&, BitWriter& w) { putCodedBlockPattern(w, (60 << 2) | 2, 8); }), "111" "10");
    EXPECT_EQ(bitsOf([](Engine&, BitWriter& w) { putCodedBlockPattern(w, 0x0F1, 12); }), "001101" "110001");
}

TEST(Vlc, RunLevelEscapes) {
    auto rl = [](bool mpeg2, bool b15, int run, int level) {
        return bitsOf([&](Engine& e, BitWriter& w) { EXPECT_TRUE(putRunLevel(&e, w, mpeg2, b15, run, level)); });
    };
    EXPECT_EQ(rl(true, false, 0, 40), "000000000010000" "0");
    EXPECT_EQ(rl(true, false, 0, 41), "000001" "000000" "000000101001");
    EXPECT_EQ(rl(true, false, 0, -41), "000001" "000000" "111111010111");
    EXPECT_EQ(rl(true, false, 2, 6), "000001" "000010" "000000000110");  // run 2 stops at 5
    EXPECT_EQ(rl(false, false, 3, 200), "000001" "000011" "00000000" "11001000");
    EXPECT_EQ(rl(false, false, 3, -200), "000001" "000011" "10000000" "00111000");
    EXPECT_EQ(rl(false, false, 0, 127), "000001" "000000" "01111111");
    EXPECT_EQ(rl(true, true, 0, 1), "10" "0");
    EXPECT_EQ(rl(true, true, 9, -1), "1111000" "1");
    EXPECT_EQ(rl(true, false, 31, 1), "0000000000011011" "0");
}

TEST(Vlc, OutOfRangeValuesFailWithTheirMessage) {
    RecordingHost host;
    bitsOf([](Engine& e, BitWriter& w) { EXPECT_FALSE(putRunLevel(&e, w, false, false, 0, 256)); }, &host);
    bitsOf([](Engine& e, BitWriter& w) { EXPECT_FALSE(putRunLevel(&e, w, true, false, 0, -2048)); }, &host);
    bitsOf([](Engine& e, BitWriter& w) { EXPECT_TRUE(putRunLevel(&e, w, true, false, 0, 2047)); }, &host);
    ASSERT_EQ(host.errors.size(), 2u);
    EXPECT_EQ(host.errors[0], "AC value out of range (run=0, signed_level=256)\n");
    EXPECT_EQ(host.errors[1], "AC value out of range (run=0, signed_level=-2048)\n");

    RecordingHost dcHost;
    bitsOf(
        [](Engine& e, BitWriter& w) {
            int16_t levels[64] = {};
            levels[0] = 256;
            int pred = 0;
            EXPECT_FALSE(putIntraBlock(&e, w, BlockCoding{false, 0, 0}, levels, 0, pred));
            pred = 0;
            EXPECT_TRUE(putIntraBlock(&e, w, BlockCoding{true, 0, 0}, levels, 0, pred));
        },
        &dcHost);
    ASSERT_EQ(dcHost.errors.size(), 1u);
    EXPECT_EQ(dcHost.errors[0], "DC value out of range (256)\n");
}

TEST(Vlc, IntraAndNonIntraBlocks) {
    int16_t levels[64] = {};
    levels[0] = -3;
    // DC -3: size 2, then -3 + 3 = 0 in two bits; end of block.
    EXPECT_EQ(bitsOf([&](Engine& e, BitWriter& w) {
                  int pred = 0;
                  putIntraBlock(&e, w, BlockCoding{true, 0, 0}, levels, 0, pred);
                  EXPECT_EQ(pred, -3);
              }),
              "01" "00" "10");
    EXPECT_EQ(bitsOf([&](Engine& e, BitWriter& w) {
                  int pred = 0;
                  putIntraBlock(&e, w, BlockCoding{true, 1, 0}, levels, 1, pred);
              }),
              "10" "00" "0110");
    // Scan order: natural index 8 is scan position 2 in zig-zag, 1 in alternate.
    levels[0] = 0;
    levels[8] = 1;
    EXPECT_EQ(bitsOf([&](Engine& e, BitWriter& w) {
                  int pred = 0;
                  putIntraBlock(&e, w, BlockCoding{true, 0, 0}, levels, 0, pred);
              }),
              "100" "011" "0" "10");
    EXPECT_EQ(bitsOf([&](Engine& e, BitWriter& w) {
                  int pred = 0;
                  putIntraBlock(&e, w, BlockCoding{true, 0, 1}, levels, 0, pred);
              }),
              "100" "11" "0" "10");
    // Non-intra: a leading +-1 at run 0 is "1s"; later ones "11s".
    int16_t inter[64] = {};
    inter[0] = -1;
    inter[1] = 1;
    EXPECT_EQ(bitsOf([&](Engine& e, BitWriter& w) { putNonIntraBlock(&e, w, BlockCoding{true, 0, 0}, inter); }),
              "11" "110" "10");
}

// Whole blocks with every kind of pair (table codes at the table's edges,
// escapes past them, long runs, both tables and scans, blocks far longer
// than a word) come out as the DC code, each pair as putRunLevel writes it
// alone, and the end code, in order; the DC-less non-intra start and an
// out-of-range level midway keep the bits before it.
TEST(Vlc, BlocksAreTheirPairsInOrder) {
    std::mt19937 rng(5);
    const int kLevels[] = {1, -1, 2, -2, 5, -5, 6, -6, 17, -17, 40, -40, 41, -41, 200, -255, 2047, -2047};
    for (int trial = 0; trial < 400; ++trial) {
        const bool mpeg2 = trial % 5 != 0, b15 = trial % 3 == 1, alternate = trial % 4 == 1, intra = trial % 2 == 0;
        int16_t levels[64] = {};
        const int density = 1 + static_cast<int>(rng() % 8);
        for (int i = 0; i < 64; ++i)
            if (rng() % density == 0) {
                int v = kLevels[rng() % std::size(kLevels)];
                if (!mpeg2) v = std::clamp(v, -255, 255);
                levels[i] = static_cast<int16_t>(v);
            }
        if (intra) levels[0] = static_cast<int16_t>(static_cast<int>(rng() % 200) - 100);
        const BlockCoding coding{mpeg2, intra && b15 ? 1 : 0, alternate ? 1 : 0};
        const uint8_t* scan = alternate ? kAlternateScan : kZigzagScan;
        const std::string whole = bitsOf([&](Engine& e, BitWriter& w) {
            int pred = 7;
            EXPECT_TRUE(intra ? putIntraBlock(&e, w, coding, levels, 0, pred) : putNonIntraBlock(&e, w, coding, levels));
        });
        const std::string pairs = bitsOf([&](Engine& e, BitWriter& w) {
            int first = 0, last = -1;
            if (intra) {
                int16_t dcOnly[64] = {};
                dcOnly[0] = levels[0];
                int pred = 7;
                putIntraBlock(&e, w, coding, dcOnly, 0, pred);
                first = 1;
                last = 0;
            } else if (levels[scan[0]] == 1 || levels[scan[0]] == -1) {
                w.putBits(levels[scan[0]] < 0 ? 0b11 : 0b10, 2);
                first = 1;
                last = 0;
            }
            for (int n = first; n < 64; ++n)
                if (levels[scan[n]] != 0) {
                    EXPECT_TRUE(putRunLevel(&e, w, mpeg2, intra && b15, n - last - 1, levels[scan[n]]));
                    last = n;
                }
            if (!intra) w.putBits(0b10, 2);
        });
        // The DC-only intra block ended with its own end code; the pairs go
        // between the DC code and that end code.
        const size_t end = intra && b15 ? 4 : 2;
        std::string expected = pairs;
        if (intra) {
            const std::string dc = bitsOf([&](Engine& e, BitWriter& w) {
                int16_t dcOnly[64] = {};
                dcOnly[0] = levels[0];
                int pred = 7;
                putIntraBlock(&e, w, coding, dcOnly, 0, pred);
            });
            const std::string head = dc.substr(0, dc.size() - end);
            expected = head + pairs.substr(dc.size()) + dc.substr(dc.size() - end);
        }
        ASSERT_EQ(whole, expected) << "trial " << trial;
    }
    // A level out of range midway: false, with the pairs before it written.
    RecordingHost host;
    const std::string cut = bitsOf(
        [](Engine& e, BitWriter& w) {
            int16_t levels[64] = {};
            for (int i = 0; i < 20; ++i) levels[kZigzagScan[i]] = 3;
            levels[kZigzagScan[20]] = 300;
            EXPECT_FALSE(putNonIntraBlock(&e, w, BlockCoding{false, 0, 0}, levels));
        },
        &host);
    const std::string three = bitsOf([](Engine& e, BitWriter& w) { putRunLevel(&e, w, false, false, 0, 3); });
    std::string twenty;
    for (int i = 0; i < 20; ++i) twenty += three;
    EXPECT_EQ(cut, twenty);
    ASSERT_EQ(host.errors.size(), 1u);
}

// Every code table must be prefix-free, or a decoder would misread it.
void expectPrefixFree(const std::vector<std::string>& codes, const char* name) {
    for (size_t a = 0; a < codes.size(); ++a)
        for (size_t b = 0; b < codes.size(); ++b)
            if (a != b) {
                EXPECT_NE(codes[b].rfind(codes[a], 0), 0u) << name << ": " << codes[a] << " prefixes " << codes[b];
            }
}

TEST(VlcTables, EveryTableIsPrefixFree) {
    auto collect = [](const auto& table, int first) {
        std::vector<std::string> v;
        for (size_t i = static_cast<size_t>(first); i < table.size(); ++i)
            if (table[i].length) v.push_back(bin(table[i].code, table[i].length));
        return v;
    };
    std::vector<std::string> b1 = collect(kTableB1, 1);
    b1.push_back(bin(kMacroblockEscape.code, kMacroblockEscape.length));
    EXPECT_EQ(b1.size(), 34u);
    expectPrefixFree(b1, "B-1");
    for (const auto* t : {&kTableB2, &kTableB3, &kTableB4}) expectPrefixFree(collect(*t, 0), "B-2/3/4");
    EXPECT_EQ(collect(kTableB3, 0).size(), 7u);
    EXPECT_EQ(collect(kTableB4, 0).size(), 11u);
    EXPECT_EQ(collect(kTableB9, 0).size(), 64u);
    expectPrefixFree(collect(kTableB9, 0), "B-9");
    // Motion codes with their sign bit.
    std::vector<std::string> b10{"1"};
    for (int m = 1; m <= 16; ++m)
        for (const char* sign : {"0", "1"}) b10.push_back(bin(kTableB10[static_cast<size_t>(m)].code, kTableB10[static_cast<size_t>(m)].length) + sign);
    expectPrefixFree(b10, "B-10");
    expectPrefixFree(collect(kTableB12, 0), "B-12");
    expectPrefixFree(collect(kTableB13, 0), "B-13");
    for (int t = 0; t < 2; ++t) {
        const CoefficientTable& table = t ? kTableB15 : kTableB14;
        std::vector<std::string> codes{"000001", t ? "0110" : "10"};
        int count = 0;
        for (int run = 0; run < 32; ++run)
            for (int level = 1; level <= 40; ++level) {
                const VlcCode& c = table[static_cast<size_t>(run)][static_cast<size_t>(level)];
                if (!c.length) continue;
                ++count;
                for (const char* sign : {"0", "1"}) codes.push_back(bin(c.code, c.length) + sign);
            }
        EXPECT_EQ(count, 111) << (t ? "B-15" : "B-14");
        expectPrefixFree(codes, t ? "B-15" : "B-14");
    }
}

// B-12 and B-13 use up the whole code space, and B-10 (with its sign bits)
// all of it but the three 8-bit prefixes 0000 0010, 0000 0001 and
// 0000 0000: a wrong code length shows in the sum.
TEST(VlcTables, CompleteTablesFillTheCodeSpace) {
    auto kraft = [](const auto& table, bool sign) {
        double sum = 0;
        for (size_t i = 0; i < table.size(); ++i)
            if (table[i].length) sum += std::ldexp(i > 0 && sign ? 2.0 : 1.0, -(table[i].length + (i > 0 && sign ? 1 : 0)));
        return sum;
    };
    EXPECT_DOUBLE_EQ(kraft(kTableB10, true), 1.0 - 3.0 / 256);
    EXPECT_DOUBLE_EQ(kraft(kTableB12, false), 1.0);
    EXPECT_DOUBLE_EQ(kraft(kTableB13, false), 1.0);
}

}  // namespace
}  // namespace quillon::testing

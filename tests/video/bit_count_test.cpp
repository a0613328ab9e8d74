// The counting sink against the writer: every syntax element, put once
// through a BitWriter and once through a BitCounter from the same bit
// phase, must take the same number of bits, so a decision that costs a
// candidate by counting pays exactly what writing it will cost.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "engine/bit_writer.h"
#include "engine/presets.h"
#include "tests/support/temp_dir.h"
#include "tests/video/video_test_util.h"
#include "video/dsp/scan_mask.h"
#include "video/dsp/vlc.h"
#include "video/encoder/encoder_setup.h"
#include "video/encoder/picture_writer.h"
#include "video/encoder/stream_headers.h"

namespace quillon {
namespace {

class CountCheck {
public:
    CountCheck() : engine_(host_) { EXPECT_TRUE(writer_.open(engine_, dir_.file("bits"))); }

    // put(sink) once into the writer and once into a counter, both three
    // bits into a byte so alignment counts too. Returns the bits written.
    template <class Put>
    double expectSame(Put&& put, const std::string& what) {
        writer_.putBits(0b101, 3);
        const double start = writer_.totalBits();
        put(writer_);
        const double written = writer_.totalBits() - start;
        BitCounter counter(static_cast<uint64_t>(start));
        put(counter);
        EXPECT_EQ(counter.totalBits() - start, written) << what;
        return written;
    }
    Engine& engine() { return engine_; }
    ~CountCheck() {
        writer_.alignToByte();
        writer_.close();
    }

private:
    testing::TempDir dir_;
    testing::RecordingHost host_;
    Engine engine_;
    BitWriter writer_;
};

TEST(BitCount, HeadersOfEveryPresetAndOption) {
    CountCheck check;
    for (int kind = 0; kind < 5; ++kind)
        for (int pal : {0, 1})
            for (int variant = 0; variant < 3; ++variant) {
                testing::RecordingHost host;
                Engine engine(host);
                applyPreset(engine.work, kind, pal, 1);
                engine.work.constBitrateFlag = variant == 1;
                engine.work.videoPulldownFlag = variant == 2 ? 2 : 0;
                VideoEncoder enc(engine);
                enc.mpeg2 = kind >= 2;
                enc.geo = computeGeometry(enc.s, 352, pal ? 288 : 240);
                // Custom matrices put 64 more bytes each.
                enc.quant.loadIntra = enc.quant.loadNonIntra = variant == 2;
                enc.pic.pictureCodingType = 1 + variant;
                enc.pic.pictureStructure = variant == 1 ? kTopField : kFramePicture;
                enc.pic.fCode[0][0] = 3;
                enc.pic.fCode[1][0] = 2;
                enc.pic.vbvDelay = 1234 * variant;
                const std::string at = "kind " + std::to_string(kind) + " pal " + std::to_string(pal) + " variant " +
                                       std::to_string(variant);
                check.expectSame([&](auto& w) { putSequenceHeader(w, enc); }, "sequence header, " + at);
                check.expectSame([&](auto& w) { putSequenceExtension(w, enc); }, "sequence extension, " + at);
                check.expectSame([&](auto& w) { putSequenceDisplayExtension(w, enc); }, "display extension, " + at);
                check.expectSame([&](auto& w) { putGopHeader(w, enc, 1000 * variant, variant == 0); }, "GOP, " + at);
                check.expectSame([&](auto& w) { putPictureHeader(w, enc); }, "picture header, " + at);
                check.expectSame([&](auto& w) { putPictureCodingExtension(w, enc); }, "coding extension, " + at);
                check.expectSame([&](auto& w) { putPictureDisplayExtension(w, enc); }, "picture display, " + at);
                check.expectSame([&](auto& w) { putSvcdUserData(w, enc); }, "user data, " + at);
                check.expectSame([&](auto& w) { putSequenceEnd(w, enc); }, "sequence end, " + at);
            }
}

TEST(BitCount, MacroblockFieldsAndVectors) {
    CountCheck check;
    for (int increment : {1, 2, 33, 34, 66, 67, 100})
        check.expectSame([&](auto& w) { putAddressIncrement(w, increment); }, "increment " + std::to_string(increment));
    for (int pictureType : {kPictureI, kPictureP, kPictureB})
        for (int type = 0; type < 32; ++type)
            check.expectSame([&](auto& w) { putMacroblockType(w, pictureType, type); },
                             "type " + std::to_string(type));
    for (int fCode = 1; fCode <= 9; ++fCode) {
        const int f = 1 << (fCode - 1);
        for (int delta = -40 * f; delta <= 40 * f; delta += f > 8 ? f / 4 : 1)
            check.expectSame([&](auto& w) { putMotionDelta(nullptr, w, delta, fCode, false); },
                             "vector " + std::to_string(delta) + " f_code " + std::to_string(fCode));
    }
    for (int dm : {-1, 0, 1}) check.expectSame([&](auto& w) { putDmVector(w, dm); }, "dmvector");
    for (int blocks : {6, 8, 12})
        for (int cbp = 1; cbp < (1 << blocks); cbp += blocks == 12 ? 37 : 1)
            check.expectSame([&](auto& w) { putCodedBlockPattern(w, cbp, blocks); }, "cbp " + std::to_string(cbp));
}

TEST(BitCount, BlocksWithBothIntraTablesAndEveryEscape) {
    CountCheck check;
    // Every (run, level) a table holds and the escapes beyond, in both
    // syntaxes: MPEG-1's two escape lengths and MPEG-2's one.
    for (bool mpeg2 : {false, true})
        for (bool b15 : {false, true})
            for (int run = 0; run < 64; run += run < 4 ? 1 : 5)
                for (int level : {1, -1, 2, 5, -6, 40, -41, 127, -127, 128, -128, 255, -255, 256, 2047, -2047}) {
                    if (!mpeg2 && (level > 255 || level < -255)) continue;
                    const double bits = check.expectSame(
                        [&](auto& w) { EXPECT_TRUE(putRunLevel(nullptr, w, mpeg2, b15, run, level)); },
                        "run " + std::to_string(run) + " level " + std::to_string(level));
                    if (std::abs(level) > 40 || run > 31) EXPECT_GE(bits, 20.0);  // escapes
                }
    std::mt19937 rng(3);
    for (int trial = 0; trial < 600; ++trial) {
        const bool mpeg2 = trial % 2 != 0;
        const BlockCoding coding{mpeg2, (trial / 2) % 2, (trial / 4) % 2};
        int16_t levels[64] = {};
        const int count = static_cast<int>(rng() % 65);
        const int limit = mpeg2 ? 2047 : 255;
        for (int i = 0; i < count; ++i) {
            const int magnitude = rng() % 4 == 0 ? 1 + static_cast<int>(rng() % limit) : 1 + static_cast<int>(rng() % 3);
            levels[rng() % 64] = static_cast<int16_t>(rng() % 2 ? magnitude : -magnitude);
        }
        const uint64_t mask = scanOrderMask(levels, coding.alternateScan != 0);
        for (int component = 0; component < 3; ++component) {
            int predictorW = static_cast<int>(rng() % 200) - 100, predictorC = predictorW;
            levels[0] = static_cast<int16_t>(predictorW + static_cast<int>(rng() % (mpeg2 ? 2047 : 255)) - (mpeg2 ? 1023 : 127));
            bool first = true;
            check.expectSame(
                [&](auto& w) {
                    int& predictor = first ? predictorW : predictorC;
                    first = false;
                    EXPECT_TRUE(putIntraBlock(nullptr, w, coding, levels, mask, component, predictor));
                },
                "intra block, trial " + std::to_string(trial));
            EXPECT_EQ(predictorW, predictorC);
        }
        if (mask != 0)
            check.expectSame([&](auto& w) { EXPECT_TRUE(putNonIntraBlock(nullptr, w, coding, levels, mask)); },
                             "non-intra block, trial " + std::to_string(trial));
    }
}

TEST(BitCount, WholeMacroblocksLeaveTheSameSliceState) {
    CountCheck check;
    std::mt19937 rng(9);
    for (int trial = 0; trial < 1500; ++trial) {
        MacroblockSyntax p;
        p.pictureCodingType = 1 + trial % 3;
        p.fieldPicture = (trial / 3) % 2 != 0;
        p.framePredFrameDct = (trial / 6) % 3 == 0;
        p.qScaleType = (trial / 18) % 2;
        p.blockCount = trial % 5 == 0 ? 12 : trial % 7 == 0 ? 8 : 6;
        p.coding = BlockCoding{trial % 11 != 0, static_cast<int>(rng() % 2), static_cast<int>(rng() % 2)};
        for (auto& d : p.fCode)
            for (int& c : d) c = 1 + static_cast<int>(rng() % 5);
        MacroblockInfo mb;
        if (p.pictureCodingType == kPictureI || rng() % 4 == 0) {
            mb.type = kMbIntra;
        } else {
            mb.type = kMbMotionForward;
            if (p.pictureCodingType == kPictureB) mb.type = rng() % 3 == 0 ? kMbMotionBackward : rng() % 2 ? kMbMotionForward | kMbMotionBackward : kMbMotionForward;
        }
        mb.motionType = 1 + static_cast<int>(rng() % 3);
        if (mb.type & kMbMotionBackward && mb.motionType == kMotionDualPrime) mb.motionType = 1;
        mb.dctType = static_cast<int>(rng() % 2);
        mb.mquant = p.qScaleType ? 1 + static_cast<int>(rng() % 112) : 2 * (1 + static_cast<int>(rng() % 31));
        if (rng() % 2) mb.type |= kMbQuant;
        for (auto& a : mb.mv)
            for (auto& b : a)
                for (int& v : b) v = static_cast<int>(rng() % 61) - 30;
        for (auto& a : mb.fieldSelect)
            for (int& v : a) v = static_cast<int>(rng() % 2);
        mb.dualPrimeDelta[0] = static_cast<int>(rng() % 3) - 1;
        mb.dualPrimeDelta[1] = static_cast<int>(rng() % 3) - 1;
        Block levels[12] = {};
        uint64_t masks[12] = {};
        int cbp = 0;
        for (int b = 0; b < p.blockCount; ++b) {
            const bool coded = (mb.type & kMbIntra) || rng() % 3 != 0;
            cbp = cbp << 1 | (coded ? 1 : 0);
            if (!coded) continue;
            for (int n = static_cast<int>(rng() % 12); n > 0; --n)
                levels[b][rng() % 64] = static_cast<int16_t>(static_cast<int>(rng() % 41) - 20);
            levels[b][rng() % 64] = static_cast<int16_t>(rng() % 2 ? 1 : -1);  // never empty
            masks[b] = scanOrderMask(levels[b].data(), p.coding.alternateScan != 0);
        }
        mb.cbp = cbp;
        if (!(mb.type & kMbIntra) && cbp) mb.type |= kMbPattern;
        if (!(mb.type & kMbIntra) && !cbp) mb.type &= ~kMbQuant;
        SliceState start;
        start.addressIncrement = 1 + static_cast<int>(rng() % 40);
        start.prevMquant = 8;
        SliceState written = start, counted = start;
        bool first = true;
        check.expectSame(
            [&](auto& w) {
                SliceState& st = first ? written : counted;
                first = false;
                EXPECT_TRUE(putMacroblock(nullptr, w, p, mb, levels, masks, st));
            },
            "macroblock, trial " + std::to_string(trial));
        EXPECT_EQ(written.prevMquant, counted.prevMquant);
        EXPECT_EQ(written.addressIncrement, 1);
        for (int c = 0; c < 3; ++c) EXPECT_EQ(written.dcPred[c], counted.dcPred[c]);
        for (int a = 0; a < 2; ++a)
            for (int s = 0; s < 2; ++s)
                for (int c = 0; c < 2; ++c) EXPECT_EQ(written.pmv[a][s][c], counted.pmv[a][s][c]);
    }
}

}  // namespace
}  // namespace quillon

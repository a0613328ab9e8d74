#include <gtest/gtest.h>

#include <cmath>
#include <iterator>
#include <random>
#include <vector>

#include "audio/frame_coding.h"

namespace quillon::audio {
namespace {

TEST(FrameCoding, PaddingSpreadsTheFractionalSlot) {
    SlotPlan p = planSlots(2, 44100, 224);
    EXPECT_EQ(p.bitsPerSlot, 8);
    EXPECT_EQ(p.whole, 731);
    EXPECT_NEAR(p.frac, 3.0 / 7.0, 1e-9);
    PaddingSequence padding(p.frac);
    std::vector<int> got;
    for (int i = 0; i < 14; ++i) got.push_back(padding.next());
    EXPECT_EQ(got, (std::vector<int>{0, 1, 0, 1, 0, 1, 0, 0, 1, 0, 1, 0, 1, 0}));
    // Over a long run the padded share stays the fraction.
    int padded = 0;
    for (int i = 0; i < 7000; ++i) padded += padding.next();
    EXPECT_EQ(padded, 3000);

    SlotPlan exact = planSlots(2, 48000, 224);
    EXPECT_EQ(exact.whole, 672);
    EXPECT_EQ(exact.frac, 0.0);
    PaddingSequence none(exact.frac);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(none.next(), 0);

    EXPECT_EQ(planSlots(2, 32000, 64).whole, 288);
    EXPECT_EQ(planSlots(2, 32000, 64).frac, 0.0);
    SlotPlan one = planSlots(1, 44100, 384);
    EXPECT_EQ(one.bitsPerSlot, 32);
    EXPECT_EQ(one.whole, 104);
    EXPECT_NEAR(one.frac, 0.4897959, 1e-6);
    EXPECT_EQ(planSlots(1, 48000, 448).whole, 112);
    EXPECT_EQ(planSlots(1, 48000, 448).frac, 0.0);
}

// The intensity bound of each mode_extension, the allocation bits a Layer I
// CRC covers with it, and the bit rates Layer II leaves out per mode.
TEST(FrameCoding, JointStereoBoundAndLayerRules) {
    EXPECT_EQ(jointStereoBound(0, 32), 4);
    EXPECT_EQ(jointStereoBound(1, 32), 8);
    EXPECT_EQ(jointStereoBound(2, 32), 12);
    EXPECT_EQ(jointStereoBound(3, 32), 16);
    EXPECT_EQ(jointStereoBound(3, 12), 12);  // table B.2d
    EXPECT_EQ(jointStereoBound(2, 8), 8);    // table B.2c

    EXPECT_EQ(layerOneAllocationBits(1, 32), 128);
    EXPECT_EQ(layerOneAllocationBits(2, 32), 256);
    EXPECT_EQ(layerOneAllocationBits(2, 4), 144);
    EXPECT_EQ(layerOneAllocationBits(2, 16), 192);

    const int kbps[14] = {32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384};
    for (int k : kbps) {
        bool lowForTwo = k == 32 || k == 48 || k == 56 || k == 80;
        EXPECT_EQ(layerTwoAllowsBitrate(k, 2), !lowForTwo) << k;
        EXPECT_EQ(layerTwoAllowsBitrate(k, 1), k <= 192) << k;
    }
}

TEST(FrameCoding, AllocationTableByRateAndBitratePerChannel) {
    EXPECT_EQ(chooseAllocationTable(32000, 32).name, 'd');  // 64 kbit/s stereo
    EXPECT_EQ(chooseAllocationTable(32000, 32).sblimit, 12);
    EXPECT_EQ(chooseAllocationTable(48000, 96).name, 'a');  // 96 kbit/s single channel
    EXPECT_EQ(chooseAllocationTable(48000, 96).sblimit, 27);
    EXPECT_EQ(chooseAllocationTable(48000, 56).name, 'a');
    EXPECT_EQ(chooseAllocationTable(48000, 48).name, 'c');
    EXPECT_EQ(chooseAllocationTable(48000, 32).name, 'c');
    EXPECT_EQ(chooseAllocationTable(44100, 112).name, 'b');  // 224 kbit/s stereo
    EXPECT_EQ(chooseAllocationTable(44100, 80).name, 'a');
    EXPECT_EQ(chooseAllocationTable(44100, 56).name, 'a');
    EXPECT_EQ(chooseAllocationTable(44100, 48).name, 'c');
    EXPECT_EQ(chooseAllocationTable(32000, 48).name, 'd');
    EXPECT_EQ(chooseAllocationTable(32000, 192).name, 'b');
    EXPECT_EQ(samplingFrequencyCode(44100), 0);
    EXPECT_EQ(samplingFrequencyCode(48000), 1);
    EXPECT_EQ(samplingFrequencyCode(32000), 2);
    EXPECT_EQ(samplingFrequencyCode(22050), -1);
}

TEST(FrameCoding, ScaleFactorIndexIsTheSmallestEntryCoveringThePeak) {
    EXPECT_EQ(layerTwoScaleIndex(0.0), 63);
    EXPECT_EQ(layerOneScaleIndex(0.0), 62);
    EXPECT_EQ(layerTwoScaleIndex(1e-20), 63);
    EXPECT_EQ(layerTwoScaleIndex(2e-20), 62);
    EXPECT_EQ(layerTwoScaleIndex(2.0), 0);
    EXPECT_EQ(layerTwoScaleIndex(2.5), 0);
    EXPECT_EQ(layerOneScaleIndex(2.5), 0);
    for (int i = 0; i < 63; ++i) {
        EXPECT_EQ(layerTwoScaleIndex(kTableB1[i]), i);
        EXPECT_EQ(layerOneScaleIndex(kTableB1[i]), i);
    }
    // The binary search agrees with a linear one everywhere.
    for (double v = 3e-7; v < 2.2; v *= 1.013) {
        int linear = 0;
        for (int i = 63; i >= 0; --i)
            if (kTableB1[i] >= v) {
                linear = i;
                break;
            }
        ASSERT_EQ(layerTwoScaleIndex(v), linear) << v;
        ASSERT_EQ(layerOneScaleIndex(v), std::min(linear, 62)) << v;
    }
}

TEST(FrameCoding, ScfsiNeverTransmitsASmallerScaleFactorThanNeeded) {
    int equal[3] = {20, 20, 20};
    EXPECT_EQ(selectScfsi(equal), 2);
    int apart[3] = {5, 20, 40};
    EXPECT_EQ(selectScfsi(apart), 0);
    EXPECT_EQ(apart[1], 20);
    int firstTwo[3] = {10, 11, 30};  // "113"
    EXPECT_EQ(selectScfsi(firstTwo), 1);
    EXPECT_EQ(firstTwo[1], 10);
    EXPECT_EQ(firstTwo[2], 30);
    int dip[3] = {10, 9, 10};  // "222"
    EXPECT_EQ(selectScfsi(dip), 2);
    EXPECT_EQ(dip[0], 9);
    int peak[3] = {10, 12, 11};  // "444": the smaller of the outer two
    EXPECT_EQ(selectScfsi(peak), 2);
    EXPECT_EQ(peak[0], 10);
    EXPECT_EQ(peak[2], 10);
    for (int a = 0; a < 16; ++a)
        for (int b = 0; b < 16; ++b)
            for (int c = 0; c < 16; ++c) {
                int sf[3] = {a, b, c};
                int scfsi = selectScfsi(sf);
                ASSERT_LE(sf[0], a);
                ASSERT_LE(sf[1], b);
                ASSERT_LE(sf[2], c);
                // What scfsi says is shared is really equal.
                if (scfsi == 1) {
                    ASSERT_EQ(sf[0], sf[1]);
                }
                if (scfsi == 3) {
                    ASSERT_EQ(sf[1], sf[2]);
                }
                if (scfsi == 2) {
                    ASSERT_TRUE(sf[0] == sf[1] && sf[1] == sf[2]);
                }
            }
}

TEST(FrameCoding, QuantiserCodesStayWithinTheLevelsAndNearTheValue) {
    for (int c = 0; c < kQuantiserClassCount; ++c) {
        int levels = kQuantiserClasses[c].levels;
        EXPECT_EQ(quantise(0.0, c), static_cast<uint32_t>(levels / 2)) << c;
        uint32_t previous = 0;
        for (int i = -1000; i <= 1000; ++i) {
            double x = i / 1000.0;
            uint32_t code = quantise(x, c);
            ASSERT_LT(code, static_cast<uint32_t>(levels)) << c << " " << x;
            ASSERT_GE(code, previous);
            previous = code;
            double decoded = (2.0 * code + 1) / levels - 1;  // the level's centre
            ASSERT_LE(std::fabs(decoded - x), 1.0 / levels + 1e-9) << c << " " << x;
        }
    }
}

TEST(FrameCoding, CrcIsCrc16WithGenerator8005) {
    Crc16 crc;
    for (char ch : std::string("123456789")) crc.add(static_cast<uint8_t>(ch), 8);
    EXPECT_EQ(crc.value(), 0xAEE7);
    Crc16 split;  // fields of any width feed the same register
    split.add(0x313, 12);
    split.add(0x2, 4);
    Crc16 whole;
    whole.add(0x3132, 16);
    EXPECT_EQ(split.value(), whole.value());
}

// The tree picks what the allocation's scan would: the first pair in scan
// order among the smallest ratios below 999999, over random runs of steps
// with many equal ratios, signed zeros, huge values and NaN.
TEST(FrameCoding, SmallestRatioPicksWhatAScanPicks) {
    std::mt19937 rng(21);
    const double pool[] = {-3.5, 0.0, -0.0, 2.25, 7.0, 999998.0, 999999.0, 1e300, std::nan("")};
    auto draw = [&]() {
        if (rng() % 3 == 0) return pool[rng() % std::size(pool)];
        return static_cast<double>(static_cast<int>(rng() % 41) - 20) / 4;
    };
    for (int run = 0; run < 300; ++run) {
        double ratio[64];
        bool active[64];
        SmallestRatio tree;
        tree.reset();
        for (int leaf = 0; leaf < 64; ++leaf) {
            active[leaf] = rng() % 5 != 0;
            ratio[leaf] = draw();
            if (active[leaf]) tree.put(leaf, ratio[leaf]);
        }
        tree.build();
        for (int step = 0; step < 200; ++step) {
            int want = -1;
            double best = 999999;
            for (int leaf = 0; leaf < 64; ++leaf)
                if (active[leaf] && ratio[leaf] < best) {
                    best = ratio[leaf];
                    want = leaf;
                }
            ASSERT_EQ(tree.pick(), want) << "run " << run << " step " << step;
            if (want < 0) break;
            if (rng() % 4 == 0) {
                active[want] = false;
                tree.finish(want);
            } else {
                ratio[want] = draw();
                tree.set(want, ratio[want]);
            }
        }
    }
}

}  // namespace
}  // namespace quillon::audio

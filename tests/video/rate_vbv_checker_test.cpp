// The VBV checker must itself find faults before its silence means anything.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <vector>

#include "tests/support/temp_dir.h"
#include "tests/support/video_stream_check.h"

namespace quillon::testing {
namespace {

struct Bits {
    std::vector<uint8_t> bytes;
    uint64_t acc = 0;
    int n = 0;
    void put(uint32_t v, int count) {
        for (int i = count - 1; i >= 0; --i) {
            acc = (acc << 1) | ((v >> i) & 1);
            if (++n == 8) {
                bytes.push_back(static_cast<uint8_t>(acc));
                acc = 0;
                n = 0;
            }
        }
    }
    void align() {
        while (n) put(0, 1);
    }
};

// A CBR MPEG-1 stream at 1,152,000 bit/s with a 20 x 16 kbit buffer:
// pictures of the given sizes, vbv_delay from an ideal model that removes
// one picture every 1/25 s after an initial delay.
std::string makeStream(const TempDir& dir, const std::vector<int>& pictureBytes, double startDelaySeconds) {
    const double R = 2880 * 400.0;
    Bits b;
    b.put(0x1B3, 32);
    b.put(352, 12);
    b.put(288, 12);
    b.put(1, 4);
    b.put(3, 4);
    b.put(2880, 18);
    b.put(1, 1);
    b.put(20, 10);
    b.put(0, 3);
    b.put(0x1B8, 32);
    b.put(0, 27);
    b.align();
    for (size_t k = 0; k < pictureBytes.size(); ++k) {
        b.put(0x100, 32);
        const double t = startDelaySeconds + k / 25.0;
        const int delay = static_cast<int>(std::floor((t - 8.0 * b.bytes.size() / R) * 90000));
        b.put(0, 10);
        b.put(1, 3);
        b.put(static_cast<uint32_t>(std::clamp(delay, 0, 0xFFFF)), 16);
        b.put(0, 3);
        b.align();
        b.put(0x101, 32);
        b.put(5, 5);  // quantiser_scale_code
        b.align();
        for (int i = 0; i < pictureBytes[k] - 12; ++i) b.put(0x55, 8);
    }
    b.put(0x1B7, 32);
    std::string path = dir.file("s.m1v");
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(b.bytes.data()),
                                                static_cast<std::streamsize>(b.bytes.size()));
    return path;
}

TEST(VbvChecker, FindsUnderflowAndOverflowAndPassesAConformingStream) {
    TempDir dir;
    // 5760 bytes = 46,080 bits, exactly one picture period at this rate.
    std::vector<int> steady(30, 5760);
    VideoStreamLayout good = parseVideoStream(makeStream(dir, steady, 0.2));
    ASSERT_TRUE(good.ok) << good.error;
    EXPECT_EQ(good.pictures.size(), 30u);
    EXPECT_EQ(good.sequenceHeaders[0].bitRateValue, 2880u);
    EXPECT_EQ(good.sequenceHeaders[0].vbvBufferSize, 20u);
    EXPECT_EQ(good.pictures[3].maxQuantCode, 5);
    EXPECT_EQ(good.gops.size(), 1u);
    VbvReport ok = checkVbv(good);
    EXPECT_TRUE(ok.checked);
    EXPECT_EQ(ok.underflows, 0) << ok.firstProblem;
    EXPECT_EQ(ok.overflows, 0) << ok.firstProblem;
    EXPECT_NEAR(ok.maxFullness, 0.2 * 1152000, 50000);

    // One picture far above the channel's share: it is not in the buffer
    // when its time comes.
    std::vector<int> big = steady;
    big[10] = 40000;
    VbvReport under = checkVbv(parseVideoStream(makeStream(dir, big, 0.2)));
    EXPECT_GT(under.underflows, 0);

    // Small pictures removed only at the frame rate: the buffer fills beyond
    // its 327,680 bits.
    std::vector<int> tiny(30, 2000);
    VbvReport over = checkVbv(parseVideoStream(makeStream(dir, tiny, 0.2)));
    EXPECT_GT(over.overflows, 0);
    EXPECT_EQ(over.underflows, 0);
}

}  // namespace
}  // namespace quillon::testing

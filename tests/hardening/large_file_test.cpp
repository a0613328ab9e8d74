// Streams beyond 4 GB: a sparse file with start codes at its head and past
// the 32-bit limit. The reader's positions are doubles and must name the
// exact bit past 4 GB, where a 32-bit count would wrap.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <vector>
#include <string>

#include "engine/engine.h"
#include "mux/bit_reader.h"
#include "video/max_bitrate.h"
#include "tests/support/temp_dir.h"

namespace quillon {
namespace {

class QuietHost : public Host {
public:
    std::vector<std::string> errors;
    void messageBox(const std::string&, const std::string& text, MessageIcon, bool) override {
        errors.push_back(text);
    }
    bool askYesNo(const std::string&, const std::string&) override { return false; }
    std::unique_ptr<DialogView> createDialog() override { return nullptr; }
};

constexpr double kFar = 4.5e9;  // bytes: past 2^32

// Writes bytes at an offset of a sparse file; false when the file system
// refuses files this large.
bool putAt(const std::string& path, double offset, const std::vector<uint8_t>& bytes) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    if (fd < 0) return false;
    bool ok = ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)) ==
              static_cast<ssize_t>(bytes.size());
    return ::close(fd) == 0 && ok;
}

TEST(LargeStream, PositionsPastFourGigabytesAreExact) {
    testing::TempDir dir;
    const std::string path = dir.file("big.m2v");
    if (!putAt(path, 0, {0, 0, 1, 0xB3}) || !putAt(path, kFar, {0, 0, 1, 0xB8, 0xA5, 0x5A}))
        GTEST_SKIP() << "no sparse files of this size here";
    QuietHost host;
    Engine engine(host);
    BitReader r(engine);
    ASSERT_TRUE(r.open(path));
    uint32_t code;
    ASSERT_TRUE(r.readBits(32, code));
    EXPECT_EQ(code, 0x1B3u);
    // Skip to just short of the far start code, then find it.
    ASSERT_TRUE(r.skipBytes(kFar - 4 - 3));
    ASSERT_TRUE(r.search(0x000001B8, 32));
    EXPECT_EQ(r.position(), (kFar + 4) * 8);
    uint32_t v;
    ASSERT_TRUE(r.readBits(16, v));
    EXPECT_EQ(v, 0xA55Au);
    EXPECT_EQ(r.position(), (kFar + 6) * 8);
    // The end comes where the file ends, not at a wrapped count.
    EXPECT_FALSE(r.readBits(8, v));
    EXPECT_TRUE(r.endOfData());
    EXPECT_TRUE(host.errors.empty());

    // Skipping beyond the end is refused, however far.
    BitReader past(engine);
    ASSERT_TRUE(past.open(path));
    EXPECT_FALSE(past.skipBytes(kFar + 100));
    EXPECT_TRUE(past.endOfData());
}

// The max-bitrate pass patches sequence headers wherever the 32-bit offset
// records reach: past 2 GB (no signed wrap) up to 4 GB. Headers beyond 4 GB
// are not recorded and keep the value they were written with.
TEST(LargeStream, MaxBitrateEmbeddingReachesPastTwoGigabytes) {
    testing::TempDir dir;
    const std::string video = dir.file("big.m2v"), offsets = dir.file("tmp_s1");
    const double far = 3.5e9;
    if (!putAt(video, far + 64, {0}) || !putAt(video, 8, {0}))
        GTEST_SKIP() << "no sparse files of this size here";
    const uint32_t at = static_cast<uint32_t>(far);
    ASSERT_TRUE(putAt(offsets, 0, {8, 0, 0, 0, static_cast<uint8_t>(at), static_cast<uint8_t>(at >> 8),
                                   static_cast<uint8_t>(at >> 16), static_cast<uint8_t>(at >> 24)}));
    QuietHost host;
    Engine engine(host);
    ASSERT_TRUE(embedMaxBitrate(engine, video, offsets, 9800000, 112));
    uint8_t want[3];
    maxBitratePatch(9800000, 112, want);
    std::FILE* f = std::fopen(video.c_str(), "rb");
    ASSERT_TRUE(f);
    for (double offset : {8.0, far}) {
        ASSERT_EQ(fseeko(f, static_cast<off_t>(offset), SEEK_SET), 0);
        uint8_t got[3];
        ASSERT_EQ(std::fread(got, 1, 3, f), 3u);
        EXPECT_EQ(std::vector<uint8_t>(got, got + 3), std::vector<uint8_t>(want, want + 3)) << offset;
    }
    ASSERT_EQ(fseeko(f, 0, SEEK_END), 0);
    EXPECT_EQ(static_cast<double>(ftello(f)), far + 65);
    std::fclose(f);
    EXPECT_TRUE(host.errors.empty());
}

}  // namespace
}  // namespace quillon

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "engine/bit_writer.h"
#include "engine/engine.h"
#include "tests/support/temp_dir.h"

namespace quillon {
namespace {

class RecordingHost : public Host {
public:
    std::vector<std::string> messages;
    void messageBox(const std::string& caption, const std::string& text, MessageIcon, bool) override {
        messages.push_back(caption + ": " + text);
    }
    bool askYesNo(const std::string&, const std::string&) override { return true; }
    std::unique_ptr<DialogView> createDialog() override { return nullptr; }
};

std::vector<uint8_t> readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

TEST(BitWriter, WritesMostSignificantBitFirstAndCountsAlignment) {
    RecordingHost host;
    Engine engine(host);
    testing::TempDir dir;
    BitWriter w;
    ASSERT_TRUE(w.open(engine, dir.file("a.bin")));
    w.putBits(0x1B3, 12);
    w.putBit(1);
    w.alignToByte();
    EXPECT_EQ(w.totalBits(), 16.0);
    w.putBits(0xDEADBEEF, 32);
    w.close();
    std::vector<uint8_t> want = {0x1B, 0x38, 0xDE, 0xAD, 0xBE, 0xEF};
    EXPECT_EQ(readAll(dir.file("a.bin")), want);
}

TEST(BitWriter, FlushesAtBufferSizeAndRestoresAcrossAFlush) {
    RecordingHost host;
    Engine engine(host);
    testing::TempDir dir;
    BitWriter w;
    ASSERT_TRUE(w.open(engine, dir.file("b.bin")));
    for (int i = 0; i < kBitWriterBufferSize - 10; ++i) w.putBits(0x11, 8);
    std::vector<uint8_t> undo(kBitWriterBufferSize);
    WriterSnapshot snap;
    w.snapshot(snap, undo.data());
    // An attempt that crosses the buffer boundary, then is abandoned.
    for (int i = 0; i < 100; ++i) w.putBits(0x22, 8);
    w.restore(snap, undo.data());
    EXPECT_EQ(w.totalBits(), 8.0 * (kBitWriterBufferSize - 10));
    for (int i = 0; i < 20; ++i) w.putBits(0x33, 8);
    w.close();
    std::vector<uint8_t> data = readAll(dir.file("b.bin"));
    // The abandoned attempt wrote 90 bytes past the restored position; the
    // retry overwrote the first 20 of them.
    ASSERT_GE(data.size(), static_cast<size_t>(kBitWriterBufferSize + 10));
    for (int i = 0; i < kBitWriterBufferSize - 10; ++i) ASSERT_EQ(data[i], 0x11) << i;
    for (int i = 0; i < 20; ++i) ASSERT_EQ(data[kBitWriterBufferSize - 10 + i], 0x33) << i;
}

TEST(BitWriter, UnwritablePathReportsAndFails) {
    RecordingHost host;
    Engine engine(host);
    BitWriter w;
    EXPECT_FALSE(w.open(engine, "/nonexistent-dir/x.m1v"));
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_EQ(host.messages[0],
              "Quorvel Encoder - error: Unable to open file /nonexistent-dir/x.m1v for writing.");
}

TEST(BitWriter, FullDiskSetsTheWriteError) {
    RecordingHost host;
    Engine engine(host);
    BitWriter w;
    ASSERT_TRUE(w.open(engine, "/dev/full"));
    for (int i = 0; i < kBitWriterBufferSize + 5; ++i) w.putBits(0xAB, 8);
    EXPECT_TRUE(w.writeError());
    EXPECT_EQ(w.totalBits(), 8.0 * (kBitWriterBufferSize + 5));
}

// Runs of every length at every bit phase, across several buffer flushes,
// with a snapshot taken while bits wait in the accumulator and an attempt
// abandoned after it: the file holds exactly the bits put, most
// significant first, and the count stays exact.
TEST(BitWriter, RandomRunsMatchTheBitsPutAcrossFlushesAndARollBack) {
    RecordingHost host;
    Engine engine(host);
    testing::TempDir dir;
    BitWriter w;
    ASSERT_TRUE(w.open(engine, dir.file("r.bin")));
    std::mt19937 rng(11);
    std::vector<bool> want;
    auto put = [&](uint32_t value, int count, std::vector<bool>* into) {
        w.putBits(value, count);
        if (into)
            for (int i = count - 1; i >= 0; --i) into->push_back(((value >> i) & 1) != 0);
    };
    auto randomRuns = [&](size_t bits, std::vector<bool>* into) {
        const size_t end = (into ? into->size() : 0) + bits;
        size_t done = into ? into->size() : 0;
        while (done < end) {
            const int count = 1 + static_cast<int>(rng() % 32);
            put(static_cast<uint32_t>(rng()), count, into);
            done += static_cast<size_t>(count);
        }
    };
    randomRuns(3u * 8 * kBitWriterBufferSize / 2, &want);
    put(0x5, 3, &want);  // an odd phase: bits wait in the accumulator
    ASSERT_EQ(w.totalBits(), static_cast<double>(want.size()));
    std::vector<uint8_t> undo(kBitWriterBufferSize);
    WriterSnapshot snap;
    w.snapshot(snap, undo.data());
    std::vector<bool> abandoned = want;
    randomRuns(8u * kBitWriterBufferSize, &abandoned);  // crosses a flush
    w.restore(snap, undo.data());
    ASSERT_EQ(w.totalBits(), static_cast<double>(want.size()));
    randomRuns(100000, &want);
    while (want.size() % 8) put(0, 1, &want);
    EXPECT_EQ(w.bitsLeft(), 8);
    EXPECT_TRUE(w.close());
    const std::vector<uint8_t> data = readAll(dir.file("r.bin"));
    ASSERT_GE(data.size(), want.size() / 8);
    for (size_t i = 0; i < want.size(); ++i)
        ASSERT_EQ(((data[i / 8] >> (7 - i % 8)) & 1) != 0, want[i]) << "bit " << i;
}

// The file position the max-bitrate pass records counts whole bytes that
// still wait in the accumulator.
TEST(BitWriter, BytePositionCountsEveryCompleteByte) {
    RecordingHost host;
    Engine engine(host);
    testing::TempDir dir;
    BitWriter w;
    ASSERT_TRUE(w.open(engine, dir.file("p.bin")));
    for (int n = 1; n <= 200; ++n) {
        w.putBits(static_cast<uint32_t>(n), 1 + n % 32);
        EXPECT_EQ(w.bytePosition(), static_cast<int64_t>(w.totalBits()) / 8) << n;
    }
}

// Parts written into memory and moved, at every phase of the part's last
// byte and of the file writer's, give the file the bits put straight into
// it; a part past one buffer's worth says so instead of wrapping round.
TEST(BitWriter, PartsMadeInMemoryJoinAsIfPutDirectly) {
    RecordingHost host;
    Engine engine(host);
    testing::TempDir dir;
    std::mt19937 rng(5);
    BitWriter direct, joined, part;
    ASSERT_TRUE(direct.open(engine, dir.file("d.bin")));
    ASSERT_TRUE(joined.open(engine, dir.file("j.bin")));
    ASSERT_TRUE(part.openMemory());
    EXPECT_FALSE(part.isOpen());  // no file behind it
    for (int n = 0; n < 300; ++n) {
        // Parts of 0 to ~2400 bits, some crossing the file writer's flush.
        const int puts = n == 7 ? 0 : static_cast<int>(rng() % (n % 50 == 0 ? 60000 : 150));
        if (n % 3 == 0) {
            direct.alignToByte();
            joined.alignToByte();
        }
        for (int i = 0; i < puts; ++i) {
            const int count = 1 + static_cast<int>(rng() % 32);
            const uint32_t value = static_cast<uint32_t>(rng());
            direct.putBits(value, count);
            part.putBits(value, count);
        }
        ASSERT_FALSE(part.writeError());
        const double before = joined.totalBits();
        const double size = part.totalBits();
        part.moveTo(joined);
        EXPECT_EQ(joined.totalBits(), before + size);
        EXPECT_EQ(part.totalBits(), 0.0);
        ASSERT_EQ(joined.totalBits(), direct.totalBits()) << n;
    }
    direct.alignToByte();
    joined.alignToByte();
    ASSERT_TRUE(direct.close());
    ASSERT_TRUE(joined.close());
    const std::vector<uint8_t> want = readAll(dir.file("d.bin"));
    ASSERT_GT(want.size(), static_cast<size_t>(kBitWriterBufferSize));
    EXPECT_TRUE(readAll(dir.file("j.bin")) == want);

    for (int i = 0; i < kBitWriterBufferSize / 4 + 1; ++i) part.putBits(0xffffffffu, 32);
    EXPECT_TRUE(part.writeError());
    part.forget();
    EXPECT_FALSE(part.writeError());
    part.putBits(0xA5, 8);
    EXPECT_EQ(part.totalBits(), 8.0);
}

}  // namespace
}  // namespace quillon

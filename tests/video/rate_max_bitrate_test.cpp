#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include "engine/engine.h"
#include "tests/support/temp_dir.h"
#include "video/encoder/max_bitrate.h"

namespace quillon {
namespace {

class RecordingHost : public Host {
public:
    std::vector<std::string> messages;
    std::vector<std::string> lines;
    void messageBox(const std::string& caption, const std::string& text, MessageIcon, bool) override {
        messages.push_back(caption + ": " + text);
    }
    void logLine(const std::string& text) override { lines.push_back(text); }
    bool askYesNo(const std::string&, const std::string&) override { return true; }
    std::unique_ptr<DialogView> createDialog() override { return nullptr; }
};

std::vector<uint8_t> readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

void writeAll(const std::string& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// A sequence header with bit_rate_value 0 and the given vbv_buffer_size.
std::vector<uint8_t> sequenceHeader(int vbvBufferSize) {
    std::vector<uint8_t> h = {0x00, 0x00, 0x01, 0xB3, 0x2C, 0x01, 0x20, 0x13};
    // bit_rate_value 18 bits, marker, vbv_buffer_size_value 10 bits, constrained 0, two load flags 0
    uint64_t bits = (0ull << 14) | (1ull << 13) | (static_cast<uint64_t>(vbvBufferSize & 0x3FF) << 3);
    for (int k = 3; k >= 0; --k) h.push_back(static_cast<uint8_t>(bits >> (8 * k)));
    return h;
}

struct Fields {
    uint32_t bitRate;
    int marker;
    int vbv;
};
Fields parse(const std::vector<uint8_t>& s, size_t at) {
    uint64_t v = 0;
    for (int k = 0; k < 4; ++k) v = (v << 8) | s[at + 8 + k];
    // 32 bits: 18 bit_rate, 1 marker, 10 vbv, 3 more
    return {static_cast<uint32_t>(v >> 14), static_cast<int>((v >> 13) & 1), static_cast<int>((v >> 3) & 0x3FF)};
}

TEST(MaxBitrate, PatchHoldsTheRateInUnitsOf400AndKeepsTheBufferSize) {
    std::vector<uint8_t> h = sequenceHeader(112);
    uint8_t patch[3];
    maxBitratePatch(7654321, 112, patch);
    EXPECT_EQ(patch[0], 0x12);
    EXPECT_EQ(patch[1], 0xB0);
    EXPECT_EQ(patch[2], 0x23);
    std::copy(patch, patch + 3, h.begin() + 8);
    Fields f = parse(h, 0);
    EXPECT_EQ(f.bitRate, 19136u);  // ceil(7,654,321 / 400)
    EXPECT_EQ(f.marker, 1);
    EXPECT_EQ(f.vbv, 112);
    // An exact multiple is not rounded up.
    maxBitratePatch(400 * 15000, 112, patch);
    std::copy(patch, patch + 3, h.begin() + 8);
    EXPECT_EQ(parse(h, 0).bitRate, 15000u);
}

TEST(MaxBitrate, EmbeddingPatchesEveryRecordedHeaderAndNothingElse) {
    RecordingHost host;
    Engine engine(host);
    testing::TempDir dir;
    std::vector<uint8_t> stream;
    std::vector<uint8_t> offsets;
    for (int gop = 0; gop < 3; ++gop) {
        uint32_t at = static_cast<uint32_t>(stream.size()) + 8;
        for (int k = 0; k < 4; ++k) offsets.push_back(static_cast<uint8_t>(at >> (8 * k)));
        std::vector<uint8_t> h = sequenceHeader(112);
        stream.insert(stream.end(), h.begin(), h.end());
        for (int k = 0; k < 300 + gop; ++k) stream.push_back(static_cast<uint8_t>(k * 7));
    }
    offsets.push_back(0xAB);  // a torn last record is ignored
    writeAll(dir.file("v.m2v"), stream);
    writeAll(dir.file("tmp_s1"), offsets);
    ASSERT_TRUE(embedMaxBitrate(engine, dir.file("v.m2v"), dir.file("tmp_s1"), 9800000, 112));
    std::vector<uint8_t> out = readAll(dir.file("v.m2v"));
    ASSERT_EQ(out.size(), stream.size());
    size_t changed = 0;
    for (size_t k = 0; k < out.size(); ++k) changed += out[k] != stream[k];
    EXPECT_LE(changed, 9u);
    for (int gop = 0; gop < 3; ++gop) {
        size_t at = offsets[4 * gop] | (offsets[4 * gop + 1] << 8);
        Fields f = parse(out, at - 8);
        EXPECT_EQ(f.bitRate, 24500u);
        EXPECT_EQ(f.vbv, 112);
    }
    std::vector<std::string> want = {" ", "Embedding max bitrate value in sequence headers ..."};
    EXPECT_EQ(host.lines, want);
    EXPECT_TRUE(host.messages.empty());

    // Missing files give their messages.
    EXPECT_FALSE(embedMaxBitrate(engine, dir.file("none.m2v"), dir.file("tmp_s1"), 1, 112));
    EXPECT_FALSE(embedMaxBitrate(engine, dir.file("v.m2v"), dir.file("none"), 1, 112));
    std::vector<std::string> messages = {"Quorvel Encoder - error: Unable to open video stream.",
                                         "Quorvel Encoder - error: Unable to open temporary max bitrate file."};
    EXPECT_EQ(host.messages, messages);
}

TEST(MaxBitrate, OffsetsFileTakesAFreshTemporaryNameAndIsRemoved) {
    RecordingHost host;
    Engine engine(host);
    testing::TempDir dir;
    // TMP steers the temporary names; put it back for the tests after this.
    const char* oldTmp = std::getenv("TMP");
    std::string savedTmp = oldTmp ? oldTmp : "";
    struct Restore {
        std::string value;
        bool had;
        ~Restore() { had ? ::setenv("TMP", value.c_str(), 1) : ::unsetenv("TMP"); }
    } restore{savedTmp, oldTmp != nullptr};
    ::setenv("TMP", dir.path().c_str(), 1);
    engine.work.videoType = 2;
    VideoEncoder a(engine), b(engine);
    ASSERT_TRUE(openMaxBitrateFile(a));
    ASSERT_TRUE(openMaxBitrateFile(b));
    EXPECT_EQ(a.maxBitrateFileName, dir.file("tmp_s1"));
    EXPECT_EQ(b.maxBitrateFileName, dir.file("tmp_s2"));
    ASSERT_TRUE(a.writer.open(engine, dir.file("a.m2v")));
    a.writer.putBits(0, 32);
    recordSequenceHeaderOffset(a);
    closeMaxBitrateFile(a);
    std::vector<uint8_t> want = {12, 0, 0, 0};
    EXPECT_EQ(readAll(a.maxBitrateFileName), want);
    std::string name = a.maxBitrateFileName;
    removeMaxBitrateFile(a);
    removeMaxBitrateFile(b);
    removeMaxBitrateFile(b);
    EXPECT_FALSE(std::filesystem::exists(name));
    EXPECT_FALSE(std::filesystem::exists(dir.file("tmp_s2")));

    // An unusable directory is reported.
    ::setenv("TMP", "/proc/nonexistent-dir", 1);
    std::filesystem::path cwd = std::filesystem::current_path();
    std::filesystem::current_path("/proc");
    VideoEncoder c(engine);
    EXPECT_FALSE(openMaxBitrateFile(c));
    std::filesystem::current_path(cwd);
    ASSERT_FALSE(host.messages.empty());
    EXPECT_EQ(host.messages.back(), "Quorvel Encoder - error: Could not create temporary max bitrate output file.");

    EncoderSettings s;
    s.videoType = 2;
    EXPECT_TRUE(needsMaxBitrateEmbedding(s));
    s.maxBitrate = 1000;
    EXPECT_FALSE(needsMaxBitrateEmbedding(s));
    s.maxBitrate = 0;
    s.constBitrateFlag = 1;
    EXPECT_FALSE(needsMaxBitrateEmbedding(s));
    s.constBitrateFlag = 0;
    s.videoType = 1;
    EXPECT_FALSE(needsMaxBitrateEmbedding(s));
}

}  // namespace
}  // namespace quillon

// Streams beyond 4 GB: sparse files with start codes at their head and past
// the 32-bit limit, and a stream made on the fly through a named pipe. The
// reader's positions are doubles and must name the exact bit past 4 GB,
// where a 32-bit count would wrap; the scanners' units and totals must hold
// there too.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "engine/engine.h"
#include "engine/presets.h"
#include "engine/format.h"
#include "mux/bit_reader.h"
#include "mux/multiplex_step.h"
#include "mux/multiplexer.h"
#include "mux/stream_scan.h"
#include "mux/units_file.h"
#include "video/encoder/max_bitrate.h"
#include "tests/support/av_reader.h"
#include "tests/support/program_stream_walk.h"
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

std::vector<VideoUnitRecord> readVideoUnits(const std::string& path) {
    std::vector<VideoUnitRecord> units;
    UnitsFile f;
    if (!f.openForReading(path)) return units;
    VideoUnitRecord r;
    while (f.read(r)) units.push_back(r);
    return units;
}

// The scan reads every byte: holes read fast from a memory file system, a
// disk file system may take many seconds for the same 4 GB of zeros.
std::filesystem::path sparseBase() {
    std::error_code ec;
    if (std::filesystem::is_directory("/dev/shm", ec) && ::access("/dev/shm", W_OK) == 0) return "/dev/shm";
    return std::filesystem::temp_directory_path();
}

// A real MPEG-1 stream of six pictures (I then five P) cut at its picture
// start codes, the pieces laid out so the units run past 4 GB: the first two
// together at the head, the others 1.1 GB apart, zero bytes between them,
// and a sequence end code. Zero bytes before a start code are stuffing, so
// this is a valid stream; the P pictures' bytes add up past 32 bits.
TEST(LargeStream, VideoScanCountsUnitsAndTotalsPastFourGigabytes) {
    testing::TempDir dir(sparseBase());
    const std::string small = dir.file("six.m1v");
    ASSERT_TRUE(testing::runCommand("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=32x32:rate=25 -frames:v 6 "
                                    "-c:v mpeg1video -g 6 -bf 0 -threads 1 -f mpeg1video '" + small + "'"));
    const std::vector<uint8_t> bytes = testing::readFile(small);
    std::vector<size_t> starts;
    for (size_t i = 0; i + 3 < bytes.size(); ++i)
        if (bytes[i] == 0 && bytes[i + 1] == 0 && bytes[i + 2] == 1 && bytes[i + 3] == 0) starts.push_back(i);
    ASSERT_EQ(starts.size(), 6u);
    std::vector<std::vector<uint8_t>> pieces;
    for (size_t k = 0; k < 6; ++k) {
        const size_t from = k == 0 ? 0 : starts[k];
        const size_t to = k + 1 < 6 ? starts[k + 1] : bytes.size();
        pieces.emplace_back(bytes.begin() + static_cast<ptrdiff_t>(from), bytes.begin() + static_cast<ptrdiff_t>(to));
    }
    pieces[5].insert(pieces[5].end(), {0, 0, 1, 0xB7});
    const double gap = 1.1e9;
    std::vector<double> at(6);
    at[1] = static_cast<double>(pieces[0].size());
    for (size_t k = 2; k < 6; ++k) at[k] = (k - 1) * gap;
    const std::string path = dir.file("long.m1v");
    for (size_t k = 0; k < 6; ++k)
        if (!putAt(path, at[k], pieces[k])) GTEST_SKIP() << "no sparse files of this size here";
    const double size = at[5] + static_cast<double>(pieces[5].size());
    ASSERT_GT(at[5], 4294967296.0);

    QuietHost host;
    Engine engine(host);
    applyPreset(engine.work, kKindMpeg1, 1, 1);
    VideoStreamInfo info;
    uint32_t unitCount = 0;
    double earliest = 0;
    const std::string units = dir.file("tmp_v1");
    ASSERT_TRUE(scanVideoStream(engine, path, units, info, size, unitCount, earliest))
        << (host.errors.empty() ? "" : host.errors[0]);
    EXPECT_TRUE(host.errors.empty());
    EXPECT_EQ(info.pictures, 6u);
    EXPECT_EQ(info.typeCount[0], 1u);
    EXPECT_EQ(info.typeCount[1], 5u);
    EXPECT_EQ(info.sequenceEnds, 1u);
    EXPECT_EQ(unitCount, 7u);
    EXPECT_EQ(info.streamLength, size);

    // Each unit runs from its picture (the first from the sequence header)
    // to the next; lengths and times as the layout says.
    const std::vector<VideoUnitRecord> records = readVideoUnits(units);
    ASSERT_EQ(records.size(), 6u);
    double total = 0;
    for (size_t k = 0; k < 6; ++k) {
        const double end = k + 1 < 6 ? at[k + 1] : size;
        EXPECT_EQ(records[k].length, static_cast<uint32_t>(end - at[k])) << k;
        EXPECT_EQ(records[k].pictureType, k == 0 ? 1 : 2) << k;
        EXPECT_EQ(records[k].dts.ticks(), k * 1080000.0) << k;
        EXPECT_EQ(records[k].pts.ticks(), (k + 1) * 1080000.0) << k;
        total += records[k].length;
    }
    EXPECT_EQ(total, size);
    const double pTotal = size - at[1];
    ASSERT_GT(pTotal, 4294967296.0);
    EXPECT_EQ(info.typeBytes[0], static_cast<uint32_t>(at[1]));
    EXPECT_EQ(info.typeBytes[1], static_cast<uint32_t>(pTotal / 5));
    EXPECT_EQ(info.computedAverageRate, static_cast<uint32_t>(std::trunc(size / 6 / 0.04 * 0.0008)) * 25);
}

// Frames made on the fly: Layer II, 320 kbit/s at 32 kHz, 1440 bytes each,
// every one a header and silence.
constexpr uint8_t kLayer2Header[4] = {0xFF, 0xFD, 0xD8, 0x00};
constexpr size_t kFrameBytes = 1440;

// Writes frames into a named pipe; a reader that goes away ends it.
void feedFrames(const std::string& pipe, uint64_t frames) {
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &block, nullptr);
    const int fd = ::open(pipe.c_str(), O_WRONLY);
    if (fd < 0) return;
    constexpr uint64_t kPerChunk = 728;
    std::vector<uint8_t> chunk(kPerChunk * kFrameBytes, 0);
    for (uint64_t f = 0; f < kPerChunk; ++f) std::copy(kLayer2Header, kLayer2Header + 4, chunk.begin() + f * kFrameBytes);
    for (uint64_t done = 0; done < frames;) {
        const uint64_t n = std::min(kPerChunk, frames - done);
        const uint8_t* p = chunk.data();
        size_t left = n * kFrameBytes;
        while (left > 0) {
            const ssize_t w = ::write(fd, p, left);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                ::close(fd);
                return;
            }
            p += w;
            left -= static_cast<size_t>(w);
        }
        done += n;
    }
    ::close(fd);
}

// Reads the audio units as the scanner writes them and keeps what a test
// checks: the count, the lengths, and every time stamp against its frame.
struct AudioUnitsCheck {
    uint64_t records = 0;
    double bytes = 0;
    uint64_t wrongLength = 0, wrongTime = 0;
    uint64_t firstWrongTime = UINT64_MAX;
    void run(const std::string& pipe) {
        std::FILE* f = std::fopen(pipe.c_str(), "rb");
        if (!f) return;
        AudioUnitRecord r;
        while (std::fread(&r, sizeof r, 1, f) == 1) {
            if (r.length != kFrameBytes) ++wrongLength;
            // 1152 samples at 32 kHz: 3240 of 90 kHz per frame, wrapping at 33 bits.
            const double base = std::fmod(static_cast<double>(records) * 3240.0, 8589934592.0);
            if (r.pts.base() != base || r.pts.extension != 0) {
                if (firstWrongTime == UINT64_MAX) firstWrongTime = records;
                ++wrongTime;
            }
            bytes += r.length;
            ++records;
        }
        std::fclose(f);
    }
};

// An audio stream cannot be sparse (a header every frame), so it is made on
// the fly; the units go to a pipe read as they are written. 3,000,000 frames
// are 4.32 GB and 30 hours: the positions pass 32 bits and the time stamps
// wrap at 33 bits of 90 kHz.
TEST(LargeStream, AudioScanPastFourGigabytes) {
    testing::TempDir dir;
    const std::string audio = dir.file("long.mpa"), units = dir.file("tmp_a1");
    if (::mkfifo(audio.c_str(), 0600) != 0 || ::mkfifo(units.c_str(), 0600) != 0)
        GTEST_SKIP() << "no named pipes here";
    constexpr uint64_t kFrames = 3000000;
    const double size = static_cast<double>(kFrames * kFrameBytes);
    ASSERT_GT(size, 4294967296.0);

    std::thread feeder(feedFrames, audio, kFrames);
    AudioUnitsCheck check;
    std::thread reader([&] { check.run(units); });
    QuietHost host;
    Engine engine(host);
    applyPreset(engine.work, kKindMpeg1, 1, 1);
    AudioStreamInfo info;
    uint32_t records = 0;
    const bool scanned = scanAudioStream(engine, audio, units, info, 0, size, records);
    // Whatever happened, no thread stays waiting for the other end of a pipe.
    for (const auto& [path, flags] : {std::pair{audio, O_RDONLY | O_NONBLOCK}, std::pair{units, O_WRONLY | O_NONBLOCK}}) {
        const int fd = ::open(path.c_str(), flags);
        if (fd >= 0) ::close(fd);
    }
    feeder.join();
    reader.join();

    ASSERT_TRUE(scanned) << (host.errors.empty() ? "" : host.errors[0]);
    EXPECT_TRUE(host.errors.empty());
    EXPECT_EQ(records, kFrames);
    EXPECT_EQ(info.syncWords, kFrames);
    EXPECT_EQ(info.frames[0], kFrames);
    EXPECT_EQ(info.frames[1], 0u);
    EXPECT_EQ(info.frameLength[0], kFrameBytes);
    EXPECT_EQ(info.streamLength, size);
    EXPECT_EQ(check.records, kFrames);
    EXPECT_EQ(check.bytes, size);
    EXPECT_EQ(check.wrongLength, 0u);
    EXPECT_EQ(check.wrongTime, 0u) << "first at frame " << check.firstWrongTime;
}

// A long output split into more numbered files than two digits count: 110
// GOPs of one I picture each, a mux rate above 1 MB/s so the split threshold
// (the size less a second of data) is below zero and every GOP starts a
// file. The names run out00.mpg .. out99.mpg, out100.mpg ..; every file is
// whole packs plus its end code, opens with a system header, clocks from 0
// and a sequence header, and together they hold each picture once.
TEST(LongOutput, SplitsIntoNumberedFilesPastTwoDigits) {
    testing::TempDir dir;
    const std::string ff = "ffmpeg -nostdin -v error -y -threads 1 ";
    const std::string video = dir.file("v.m2v"), audio = dir.file("a.mpa");
    constexpr int kPictures = 110;
    ASSERT_TRUE(testing::runCommand(ff + "-f lavfi -i testsrc=size=64x48:rate=25 -frames:v " +
                                    std::to_string(kPictures) + " -c:v mpeg2video -g 1 -b:v 400k -f mpeg2video '" +
                                    video + "'"));
    ASSERT_TRUE(testing::runCommand(ff + "-f lavfi -i sine=sample_rate=48000:duration=4.4 -ac 2 -c:a mp2 -b:a 192k "
                                         "-f mp2 '" + audio + "'"));
    std::filesystem::create_directory(dir.path() / "tmp");
    const char* oldTmp = std::getenv("TMP");
    const std::string savedTmp = oldTmp ? oldTmp : "";
    ::setenv("TMP", (dir.path() / "tmp").c_str(), 1);

    QuietHost host;
    Engine engine(host);
    applyPreset(engine.work, kKindMpeg2, 1, 1);
    engine.work.maxFileSize = 1;
    engine.work.userMuxRate = 25200;
    engine.work.resetClocks = 1;
    engine.job.programStreamName = dir.file("out.mpg");
    engine.job.videoStreamName = video;
    engine.job.audioStreamName = audio;
    const bool ok = runMultiplexStep(engine, true, true);
    if (oldTmp) ::setenv("TMP", savedTmp.c_str(), 1);
    else ::unsetenv("TMP");
    ASSERT_TRUE(ok) << (host.errors.empty() ? "" : host.errors[0]);
    EXPECT_TRUE(host.errors.empty());

    std::vector<std::string> files;
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
        if (e.path().filename().string().rfind("out", 0) == 0) files.push_back(e.path().filename().string());
    ASSERT_EQ(files.size(), static_cast<size_t>(kPictures));
    int pictures = 0;
    for (int i = 0; i < kPictures; ++i) {
        const std::string name = i < 100 ? formatText("out%02d.mpg", i) : formatText("out%d.mpg", i);
        ASSERT_EQ(splitFileName(dir.file("out.mpg"), i), dir.file(name));
        ASSERT_TRUE(std::filesystem::exists(dir.file(name))) << name;
        const std::vector<uint8_t> bytes = testing::readFile(dir.file(name));
        EXPECT_LE(bytes.size(), 1048576u) << name;
        EXPECT_EQ(bytes.size() % 2048, 4u) << name;
        bool parsed = false, endCode = false;
        const std::vector<testing::PackInfo> packs = testing::walkPacks(bytes, parsed, endCode);
        ASSERT_TRUE(parsed) << name;
        EXPECT_TRUE(endCode) << name;
        ASSERT_FALSE(packs.empty()) << name;
        for (const testing::PackInfo& pack : packs) EXPECT_EQ(pack.length, 2048u) << name;
        EXPECT_TRUE(packs[0].systemHeader) << name;
        EXPECT_EQ(packs[0].scr, 0) << name;
        bool sawVideo = false;
        for (const testing::PackInfo& pack : packs) {
            for (const testing::PacketInfo& k : pack.packets) {
                if (k.streamId != 0xE0) continue;
                ASSERT_GE(k.payloadLength, 4u);
                const uint8_t* v = bytes.data() + k.payloadOffset;
                EXPECT_TRUE(v[0] == 0 && v[1] == 0 && v[2] == 1 && v[3] == 0xB3) << name;
                sawVideo = true;
                break;
            }
            if (sawVideo) break;
        }
        EXPECT_TRUE(sawVideo) << name;
        testing::DecodedVideo d = testing::decodeVideo(dir.file(name));
        ASSERT_TRUE(d.opened) << name;
        pictures += static_cast<int>(d.pictures.size());
    }
    EXPECT_EQ(pictures, kPictures);
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.mpg")));
    EXPECT_TRUE(std::filesystem::is_empty(dir.path() / "tmp"));
}

}  // namespace
}  // namespace quillon

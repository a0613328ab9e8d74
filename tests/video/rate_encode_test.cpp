// End to end: constant-bitrate streams checked against an independent VBV
// model, variable-bitrate streams against their GOP limits, and the embedded
// maximum bitrate read back from the file; every stream decoded by libavcodec.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "engine/presets.h"
#include "tests/support/temp_dir.h"
#include "tests/support/video_stream_check.h"
#include "tests/video/rate_test_frames.h"
#include "tests/video/video_test_util.h"
#include "video/encoder/picture_loop.h"
#include "video/video_encoder.h"

namespace quillon::testing {
namespace {

struct RateRun {
    bool ok = false;
    VideoStreamLayout layout;
    VbvReport vbv;
    DecodedVideo video;
    std::vector<std::string> errors, warnings, lines;
    double seconds = 0;
    double bitsPerSecond = 0;
    int N = 1;  // pictures per GOP as configured
    StreamCheck check;  // against the encoder's pictures, when captured
};

template <typename Adjust>
RateRun encode(const TempDir& dir, int width, int height, int frames, int videoType, Adjust adjust,
               bool capture = false) {
    const std::string out = dir.file(videoType >= 2 ? "out.m2v" : "out.m1v");
    VideoJob job(width, height, frames, out, videoType, 4);
    PanningFrames source(width, height);
    job.engine.request.frameSource = &source;
    adjust(job.engine.work);
    RateRun r;
    r.N = job.engine.work.iFramesInGOP;
    CapturingObserver observer;
    r.ok = runVideoEncoder(job.engine, capture ? &observer : nullptr);
    r.errors = job.host.errors;
    r.warnings = job.host.warnings;
    r.lines = job.host.lines;
    r.layout = parseVideoStream(out);
    r.vbv = checkVbv(r.layout);
    r.video = decodeVideo(out);
    if (capture) r.check = compareWithEncoder(r.video, observer);
    r.seconds = frames / job.engine.work.frameRate;
    r.bitsPerSecond = 8.0 * r.layout.size / r.seconds;
    return r;
}

void expectDecoded(const RateRun& r, int frames) {
    EXPECT_TRUE(r.ok);
    EXPECT_TRUE(r.errors.empty()) << (r.errors.empty() ? "" : r.errors[0]);
    ASSERT_TRUE(r.video.opened);
    EXPECT_EQ(r.video.errors, 0);
    EXPECT_EQ(static_cast<int>(r.video.pictures.size()), frames);
}

bool hasLineStarting(const std::vector<std::string>& lines, const std::string& head) {
    return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(head, 0) == 0; });
}

// 20 s of the VideoCD preset: the rate within 2 %, the buffer never under-
// or overflowing by the stream's own vbv_delay values, and the encoder's
// model agreeing (no counts in its end lines).
void checkVideoCd(int width, int height, int tvStandard, int frames) {
    TempDir dir;
    RateRun r = encode(dir, width, height, frames, 1, [&](EncoderSettings& s) {
        applyPreset(s, kKindVcd, tvStandard, 1);
        ASSERT_EQ(s.constBitrateFlag, 1);
    });
    expectDecoded(r, frames);
    ASSERT_TRUE(r.vbv.checked);
    EXPECT_EQ(r.vbv.bitRate, 1150000);
    EXPECT_EQ(r.vbv.bufferBits, 20 * 16384);
    EXPECT_EQ(r.vbv.underflows, 0) << r.vbv.firstProblem;
    EXPECT_EQ(r.vbv.overflows, 0) << r.vbv.firstProblem;
    EXPECT_EQ(r.vbv.decodeTimeRegressions, 0) << r.vbv.firstProblem;
    EXPECT_NEAR(r.bitsPerSecond, 1150000, 0.02 * 1150000);
    EXPECT_FALSE(hasLineStarting(r.lines, "   VBV delay"));
    EXPECT_TRUE(hasLineStarting(r.lines, "   Avg mquant = "));
    // P and B pictures took part.
    int types[4] = {};
    for (const StreamPicture& p : r.layout.pictures) types[p.type & 3] += 1;
    EXPECT_GT(types[2], 0);
    EXPECT_GT(types[3], 0);
}

TEST(RateEncode, VideoCdNtscHoldsItsRateAndTheBuffer) { checkVideoCd(352, 240, 0, 600); }

TEST(RateEncode, VideoCdPalHoldsItsRateAndTheBuffer) { checkVideoCd(352, 288, 1, 500); }

TEST(RateEncode, ConstantBitrateMpeg2At6MbitHoldsTheBuffer) {
    TempDir dir;
    RateRun r = encode(dir, 720, 576, 50, 2, [](EncoderSettings& s) {
        applyPreset(s, kKindMpeg2, 1, 1);
        s.constBitrateFlag = 1;
        s.forceVBVDelay = 0;  // the preset writes 0xFFFF, which no checker can use
        ASSERT_EQ(s.constBitrate, 6000000);
    });
    expectDecoded(r, 50);
    ASSERT_TRUE(r.vbv.checked);
    EXPECT_EQ(r.vbv.bitRate, 6000000);
    EXPECT_EQ(r.vbv.bufferBits, 112 * 16384);
    EXPECT_EQ(r.vbv.underflows, 0) << r.vbv.firstProblem;
    EXPECT_EQ(r.vbv.overflows, 0) << r.vbv.firstProblem;
    EXPECT_NEAR(r.bitsPerSecond, 6000000, 0.03 * 6000000);
    EXPECT_FALSE(hasLineStarting(r.lines, "   VBV delay"));
}

TEST(RateEncode, ConstantBitrateFieldPicturesAreDecodedOneFieldApart) {
    TempDir dir;
    RateRun r = encode(dir, 352, 288, 40, 2, [](EncoderSettings& s) {
        applyPreset(s, kKindMpeg2, 1, 1);
        s.fieldPictures = 1;
        s.constBitrateFlag = 1;
        s.constBitrate = 3000000;
        s.forceVBVDelay = 0;
    });
    expectDecoded(r, 40);
    ASSERT_TRUE(r.vbv.checked);
    ASSERT_EQ(r.layout.pictures.size(), 80u);
    EXPECT_EQ(r.vbv.underflows, 0) << r.vbv.firstProblem;
    EXPECT_EQ(r.vbv.overflows, 0) << r.vbv.firstProblem;
    EXPECT_EQ(r.vbv.decodeTimeRegressions, 0) << r.vbv.firstProblem;
    // Every field picture is removed one field period after the one before.
    for (size_t k = 1; k < r.vbv.decodeTimes.size(); ++k)
        EXPECT_NEAR(r.vbv.decodeTimes[k] - r.vbv.decodeTimes[k - 1], 0.02, 3.0 / 90000) << k;
    EXPECT_NEAR(r.bitsPerSecond, 3000000, 0.05 * 3000000);
}

// Bits of each GOP as the encoder measured it: from its sequence header to
// the next one; the first GOP's own sequence header comes before the
// measurement starts.
std::vector<int64_t> measuredGopBits(const VideoStreamLayout& s) {
    std::vector<int64_t> bits;
    for (size_t k = 0; k < s.gops.size(); ++k) {
        int64_t bytes = s.gops[k].bytes;
        if (k == 0 && s.gops[0].gopHeaderOffset > 0) bytes -= s.gops[0].gopHeaderOffset - s.gops[0].offset;
        bits.push_back(8 * bytes);
    }
    return bits;
}

TEST(RateEncode, MaxBitrateRecodesGopsUntilTheyFit) {
    TempDir dir;
    const double maxBitrate = 1500000;
    RateRun r = encode(dir, 352, 288, 40, 2, [&](EncoderSettings& s) {
        applyPreset(s, kKindMpeg2, 1, 1);
        s.maxBitrate = maxBitrate;
        s.mquantValue = 2;
        s.verbose = 1;
    }, true);
    expectDecoded(r, 40);
    // Re-coded GOPs start from exactly the state of their first attempt: the
    // decoder sees the encoder's final pictures, of the right frames.
    EXPECT_LE(r.check.maxReconDifference, 2);
    EXPECT_GT(r.check.psnrY, 25);
    ASSERT_TRUE(r.layout.ok);
    // Not computed without constant bitrate; the MPEG-2 preset forces 0xFFFF.
    for (const StreamPicture& p : r.layout.pictures) EXPECT_EQ(p.vbvDelay, 0xFFFF);
    for (const StreamSequenceHeader& h : r.layout.sequenceHeaders)
        EXPECT_EQ(h.bitRateValue, static_cast<uint32_t>(std::ceil(maxBitrate / 400)));
    const int N = r.N;
    const int64_t limit = static_cast<int64_t>(std::floor(N * maxBitrate / 25));
    const std::vector<int64_t> bits = measuredGopBits(r.layout);
    // The last GOP is never measured.
    for (size_t k = 0; k + 1 < bits.size(); ++k) {
        if (r.layout.gops[k].maxQuantCode == 31) continue;
        EXPECT_LE(bits[k], limit) << "GOP " << k;
    }
    // It did have to work for it: some GOPs were coded again.
    EXPECT_TRUE(hasLineStarting(r.lines, "              bitrate = "));
    EXPECT_TRUE(hasLineStarting(r.lines, "  GOP #    1, bitrate = "));
}

// Sets TMP to the test's folder for the max-bitrate offsets file and puts
// it back afterwards.
struct TmpDirectory {
    std::string saved;
    bool had;
    explicit TmpDirectory(const TempDir& dir) {
        const char* old = std::getenv("TMP");
        had = old != nullptr;
        saved = old ? old : "";
        ::setenv("TMP", dir.path().c_str(), 1);
    }
    ~TmpDirectory() { had ? ::setenv("TMP", saved.c_str(), 1) : ::unsetenv("TMP"); }
};

bool anyFileStarting(const TempDir& dir, const std::string& prefix) {
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
        if (e.path().filename().string().rfind(prefix, 0) == 0) return true;
    return false;
}

uint32_t printedValue(const std::vector<std::string>& lines, const std::string& head) {
    for (const std::string& l : lines)
        if (l.rfind(head, 0) == 0) return static_cast<uint32_t>(std::stoul(l.substr(head.size())));
    ADD_FAILURE() << "no line " << head;
    return 0;
}

TEST(RateEncode, VariableMpeg2WithoutMaxBitrateCarriesItsMeasuredMaximum) {
    TempDir dir;
    TmpDirectory tmp(dir);
    RateRun r = encode(dir, 352, 288, 60, 2, [](EncoderSettings& s) {
        applyPreset(s, kKindMpeg2, 1, 1);
        s.mquantValue = 3;
    });
    expectDecoded(r, 60);
    ASSERT_TRUE(r.layout.ok);
    const uint32_t maxWindow = printedValue(r.lines, "   Max bitrate over any one second = ");
    const uint32_t want = static_cast<uint32_t>(std::ceil(maxWindow / 400.0));
    // Independently: the largest of the non-overlapping 25-picture windows,
    // from where each picture's data ends in the file.
    double best = 0, windowStart = 0;
    for (size_t k = 24; k < r.layout.pictures.size(); k += 25) {
        const double end = 8.0 * r.layout.pictures[k].unitEnd;
        best = std::max(best, end - windowStart);
        windowStart = end;
    }
    EXPECT_NEAR(best, maxWindow, 64);
    ASSERT_EQ(r.layout.sequenceHeaders.size(), r.layout.gops.size());
    ASSERT_GE(r.layout.sequenceHeaders.size(), 4u);
    for (const StreamSequenceHeader& h : r.layout.sequenceHeaders) {
        EXPECT_EQ(h.bitRateValue, want);
        EXPECT_EQ(h.vbvBufferSize, 112u);
    }
    EXPECT_TRUE(hasLineStarting(r.lines, "Embedding max bitrate value in sequence headers ..."));
    EXPECT_FALSE(anyFileStarting(dir, "tmp_s"));

    // MPEG-1 is never patched and needs no offsets file.
    TempDir dir1;
    TmpDirectory tmp1(dir1);
    RateRun m1 = encode(dir1, 352, 288, 10, 0, [](EncoderSettings& s) { s.mquantValue = 3; });
    expectDecoded(m1, 10);
    for (const StreamSequenceHeader& h : m1.layout.sequenceHeaders) EXPECT_EQ(h.bitRateValue, 0x3FFFFu);
    EXPECT_FALSE(hasLineStarting(m1.lines, "Embedding max bitrate"));
}

TEST(RateEncode, OffsetsFileIsGoneAfterAFailedEncodeToo) {
    TempDir dir;
    TmpDirectory tmp(dir);
    VideoJob job(176, 144, 10, dir.file("out.m2v"), 2, 4);
    applyPreset(job.engine.work, kKindMpeg2, 1, 1);
    job.source->failFrom = 0;  // not even the first frame arrives
    EXPECT_FALSE(runVideoEncoder(job.engine));
    EXPECT_FALSE(anyFileStarting(dir, "tmp_s"));
}

TEST(RateEncode, AverageBitrateSpendsTheBankAndNoMore) {
    TempDir dir;
    TmpDirectory tmp(dir);
    const double avg = 500000;
    RateRun r = encode(dir, 352, 288, 40, 2, [&](EncoderSettings& s) {
        applyPreset(s, kKindMpeg2, 1, 1);
        s.avgBitrate = avg;
        s.mquantValue = 2;
    });
    expectDecoded(r, 40);
    ASSERT_TRUE(r.layout.ok);
    const int N = r.N;
    const double target = std::floor(N * avg / 25);
    double bank = 40000000, total = 0;
    const std::vector<int64_t> bits = measuredGopBits(r.layout);
    int atAllowance = 0;
    for (size_t k = 0; k + 1 < bits.size(); ++k) {
        const double allowed = std::floor(bank / (25.0 * 10 / N) + target);
        if (r.layout.gops[k].maxQuantCode < 31) {
            EXPECT_LE(bits[k], allowed) << "GOP " << k;
        }
        atAllowance += bits[k] > 0.8 * allowed;
        bank += target - bits[k];
        total += bits[k];
    }
    EXPECT_GT(atAllowance, 0);  // the limit was what shaped the stream
    EXPECT_LE(total, target * (bits.size() - 1) + 40000000);
    // Without maxBitrate the measured maximum is embedded here too.
    for (const StreamSequenceHeader& h : r.layout.sequenceHeaders)
        EXPECT_EQ(h.bitRateValue, std::ceil(printedValue(r.lines, "   Max bitrate over any one second = ") / 400.0));
    EXPECT_FALSE(anyFileStarting(dir, "tmp_s"));
}

}  // namespace
}  // namespace quillon::testing

namespace quillon::testing {
namespace {

std::vector<uint8_t> readBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The bytes of GOP g (1, 2, ...) from its GOP header up to the next
// sequence header: without the sequence header, whose rate field differs
// between a limited and an unlimited run.
std::vector<uint8_t> gopBytes(const std::vector<uint8_t>& s, int g) {
    auto find = [&](uint8_t code, size_t from) {
        for (size_t i = from; i + 3 < s.size(); ++i)
            if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1 && s[i + 3] == code) return i;
        return s.size();
    };
    size_t gop = find(0xB8, 0);
    for (int k = 1; k < g && gop < s.size(); ++k) gop = find(0xB8, gop + 4);
    const size_t next = find(0xB3, gop);
    EXPECT_LT(next, s.size());
    if (gop >= s.size()) return {};
    return {s.begin() + static_cast<std::ptrdiff_t>(gop), s.begin() + static_cast<std::ptrdiff_t>(next)};
}

// The synthetic picture, with grain from frame `from` on: GOPs from there
// cost many more bits.
class GrainFrom : public FrameSource {
public:
    GrainFrom(int width, int height, int from) : base_(width, height), height_(height), from_(from) {}
    int getFrame(int frame, int32_t* rowBytes, const uint8_t** pixels) override {
        const uint8_t* p = nullptr;
        const int status = base_.getFrame(frame, rowBytes, &p);
        if (status != 0 || frame < from_) {
            *pixels = p;
            return status;
        }
        out_.assign(p, p + static_cast<size_t>(*rowBytes) * height_);
        uint32_t x = 99u + static_cast<uint32_t>(frame);
        for (uint8_t& v : out_) {
            x = x * 1664525u + 1013904223u;
            v = static_cast<uint8_t>(std::clamp(v + static_cast<int>(x >> 28) - 8, 0, 255));
        }
        *pixels = out_.data();
        return 0;
    }

private:
    SyntheticFrames base_;
    int height_, from_;
    std::vector<uint8_t> out_;
};

// Switches the fixed quantiser when the coding loop reaches coding index
// `at`.
class QuantiserSwitch : public PictureObserver {
public:
    QuantiserSwitch(int at, int mquant) : at_(at), mquant_(mquant) {}
    void frameCoded(const VideoEncoder& enc) override {
        if (++coded_ == at_) enc.s.mquantValue = mquant_;
    }

private:
    int at_, mquant_, coded_ = 0;
};

// The coding index that opens GOP g (1, 2, ...).
int gopStart(int g, int N, int M, int frames) {
    int opened = 0;
    for (int i = 0; i < frames; ++i)
        if (planCodingStep(i, N, M, frames).opensGop && ++opened == g) return i;
    ADD_FAILURE() << "no GOP " << g;
    return 0;
}

// A GOP coded again after a roll-back is the GOP coded once with the
// quantiser it ended with: nothing of the abandoned attempts (pictures,
// references, records, motion search state, statistics, output) survives.
// The second GOP is open: its first B pictures predict from the GOP
// before, whose reconstruction the roll-back must leave as it was.
TEST(RateEncode, ARecodedGopIsTheGopCodedOnceWithItsFinalQuantiser) {
    TempDir dir;
    struct Case {
        int videoType, fieldPictures, gop;
        double maxBitrate, minBitrate;
    };
    const Case cases[] = {{0, 0, 1, 500000, 0}, {4, 0, 1, 700000, 0}, {4, 1, 1, 700000, 0}, {3, 0, 1, 0, 4000000},
                          {4, 0, 2, 1500000, 0}, {1, 0, 2, 900000, 0}, {4, 1, 2, 1500000, 0}};
    constexpr int N = 6;
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "type " << c.videoType << " fields " << c.fieldPictures << " GOP " << c.gop);
        const int base = c.minBitrate > 0 ? 20 : 2;
        auto settings = [&](EncoderSettings& s, int mquant, bool limited) {
            s.iFramesInGOP = N;
            s.ipFrameDistance = 3;
            s.fieldPictures = c.fieldPictures;
            s.mquantValue = mquant;
            s.maxBitrate = limited ? c.maxBitrate : 0;
            s.minBitrate = limited ? c.minBitrate : 0;
            s.verbose = 1;
            deriveMotionTable(s);
        };
        // The measured GOP and the first picture of the next.
        const int frames = c.gop * N + 1;
        const std::string limitedOut = dir.file("limited.mpv"), onceOut = dir.file("once.mpv");
        VideoJob limited(176, 144, frames, limitedOut, c.videoType, 4);
        GrainFrom limitedSource(176, 144, (c.gop - 1) * N);
        limited.engine.request.frameSource = &limitedSource;
        settings(limited.engine.work, base, true);
        ASSERT_TRUE(runVideoEncoder(limited.engine));
        // The report lines of the measured GOP: its first attempt, then one
        // line per attempt after a roll-back.
        std::vector<int> attempts;
        bool measured = false;
        for (const std::string& line : limited.host.lines) {
            if (line.find("GOP #") != std::string::npos) {
                measured = line.find("GOP #    " + std::to_string(c.gop) + ",") != std::string::npos;
                ASSERT_TRUE(measured || attempts.empty()) << "an earlier GOP was coded again: " << line;
            }
            const size_t at = line.find("mquant = ");
            if (measured && at != std::string::npos) attempts.push_back(std::atoi(line.c_str() + at + 9));
        }
        ASSERT_GE(attempts.size(), 2u) << "the GOP was not coded again";

        VideoJob once(176, 144, frames, onceOut, c.videoType, 4);
        GrainFrom onceSource(176, 144, (c.gop - 1) * N);
        once.engine.request.frameSource = &onceSource;
        settings(once.engine.work, c.gop == 1 ? attempts.back() : base, false);
        QuantiserSwitch change(gopStart(c.gop, N, 3, frames), attempts.back());
        ASSERT_TRUE(runVideoEncoder(once.engine, &change));
        const std::vector<uint8_t> a = gopBytes(readBytes(limitedOut), c.gop);
        const std::vector<uint8_t> b = gopBytes(readBytes(onceOut), c.gop);
        ASSERT_GT(a.size(), 1000u);
        EXPECT_TRUE(a == b) << "re-coded GOP " << a.size() << " bytes, coded once " << b.size() << " bytes, quantiser "
                            << attempts.back();
    }
}

}  // namespace
}  // namespace quillon::testing

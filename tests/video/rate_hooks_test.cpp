// The constant-bitrate hooks as the picture writer calls them, with a fake
// controller: their order, the slice and macroblock quantisers they give,
// and the intra retry when a level does not fit.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"
#include "tests/video/video_test_util.h"
#include "video/encoder/encoder_setup.h"
#include "video/encoder/frame_input.h"
#include "video/encoder/picture_loop.h"
#include "video/encoder/rate_interface.h"
#include "video/encoder/stream_headers.h"

namespace quillon::testing {
namespace {

class FakeRate : public RateController {
public:
    std::vector<std::string> calls;
    std::vector<int> recorded;
    int startMquant = 8, mbMquant = 2;
    void rcInitSequence(VideoEncoder&) override { calls.push_back("sequence"); }
    void rcInitGop(VideoEncoder&, int np, int nb) override {
        calls.push_back("gop " + std::to_string(np) + " " + std::to_string(nb));
    }
    void rcInitPicture(VideoEncoder& enc, const Picture& source) override {
        calls.push_back(&source == enc.current ? "picture" : "picture?");
    }
    void rcComputeVbvDelay(VideoEncoder& enc) override {
        // Called right after the picture start code.
        calls.push_back("vbv " + std::to_string(static_cast<long long>(enc.writer.totalBits()) % 8));
        enc.pic.vbvDelay = 0x1234;
    }
    int rcStartMacroblock(VideoEncoder&) override {
        calls.push_back("start");
        return startMquant;
    }
    int rcCalcMquant(VideoEncoder&, int j) override {
        if (j == 0) calls.push_back("mquant");
        return mbMquant;
    }
    void rcRecordMquant(VideoEncoder&, int mquant) override { recorded.push_back(mquant); }
    void rcUpdatePicture(VideoEncoder&) override { calls.push_back("update"); }
    void rcMarkEndOfPicture(VideoEncoder&) override { calls.push_back("end"); }
};

// Vertical stripes four samples wide: large low-frequency AC coefficients.
class Stripes : public SyntheticFrames {
public:
    Stripes(int w, int h) : SyntheticFrames(w, h), w_(w), h_(h), px_(static_cast<size_t>(w) * h * 4) {}
    int getFrame(int, int32_t* rowBytes, const uint8_t** pixels) override {
        for (int y = 0; y < h_; ++y)
            for (int x = 0; x < w_; ++x) {
                const uint8_t v = (x / 4) % 2 ? 255 : 0;
                uint8_t* p = px_.data() + (static_cast<size_t>(y) * w_ + x) * 4;
                p[0] = p[1] = p[2] = v;
                p[3] = 0;
            }
        *rowBytes = w_ * 4;
        *pixels = px_.data();
        return 0;
    }

private:
    int w_, h_;
    std::vector<uint8_t> px_;
};

TEST(RateHooks, OrderQuantisersAndIntraRetry) {
    TempDir dir;
    const std::string out = dir.file("cbr.m1v");
    VideoJob job(64, 32, 1, out, 0, 4);
    job.engine.work.constBitrateFlag = 1;
    job.engine.work.constBitrate = 1150000;
    Stripes stripes(64, 32);
    job.engine.request.frameSource = &stripes;

    VideoEncoder enc(job.engine);
    enc.nframes = 1;
    ASSERT_TRUE(setUpEncoder(enc));
    auto fake = std::make_unique<FakeRate>();
    FakeRate& rate = *fake;
    enc.rate = std::move(fake);
    rcInitSequenceStatistics(enc);
    enc.rate->rcInitSequence(enc);
    writeSequenceHeaders(enc);
    const CodingStep step = planCodingStep(0, 1, 1, 1);
    enc.current = enc.newOrg;
    enc.reconstructed = enc.newRef;
    const GopCounts counts = gopCounts(0, 0, 1, 1, 1);
    enc.rate->rcInitGop(enc, counts.np, counts.nb);
    writeGopHeader(enc, 0, true);
    setPictureValues(enc, step);
    ASSERT_TRUE(fetchPicture(enc, *enc.current, 0));
    ASSERT_TRUE(codeFramePicture(enc));
    writeSequenceEnd(enc);
    const std::vector<MacroblockInfo> records = enc.mbInfo;
    tearDownEncoder(enc);

    EXPECT_EQ(rate.calls, (std::vector<std::string>{"sequence", "gop 0 0", "picture", "vbv 0", "start", "mquant",
                                                    "update", "end"}));
    // Every macroblock reports its final quantiser: the stripes do not fit
    // at 2, so the retry raised it and stored it in the record.
    ASSERT_EQ(rate.recorded.size(), records.size());
    int previous = rate.startMquant;  // the slice header's quantiser
    for (size_t k = 0; k < records.size(); ++k) {
        EXPECT_GT(rate.recorded[k], 2) << k;
        EXPECT_EQ(rate.recorded[k], records[k].mquant) << k;
        EXPECT_EQ((records[k].type & kMbQuant) != 0, records[k].mquant != previous) << k;
        previous = records[k].mquant;
    }
    EXPECT_TRUE(records[0].type & kMbQuant);

    const DecodedVideo video = decodeVideo(out);
    EXPECT_EQ(video.errors, 0);
    ASSERT_EQ(video.pictures.size(), 1u);
    // The stripes survive: samples are near 16 or 235.
    const DecodedPicture& p = video.pictures[0];
    EXPECT_NEAR(p.y[1], 16, 8);
    EXPECT_NEAR(p.y[5], 235, 8);

    // The picture header carried the controller's vbv_delay: 8 bytes after
    // the picture start code's first byte come 10 bits of temporal_reference
    // and 3 of picture type, then the 16 bits.
    std::ifstream in(out, std::ios::binary);
    std::vector<uint8_t> b{std::istreambuf_iterator<char>(in), {}};
    size_t at = 0;
    for (size_t i = 0; i + 8 < b.size(); ++i)
        if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1 && b[i + 3] == 0) {
            at = i;
            break;
        }
    ASSERT_GT(at, 0u);
    const uint32_t bits = (uint32_t(b[at + 4]) << 24) | (uint32_t(b[at + 5]) << 16) | (uint32_t(b[at + 6]) << 8) | b[at + 7];
    EXPECT_EQ((bits >> 3) & 0xFFFF, 0x1234u);
}

}  // namespace
}  // namespace quillon::testing

// A P picture built by hand (integer motion vectors, skipped, intra and
// non-intra macroblocks) through the picture writer, decoded by libavcodec:
// checks the P-picture syntax that motion estimation will feed.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/temp_dir.h"
#include "tests/video/video_test_util.h"
#include "video/encoder/encoder_setup.h"
#include "video/encoder/frame_input.h"
#include "video/encoder/picture_loop.h"
#include "video/encoder/picture_writer.h"
#include "video/dsp/quantize.h"
#include "video/encoder/rate_interface.h"
#include "video/encoder/stream_headers.h"
#include "video/encoder/picture_prediction.h"

namespace quillon::testing {
namespace {

// Copies a w x h area from (sx, sy) of src to (dx, dy) of dst.
void copyArea(const std::vector<uint8_t>& src, std::vector<uint8_t>& dst, int stride, int sx, int sy, int dx,
              int dy, int w, int h) {
    for (int r = 0; r < h; ++r)
        std::memcpy(dst.data() + static_cast<size_t>(dy + r) * stride + dx,
                    src.data() + static_cast<size_t>(sy + r) * stride + sx, static_cast<size_t>(w));
}

struct Result {
    DecodedVideo video;
    std::vector<uint8_t> reconY[2], reconCb[2];
    int paddedWidth = 0, chromaWidth = 0, skipped = 0, intra = 0, coded = 0;
};

Result encodeHandMadePPicture(int videoType, int qScaleType, const std::string& out) {
    const int W = 128, H = 64;
    VideoJob job(W, H, 2, out, videoType, 3);
    EncoderSettings& s = job.engine.work;
    s.quantizationScaleP = qScaleType;
    s.alternateScanP = 1;
    for (int f : {kForwHorzFCode, kForwVertFCode}) s.motion[0][f] = 3;
    if (videoType >= 2) s.motion[0][kForwVertFCode] = 2;  // separate vertical f_code in MPEG-2
    s.progressiveSequence = s.progressiveFrame = 1;
    s.sliceHdrEveryMBrow = videoType == 2;

    VideoEncoder enc(job.engine);
    enc.gopSize = 15;
    enc.nframes = 2;
    Result res;
    EXPECT_TRUE(setUpEncoder(enc));
    rcInitSequenceStatistics(enc);
    writeSequenceHeaders(enc);
    res.paddedWidth = enc.geo.paddedWidth;
    res.chromaWidth = enc.geo.chromaWidth;

    for (int i = 0; i < 2; ++i) {
        const CodingStep step = planCodingStep(i, 15, 1, 2);
        std::swap(enc.oldRef, enc.newRef);
        std::swap(enc.oldOrg, enc.newOrg);
        enc.current = enc.newOrg;
        enc.reconstructed = enc.newRef;
        if (step.opensGop) writeGopHeader(enc, 0, true);
        setPictureValues(enc, step);
        EXPECT_TRUE(fetchPicture(enc, *enc.current, step.displayIndex));
        if (i == 0) {
            EXPECT_TRUE(codeFramePicture(enc));
        } else {
            EXPECT_EQ(enc.pic.pictureCodingType, kPictureP);
            Picture& pred = *enc.pred;
            Picture& cur = *enc.current;
            const Picture& ref = *enc.oldRef;
            const VideoGeometry& g = enc.geo;
            int k = 0;
            for (int j = 0; j < g.mbHeightPicture; ++j)
                for (int c = 0; c < g.mbWidth; ++c, ++k) {
                    MacroblockInfo& mb = enc.mbInfo[static_cast<size_t>(k)];
                    mb = MacroblockInfo{};
                    mb.motionType = kMotionFrame;
                    const int x = 16 * c, y = 16 * j;
                    int vx = 0, vy = 0;  // whole samples, even so chroma stays whole too
                    switch (k % 5) {
                        case 0:  // no motion compensation; identical content -> skipped
                            mb.type = 0;
                            for (int p = 0; p < 3; ++p) {
                                const int cw = p ? g.chromaWidth : g.paddedWidth;
                                const int bs = p ? 8 : 16;
                                copyArea(ref.plane[p], cur.plane[p], cw, p ? x / 2 : x, p ? y / 2 : y,
                                         p ? x / 2 : x, p ? y / 2 : y, bs, bs);
                            }
                            break;
                        case 1: vx = (c % 2 ? -2 : 4); vy = (j % 2 ? 2 : -2); mb.type = kMbMotionForward; break;
                        case 2: mb.type = kMbIntra; break;
                        case 3: vx = 6 - 2 * (c % 3); vy = 0; mb.type = kMbMotionForward; break;
                        default: mb.type = 0; break;  // no MC, coded residual
                    }
                    // Keep the reference area inside the picture.
                    vx = std::clamp(vx, -x, g.paddedWidth - 16 - x);
                    vy = std::clamp(vy, -y, g.paddedHeight - 16 - y);
                    mb.mv[0][0][0] = 2 * vx;
                    mb.mv[0][0][1] = 2 * vy;
                    if (mb.type & kMbIntra) continue;
                    copyArea(ref.plane[0], pred.plane[0], g.paddedWidth, x + vx, y + vy, x, y, 16, 16);
                    for (int p = 1; p < 3; ++p)
                        copyArea(ref.plane[p], pred.plane[p], g.chromaWidth, (x + vx) / 2, (y + vy) / 2, x / 2, y / 2,
                                 8, 8);
                }
            // The picture writer predicts each macroblock itself; it must
            // form the prediction built here by hand.
            const Picture hand = pred;
            EXPECT_TRUE(codePicture(enc, cur));
            for (const MacroblockInfo& mb : enc.mbInfo) {
                res.skipped += mb.skipped;
                res.intra += (mb.type & kMbIntra) != 0;
                res.coded += (mb.type & kMbPattern) != 0;
            }
            predictPicture(enc, *enc.oldRef, *enc.newRef, pred);
            k = 0;
            for (int j = 0; j < g.mbHeightPicture; ++j)
                for (int c = 0; c < g.mbWidth; ++c, ++k) {
                    if (enc.mbInfo[static_cast<size_t>(k)].type & kMbIntra) continue;
                    for (int r = 0; r < 16; ++r)
                        for (int x = 0; x < 16; ++x) {
                            const size_t at = static_cast<size_t>(16 * j + r) * g.paddedWidth + 16 * c + x;
                            EXPECT_EQ(pred.plane[0][at], hand.plane[0][at]) << "macroblock " << k;
                        }
                }
        }
        res.reconY[i] = enc.reconstructed->plane[0];
        res.reconCb[i] = enc.reconstructed->plane[1];
    }
    writeSequenceEnd(enc);
    tearDownEncoder(enc);
    EXPECT_FALSE(enc.writer.writeError());
    EXPECT_TRUE(job.host.errors.empty());
    res.video = decodeVideo(out);
    return res;
}

TEST(PredictedPicture, HandMadePPictureDecodesAsReconstructed) {
    TempDir dir;
    for (int type : {0, 2})
        for (int q = 0; q <= (type ? 1 : 0); ++q) {
            SCOPED_TRACE(::testing::Message() << "type " << type << " q_scale_type " << q);
            const Result r = encodeHandMadePPicture(type, q, dir.file("p" + std::to_string(type) + std::to_string(q)));
            EXPECT_EQ(r.video.errors, 0);
            ASSERT_EQ(r.video.pictures.size(), 2u);
            EXPECT_GT(r.skipped, 0);
            EXPECT_GT(r.intra, 0);
            EXPECT_GT(r.coded, 0);
            for (int n = 0; n < 2; ++n) {
                const DecodedPicture& p = r.video.pictures[static_cast<size_t>(n)];
                EXPECT_EQ(p.pictType, n == 0 ? 1 : 2);
                int worst = 0;
                for (int y = 0; y < p.height; ++y)
                    for (int x = 0; x < p.width; ++x)
                        worst = std::max(worst, std::abs(p.y[static_cast<size_t>(y) * p.width + x] -
                                                         r.reconY[n][static_cast<size_t>(y) * r.paddedWidth + x]));
                for (int y = 0; y < p.chromaHeight; ++y)
                    for (int x = 0; x < p.chromaWidth; ++x)
                        worst = std::max(worst, std::abs(p.cb[static_cast<size_t>(y) * p.chromaWidth + x] -
                                                         r.reconCb[n][static_cast<size_t>(y) * r.chromaWidth + x]));
                EXPECT_LE(worst, 2) << "picture " << n;
            }
        }
}

}  // namespace
}  // namespace quillon::testing

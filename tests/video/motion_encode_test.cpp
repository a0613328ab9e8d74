// End to end with motion: P and B pictures, field pictures and pulldown
// through runVideoEncoder, decoded by libavcodec and compared with the
// source and with the encoder's own reconstruction.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include "tests/support/temp_dir.h"
#include "tests/video/video_test_util.h"
#include "video/video_encoder.h"

namespace quillon::testing {
namespace {

struct MotionResult {
    bool ok = false;
    DecodedVideo video;
    StreamCheck check;
    std::vector<std::string> errors;
    std::vector<uint8_t> bytes;
    std::vector<std::string> lines;
    std::vector<int> codingOrder;  // display indices as coded
};

std::vector<uint8_t> readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

MotionResult encodeWith(int width, int height, int frames, int videoType, int mquant,
                        const std::function<void(EncoderSettings&)>& adjust) {
    TempDir dir;
    const std::string out = dir.file(videoType >= 2 ? "out.m2v" : "out.m1v");
    VideoJob job(width, height, frames, out, videoType, mquant);
    adjust(job.engine.work);
    struct DumpObserver : CapturingObserver {
        void frameCoded(const VideoEncoder& enc) override {
            CapturingObserver::frameCoded(enc);
            if (!getenv("MBDUMP") || enc.pic.pictureCodingType != kPictureB) return;
            {
                // MB 6 at (32, 16): backward (-2, 0).
                const uint8_t* cur = enc.current->y();
                const uint8_t* nr = enc.newRef->y();
                const uint8_t* orr = enc.oldRef->y();
                const uint8_t* rec = enc.reconstructed->y();
                const uint8_t* pr = enc.pred->y();
                int W = enc.geo.paddedWidth;
                for (int x = 32; x < 40; ++x) std::printf("x%d cur %d pred %d new(x-1) %d old(x-1) %d rec %d\n", x, cur[16*W+x], pr[16*W+x], nr[16*W+x-1], orr[16*W+x-1], rec[16*W+x]);
            }
            for (size_t k = 0; k < enc.mbInfo.size(); ++k) {
                const MacroblockInfo& m = enc.mbInfo[k];
                std::printf("mb %zu type %d mt %d skip %d cbp %x mv f(%d,%d) b(%d,%d)\n", k, m.type, m.motionType, m.skipped, m.cbp, m.mv[0][0][0], m.mv[0][0][1], m.mv[0][1][0], m.mv[0][1][1]);
            }
        }
    } observer;
    MotionResult r;
    r.ok = runVideoEncoder(job.engine, &observer);
    r.errors = job.host.errors;
    r.lines = job.host.lines;
    r.video = decodeVideo(out);
    r.check = compareWithEncoder(r.video, observer);
    r.bytes = readAll(out);
    if (getenv("KEEP")) std::filesystem::copy_file(out, getenv("KEEP"), std::filesystem::copy_options::overwrite_existing);
    for (const CapturedFrame& f : observer.frames) r.codingOrder.push_back(f.displayIndex);
    if (getenv("MBDUMP") && r.video.pictures.size() == 3) {
        const auto& b = r.video.pictures[1].y;
        const auto& p = r.video.pictures[2].y;
        for (int yy = 26; yy < 29; ++yy) {
            std::printf("y%d decB x44..49:", yy);
            for (int x = 44; x < 50; ++x) std::printf(" %d", b[yy * width + x]);
            std::printf(" | P2 x42..49:");
            for (int x = 42; x < 50; ++x) std::printf(" %d", p[yy * width + x]);
            std::printf(" | I0:");
            for (int x = 42; x < 50; ++x) std::printf(" %d", r.video.pictures[0].y[yy * width + x]);
            std::printf("\n");
        }
        std::printf("decB:");
        for (int x = 32; x < 40; ++x) std::printf(" %d", b[16 * width + x]);
        std::printf("\nP2  :");
        for (int x = 24; x < 48; ++x) std::printf(" %d", p[16 * width + x]);
        std::printf("\n");
    }
    if (getenv("MBDUMP")) {
        for (const CapturedFrame& f : observer.frames) {
            if (f.displayIndex >= (int)r.video.pictures.size()) continue;
            const DecodedPicture& d = r.video.pictures[f.displayIndex];
            std::printf("display %d type %d\n", f.displayIndex, d.pictType);
            if (d.pictType == 3)
                for (int y = 16; y < 32; ++y) {
                    for (int x = 32; x < 48; ++x) std::printf("%4d", d.y[y * width + x] - f.reconY[y * observer.paddedWidth + x]);
                    std::printf("\n");
                }
            for (int j = 0; j < height / 16; ++j) {
                for (int i = 0; i < width / 16; ++i) {
                    int worst = 0;
                    for (int y = 0; y < 16; ++y)
                        for (int x = 0; x < 16; ++x)
                            worst = std::max(worst, std::abs(d.y[(16 * j + y) * width + 16 * i + x] - f.reconY[(16 * j + y) * observer.paddedWidth + 16 * i + x]));
                    std::printf("%4d", worst);
                }
                std::printf("\n");
            }
        }
    }
    return r;
}

TEST(MotionEncode, Debug) {
    for (int M : {3})
        for (int vmm : {4})
            for (int type : {2}) {
                SCOPED_TRACE(::testing::Message() << "M " << M << " vmm " << vmm << " type " << type);
                MotionResult r = encodeWith(64, 48, 3, type, 4, [&](EncoderSettings& s) {
                    s.ipFrameDistance = M;
                    s.variableMaxMotion = vmm;
                    deriveTestMotionTable(s, 3, 3);
                });
                EXPECT_TRUE(r.ok);
                EXPECT_EQ(r.video.errors, 0);
                EXPECT_EQ(r.video.pictures.size(), 3u);
                EXPECT_LE(r.check.maxReconDifference, 2);
            }
}

}  // namespace
}  // namespace quillon::testing

// End to end: synthetic pictures through runVideoEncoder, decoded by
// libavcodec and compared with the source and with the encoder's own
// reconstruction.
#include <gtest/gtest.h>

#include <fstream>

#include "tests/support/temp_dir.h"
#include "tests/video/video_test_util.h"
#include "video/video_encoder.h"

namespace quillon::testing {
namespace {

struct EncodeResult {
    bool ok = false;
    DecodedVideo video;
    StreamCheck check;
    std::vector<std::string> errors;
};

template <typename Adjust>
EncodeResult encode(int width, int height, int frames, int videoType, int mquant, Adjust adjust) {
    TempDir dir;
    const std::string out = dir.file(videoType >= 2 ? "out.m2v" : "out.m1v");
    VideoJob job(width, height, frames, out, videoType, mquant);
    adjust(job.engine.work);
    CapturingObserver observer;
    EncodeResult r;
    r.ok = runVideoEncoder(job.engine, &observer);
    r.errors = job.host.errors;
    r.video = decodeVideo(out);
    r.check = compareWithEncoder(r.video, observer);
    return r;
}

EncodeResult encode(int width, int height, int frames, int videoType, int mquant) {
    return encode(width, height, frames, videoType, mquant, [](EncoderSettings&) {});
}

void expectClean(const EncodeResult& r, int frames, int width, int height) {
    EXPECT_TRUE(r.ok);
    EXPECT_TRUE(r.errors.empty()) << (r.errors.empty() ? "" : r.errors[0]);
    ASSERT_TRUE(r.video.opened);
    EXPECT_EQ(r.video.errors, 0);
    EXPECT_EQ(static_cast<int>(r.video.pictures.size()), frames);
    EXPECT_EQ(r.video.width, width);
    EXPECT_EQ(r.video.height, height);
    EXPECT_LE(r.check.maxReconDifference, 2);
}

TEST(VideoEncode, EveryVideoTypeDecodesCleanlyAtHighQuality) {
    for (int type = 0; type <= 4; ++type) {
        SCOPED_TRACE(type);
        const EncodeResult r = encode(352, 240, 3, type, 2);
        expectClean(r, 3, 352, 240);
        EXPECT_GE(r.check.psnrY, 38.0);
        EXPECT_EQ(r.video.codecName, type >= 2 ? "mpeg2video" : "mpeg1video");
    }
}

std::vector<uint8_t> readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Offsets of every start code 00 00 01 xx with the given xx.
std::vector<size_t> findStartCodes(const std::vector<uint8_t>& b, int code) {
    std::vector<size_t> at;
    for (size_t i = 0; i + 3 < b.size(); ++i)
        if (b[i] == 0 && b[i + 1] == 0 && b[i + 2] == 1 && b[i + 3] == code) at.push_back(i);
    return at;
}

TEST(VideoEncode, FloatingPointRoutinesAndColourMatrices) {
    for (int matrix : {1, 4, 5, 7}) {
        SCOPED_TRACE(matrix);
        const EncodeResult r = encode(176, 96, 2, 2, 2, [&](EncoderSettings& s) {
            s.useFloatingPoint = matrix != 5;
            s.matrixCoefficients = matrix;
        });
        expectClean(r, 2, 176, 96);
        EXPECT_GE(r.check.psnrY, 38.0);
    }
}

TEST(VideoEncode, OddSizesKeepTheirSizeAndQuality) {
    struct Case {
        int w, h, type;
    };
    for (const Case c : {Case{714, 486, 4}, Case{720, 576, 2}, Case{714, 486, 0}}) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + " type " + std::to_string(c.type));
        const EncodeResult r = encode(c.w, c.h, 2, c.type, 2);
        expectClean(r, 2, c.w, c.h);
        EXPECT_GE(r.check.psnrY, 38.0);
    }
}

TEST(VideoEncode, ChromaFormatsDecodeWithTheirChromaSize) {
    for (int chroma = 1; chroma <= 3; ++chroma) {
        SCOPED_TRACE(chroma);
        const EncodeResult r = encode(200, 120, 2, 2, 2, [&](EncoderSettings& s) {
            s.chromaFormat = chroma;
            s.profile = chroma == 1 ? 4 : 1;
            s.level = 4;
        });
        expectClean(r, 2, 200, 120);
        EXPECT_GE(r.check.psnrY, 38.0);
        ASSERT_FALSE(r.video.pictures.empty());
        EXPECT_EQ(r.video.pictures[0].chromaWidth, chroma == 3 ? 200 : 100);
        EXPECT_EQ(r.video.pictures[0].chromaHeight, chroma == 1 ? 60 : 120);
    }
}

TEST(VideoEncode, PictureCodingOptionsAllDecode) {
    // q_scale_type, intra_vlc_format, alternate_scan and intra_dc_precision
    // each change the coded syntax; frame_pred_frame_dct 0 adds dct_type.
    for (int q = 0; q <= 1; ++q)
        for (int vlc = 0; vlc <= 1; ++vlc)
            for (int alt = 0; alt <= 1; ++alt)
                for (int dc = 0; dc <= 3; ++dc) {
                    SCOPED_TRACE(::testing::Message() << "q " << q << " vlc " << vlc << " alt " << alt << " dc " << dc);
                    const EncodeResult r = encode(80, 64, 1, 2, 2, [&](EncoderSettings& s) {
                        s.quantizationScaleI = q;
                        s.intraVLCFormatI = vlc;
                        s.alternateScanI = alt;
                        s.intraDCPrec = dc;
                        s.framePredDCTI = (q + vlc + alt + dc) & 1;
                    });
                    expectClean(r, 1, 80, 64);
                    EXPECT_GE(r.check.psnrY, 38.0);
                }
}

TEST(VideoEncode, QualityFallsAsTheQuantiserRises) {
    for (int type : {0, 2}) {
        SCOPED_TRACE(type);
        double last = 1000;
        for (int mquant : {2, 6, 14, 31}) {
            const EncodeResult r = encode(176, 144, 2, type, mquant);
            expectClean(r, 2, 176, 144);
            if (mquant == 2) {
                EXPECT_GE(r.check.psnrY, 38.0);
            }
            EXPECT_LT(r.check.psnrY, last) << "mquant " << mquant;
            last = r.check.psnrY;
        }
    }
}

TEST(VideoEncode, CustomMatrixFilesAreCarriedInTheSequenceHeader) {
    TempDir dir;
    const std::string intra = dir.file("intra.txt"), nonIntra = dir.file("inter.txt");
    {
        std::ofstream a(intra), b(nonIntra);
        for (int i = 0; i < 64; ++i) a << (i == 0 ? 8 : 12 + (i % 8) * 3 + (i / 8) * 4) << (i % 8 == 7 ? "\n" : " ");
        for (int i = 0; i < 64; ++i) b << 16 + i / 4 << " ";
    }
    for (int type : {0, 2}) {
        SCOPED_TRACE(type);
        const std::string out = dir.file(type ? "m.m2v" : "m.m1v");
        VideoJob job(96, 64, 2, out, type, 2);
        std::snprintf(job.engine.work.intraQuantMatrix, kTextFieldSize, "%s", intra.c_str());
        std::snprintf(job.engine.work.nonIntraQuantMatrix, kTextFieldSize, "%s", nonIntra.c_str());
        CapturingObserver observer;
        ASSERT_TRUE(runVideoEncoder(job.engine, &observer));
        const DecodedVideo video = decodeVideo(out);
        EXPECT_EQ(video.errors, 0);
        EXPECT_EQ(video.pictures.size(), 2u);
        const StreamCheck check = compareWithEncoder(video, observer);
        EXPECT_LE(check.maxReconDifference, 2);
        EXPECT_GE(check.psnrY, 38.0);
        // Both load flags are set and 128 matrix bytes follow.
        const std::vector<uint8_t> bytes = readAll(out);
        ASSERT_GT(bytes.size(), 12u + 129u);
        EXPECT_EQ(bytes[11] & 0x02, 0x02);  // load_intra_quantiser_matrix
        EXPECT_EQ(bytes[11 + 64] & 0x01, 0x01);  // load_non_intra_quantiser_matrix after 64 entries
    }
}

TEST(VideoEncode, StreamLayoutOfAnIntraOnlyStream) {
    TempDir dir;
    const std::string out = dir.file("l.m2v");
    VideoJob job(352, 64, 4, out, 3, 4);  // SVCD: no display extension
    job.engine.work.iFramesInGOP = job.engine.work.ipFrameDistance = 1;  // intra only
    job.engine.work.embedSVCDUserBlocks = 1;  // scan offset placeholders at every I picture
    job.engine.work.sliceHdrEveryMBrow = 0;
    ASSERT_TRUE(runVideoEncoder(job.engine, nullptr));
    const std::vector<uint8_t> b = readAll(out);
    EXPECT_EQ(findStartCodes(b, 0xB3).size(), 4u);  // a sequence header before every GOP
    const std::vector<size_t> gops = findStartCodes(b, 0xB8);
    ASSERT_EQ(gops.size(), 4u);
    for (size_t n = 0; n < gops.size(); ++n) {
        const uint32_t v = (uint32_t(b[gops[n] + 4]) << 24) | (uint32_t(b[gops[n] + 5]) << 16) |
                           (uint32_t(b[gops[n] + 6]) << 8) | b[gops[n] + 7];
        EXPECT_EQ(v >> 7, (0x1000u | n) ) << "time code of GOP " << n;
        EXPECT_EQ((v >> 6) & 1, n == 0 ? 1u : 0u) << "closed_gop";
    }
    EXPECT_EQ(findStartCodes(b, 0xB2).size(), 4u);  // SVCD scan offset placeholders
    EXPECT_EQ(findStartCodes(b, 0x01).size(), 4u);  // one slice per picture
    ASSERT_GE(b.size(), 4u);
    EXPECT_EQ(std::vector<uint8_t>(b.end() - 4, b.end()), (std::vector<uint8_t>{0, 0, 1, 0xB7}));
    EXPECT_TRUE(job.host.hasLine("   Max bitrate of any one frame = " +
                                 std::to_string(0) + " bits") == false);
    bool sawMaxFrame = false;
    for (const std::string& l : job.host.lines) sawMaxFrame |= l.rfind("   Max bitrate of any one frame = ", 0) == 0;
    EXPECT_TRUE(sawMaxFrame);
    EXPECT_EQ(job.engine.job.framesEncoded, 4);
}

TEST(VideoEncode, SliceEveryRowAndTallPictures) {
    {
        const EncodeResult r = encode(64, 96, 1, 2, 4, [](EncoderSettings& s) { s.sliceHdrEveryMBrow = 1; });
        expectClean(r, 1, 64, 96);
    }
    // Taller than 2800 lines: slice_vertical_position_extension follows each slice start code.
    TempDir dir;
    const std::string out = dir.file("tall.m2v");
    VideoJob job(32, 2880, 1, out, 2, 8);
    job.engine.work.sliceHdrEveryMBrow = 1;
    job.engine.work.progressiveSequence = job.engine.work.progressiveFrame = 1;
    job.engine.work.level = 4;
    CapturingObserver observer;
    ASSERT_TRUE(runVideoEncoder(job.engine, &observer));
    const std::vector<uint8_t> b = readAll(out);
    // 180 rows: codes 0x01..0x80 and again 0x01..0x34 for rows 128..179.
    EXPECT_EQ(findStartCodes(b, 0x01).size(), 2u);
    EXPECT_EQ(findStartCodes(b, 0x80).size(), 1u);
    const DecodedVideo video = decodeVideo(out);
    EXPECT_EQ(video.errors, 0);
    ASSERT_EQ(video.pictures.size(), 1u);
    EXPECT_EQ(video.height, 2880);
    EXPECT_LE(compareWithEncoder(video, observer).maxReconDifference, 2);
}

TEST(VideoEncode, BlackAndWhiteCodesNeutralChroma) {
    const EncodeResult r = encode(96, 64, 2, 2, 2, [](EncoderSettings& s) { s.blackAndWhite = 1; });
    expectClean(r, 2, 96, 64);
    for (const DecodedPicture& p : r.video.pictures) {
        for (uint8_t v : p.cb) ASSERT_NEAR(v, 128, 1);
        for (uint8_t v : p.cr) ASSERT_NEAR(v, 128, 1);
    }
}

TEST(VideoEncode, UnwritableOutputFailsTheSetUp) {
    TempDir dir;
    const std::string out = dir.file("missing/dir/out.m1v");
    VideoJob job(64, 64, 2, out, 0, 4);
    EXPECT_FALSE(runVideoEncoder(job.engine));
    ASSERT_EQ(job.host.errors.size(), 1u);
    EXPECT_EQ(job.host.errors[0], "Unable to open file " + out + " for writing.");
    EXPECT_EQ(job.source->calls, 0);
}

TEST(VideoEncode, FullDiskIsAFailure) {
    // Short streams reach the disk only when the writer closes.
    for (int frames : {1, 30}) {
        SCOPED_TRACE(frames);
        VideoJob job(352, 288, frames, "/dev/full", 2, 1);
        EXPECT_FALSE(runVideoEncoder(job.engine));
        ASSERT_FALSE(job.host.errors.empty());
        EXPECT_EQ(job.host.errors.back(), "Unable to write to output file.");
        if (frames == 30) {
            EXPECT_LT(job.engine.job.framesEncoded, 30);
        }
    }
}

TEST(VideoEncode, MissingMatrixFileFailsBeforeAnyPicture) {
    TempDir dir;
    VideoJob job(64, 64, 2, dir.file("o.m1v"), 0, 4);
    std::snprintf(job.engine.work.intraQuantMatrix, kTextFieldSize, "%s", dir.file("none.txt").c_str());
    EXPECT_FALSE(runVideoEncoder(job.engine));
    ASSERT_EQ(job.host.errors.size(), 1u);
    EXPECT_EQ(job.host.errors[0], "Could not open intra quant matrix file " + dir.file("none.txt") + ".");
    EXPECT_EQ(job.source->calls, 0);
}

TEST(VideoEncode, ReadFailureEndsTheStreamOrFailsTheFirstPicture) {
    TempDir dir;
    {
        const std::string out = dir.file("cut.m1v");
        VideoJob job(64, 48, 5, out, 0, 4);
        job.engine.work.iFramesInGOP = job.engine.work.ipFrameDistance = 1;  // intra only
        job.source->failFrom = 3;
        EXPECT_TRUE(runVideoEncoder(job.engine));
        EXPECT_TRUE(job.host.hasLine("  Could not get frame # 3, error code 5."));
        EXPECT_EQ(job.engine.job.framesEncoded, 3);
        const DecodedVideo video = decodeVideo(out);
        EXPECT_EQ(video.errors, 0);
        EXPECT_EQ(video.pictures.size(), 3u);
        const std::vector<uint8_t> b = readAll(out);
        EXPECT_EQ(std::vector<uint8_t>(b.end() - 4, b.end()), (std::vector<uint8_t>{0, 0, 1, 0xB7}));
    }
    {
        VideoJob job(64, 48, 5, dir.file("none.m1v"), 0, 4);
        job.source->failFrom = 0;
        EXPECT_FALSE(runVideoEncoder(job.engine));
    }
}

class StoppingFrames : public SyntheticFrames {
public:
    StoppingFrames(Engine& e) : SyntheticFrames(64, 48), engine(e) {}
    int getFrame(int frame, int32_t* rowBytes, const uint8_t** pixels) override {
        if (frame == 2) engine.job.stopRequested = true;
        return SyntheticFrames::getFrame(frame, rowBytes, pixels);
    }
    Engine& engine;
};

TEST(VideoEncode, StopRequestEndsWithoutSequenceEndCode) {
    TempDir dir;
    const std::string out = dir.file("stop.m1v");
    VideoJob job(64, 48, 10, out, 0, 4);
    job.engine.work.iFramesInGOP = job.engine.work.ipFrameDistance = 1;  // intra only
    StoppingFrames frames(job.engine);
    job.engine.request.frameSource = &frames;
    EXPECT_FALSE(runVideoEncoder(job.engine));
    EXPECT_TRUE(job.host.errors.empty());
    // The request comes while frame 2 is fetched; the motion search of that
    // picture honours it, so two pictures are in the stream.
    EXPECT_EQ(job.engine.job.framesEncoded, 2);
    const std::vector<uint8_t> b = readAll(out);
    EXPECT_TRUE(findStartCodes(b, 0xB7).empty());
    EXPECT_EQ(findStartCodes(b, 0x00).size(), 2u);
}

}  // namespace
}  // namespace quillon::testing

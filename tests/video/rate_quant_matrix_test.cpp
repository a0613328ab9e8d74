// Matrix files as GOP re-coding and the rate tests rely on them: the
// default non-intra name, and values at and beyond the legal range.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>

#include "tests/support/temp_dir.h"
#include "tests/video/rate_test_frames.h"
#include "tests/video/video_test_util.h"
#include "video/encoder/encoder_setup.h"
#include "video/encoder/rate_interface.h"
#include "video/video_encoder.h"

namespace quillon::testing {
namespace {

void writeMatrix(const std::string& path, int first, int rest) {
    std::ofstream out(path);
    out << first;
    for (int i = 1; i < 64; ++i) out << (i % 8 ? ' ' : '\n') << rest;
    out << '\n';
}

std::vector<uint8_t> readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

TEST(QuantMatrixFiles, MpegDefaultIsTheEmptyNameAndRangeEndsAreChecked) {
    RecordingHost host;
    Engine engine(host);
    TempDir dir;
    VideoEncoder a(engine);
    ASSERT_TRUE(loadQuantMatrices(a));
    std::strcpy(engine.work.nonIntraQuantMatrix, "mpeg default");
    VideoEncoder b(engine);
    ASSERT_TRUE(loadQuantMatrices(b));
    EXPECT_EQ(a.quant.nonIntra16, b.quant.nonIntra16);
    EXPECT_EQ(a.quant.nonIntra8, b.quant.nonIntra8);
    EXPECT_EQ(a.quant.nonIntraReciprocal, b.quant.nonIntraReciprocal);
    EXPECT_FALSE(b.quant.loadNonIntra);
    EXPECT_EQ(b.quant.nonIntraReciprocal[5], 4096);

    struct Case {
        int first, rest;
        bool intra, ok;
    };
    for (const Case c : {Case{0, 16, false, false}, Case{256, 16, false, false}, Case{16, 0, true, false},
                         Case{256, 255, true, false}, Case{1, 255, true, true}, Case{255, 1, false, true}}) {
        SCOPED_TRACE(std::to_string(c.first) + (c.intra ? " intra" : " non-intra"));
        const std::string path = dir.file("m.txt");
        writeMatrix(path, c.first, c.rest);
        engine.work = EncoderSettings{};
        std::strcpy(c.intra ? engine.work.intraQuantMatrix : engine.work.nonIntraQuantMatrix, path.c_str());
        host.errors.clear();
        VideoEncoder enc(engine);
        EXPECT_EQ(loadQuantMatrices(enc), c.ok);
        if (c.ok) {
            EXPECT_TRUE(host.errors.empty());
            EXPECT_TRUE(c.intra ? enc.quant.loadIntra : enc.quant.loadNonIntra);
        } else {
            ASSERT_EQ(host.errors.size(), 1u);
            EXPECT_EQ(host.errors[0], std::string("Invalid value in ") + (c.intra ? "intra" : "non-intra") +
                                          " quant matrix file " + path + ".");
        }
    }
}

TEST(QuantMatrixFiles, MpegDefaultAndNoNameGiveTheSameStream) {
    TempDir dir;
    std::vector<uint8_t> streams[2];
    for (int k = 0; k < 2; ++k) {
        const std::string out = dir.file("s" + std::to_string(k) + ".m2v");
        VideoJob job(176, 144, 4, out, 2, 5);
        PanningFrames source(176, 144);
        job.engine.request.frameSource = &source;
        if (k) std::strcpy(job.engine.work.nonIntraQuantMatrix, "mpeg default");
        ASSERT_TRUE(runVideoEncoder(job.engine));
        streams[k] = readAll(out);
    }
    ASSERT_FALSE(streams[0].empty());
    EXPECT_EQ(streams[0], streams[1]);
}

}  // namespace
}  // namespace quillon::testing

// Every vector form of the audio encoder against its plain form, bit for
// bit: random, silent, full-scale, alternating and signed-zero inputs in
// buffers of exactly the size the plain form reads (so the sanitizer build
// catches any read past them), with guard values after every output.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "audio/analysis_filter.h"
#include "audio/fft.h"
#include "audio/psycho_routines.h"
#include "platform/cpu_features.h"

namespace quillon::audio {
namespace {

enum class Fill { Random, Tiny, Zero, NegativeZero, FullScale, Alternating };
constexpr Fill kFills[] = {Fill::Random, Fill::Tiny, Fill::Zero, Fill::NegativeZero, Fill::FullScale, Fill::Alternating};

std::vector<double> samples(size_t n, Fill f, std::mt19937& rng) {
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    std::vector<double> v(n);
    for (size_t i = 0; i < n; ++i) {
        switch (f) {
            case Fill::Random: v[i] = u(rng); break;
            case Fill::Tiny: v[i] = u(rng) * 1e-300; break;  // products below the normal range
            case Fill::Zero: v[i] = 0.0; break;
            case Fill::NegativeZero: v[i] = i % 3 ? -0.0 : 0.0; break;
            case Fill::FullScale: v[i] = i % 2 ? -1.0 : 32767.0 / 32768; break;
            case Fill::Alternating: v[i] = (i / 7) % 2 ? u(rng) : -0.0; break;
        }
    }
    return v;
}

bool sameBits(const double* a, const double* b, size_t n) { return n == 0 || std::memcmp(a, b, n * sizeof(double)) == 0; }

TEST(AudioSimdChecker, AnalysisFormsMatchThePlainForm) {
    const uint32_t features = detectCpuFeatures();
    if (!(features & kCpuSse2)) GTEST_SKIP() << "no SSE2";
    std::vector<AnalysisRoutine> forms = {analyseBlockSse2};
    if (features & kCpuAvx2) forms.push_back(analyseBlockAvx2);
    EXPECT_EQ(selectAnalysisRoutine(0, features), analyseBlockPlain);
    EXPECT_EQ(selectAnalysisRoutine(2, features), analyseBlockSse2);
    EXPECT_EQ(selectAnalysisRoutine(4, features), features & kCpuAvx2 ? analyseBlockAvx2 : analyseBlockSse2);
    EXPECT_EQ(selectAnalysisRoutine(4, features & ~(kCpuSse2 | kCpuAvx2)), analyseBlockPlain);

    const AnalysisMatrix matrix;
    std::mt19937 rng(5);
    constexpr double kGuard = 12345.5;
    for (Fill f : kFills)
        for (int round = 0; round < 20; ++round) {
            const std::vector<double> z = samples(512, f, rng);
            std::vector<double> want(33, kGuard);
            analyseBlockPlain(z.data(), matrix, want.data());
            ASSERT_EQ(want[32], kGuard);
            for (AnalysisRoutine form : forms) {
                std::vector<double> got(33, kGuard);
                form(z.data(), matrix, got.data());
                ASSERT_TRUE(sameBits(got.data(), want.data(), 32)) << static_cast<int>(f) << " " << round;
                ASSERT_EQ(got[32], kGuard);
            }
        }
}

// The filters of a whole run, fed the same sound through each form, keep
// giving the same sub-band samples block after block (the history ring
// wraps several times).
TEST(AudioSimdChecker, FiltersGiveTheSameSubBandsOverALongRun) {
    const uint32_t features = detectCpuFeatures();
    const AnalysisMatrix matrix;
    AnalysisFilter plain, sse2, avx2;
    sse2.useRoutine(selectAnalysisRoutine(1, features));
    avx2.useRoutine(selectAnalysisRoutine(3, features));
    std::mt19937 rng(9);
    int16_t pcm[32];
    for (int block = 0; block < 200; ++block) {
        for (int16_t& s : pcm) s = static_cast<int16_t>(block % 50 < 10 ? 0 : static_cast<int>(rng() % 65536) - 32768);
        double a[32], b[32], c[32];
        plain.filter(matrix, pcm, a);
        sse2.filter(matrix, pcm, b);
        avx2.filter(matrix, pcm, c);
        ASSERT_TRUE(sameBits(a, b, 32)) << block;
        ASSERT_TRUE(sameBits(a, c, 32)) << block;
    }
}

// Each stage form on every span it takes, then whole transforms of both
// lengths the models use, each set's against the plain one.
TEST(AudioSimdChecker, FftFormsMatchThePlainForm) {
    const uint32_t features = detectCpuFeatures();
    if (!(features & kCpuSse2)) GTEST_SKIP() << "no SSE2";
    std::mt19937 rng(3);
    const int n = 64;
    struct Form {
        FftStage stage;
        int from;
    };
    std::vector<Form> forms = {{fftStageSse2, 1}};
    if (features & kCpuAvx2) forms.push_back({fftStageAvx2, 4});
    for (Fill f : kFills)
        for (const Form& form : forms)
            for (int half = form.from; half < n; half *= 2) {
                const std::vector<double> re = samples(n, f, rng), im = samples(n, f, rng);
                const std::vector<double> wr = samples(half, Fill::Random, rng), wi = samples(half, f, rng);
                std::vector<double> re1 = re, im1 = im, re2 = re, im2 = im;
                fftStagePlain(re1.data(), im1.data(), n, half, wr.data(), wi.data());
                form.stage(re2.data(), im2.data(), n, half, wr.data(), wi.data());
                ASSERT_TRUE(sameBits(re1.data(), re2.data(), n)) << static_cast<int>(f) << " " << half;
                ASSERT_TRUE(sameBits(im1.data(), im2.data(), n)) << static_cast<int>(f) << " " << half;
            }
    for (int length : {512, 1024}) {
        const Fft plain(length), sse2(length, 1, features), avx2(length, 3, features);
        for (Fill f : kFills) {
            std::vector<double> re = samples(length, f, rng), im(length, 0.0);
            std::vector<double> re2 = re, im2 = im, re3 = re, im3 = im;
            plain.transform(re.data(), im.data());
            sse2.transform(re2.data(), im2.data());
            avx2.transform(re3.data(), im3.data());
            ASSERT_TRUE(sameBits(re.data(), re2.data(), length) && sameBits(im.data(), im2.data(), length)) << length;
            ASSERT_TRUE(sameBits(re.data(), re3.data(), length) && sameBits(im.data(), im3.data(), length)) << length;
        }
    }
}

// Spreading runs of every length and start, over sums that already hold
// values, into arrays no longer than the run's end.
TEST(AudioSimdChecker, SpreadingFormsMatchThePlainForm) {
    const uint32_t features = detectCpuFeatures();
    if (!(features & kCpuSse2)) GTEST_SKIP() << "no SSE2";
    std::vector<SpreadRoutine> forms = {spreadMaskerSse2};
    if (features & kCpuAvx2) forms.push_back(spreadMaskerAvx2);
    EXPECT_EQ(selectSpreadRoutine(0, features), spreadMaskerPlain);
    EXPECT_EQ(selectSpreadRoutine(1, features), spreadMaskerSse2);
    EXPECT_EQ(selectSpreadRoutine(3, features), features & kCpuAvx2 ? spreadMaskerAvx2 : spreadMaskerSse2);
    std::mt19937 rng(17);
    for (Fill f : kFills)
        for (int to = 0; to <= 13; ++to)
            for (int from = 0; from <= to; ++from) {
                const std::vector<double> row = samples(to, f, rng), spread = samples(to, Fill::Random, rng),
                                          weighted = samples(to, f, rng);
                const double e = std::fabs(samples(1, Fill::Random, rng)[0]) * 1e6, c = e * 0.3;
                std::vector<double> s1 = spread, w1 = weighted;
                spreadMaskerPlain(row.data(), from, to, e, c, s1.data(), w1.data());
                for (SpreadRoutine form : forms) {
                    std::vector<double> s2 = spread, w2 = weighted;
                    form(row.data(), from, to, e, c, s2.data(), w2.data());
                    ASSERT_TRUE(sameBits(s1.data(), s2.data(), to)) << from << " " << to;
                    ASSERT_TRUE(sameBits(w1.data(), w2.data(), to)) << from << " " << to;
                }
            }
}

}  // namespace
}  // namespace quillon::audio

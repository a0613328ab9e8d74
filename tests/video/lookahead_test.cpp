// The lookahead's GOP plan: scene cuts open closed GOPs with an I picture,
// no B picture predicts across a cut, GOPs keep their length limit, B
// pictures come and go with the motion; and the streams it plans decode in
// libavcodec with an I picture at every cut.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <map>
#include <set>

#include "engine/quality_level.h"
#include "tests/support/temp_dir.h"
#include "tests/video/video_test_util.h"
#include "video/dsp/syntax_values.h"
#include "video/encoder/lookahead.h"
#include "video/video_encoder.h"

namespace quillon::testing {
namespace {

// A textured picture of a scene, seen through a camera that moves `speed`
// samples a picture to the right; every scene its own texture.
uint8_t sceneSample(int scene, int x, int y, double shift) {
    const double u = x + shift, v = y;
    const double s = scene * 1.7 + 0.3;
    double value = 120 + 50 * std::sin(u * (0.09 + 0.02 * scene) + s) * std::cos(v * (0.07 + 0.015 * scene) - s) +
                   30 * std::sin((u + 2 * v) * 0.23 + 3 * s);
    // Hard-edged blocks so a search has something to lock onto.
    const int cx = static_cast<int>(std::floor(u / 12)), cy = y / 12;
    if (((cx * 7 + cy * 13 + scene * 5) % 11) < 3) value = 40 + 25 * scene;
    return static_cast<uint8_t>(std::clamp(value, 0.0, 255.0));
}

// Scenes change at the given pictures.
class SceneFrames : public FrameSource {
public:
    SceneFrames(int width, int height, std::vector<int> cuts, double speed)
        : width_(width), height_(height), cuts_(std::move(cuts)), speed_(speed),
          pixels_(static_cast<size_t>(width) * height * 4) {}
    int scene(int frame) const {
        return static_cast<int>(std::upper_bound(cuts_.begin(), cuts_.end(), frame) - cuts_.begin());
    }
    int getFrame(int frame, int32_t* rowBytes, const uint8_t** pixels) override {
        const int sc = scene(frame);
        for (int row = 0; row < height_; ++row) {
            uint8_t* p = pixels_.data() + static_cast<size_t>(height_ - 1 - row) * width_ * 4;
            for (int x = 0; x < width_; ++x, p += 4) {
                const uint8_t v = sceneSample(sc, x, row, frame * speed_);
                p[0] = v;
                p[1] = static_cast<uint8_t>(255 - v / 2);
                p[2] = static_cast<uint8_t>((v * 3 + 40 * sc) & 255);
                p[3] = 0;
            }
        }
        *rowBytes = width_ * 4;
        *pixels = pixels_.data();
        return 0;
    }

private:
    int width_, height_;
    std::vector<int> cuts_;
    double speed_;
    std::vector<uint8_t> pixels_;
};

// The same scenes as quarter pictures, without an encoder.
class SceneCosts : public PictureCosts {
public:
    SceneCosts(int frames, std::vector<int> cuts, double speed) : frames_(frames), source_(128, 96, cuts, speed) {}
    const QuarterPicture* picture(int display) override {
        if (display < 0 || display >= frames_) return nullptr;
        auto it = pictures_.find(display);
        if (it != pictures_.end()) return &it->second;
        int32_t rowBytes = 0;
        const uint8_t* pixels = nullptr;
        source_.getFrame(display, &rowBytes, &pixels);
        std::vector<uint8_t> luma(128 * 96);
        for (int y = 0; y < 96; ++y)
            for (int x = 0; x < 128; ++x) luma[y * 128 + x] = pixels[(95 - y) * rowBytes + 4 * x];
        return &pictures_.emplace(display, makeQuarterPicture(luma.data(), 128, 128, 96)).first->second;
    }

private:
    int frames_;
    SceneFrames source_;
    std::map<int, QuarterPicture> pictures_;
};

std::vector<CodingStep> decidePlan(int frames, const std::vector<int>& cuts, double speed, int N, int M,
                                   int maxLength = 0) {
    SceneCosts costs(frames, cuts, speed);
    LookaheadParameters p;
    p.N = N;
    p.maxLength = maxLength > 0 ? maxLength : N;
    p.M = M;
    p.nframes = frames;
    CodingPlan plan(std::make_unique<LookaheadDecider>(costs, p), frames);
    return plan.decideAll();
}

// Display index -> the step coding it.
std::map<int, CodingStep> byDisplay(const std::vector<CodingStep>& steps) {
    std::map<int, CodingStep> m;
    for (const CodingStep& s : steps) m[s.displayIndex] = s;
    return m;
}

// GOP lengths in display order: from one GOP start to the next.
std::vector<int> gopLengths(const std::vector<CodingStep>& steps, int frames) {
    std::vector<int> starts;
    for (const CodingStep& s : steps)
        if (s.opensGop) starts.push_back(s.gopStart);
    std::vector<int> lengths;
    for (size_t k = 0; k < starts.size(); ++k)
        lengths.push_back((k + 1 < starts.size() ? starts[k + 1] : frames) - starts[k]);
    return lengths;
}

void expectCutsRespected(const std::vector<CodingStep>& steps, const std::vector<int>& cuts, int frames, int N,
                         int M) {
    EXPECT_EQ(validatePlan(steps, frames, M), "");
    const auto shown = byDisplay(steps);
    // Where the GOP before a cut is full, the old scene's last pictures may
    // be B pictures of the cut's GOP; otherwise the cut's GOP is closed and
    // starts at the cut.
    std::set<int> fullBefore;
    int previousStart = 0;
    for (const CodingStep& s : steps) {
        if (!s.opensGop || s.displayIndex == 0) continue;
        if (s.displayIndex - previousStart > N) fullBefore.insert(s.displayIndex);
        previousStart = s.gopStart;
    }
    for (int cut : cuts) {
        const CodingStep& s = shown.at(cut);
        EXPECT_EQ(s.pictureType, kPictureI) << "cut at " << cut;
        EXPECT_TRUE(s.opensGop) << "cut at " << cut;
        if (fullBefore.count(cut)) {
            EXPECT_LT(s.gopStart, cut);
            EXPECT_FALSE(s.closedGop);
        } else {
            EXPECT_TRUE(s.closedGop) << "cut at " << cut;
            EXPECT_EQ(s.gopStart, cut) << "cut at " << cut;
        }
    }
    // No B picture has its two references on both sides of a cut, but for
    // those of a full GOP.
    int older = -1, newer = -1;
    for (const CodingStep& s : steps) {
        if (s.pictureType != kPictureB) {
            older = newer;
            newer = s.displayIndex;
            continue;
        }
        for (int cut : cuts) {
            if (!fullBefore.count(cut)) {
                EXPECT_FALSE(older < cut && cut <= newer) << "B " << s.displayIndex << " across " << cut;
            }
        }
    }
    // Never two I pictures in a row, unless a scene lasts one picture (or
    // without B pictures, a full GOP ends right before a cut).
    const std::set<int> cutSet(cuts.begin(), cuts.end());
    for (const CodingStep& s : steps)
        if (M > 1 && s.pictureType == kPictureI && s.displayIndex > 0 && !cutSet.count(s.displayIndex - 1)) {
            EXPECT_NE(shown.at(s.displayIndex - 1).pictureType, kPictureI) << "I at " << s.displayIndex;
        }
    for (int length : gopLengths(steps, frames)) EXPECT_LE(length, N);
}

TEST(LookaheadPlan, EveryCutOpensAClosedGopAndNoPredictionCrossesIt) {
    // Cuts at every offset within a GOP and the reference distance,
    // including two in a row and one on the first P position.
    const std::vector<int> cuts = {3, 11, 12, 20, 29, 34, 50};
    for (int M : {1, 2, 3}) {
        SCOPED_TRACE("M=" + std::to_string(M));
        const auto steps = decidePlan(60, cuts, 1.0, 15, M);
        expectCutsRespected(steps, cuts, 60, 15, M);
    }
    // NTSC's longer GOP, a slow camera.
    const auto steps = decidePlan(60, cuts, 0.25, 18, 3);
    expectCutsRespected(steps, cuts, 60, 18, 3);
}

TEST(LookaheadPlan, AGopRunsOnToACutWithinTheTargetsLimit) {
    // GOPs of 12 on a DVD (at most 15): a cut four pictures after a full
    // GOP would otherwise leave a GOP of three pictures and two I pictures
    // in a row.
    const std::vector<int> cuts = {35, 60, 105};
    const auto steps = decidePlan(125, cuts, 1.0, 12, 3, 15);
    expectCutsRespected(steps, cuts, 125, 15, 3);
    const auto lengths = gopLengths(steps, 125);
    int longer = 0;
    for (int length : lengths) {
        EXPECT_GE(length, 6);
        longer += length > 12;
    }
    EXPECT_GE(longer, 1);
    // Without a cut in reach, the usual length holds.
    for (int length : gopLengths(decidePlan(60, {}, 1.0, 12, 3, 15), 60)) EXPECT_LE(length, 12);
}

TEST(LookaheadPlan, SmoothMotionFindsNoCutAndUsesBPictures) {
    const auto steps = decidePlan(43, {}, 1.5, 15, 3);
    EXPECT_EQ(validatePlan(steps, 43, 3), "");
    int intra = 0, b = 0;
    for (const CodingStep& s : steps) {
        intra += s.pictureType == kPictureI;
        b += s.pictureType == kPictureB;
    }
    // GOPs of N pictures: I pictures only where the length demands them.
    EXPECT_EQ(intra, 3);
    EXPECT_GE(b, 20);
    for (int length : gopLengths(steps, 43)) EXPECT_LE(length, 15);
}

TEST(LookaheadPlan, FastMotionAndGrainAreNoSceneCuts) {
    // Every picture predicting badly from the one before (a camera that
    // jumps farther than the search follows) is no cut: a run of I
    // pictures there costs bits and buys nothing.
    auto countI = [](const std::vector<CodingStep>& steps) {
        return std::count_if(steps.begin(), steps.end(), [](const CodingStep& s) { return s.pictureType == kPictureI; });
    };
    const auto slow = decidePlan(30, {}, 0.5, 15, 3);
    const auto fast = decidePlan(30, {}, 45.0, 15, 3);
    EXPECT_EQ(validatePlan(fast, 30, 3), "");
    EXPECT_EQ(countI(fast), countI(slow));
}

// Pictures whose left half is one still texture and whose right half is
// new noise in every picture; from `cut` on the still half changes too.
class HalfStillCosts : public PictureCosts {
public:
    explicit HalfStillCosts(int frames, int cut = 1 << 30) : frames_(frames), cut_(cut) {}
    const QuarterPicture* picture(int display) override {
        if (display < 0 || display >= frames_) return nullptr;
        auto it = pictures_.find(display);
        if (it != pictures_.end()) return &it->second;
        std::vector<uint8_t> luma(128 * 96);
        for (int y = 0; y < 96; ++y)
            for (int x = 0; x < 128; ++x) {
                const int scene = x < 64 ? (display >= cut_ ? 1 : 0) : 100 + display;
                const unsigned h = (static_cast<unsigned>(x / 2) * 73856093u) ^ (static_cast<unsigned>(y / 2) * 19349663u) ^
                                   (static_cast<unsigned>(scene) * 83492791u);
                luma[y * 128 + x] = static_cast<uint8_t>(40 + (h >> 8) % 160);
            }
        return &pictures_.emplace(display, makeQuarterPicture(luma.data(), 128, 128, 96)).first->second;
    }

private:
    int frames_, cut_;
    std::map<int, QuarterPicture> pictures_;
};

double meanOver(const std::vector<double>& f, bool left) {
    double sum = 0;
    int n = 0;
    for (int b = 0; b < static_cast<int>(f.size()); ++b)
        if ((b % 8 < 4) == left) sum += f[b], ++n;
    return sum / n;
}

TEST(TemporalPropagation, FinerWhereLaterPicturesPredictCoarserWhereNothingDoes) {
    HalfStillCosts costs(20);
    const std::vector<double> f = temporalFactors(costs, 2, 10, 0.3);
    ASSERT_EQ(f.size(), 8u * 6u);
    EXPECT_LT(meanOver(f, true), 0.9);
    EXPECT_GT(meanOver(f, false), 1.1);
    // The factors keep the picture's quantiser on average.
    double logSum = 0;
    for (double v : f) logSum += std::log(v);
    EXPECT_NEAR(logSum, 0.0, 1e-6);
    // No strength, no change.
    for (double v : temporalFactors(costs, 2, 10, 0.0)) EXPECT_EQ(v, 1.0);
    // The window ends the propagation: a picture whose successors lie
    // beyond it owes nothing.
    for (double v : temporalFactors(costs, 19, 10, 0.3)) EXPECT_NEAR(v, 1.0, 1e-9);
}

TEST(TemporalPropagation, NothingCrossesACut) {
    HalfStillCosts cut(20, 3);
    // Picture 2 is the still half's last before it changes: no later
    // picture predicts from it, so both halves are alike.
    const std::vector<double> f = temporalFactors(cut, 2, 10, 0.3);
    EXPECT_NEAR(meanOver(f, true), meanOver(f, false), 0.05);
    const std::vector<double> after = temporalFactors(cut, 4, 10, 0.3);
    EXPECT_LT(meanOver(after, true), 0.9);
}

std::vector<uint8_t> fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// closed_gop of every GOP header in an elementary stream.
std::vector<bool> closedGopFlags(const std::vector<uint8_t>& es) {
    std::vector<bool> flags;
    for (size_t i = 0; i + 7 < es.size(); ++i)
        if (es[i] == 0 && es[i + 1] == 0 && es[i + 2] == 1 && es[i + 3] == 0xB8) {
            // 25 bits of time code, then closed_gop, then broken_link.
            const uint32_t bits = (uint32_t{es[i + 4]} << 24) | (uint32_t{es[i + 5]} << 16) | (uint32_t{es[i + 6]} << 8) | es[i + 7];
            flags.push_back(((bits >> 6) & 1) != 0);
            EXPECT_EQ((bits >> 5) & 1, 0u) << "broken_link";
        }
    return flags;
}

struct Case {
    const char* name;
    int kind;
    bool fields;
    bool cbr;
};

TEST(LookaheadEncode, CutsDecodeAsIPicturesInEveryTargetAndLevel) {
    const std::vector<int> cuts = {7, 16, 17, 30};
    const int frames = 40;
    for (const Case& c : {Case{"dvd", 4, false, false}, Case{"dvd-fields", 4, true, false},
                          Case{"vcd-cbr", 1, false, true}}) {
        for (int level : {kQualityHigh, kQualityBest}) {
            SCOPED_TRACE(std::string(c.name) + " " + qualityLevelName(level));
            TempDir dir;
            const std::string out = dir.file(c.kind >= 2 ? "cuts.m2v" : "cuts.m1v");
            VideoJob job(176, 144, frames, out, c.kind, 6);
            SceneFrames source(176, 144, cuts, 1.0);
            job.engine.request.frameSource = &source;
            EncoderSettings& s = job.engine.work;
            if (c.cbr) {
                s.constBitrateFlag = 1;
                s.constBitrate = 1150000;
            }
            s.fieldPictures = c.fields ? 1 : 0;
            applyQualityLevel(s, level);
            CapturingObserver observer;
            std::vector<CodingStep> plan;
            VideoRunOptions options;
            options.observer = &observer;
            options.recordPlan = &plan;
            ASSERT_TRUE(runVideoEncoder(job.engine, options));
            // A DVD GOP may run on to a cut up to 15 pictures (PAL).
            expectCutsRespected(plan, cuts, frames, c.kind == 4 ? 15 : s.iFramesInGOP, s.ipFrameDistance);

            const DecodedVideo video = decodeVideo(out);
            ASSERT_TRUE(video.opened);
            EXPECT_EQ(video.errors, 0);
            ASSERT_EQ(static_cast<int>(video.pictures.size()), frames);
            for (int cut : cuts) EXPECT_EQ(video.pictures[cut].pictType, 1) << "cut at " << cut;
            const StreamCheck check = compareWithEncoder(video, observer);
            EXPECT_LE(check.maxReconDifference, 2);

            std::vector<bool> expected;
            for (const CodingStep& st : plan)
                if (st.opensGop) expected.push_back(st.closedGop);
            EXPECT_EQ(closedGopFlags(fileBytes(out)), expected);
        }
    }
}

}  // namespace
}  // namespace quillon::testing

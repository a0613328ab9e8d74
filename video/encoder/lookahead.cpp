#include "video/encoder/lookahead.h"

#include <algorithm>
#include <cstdlib>
#include <cmath>
#include <limits>

#include "video/dsp/syntax_values.h"
#include "video/encoder/frame_input.h"
#include "video/encoder/picture_tools.h"
#include "video/encoder/video_types.h"

namespace quillon {

QuarterPicture makeQuarterPicture(const uint8_t* luma, int stride, int width, int height) {
    QuarterPicture q;
    q.width = width / 2 / 8 * 8;
    q.height = height / 2 / 8 * 8;
    q.y.resize(static_cast<size_t>(q.width) * q.height);
    for (int r = 0; r < q.height; ++r) {
        const uint8_t* a = luma + static_cast<ptrdiff_t>(2 * r) * stride;
        const uint8_t* b = a + stride;
        uint8_t* out = q.y.data() + static_cast<size_t>(r) * q.width;
        for (int x = 0; x < q.width; ++x)
            out[x] = static_cast<uint8_t>((a[2 * x] + a[2 * x + 1] + b[2 * x] + b[2 * x + 1] + 2) >> 2);
    }
    const int across = q.blocksAcross(), down = q.blocksDown();
    q.intraCost.assign(static_cast<size_t>(across) * down, 0);
    for (int by = 0; by < down; ++by)
        for (int bx = 0; bx < across; ++bx) {
            const uint8_t* p = q.at(8 * bx, 8 * by);
            int sum = 0;
            for (int r = 0; r < 8; ++r)
                for (int x = 0; x < 8; ++x) sum += p[r * q.width + x];
            const int mean = (sum + 32) >> 6;
            int cost = 0;
            for (int r = 0; r < 8; ++r)
                for (int x = 0; x < 8; ++x) cost += std::abs(p[r * q.width + x] - mean);
            q.intraCost[static_cast<size_t>(by) * across + bx] = cost;
            q.intraTotal += cost;
        }
    return q;
}

namespace {

// Quarter samples either way: 64 full-size samples.
constexpr int kRange = 32;

}  // namespace

PictureMatch matchPicture(const QuarterPicture& cur, const QuarterPicture& ref, const QuarterDistances& d) {
    const Sad8x8Fn sad8 = d.sad;
    PictureMatch m;
    const int across = cur.blocksAcross(), down = cur.blocksDown();
    m.blocks.assign(static_cast<size_t>(across) * down, BlockMatch{});
    if (ref.width != cur.width || ref.height != cur.height) return m;
    for (int by = 0; by < down; ++by)
        for (int bx = 0; bx < across; ++bx) {
            const int x0 = 8 * bx, y0 = 8 * by;
            const uint8_t* c = cur.at(x0, y0);
            const int minX = std::max(-kRange, -x0), maxX = std::min(kRange, cur.width - 8 - x0);
            const int minY = std::max(-kRange, -y0), maxY = std::min(kRange, cur.height - 8 - y0);
            int bestX = 0, bestY = 0;
            int best = sad8(c, ref.at(x0, y0), cur.width);
            auto tryAt = [&](int dx, int dy) {
                if (dx < minX || dx > maxX || dy < minY || dy > maxY) return false;
                const int cost = sad8(c, ref.at(x0 + dx, y0 + dy), cur.width);
                if (cost >= best) return false;
                best = cost;
                bestX = dx;
                bestY = dy;
                return true;
            };
            const size_t b = static_cast<size_t>(by) * across + bx;
            if (bx > 0) tryAt(m.blocks[b - 1].dx, m.blocks[b - 1].dy);
            if (by > 0) {
                const BlockMatch& up = m.blocks[b - static_cast<size_t>(across)];
                tryAt(up.dx, up.dy);
                if (bx + 1 < across) {
                    const BlockMatch& upRight = m.blocks[b - static_cast<size_t>(across) + 1];
                    tryAt(upRight.dx, upRight.dy);
                }
            }
            for (int step : {4, 2, 1}) {
                for (int round = 0; round < 4; ++round) {
                    const int cx = bestX, cy = bestY;
                    bool moved = false;
                    for (int dy = -step; dy <= step; dy += step)
                        for (int dx = -step; dx <= step; dx += step)
                            if (dx || dy) moved |= tryAt(cx + dx, cy + dy);
                    if (!moved) break;
                }
            }
            m.blocks[b] = BlockMatch{best, static_cast<int8_t>(bestX), static_cast<int8_t>(bestY)};
            m.total += std::min(best, cur.intraCost[b]);
        }
    return m;
}

int64_t bidirectionalCost(const QuarterPicture& cur, const QuarterPicture& fwd, const QuarterPicture& bwd,
                          const PictureMatch& fromFwd, const PictureMatch& fromBwd, const QuarterDistances& d) {
    const int across = cur.blocksAcross(), down = cur.blocksDown();
    const size_t count = static_cast<size_t>(across) * down;
    if (fromFwd.blocks.size() != count || fromBwd.blocks.size() != count) return 0;
    int64_t total = 0;
    for (int by = 0; by < down; ++by)
        for (int bx = 0; bx < across; ++bx) {
            const size_t b = static_cast<size_t>(by) * across + bx;
            const BlockMatch& f = fromFwd.blocks[b];
            const BlockMatch& k = fromBwd.blocks[b];
            const uint8_t* c = cur.at(8 * bx, 8 * by);
            const uint8_t* p = fwd.at(8 * bx + f.dx, 8 * by + f.dy);
            const uint8_t* q = bwd.at(8 * bx + k.dx, 8 * by + k.dy);
            const int both = d.sadAverage(c, p, q, cur.width);
            total += std::min({f.cost, k.cost, both, cur.intraCost[b]});
        }
    return total;
}

const PictureMatch& PictureCosts::match(int cur, int ref) {
    const auto key = std::make_pair(cur, ref);
    auto it = matches_.find(key);
    if (it != matches_.end()) return it->second;
    const QuarterPicture* c = picture(cur);
    const QuarterPicture* r = picture(ref);
    PictureMatch m;
    if (c && r) m = matchPicture(*c, *r, distances_);
    return matches_.emplace(key, std::move(m)).first->second;
}

void PictureCosts::forgetBefore(int display) {
    for (auto it = matches_.begin(); it != matches_.end();)
        it = it->first.first < display || it->first.second < display ? matches_.erase(it) : std::next(it);
}

namespace {

// The B pictures between the references at display a and a + d, coded after
// the later one.
void pushBPictures(std::vector<CodingStep>& plan, int a, int d, int gopStart) {
    for (int j = 1; j < d; ++j) {
        CodingStep b;
        b.pictureType = kPictureB;
        b.displayIndex = a + j;
        b.gopStart = gopStart;
        b.motionEntry = j;
        plan.push_back(b);
    }
}

}  // namespace

// How many times worse a cut picture predicts from the one before than that
// one did: cut pictures measured 0.69-0.79 of their intra cost, pictures of
// one scene 0.19-0.25.
constexpr double kCutJump = 2.0;

bool LookaheadDecider::isCut(int display) {
    if (p_.cutPercent <= 0 || display <= 0) return false;
    const QuarterPicture* cur = costs_.picture(display);
    if (!cur || !costs_.picture(display - 1)) return false;
    // Nearly flat pictures (a fade to black) say nothing either way.
    const int64_t floor = static_cast<int64_t>(cur->intraCost.size()) * 64;
    if (cur->intraTotal <= floor) return false;
    const PictureMatch& m = costs_.match(display, display - 1);
    if (m.total * 100 < static_cast<int64_t>(p_.cutPercent) * cur->intraTotal) return false;
    // A cut is a jump: where every picture predicts as badly as this one
    // (heavy grain, fast motion) an I picture each time buys nothing. The
    // better of the two pictures before is the measure, so that a scene of
    // one picture still gets its own.
    const double ratio = static_cast<double>(m.total) / static_cast<double>(cur->intraTotal);
    double before = -1;
    for (int back = 1; back <= 2; ++back) {
        const QuarterPicture* p = costs_.picture(display - back);
        if (display - back < 1 || !p || !costs_.picture(display - back - 1) || p->intraTotal <= floor) continue;
        const double r = static_cast<double>(costs_.match(display - back, display - back - 1).total) /
                         static_cast<double>(p->intraTotal);
        before = before < 0 ? r : std::min(before, r);
    }
    // With nothing before to measure against, it is no cut: the picture
    // after the first is the only one without.
    return before >= 0 && ratio >= kCutJump * before;
}

int LookaheadDecider::chooseDistance(int anchor, int longest) {
    if (longest <= 1) return std::max(1, longest);
    for (int d = 1; d <= longest; ++d)
        if (!costs_.picture(anchor + d)) return longest;
    // B pictures are coded coarser than references and nothing predicts
    // from them, so their cost weighs less.
    // Measured on the scene-cut clip: 0.8 left out B pictures that paid.
    constexpr double kBWeight = 0.4;
    int best = longest;
    double bestScore = std::numeric_limits<double>::max();
    for (int d = longest; d >= 1; --d) {
        double cost = static_cast<double>(costs_.match(anchor + d, anchor).total);
        for (int j = 1; j < d; ++j) {
            const QuarterPicture& cur = *costs_.picture(anchor + j);
            cost += kBWeight * static_cast<double>(bidirectionalCost(
                                   cur, *costs_.picture(anchor), *costs_.picture(anchor + d),
                                   costs_.match(anchor + j, anchor), costs_.match(anchor + j, anchor + d),
                                   costs_.distances()));
        }
        const double score = cost / d;
        // Ties go to the longer distance: fewer references, fewer bits.
        if (score < bestScore) {
            bestScore = score;
            best = d;
        }
    }
    return best;
}

void LookaheadDecider::decideMore(std::vector<CodingStep>& plan) {
    const int N = std::max(1, p_.N), M = std::max(1, p_.M), nframes = p_.nframes;
    if (plan.empty()) {
        if (nframes <= 0) return;
        CodingStep first;
        first.pictureType = kPictureI;
        first.opensGop = true;
        first.closedGop = true;
        plan.push_back(first);
        lastAnchor_ = 0;
        gopStart_ = 0;
        return;
    }
    const int a = lastAnchor_;
    if (a >= nframes - 1) return;
    int longest = std::min(M, nframes - 1 - a);
    int cutAt = -1;
    for (int k = a + 1; k <= a + longest; ++k)
        if (isCut(k)) {
            cutAt = k;
            break;
        }
    // A GOP may run on past N up to the target's limit when that lets it
    // end right before a cut, instead of a short GOP of its own there.
    int limit = N;
    for (int k = a + 1; k <= std::min(a + 2 * M, nframes - 1); ++k)
        if (isCut(k)) {
            if (k - gopStart_ <= p_.maxLength) limit = std::max(N, p_.maxLength);
            break;
        }
    CodingStep anchor;
    if (cutAt == a + 1) {
        // A new scene: a closed GOP that opens with it, nothing before it
        // predicting from it.
        anchor.pictureType = kPictureI;
        anchor.displayIndex = cutAt;
        anchor.opensGop = anchor.closedGop = true;
        anchor.gopStart = gopStart_ = cutAt;
        plan.push_back(anchor);
        lastAnchor_ = cutAt;
        costs_.forgetBefore(cutAt);
        return;
    }
    if (cutAt > 0 && cutAt - 1 - gopStart_ + 1 > limit) {
        // The old scene's GOP is full: its last pictures become B pictures
        // of the cut's GOP, coded after its I picture. They predict from
        // the old scene's reference (closed_gop stays 0); the other choice,
        // an I picture of their own, costs far more.
        anchor.pictureType = kPictureI;
        anchor.displayIndex = cutAt;
        anchor.opensGop = true;
        anchor.gopStart = gopStart_ = a + 1;
        plan.push_back(anchor);
        pushBPictures(plan, a, cutAt - a, gopStart_);
        lastAnchor_ = cutAt;
        costs_.forgetBefore(a);
        return;
    }
    // Otherwise the old scene ends with a reference of its own, so that no
    // B picture predicts across the cut.
    if (cutAt > 0) longest = cutAt - 1 - a;
    const int d = chooseDistance(a, longest);
    const int p = a + d;
    anchor.displayIndex = p;
    if (p - gopStart_ + 1 > limit) {
        anchor.pictureType = kPictureI;
        anchor.opensGop = true;
        // Its B pictures predict from the previous GOP's last reference.
        anchor.closedGop = d == 1;
        gopStart_ = a + 1;
    } else {
        anchor.pictureType = kPictureP;
    }
    anchor.gopStart = gopStart_;
    plan.push_back(anchor);
    pushBPictures(plan, a, d, gopStart_);
    lastAnchor_ = p;
    costs_.forgetBefore(a);
}

std::vector<double> temporalFactors(PictureCosts& costs, int display, int window, double exponent) {
    const QuarterPicture* base = costs.picture(display);
    if (!base) return {};
    const int across = base->blocksAcross(), down = base->blocksDown();
    const size_t count = static_cast<size_t>(across) * down;
    std::vector<double> factors(count, 1.0);
    if (exponent <= 0) return factors;
    int last = display;
    while (last < display + window && costs.picture(last + 1)) ++last;
    // Walks back from the farthest picture: what each picture owes its
    // predecessor is its own information plus what it passes on, in the
    // share its prediction saves against intra coding.
    std::vector<double> carried(count, 0.0), previous(count, 0.0);
    for (int j = last; j > display; --j) {
        const QuarterPicture& cur = *costs.picture(j);
        const PictureMatch& m = costs.match(j, j - 1);
        std::fill(previous.begin(), previous.end(), 0.0);
        for (int by = 0; by < down; ++by)
            for (int bx = 0; bx < across; ++bx) {
                const size_t b = static_cast<size_t>(by) * across + bx;
                const double intra = cur.intraCost[b];
                const double inter = std::min<double>(m.blocks[b].cost, intra);
                if (intra <= 0) continue;
                const double amount = (intra + carried[b]) * (1.0 - inter / intra);
                if (amount <= 0) continue;
                // Split over the up to four blocks the vector points into,
                // by the area it covers of each.
                const int x = 8 * bx + m.blocks[b].dx, y = 8 * by + m.blocks[b].dy;
                const int x0 = x >> 3, y0 = y >> 3, fx = x & 7, fy = y & 7;
                const int wx[2] = {8 - fx, fx}, wy[2] = {8 - fy, fy};
                for (int u = 0; u < 2; ++u)
                    for (int v = 0; v < 2; ++v) {
                        const int tx = x0 + v, ty = y0 + u;
                        const int area = wx[v] * wy[u];
                        if (!area || tx < 0 || ty < 0 || tx >= across || ty >= down) continue;
                        previous[static_cast<size_t>(ty) * across + tx] += amount * area / 64.0;
                    }
            }
        carried.swap(previous);
    }
    // Flat blocks cost almost nothing alone; a floor keeps their ratio sane.
    double logSum = 0;
    for (size_t b = 0; b < count; ++b) {
        const double intra = base->intraCost[b] + 64.0;
        factors[b] = std::pow(intra / (intra + carried[b]), exponent);
        logSum += std::log(factors[b]);
    }
    const double mean = std::exp(logSum / static_cast<double>(count));
    for (double& f : factors) f /= mean;
    return factors;
}

namespace {

// The encoder's frames, fetched through the frame input's window.
class EncoderPictureCosts : public PictureCosts {
public:
    explicit EncoderPictureCosts(VideoEncoder& enc) : enc_(enc) {
        const MotionRoutines r = selectMotionRoutines(enc.engine.ev.MMXMode, enc.engine.ev.cpuFeatures);
        distances_.sad = r.sad8x8;
        distances_.sadAverage = r.sadAverage8x8;
    }
    const QuarterPicture* picture(int display) override {
        if (display < 0 || display >= enc_.nframes) return nullptr;
        // Past a picture the source could not give, the input has ended for
        // the plan: asking again would only repeat the source's message.
        if (unreadableFrom_ >= 0 && display >= unreadableFrom_) return nullptr;
        auto it = pictures_.find(display);
        if (it != pictures_.end()) return it->second.y.empty() ? nullptr : &it->second;
        QuarterPicture& q = pictures_[display];
        if (fetchPicture(enc_, scratch_, display))
            q = makeQuarterPicture(scratch_.y(), enc_.geo.paddedWidth, enc_.geo.paddedWidth, enc_.geo.paddedHeight);
        else
            unreadableFrom_ = display;
        return q.y.empty() ? nullptr : &q;
    }
    int unreadableFrom() const { return unreadableFrom_; }
    void forget(int display) {
        forgetBefore(display);
        pictures_.erase(pictures_.begin(), pictures_.lower_bound(display));
    }
    VideoEncoder& encoder() { return enc_; }

private:
    VideoEncoder& enc_;
    Picture scratch_;
    std::map<int, QuarterPicture> pictures_;
    int unreadableFrom_ = -1;
};

class LookaheadPlanDecider : public PlanDecider {
public:
    LookaheadPlanDecider(std::shared_ptr<EncoderLookahead> owner, PictureCosts& costs, const LookaheadParameters& p)
        : owner_(std::move(owner)), decider_(costs, p) {}
    void decideMore(std::vector<CodingStep>& plan) override { decider_.decideMore(plan); }

private:
    std::shared_ptr<EncoderLookahead> owner_;
    LookaheadDecider decider_;
};

}  // namespace

class EncoderLookahead {
public:
    explicit EncoderLookahead(VideoEncoder& enc) : costs(enc) {}
    EncoderPictureCosts costs;
};

std::shared_ptr<EncoderLookahead> makeEncoderLookahead(VideoEncoder& enc) {
    return std::make_shared<EncoderLookahead>(enc);
}

std::unique_ptr<CodingPlan> makeLookaheadPlan(VideoEncoder& enc, const std::shared_ptr<EncoderLookahead>& lookahead) {
    LookaheadParameters p;
    p.N = p.maxLength = enc.gopSize;
    if (enc.s.videoType == kKindDvd) {
        // DVD players take at most 15 pictures a GOP at 25 pictures a second
        // and 18 at 29.97.
        p.maxLength = enc.s.frameRate > 26 ? 18 : 15;
        p.N = std::min(p.N, p.maxLength);
    }
    p.M = enc.refDistance;
    p.nframes = enc.nframes;
    p.cutPercent = enc.s.sceneCut;
    return std::make_unique<CodingPlan>(std::make_unique<LookaheadPlanDecider>(lookahead, lookahead->costs, p),
                                        enc.nframes);
}

void prepareTemporalFactors(VideoEncoder& enc, EncoderLookahead& lookahead, int display, int pictureType) {
    enc.temporalFactor.clear();
    // The plan looks at most M pictures back from the newest reference.
    lookahead.costs.forget(display - enc.refDistance - 1);
    // B pictures are references of nothing; field pictures have their own
    // macroblock rows.
    if (enc.s.propagation <= 0 || pictureType == kPictureB || enc.s.fieldPictures) return;
    // Grain is new in every picture: what a reference's macroblock seems to
    // pass on is mostly the noise of the cost measure, so grainy pictures
    // take the propagation by their type ratio share (none when fully
    // grainy).
    const double strength = enc.s.propagation * enc.typeRatioShare / 10000.0;
    if (strength <= 0) return;
    const std::vector<double> f =
        temporalFactors(lookahead.costs, display, std::max(enc.s.lookahead, 1), strength);
    if (f.size() == static_cast<size_t>(enc.geo.mbWidth) * enc.geo.mbHeightPicture) enc.temporalFactor = f;
}

int lookaheadBreak(const EncoderLookahead& lookahead) { return lookahead.costs.unreadableFrom(); }

int temporalMquant(const VideoEncoder& enc, int k, int mquant, int qScaleType) {
    if (k < 0 || static_cast<size_t>(k) >= enc.temporalFactor.size()) return mquant;
    return nearestCodableMquant(mquant * enc.temporalFactor[static_cast<size_t>(k)], qScaleType);
}


}  // namespace quillon

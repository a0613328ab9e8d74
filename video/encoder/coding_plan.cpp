#include "video/encoder/coding_plan.h"

#include <algorithm>
#include <utility>

#include "engine/format.h"
#include "video/dsp/syntax_values.h"

namespace quillon {

CodingStep planCodingStep(int i, int N, int M, int nframes) {
    CodingStep step;
    step.gopStart = std::max(0, N * ((i + M - 1) / N) - (M - 1));
    if (i > 0 && (i - 1) % M != 0) {
        step.pictureType = kPictureB;
        step.displayIndex = i - 1;
        step.motionEntry = ((i - 2) % M) + 1;
        return step;
    }
    step.displayIndex = i == 0 ? 0 : std::min(i + M - 1, nframes - 1);
    if (i == step.gopStart) {
        step.pictureType = kPictureI;
        step.opensGop = true;
        step.closedGop = i == 0;
    } else {
        step.pictureType = kPictureP;
        step.motionEntry = 0;
    }
    return step;
}

GopCounts gopCounts(int i, int f0, int N, int M, int nframes) {
    GopCounts c;
    c.n = i == 0 ? N - (M - 1) : N;
    if (c.n > nframes - f0) c.n = nframes - f0;
    c.np = i == 0 ? (c.n + 2 * (M - 1)) / M - 1 : (c.n + M - 1) / M - 1;
    if (c.np < 0) c.np = 0;
    c.nb = c.n - c.np - 1;
    if (c.nb < 0) c.nb = 0;
    return c;
}

namespace {

class FixedDecider : public PlanDecider {
public:
    FixedDecider(int N, int M, int nframes) : N_(N), M_(M), nframes_(nframes) {}
    void decideMore(std::vector<CodingStep>& plan) override {
        const int i = static_cast<int>(plan.size());
        if (i < nframes_) plan.push_back(planCodingStep(i, N_, M_, nframes_));
    }
    // The formula, not the count: with N no multiple of M the two differ,
    // and the classic coding keeps the formula.
    bool gopCounts(const std::vector<CodingStep>& plan, int i, GopCounts& c) override {
        c = quillon::gopCounts(i, plan[static_cast<size_t>(i)].gopStart, N_, M_, nframes_);
        return true;
    }

private:
    int N_, M_, nframes_;
};

class NoDecider : public PlanDecider {
public:
    void decideMore(std::vector<CodingStep>&) override {}
};

}  // namespace

CodingPlan CodingPlan::fixed(int N, int M, int nframes) {
    return CodingPlan(std::make_unique<FixedDecider>(std::max(1, N), std::max(1, M), nframes), nframes);
}

CodingPlan CodingPlan::replay(std::vector<CodingStep> steps) {
    const int n = static_cast<int>(steps.size());
    CodingPlan plan(std::make_unique<NoDecider>(), n);
    plan.steps_ = std::move(steps);
    return plan;
}

CodingPlan::CodingPlan(std::unique_ptr<PlanDecider> decider, int nframes)
    : decider_(std::move(decider)), nframes_(std::max(0, nframes)) {}

void CodingPlan::decideUpTo(int i) {
    while (static_cast<int>(steps_.size()) <= i && static_cast<int>(steps_.size()) < nframes_) {
        const size_t before = steps_.size();
        decider_->decideMore(steps_);
        // A decider that stops short would leave the loop without pictures.
        if (steps_.size() == before) break;
    }
    if (static_cast<int>(steps_.size()) > nframes_) steps_.resize(static_cast<size_t>(nframes_));
}

const CodingStep& CodingPlan::step(int i) {
    decideUpTo(i);
    static const CodingStep kNone;
    if (i < 0 || i >= static_cast<int>(steps_.size())) return kNone;
    return steps_[static_cast<size_t>(i)];
}

GopCounts CodingPlan::gopCounts(int i) {
    GopCounts c;
    if (i < 0 || i >= nframes_) return c;
    step(i);
    if (i < static_cast<int>(steps_.size()) && decider_->gopCounts(steps_, i, c)) return c;
    for (int j = i; j < nframes_; ++j) {
        const CodingStep& s = step(j);
        if (j >= static_cast<int>(steps_.size())) break;
        if (j > i && s.opensGop) break;
        ++c.n;
        if (s.pictureType == kPictureP) ++c.np;
        if (s.pictureType == kPictureB) ++c.nb;
    }
    return c;
}

const std::vector<CodingStep>& CodingPlan::decideAll() {
    decideUpTo(nframes_ - 1);
    return steps_;
}

std::string validatePlan(const std::vector<CodingStep>& steps, int nframes, int M) {
    if (static_cast<int>(steps.size()) != nframes)
        return formatText("the plan holds %d pictures, the encode %d", static_cast<int>(steps.size()), nframes);
    std::vector<char> seen(static_cast<size_t>(nframes), 0);
    int lastAnchor = -1;     // display index of the newest reference
    int olderAnchor = -1;    // and of the one before it
    int gopStart = 0;
    for (int i = 0; i < nframes; ++i) {
        const CodingStep& s = steps[static_cast<size_t>(i)];
        auto bad = [&](const char* what) { return formatText("coding step %d: %s", i, what); };
        if (s.pictureType < kPictureI || s.pictureType > kPictureB) return bad("unknown picture type");
        if (s.displayIndex < 0 || s.displayIndex >= nframes) return bad("display index outside the encode");
        if (seen[static_cast<size_t>(s.displayIndex)]) return bad("display index coded twice");
        seen[static_cast<size_t>(s.displayIndex)] = 1;
        if (i == 0 && !s.opensGop) return bad("the first picture does not open a GOP");
        if (s.opensGop) {
            if (s.pictureType != kPictureI) return bad("a GOP opens with a picture other than I");
            if (s.gopStart > s.displayIndex || s.gopStart <= lastAnchor) return bad("GOP start outside its pictures");
            gopStart = s.gopStart;
        } else if (s.gopStart != gopStart) {
            return bad("GOP start differs from its GOP's");
        }
        if (s.displayIndex - gopStart >= 1024) return bad("temporal reference beyond 1023");
        if (s.pictureType == kPictureB) {
            // Between the two newest references, in display order.
            if (olderAnchor < 0 || s.displayIndex <= olderAnchor || s.displayIndex >= lastAnchor)
                return bad("B picture outside its references");
            if (lastAnchor - olderAnchor > M) return bad("more B pictures between references than allowed");
            if (s.displayIndex < gopStart) return bad("B picture before its GOP");
            if (s.motionEntry != s.displayIndex - olderAnchor) return bad("motion table entry of a B picture");
        } else {
            if (s.displayIndex <= lastAnchor) return bad("reference out of display order");
            if (s.pictureType == kPictureP && s.motionEntry != 0) return bad("motion table entry of a P picture");
            olderAnchor = lastAnchor;
            lastAnchor = s.displayIndex;
        }
    }
    return {};
}

}  // namespace quillon

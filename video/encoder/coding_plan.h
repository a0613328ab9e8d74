// The GOP plan: which picture each coding index codes. One object decides
// every step of an encode (from the fixed N/M formula, from the lookahead,
// or by replaying the steps of an earlier encode of the same job) and keeps
// what it decided, so that GOP re-coding going back finds the same steps and
// a first pass can hand its plan to a second one.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace quillon {

// One coding step: the picture coded at a coding index.
struct CodingStep {
    int pictureType = 1;     // 1 I, 2 P, 3 B
    int displayIndex = 0;
    int gopStart = 0;        // f0: display index of the GOP's first picture
    bool opensGop = false;   // an I picture that starts a GOP
    bool closedGop = false;  // GOP header flags, meaningful where opensGop
    bool brokenLink = false;
    int motionEntry = 0;     // motion table entry (P: 0, B: distance from the forward reference)

    bool operator==(const CodingStep&) const = default;
};

// Pictures of the GOP a step opens: all of them, P and B.
struct GopCounts {
    int n = 0, np = 0, nb = 0;
    bool operator==(const GopCounts&) const = default;
};

// Decides further steps of a plan when the encoder needs them.
class PlanDecider {
public:
    virtual ~PlanDecider() = default;
    // Appends at least one step to plan unless plan already holds every
    // picture of the encode. A step that opens a GOP is followed in the
    // same call, or in later ones, by the rest of its GOP.
    virtual void decideMore(std::vector<CodingStep>& plan) = 0;
    // The counts of the GOP that plan[i] opens when the decider has its own
    // rule for them; false to count the plan's steps.
    virtual bool gopCounts(const std::vector<CodingStep>&, int, GopCounts&) { return false; }
};

class CodingPlan {
public:
    // The fixed formula of N pictures per GOP and M between references.
    static CodingPlan fixed(int N, int M, int nframes);
    // Codes steps instead of deciding them; check them with validatePlan
    // first.
    static CodingPlan replay(std::vector<CodingStep> steps);
    CodingPlan(std::unique_ptr<PlanDecider> decider, int nframes);

    int size() const { return nframes_; }
    // The step of coding index i (0 <= i < size()), decided now if needed.
    const CodingStep& step(int i);
    // For a step that opens a GOP: its pictures, up to the next opening
    // step or the end of the encode.
    GopCounts gopCounts(int i);
    // Every step decided so far (all of them once the encode has ended).
    const std::vector<CodingStep>& steps() const { return steps_; }
    // Decides every remaining step.
    const std::vector<CodingStep>& decideAll();

private:
    void decideUpTo(int i);
    std::unique_ptr<PlanDecider> decider_;
    std::vector<CodingStep> steps_;
    int nframes_ = 0;
};

// Empty when steps can be coded as an encode of nframes pictures with at
// most M - 1 B pictures between references; otherwise the reason, for a
// message.
std::string validatePlan(const std::vector<CodingStep>& steps, int nframes, int M);

// The fixed formula's step and GOP counts for coding index i.
CodingStep planCodingStep(int i, int N, int M, int nframes);
GopCounts gopCounts(int i, int f0, int N, int M, int nframes);

}  // namespace quillon

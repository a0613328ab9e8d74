// Two-pass variable bitrate. The first pass codes with the fixed quantiser
// and keeps a record of every coding step (what was coded, where its bits
// went, how hard it was); the second pass replays the same plan and gives
// each picture the quantiser that spends the average bitrate where the
// pictures need it, within the maximum bitrate and the VBV buffer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "video/encoder/picture_loop.h"

namespace quillon {

// One coding step (a frame, or both fields of one) of the first pass.
struct PassPicture {
    int codingIndex = 0;
    int displayIndex = 0;
    int type = kPictureI;     // 1 I, 2 P, 3 B
    int structure = 3;        // 3 frame picture, 0 a pair of field pictures
    bool opensGop = false;
    bool closedGop = false;
    bool brokenLink = false;
    int gopStart = 0;
    int motionEntry = 0;
    double headerBits = 0;       // picture, slice and GOP/sequence headers, stuffing
    double vectorBits = 0;       // macroblock modes, quantiser codes and vectors
    double coefficientBits = 0;  // coded blocks
    double quantSum = 0;         // sum of the macroblock quantisers (scale values)
    double pictureQuant = 0;     // the picture's own quantiser, before the macroblocks' factors
    int macroblocks = 0;
    int intraMacroblocks = 0;
    int skippedMacroblocks = 0;
    double complexity = 0;       // (vector + coefficient bits) x mean quantiser

    double meanQuant() const { return macroblocks > 0 && quantSum > 0 ? quantSum / macroblocks : 1.0; }
    // What the second pass scales: the macroblocks' factors (adaptive
    // quantisation, propagation) come again on top of it.
    double baseQuant() const { return pictureQuant > 0 ? pictureQuant : meanQuant(); }
    double bits() const { return headerBits + vectorBits + coefficientBits; }
};

struct PassRecord {
    int frames = 0;
    double frameRate = 25;
    int gopSize = 1;
    int refDistance = 1;
    int mquantValue = 0;
    std::vector<PassPicture> pictures;  // coding order
};

// The record as a text file: a version line, the sequence line, a column
// line and one line per coding step.
bool writePassRecord(const std::string& path, const PassRecord& record, std::string* error);
bool readPassRecord(const std::string& path, PassRecord& record, std::string* error);

// The coding step a recorded picture stands for; the second pass codes
// these instead of asking the GOP plan again.
CodingStep replayStep(const PassPicture& p);

// What the bit distribution must respect.
struct BitPlanLimits {
    double averageBitrate = 0;  // bit/s, the goal
    double maxBitrate = 0;      // bit/s, 0: no VBV model
    double vbvBits = 0;         // buffer size in bits
    double frameRate = 25;
    double qMin = 2, qMax = 62;  // quantiser scale range
};

struct PlannedPicture {
    double q = 0;     // quantiser scale
    double bits = 0;  // what the first pass's figures predict at q
};

// Bits a recorded picture is expected to take at quantiser scale q.
double expectedBits(const PassPicture& p, double q);

// The allocation: the first pass's quantisers scaled as one so that the
// total meets the average bitrate, then raised where a picture would drain
// the VBV buffer.
std::vector<PlannedPicture> planSecondPass(const PassRecord& record, const BitPlanLimits& limits);

// The second pass's controller: the plan, corrected before each picture by
// the bits actually spent so far, and a buffer model of the bits actually
// written that keeps every picture within what the decoder's buffer holds.
class SecondPass {
public:
    SecondPass(PassRecord record, const BitPlanLimits& limits);

    const PassRecord& record() const { return record_; }
    const std::vector<PlannedPicture>& plan() const { return plan_; }
    double targetBits() const { return targetBits_; }

    // Before coding step i: bitsSoFar is the stream's size in bits (after
    // the headers that open the step). Returns the quantiser scale.
    double startPicture(int i, double bitsSoFar);
    // After coding step i with the bits it took.
    void endPicture(int i, double bits);
    double quant() const { return q_; }

private:
    PassRecord record_;
    BitPlanLimits limits_;
    std::vector<PlannedPicture> plan_;
    std::vector<double> plannedBefore_;  // planned bits of steps 0..i-1
    std::vector<double> fullness_;       // buffer model before step i
    double targetBits_ = 0;
    double q_ = 0;
    // Bits written against bits the model expected at the quantiser used.
    struct TypeError {
        double actual = 0, expected = 0, prior = 0;
    };
    TypeError errors_[4];
    struct Counted {
        int type = 0;
        double actual = 0, expected = 0;
    };
    std::vector<Counted> counted_;
};

}  // namespace quillon

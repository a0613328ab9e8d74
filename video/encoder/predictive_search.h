// Motion vectors chosen by their cost, not their distance alone: a vector
// whose prediction is nearly as good as the search's best but which costs
// fewer bits (the neighbour's vector, which codes as a zero difference, or
// no motion at all) wins. On grainy pictures the search's best follows the
// noise from macroblock to macroblock; each such vector costs bits and
// keeps B macroblocks from being skipped.
#pragma once

#include "video/dsp/distance_routines.h"
#include "video/encoder/motion_estimation.h"

namespace quillon {

// Bits of one motion vector component's difference (half samples) under
// f_code: motion_code and, where there is one, motion_residual. Differences
// beyond the f_code's range count as its largest code.
int motionDeltaBits(int delta, int fCode);

// The weight of a bit against the sum of absolute differences, from the
// quantiser the picture will mostly use; percent scales it, 0 turns the
// vector cost off.
double vectorLambda(int mquant, int pictureType, int percent);

struct VectorChoice {
    const uint8_t* recon = nullptr;  // reference at sample (0, 0)
    const uint8_t* block = nullptr;  // current block
    int lx = 0, h = 16;
    int x = 0, y = 0;                // block position, samples
    // Allowed positions of the block in the reference, half samples.
    int xLow = 0, xHigh = 0, yLow = 0, yHigh = 0;
    int predictorX = 0, predictorY = 0;  // relative vector the difference is coded against
    int fCode[2] = {1, 1};
    double lambda = 0;
};

// The quantiser the picture being searched will mostly use.
int searchMquant(const VideoEncoder& enc);

// found: the search's result (absolute half-sample position, distance).
// Tries the predictor, the zero vector and the given extra relative
// vectors; returns the one of least distance plus lambda times bits, with
// its distance.
SearchResult chooseVectorByCost(const MotionRoutines& r, const VectorChoice& c, const SearchResult& found,
                                const int (*extra)[2], int extraCount);

// The integer stage of the predictive search: the candidate vectors (the
// neighbours' and the previous picture's, zero), then small diamond steps
// from the cheapest while a step gains, every position costed by its
// distance plus lambda times the bits of its vector's difference from the
// predictor. Positions outside the window are never read.
struct PredictiveWindow {
    int x = 0, y = 0;                          // block position, samples
    int xLow = 0, xHigh = 0, yLow = 0, yHigh = 0;  // allowed block positions, samples
    int predictorX = 0, predictorY = 0;        // relative vector the difference is coded against, half samples
    int fCode[2] = {1, 1};
    double lambda = 0;
    int steps = 8;                              // diamond steps at most
};
// candidates: relative vectors in half samples (rounded down to whole
// samples). Returns the absolute position in samples and its distance.
RingBest predictiveIntegerSearch(const MotionRoutines& r, const uint8_t* source, const uint8_t* block, int lx, int h,
                                 const PredictiveWindow& w, const int (*candidates)[2], int count);

}  // namespace quillon

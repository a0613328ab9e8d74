// Motion estimation: for every macroblock of a picture the macroblock type,
// the motion type and the vectors, from the luminance planes alone. Below a
// variableMaxMotion of 8 the whole search window is visited; from 8 a coarse
// vector found on quarter-resolution images is refined in a small window and
// the picture's f_codes are fitted to the vectors found afterwards.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "video/dsp/distance_routines.h"
#include "video/encoder/rate_interface.h"
#include "video/encoder/video_types.h"

namespace quillon {

// What the search found on the uncoded pictures of the GOP being coded:
// per picture the coarse vectors and every block search's integer result
// with the window it searched. Both read the uncoded pictures alone, so a
// GOP coded again with another quantiser finds them here and repeats only
// the half-sample stage on its new reconstructions.
struct SearchMemory {
    static constexpr int kSlots = 12;  // block searches of one macroblock at most

    // A picture and the anchors it was searched against, by display number.
    struct Key {
        int display = 0, structure = 0, type = 0, older = -1, newer = -1;
        bool operator==(const Key&) const = default;
    };
    struct Search {
        int16_t centreX = 0, centreY = 0, rings = -1;  // rings -1: nothing kept
        int16_t xLow = 0, xHigh = 0, yLow = 0, yHigh = 0;
        int16_t x = 0, y = 0;
        int32_t distance = 0;
    };
    struct Record {
        Key key;
        bool coarseKept = false;
        std::vector<int> coarse;       // forward x, y, backward x, y per macroblock
        std::vector<Search> searches;  // kSlots per macroblock
    };

    // The record of key; a new, empty one when there is none. A new I
    // frame starts a GOP no later coding goes back before, and drops the
    // records of earlier pictures. Null when memory runs out.
    Record* open(const Key& key, bool startsGop, size_t macroblocks);

    // The first `used` are valid; the rest keep their storage. A deque, so
    // that opening a record never moves those already handed out.
    std::deque<Record> records;
    size_t used = 0;
    static constexpr size_t kMostPictures = 40;
};

struct MotionSearchState {
    MotionRoutines routines;
    bool hierarchical = false;
    int coarseRangeForward = 0;   // quarter-resolution samples
    int coarseRangeBackward = 0;
    int refineRange = 0;          // variableMaxMotion + 4 samples

    // Quarter-resolution images: the current picture's and the two anchors'.
    // The roles rotate by index so the pixels never move.
    int quarterWidth = 0, quarterHeight = 0;
    std::vector<uint8_t> quarter[3];
    int currentImage = 0, newerImage = 1, olderImage = 2;
    int pictureImage = 0;  // the image of the picture being coded
    std::vector<int> quarterCopy;  // integer copy of the current image, for its variance

    // Coarse positions per macroblock (absolute samples, multiples of 4).
    std::vector<int> forwardX, forwardY, backwardX, backwardY;

    int patience[2] = {1, 1};  // per field (frame pictures use [0])
    // Largest vector components found, samples: [forward/backward][h/v].
    int maxVector[2][2] = {};
    int threads = 1;  // macroblock rows searched side by side

    // Display numbers of the anchors (-1: none yet), moved along like the
    // quarter-resolution images; with the picture's own number they name
    // the uncoded pictures a search reads.
    int olderAnchor = -1, newerAnchor = -1;
    // Shared, not copied, when a GOP's start state is saved: a GOP coded
    // again reads the same uncoded pictures, so only the half-sample stage
    // on the new reconstructions is repeated.
    std::shared_ptr<SearchMemory> memory;
};

// Chooses the distance routines for the machine's routine set and, with
// variableMaxMotion 8 or more, allocates the hierarchical search state.
// Reports and fails when memory runs out.
bool setUpMotionSearch(VideoEncoder& enc);
void clearMotionMaxima(VideoEncoder& enc);

// Fills enc.mbInfo for the picture described by enc.pic. The current source
// picture is enc.current; the older anchor (oldOrg, oldRef) is the forward
// reference, the newer anchor (newOrg, newRef) the backward reference of B
// pictures and, in the second field of an I or P frame, the frame's own
// first field. Pumps the dialog after every macroblock and returns false
// when a stop has been confirmed.
bool estimateMotion(VideoEncoder& enc);

// After the motion search of a P or B picture in hierarchical mode: warns
// about vectors beyond the configured maximum and sets the picture's
// f_codes (and those of its motion table entry) from the largest vectors.
void adaptFCodes(VideoEncoder& enc, int motionEntry);
// The f_code whose range holds vectors up to m samples.
int fCodeForMaximum(int m);

// Decision rules, kept apart so they can be checked in isolation.
// A macroblock is intra when its variance is below the threshold derived
// from the prediction's squared error and that error is not small.
bool chooseIntra(int var, int vmc, bool hierarchical);
// A P macroblock is coded without motion compensation when its vector
// gains too little over the zero vector, or the zero vector is good enough.
bool chooseNoMotionCompensation(int vmc, int vzero);
// Dual-prime scaling of an opposite-parity vector component by 2/3.
int scaleTwoThirds(int v);

// Result of one block search: distance and absolute position in half
// samples (twice the sample position).
struct SearchResult {
    int distance = 0;
    int x = 0, y = 0;
};

// One search window: the integer positions xLow..xHigh, yLow..yHigh
// (inclusive) reached by rings 1..rings around (centreX, centreY), then the
// half-sample refinement around the best, bounded by the picture
// (xLimit = width - 16, yLimit = height - h, in samples).
struct SearchWindow {
    int xLow = 0, xHigh = 0, yLow = 0, yHigh = 0;
    int centreX = 0, centreY = 0;
    int rings = 0;
    int xLimit = 0, yLimit = 0;
};
// source: the uncoded reference at sample (0, 0) of the searched field or
// frame; recon: the reconstructed one; block: the current block; lx: the
// line stride of all three.
SearchResult searchBlock(const MotionRoutines& r, const uint8_t* source, const uint8_t* recon, const uint8_t* block,
                         int lx, int h, const SearchWindow& w);
// The two stages of searchBlock: the integer positions on the uncoded
// reference, then the half samples around the best on the reconstruction.
RingBest integerStage(const MotionRoutines& r, const uint8_t* source, const uint8_t* block, int lx, int h,
                      const SearchWindow& w);
SearchResult halfSampleStage(const MotionRoutines& r, const uint8_t* recon, const uint8_t* block, int lx, int h,
                             const SearchWindow& w, const RingBest& integer);

// Coarse search on quarter-resolution images: the 4x4 block at (x0, y0)
// of current against anchor, rings up to range, positions x in
// max(0, x0 - range) .. min(width - 4, x0 + range - 1) (upper bound
// excluded), y likewise. Returns the best position (quarter samples).
struct CoarseResult {
    int x = 0, y = 0, distance = 0;
    int rings = 0;  // rings visited
};
CoarseResult coarseSearch(const MotionRoutines& r, const uint8_t* current, const uint8_t* anchor, int stride,
                          int width, int height, int x0, int y0, int range, int patience);

}  // namespace quillon

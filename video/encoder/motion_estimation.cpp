#include "video/encoder/motion_estimation.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>

#include "engine/format.h"
#include "video/encoder/predictive_search.h"
#include "video/encoder/row_threads.h"

namespace quillon {

namespace {

constexpr int kFirstLimit = 65536;
constexpr int kSmallError = 2303;  // 9 * 256 - 1: an error this small is left alone

inline int half(int v) { return (v + (v > 0 ? 1 : 0)) >> 1; }
inline int threeHalves(int v) { return (3 * v + (v > 0 ? 1 : 0)) >> 1; }

}  // namespace

bool chooseIntra(int var, int vmc, bool hierarchical) {
    int threshold = hierarchical ? 2 * vmc : vmc;
    return var < threshold && vmc > kSmallError;
}

bool chooseNoMotionCompensation(int vmc, int vzero) {
    return 5LL * vmc >= 4LL * vzero || vzero <= kSmallError;
}

int scaleTwoThirds(int v) { return v >= 0 ? (2 * v + 1) / 3 : -((1 - 2 * v) / 3); }

int fCodeForMaximum(int m) {
    // The f_codes 1..9 hold vectors up to 8, 16, ... 2048 samples; larger
    // vectors have none, and the smallest code then keeps the stream legal
    // at the cost of a wrapped vector (the writer warns about it).
    for (int f = 1; f <= 9; ++f)
        if (m < (4 << f)) return f;
    return 1;
}

RingBest integerStage(const MotionRoutines& r, const uint8_t* source, const uint8_t* block, int lx, int h,
                      const SearchWindow& w) {
    RingWindow rings;
    rings.centreX = w.centreX;
    rings.centreY = w.centreY;
    rings.rings = w.rings;
    rings.xLow = w.xLow;
    rings.xHigh = w.xHigh;
    rings.yLow = w.yLow;
    rings.yHigh = w.yHigh;
    return r.ringSearch(source, block, lx, h, rings);
}

SearchResult halfSampleStage(const MotionRoutines& r, const uint8_t* recon, const uint8_t* block, int lx, int h,
                             const SearchWindow& w, const RingBest& integer) {
    // Half-sample refinement on the reconstruction, which is what the
    // decoder will predict from.
    SearchResult out;
    out.distance = kFirstLimit;
    out.x = 2 * integer.x;
    out.y = 2 * integer.y;
    const int cx = 2 * integer.x, cy = 2 * integer.y;
    if (r.halfSampleNine && cx >= 1 && cx + 1 <= 2 * w.xLimit && cy >= 1 && cy + 1 <= 2 * w.yLimit && h % 2 == 0) {
        // All nine inside: their exact distances at once, compared in the
        // same order, so a distance the loop below would have cut short at
        // the limit loses here too.
        int d[9];
        r.halfSampleNine(recon + integer.x + static_cast<ptrdiff_t>(lx) * integer.y, block, lx, h, d);
        for (int k = 0; k < 9; ++k)
            if (d[k] < out.distance) {
                out.distance = d[k];
                out.x = cx + k % 3 - 1;
                out.y = cy + k / 3 - 1;
            }
        return out;
    }
    for (int dy = -1; dy <= 1; ++dy) {
        int y = cy + dy;
        if (y < 0 || y > 2 * w.yLimit) continue;
        for (int dx = -1; dx <= 1; ++dx) {
            int x = cx + dx;
            if (x < 0 || x > 2 * w.xLimit) continue;
            int d = r.sadHalfPel(recon + (x >> 1) + lx * (y >> 1), block, lx, x & 1, y & 1, h, out.distance);
            if (d < out.distance) {
                out.distance = d;
                out.x = x;
                out.y = y;
            }
        }
    }
    return out;
}

SearchResult searchBlock(const MotionRoutines& r, const uint8_t* source, const uint8_t* recon, const uint8_t* block,
                         int lx, int h, const SearchWindow& w) {
    return halfSampleStage(r, recon, block, lx, h, w, integerStage(r, source, block, lx, h, w));
}

CoarseResult coarseSearch(const MotionRoutines& r, const uint8_t* current, const uint8_t* anchor, int stride,
                          int width, int height, int x0, int y0, int range, int patience) {
    const CoarseBest b = r.coarseSearch(current, anchor, stride, width, height, x0, y0, range, patience);
    CoarseResult out;
    out.x = b.x;
    out.y = b.y;
    out.distance = b.distance;
    out.rings = b.rings;
    return out;
}

SearchMemory::Record* SearchMemory::open(const Key& key, bool startsGop, size_t macroblocks) {
    for (size_t i = 0; i < used; ++i)
        if (records[i].key == key) return &records[i];
    if (startsGop || used == kMostPictures) used = 0;
    try {
        if (used == records.size()) records.emplace_back();
        Record& rec = records[used];
        rec.key = key;
        rec.coarseKept = false;
        rec.coarse.assign(4 * macroblocks, 0);
        rec.searches.assign(kSlots * macroblocks, Search{});
        ++used;
        return &rec;
    } catch (const std::bad_alloc&) {
        // The search runs without it.
        used = 0;
        return nullptr;
    }
}

bool setUpMotionSearch(VideoEncoder& enc) {
    auto ms = std::make_shared<MotionSearchState>();
    ms->routines = selectMotionRoutines(enc.engine.ev.MMXMode, enc.engine.ev.cpuFeatures);
    ms->threads = encoderThreadCount();
    ms->memory = std::make_shared<SearchMemory>();
    const int vmm = enc.s.variableMaxMotion;
    ms->hierarchical = vmm >= 8;
    if (ms->hierarchical) {
        ms->coarseRangeForward = vmm / 4;
        ms->coarseRangeBackward = ((vmm / 4) * 3) / 4;
        ms->refineRange = vmm + 4;
        const size_t mbs = static_cast<size_t>(enc.geo.mbWidth) * enc.geo.mbHeight;
        try {
            ms->forwardX.assign(mbs, 0);
            ms->forwardY.assign(mbs, 0);
            ms->backwardX.assign(mbs, 0);
            ms->backwardY.assign(mbs, 0);
        } catch (const std::bad_alloc&) {
            enc.engine.reportError("Cannot allocate memory for motion vector tables.");
            return false;
        }
        ms->quarterWidth = enc.geo.paddedWidth / 4;
        ms->quarterHeight = enc.geo.paddedHeight / 4;
        const size_t q = static_cast<size_t>(ms->quarterWidth) * ms->quarterHeight;
        try {
            for (auto& image : ms->quarter) image.assign(q, 0);
            ms->quarterCopy.assign(q, 0);
        } catch (const std::bad_alloc&) {
            enc.engine.reportError("Cannot allocate memory for subsample images.");
            return false;
        }
    }
    enc.motion = std::move(ms);
    return true;
}

void clearMotionMaxima(VideoEncoder& enc) {
    if (!enc.motion) return;
    for (auto& d : enc.motion->maxVector)
        for (int& v : d) v = 0;
}

namespace {

bool fitsShort(int v) { return v >= INT16_MIN && v <= INT16_MAX; }

bool sameWindow(const SearchMemory::Search& s, const SearchWindow& w) {
    return s.rings == w.rings && s.centreX == w.centreX && s.centreY == w.centreY && s.xLow == w.xLow &&
           s.xHigh == w.xHigh && s.yLow == w.yLow && s.yHigh == w.yHigh;
}

void keep(SearchMemory::Search& s, const SearchWindow& w, const RingBest& b) {
    for (int v : {w.rings, w.centreX, w.centreY, w.xLow, w.xHigh, w.yLow, w.yHigh, b.x, b.y})
        if (!fitsShort(v)) return;
    s.centreX = static_cast<int16_t>(w.centreX);
    s.centreY = static_cast<int16_t>(w.centreY);
    s.xLow = static_cast<int16_t>(w.xLow);
    s.xHigh = static_cast<int16_t>(w.xHigh);
    s.yLow = static_cast<int16_t>(w.yLow);
    s.yHigh = static_cast<int16_t>(w.yHigh);
    s.x = static_cast<int16_t>(b.x);
    s.y = static_cast<int16_t>(b.y);
    s.distance = b.distance;
    s.rings = static_cast<int16_t>(w.rings);
}

// The planes one search reads: the field or frame at sample (0, 0) of the
// uncoded and of the reconstructed reference.
struct RefPlane {
    const uint8_t* source = nullptr;
    const uint8_t* recon = nullptr;
    bool valid = false;
};

struct MotionPass {
    VideoEncoder& enc;
    MotionSearchState& ms;
    const MotionRoutines& r;
    const int W, H;  // frame luminance size
    const bool hier;
    const PictureState& pic;

    SearchMemory::Record* record = nullptr;
    // The predictive search instead of the coarse and ring searches.
    const bool predictive;
    int predictiveSteps = 8;
    struct Guess {
        int candidates[4][2] = {};  // relative vectors, half samples
        int count = 0;
        int predictorX = 0, predictorY = 0;
        double lambda = 0;
        void add(int mx, int my) {
            if (count < 4) {
                candidates[count][0] = mx;
                candidates[count][1] = my;
                ++count;
            }
        }
    };

    MotionPass(VideoEncoder& e, MotionSearchState& m)
        : enc(e), ms(m), r(m.routines), W(e.geo.paddedWidth), H(e.geo.paddedHeight), hier(m.hierarchical),
          pic(e.pic), predictive(e.s.motionSearch == 1 && e.pic.pictureCodingType != kPictureI && !e.pic.isField()) {}

    // The window of one search: the whole search range around the block's
    // own position, or rings 1..4 around its coarse vector.
    SearchWindow window(int i0, int j0, int sx, int sy, int h, int height, int coarseX, int coarseY) const {
        SearchWindow w;
        w.xLimit = W - 16;
        w.yLimit = height - h;
        if (hier) {
            const int R = ms.refineRange;
            w.xLow = std::max(0, i0 - R);
            w.xHigh = std::min(w.xLimit, i0 + R);
            w.yLow = std::max(0, j0 - R);
            w.yHigh = std::min(w.yLimit, j0 + R);
            w.centreX = std::clamp(coarseX, 0, w.xLimit);
            w.centreY = std::clamp(coarseY, 0, w.yLimit);
            w.rings = 4;
        } else {
            w.xLow = std::max(0, i0 - sx);
            w.xHigh = std::min(w.xLimit, i0 + sx);
            w.yLow = std::max(0, j0 - sy);
            w.yHigh = std::min(w.yLimit, j0 + sy);
            w.centreX = i0;
            w.centreY = j0;
            w.rings = std::max(sx, sy);
        }
        return w;
    }

    // slot: which of the macroblock's searches (k) this is, the same on
    // every coding of the picture. guess: the predictive search's
    // candidates, or null for the ring search.
    SearchResult search(size_t k, int slot, const RefPlane& ref, const uint8_t* block, int lx, int i0, int j0, int h,
                        int height, int dir, int coarseX, int coarseY, const Guess* guess = nullptr) {
        SearchWindow w = window(i0, j0, pic.searchRange[dir][0], pic.searchRange[dir][1], h, height, coarseX, coarseY);
        RingBest integer;
        if (guess) {
            PredictiveWindow p;
            p.x = i0;
            p.y = j0;
            p.xLow = w.xLow;
            p.xHigh = w.xHigh;
            p.yLow = w.yLow;
            p.yHigh = w.yHigh;
            p.predictorX = guess->predictorX;
            p.predictorY = guess->predictorY;
            p.fCode[0] = pic.fCode[dir][0];
            p.fCode[1] = pic.fCode[dir][1];
            p.lambda = guess->lambda;
            p.steps = predictiveSteps;
            integer = predictiveIntegerSearch(r, ref.source, block, lx, h, p, guess->candidates, guess->count);
        } else if (record) {
            SearchMemory::Search& kept = record->searches[k * SearchMemory::kSlots + static_cast<size_t>(slot)];
            if (sameWindow(kept, w)) {
                integer = RingBest{kept.x, kept.y, kept.distance};
            } else {
                integer = integerStage(r, ref.source, block, lx, h, w);
                keep(kept, w, integer);
            }
        } else {
            integer = integerStage(r, ref.source, block, lx, h, w);
        }
        SearchResult res = halfSampleStage(r, ref.recon, block, lx, h, w, integer);
        if (hier) {
            // Rows may run on several threads; a maximum does not depend on
            // the order of the updates.
            raiseTo(ms.maxVector[dir][0], std::abs(res.x - 2 * i0) / 2);
            raiseTo(ms.maxVector[dir][1], std::abs(res.y - 2 * j0) / 2);
        }
        return res;
    }

    int sse(const uint8_t* recon, const SearchResult& p, const uint8_t* block, int lx, int h) const {
        return r.sseHalfPel(recon + (p.x >> 1) + lx * (p.y >> 1), block, lx, p.x & 1, p.y & 1, h);
    }
    int bidirectional(bool squared, const uint8_t* reconF, const SearchResult& f, const uint8_t* reconB,
                      const SearchResult& b, const uint8_t* block, int lx, int h) const {
        auto fn = squared ? r.sseBidirectional : r.sadBidirectional;
        return fn(reconF + (f.x >> 1) + lx * (f.y >> 1), f.x & 1, f.y & 1, reconB + (b.x >> 1) + lx * (b.y >> 1),
                  b.x & 1, b.y & 1, block, lx, h);
    }

    static void raiseTo(int& target, int v) {
        std::atomic_ref<int> t(target);
        int old = t.load(std::memory_order_relaxed);
        while (old < v && !t.compare_exchange_weak(old, v, std::memory_order_relaxed)) {
        }
    }

    // The stop button is read on the calling thread only; the other rows
    // stop when it has seen the press.
    std::atomic<bool> stopping{false};
    bool keepGoing(bool callingThread) {
        if (!callingThread) return !stopping.load(std::memory_order_relaxed);
        enc.engine.pumpMessages();
        const bool stop = enc.stopNow();
        if (stop) stopping.store(true);
        return !stop;
    }

    void quarterImages();
    void coarsePass(int parity);
    bool framePicture();
    bool fieldPicture();
};

// Reduces the current picture to quarter resolution, sets the patience from
// its spread, and moves the anchors along for reference pictures.
void MotionPass::quarterImages() {
    const int qw = ms.quarterWidth, qh = ms.quarterHeight;
    uint8_t* q = ms.quarter[ms.currentImage].data();
    const uint8_t* y = enc.current->y();
    const bool fields = pic.isField();
    // Each quarter row reads its own lines and writes only itself: bands of
    // rows on the pool.
    constexpr int kBand = 8;
    const auto quarterLine = r.quarterLine ? r.quarterLine : quarterLinePlain;
    runRows((qh + kBand - 1) / kBand, ms.threads, [&](int band, bool) {
        for (int row = band * kBand; row < std::min(qh, (band + 1) * kBand); ++row) {
            // Frame pictures reduce four consecutive lines; field pictures
            // four lines of one field, the two fields' rows alternating.
            int first = fields ? 8 * (row >> 1) + (row & 1) : 4 * row;
            int step = fields ? 2 : 1;
            quarterLine(y + static_cast<ptrdiff_t>(W) * first, static_cast<ptrdiff_t>(W) * step, qw, q + row * qw,
                        ms.quarterCopy.data() + static_cast<size_t>(row) * qw);
        }
        return true;
    });
    auto spread = [&](int firstRow, int rowStep) {
        long long sum = 0, count = 0;
        for (int row = firstRow; row < qh; row += rowStep)
            for (int col = 0; col < qw; ++col, ++count) sum += ms.quarterCopy[static_cast<size_t>(row * qw + col)];
        if (count == 0) return 1;
        long long mean = sum / count, dev = 0;
        for (int row = firstRow; row < qh; row += rowStep)
            for (int col = 0; col < qw; ++col) {
                long long d = ms.quarterCopy[static_cast<size_t>(row * qw + col)] - mean;
                dev += d * d;
            }
        // A mean squared deviation below 320 makes a flat picture, where the
        // coarse search gives up sooner.
        return dev < 320 * count ? 1 : 2;
    };
    if (fields) {
        ms.patience[0] = spread(0, 2);
        ms.patience[1] = spread(1, 2);
    } else {
        ms.patience[0] = ms.patience[1] = spread(0, 1);
    }
    ms.pictureImage = ms.currentImage;
    if (pic.pictureCodingType != kPictureB) {
        // The older anchor takes the newer's contents and the newer the
        // current image; rotating the indices does both without copying.
        int freed = ms.olderImage;
        ms.olderImage = ms.newerImage;
        ms.newerImage = ms.currentImage;
        ms.currentImage = freed;
    }
}

// Coarse vectors of every macroblock of the picture (parity: the field
// being coded, or 0 for frame pictures).
void MotionPass::coarsePass(int parity) {
    const bool fields = pic.isField();
    const int qw = ms.quarterWidth;
    const int stride = fields ? 2 * qw : qw;
    const int rows = fields ? ms.quarterHeight / 2 : ms.quarterHeight;
    const int rowOffset = fields ? parity * qw : 0;
    int rangeF = ms.coarseRangeForward, rangeB = ms.coarseRangeBackward;
    if (fields) {
        rangeF /= 2;
        rangeB /= 2;
    }
    const uint8_t* cur = ms.quarter[ms.pictureImage].data() + rowOffset;
    // The second field of an I frame predicts from the frame's own first
    // field, which is the newer anchor's other field.
    const uint8_t* fwd = pic.iFrame && pic.secondField
                             ? ms.quarter[ms.newerImage].data() + (1 - parity) * qw
                             : ms.quarter[ms.olderImage].data() + rowOffset;
    const uint8_t* bwd = ms.quarter[ms.newerImage].data() + rowOffset;
    const int patience = ms.patience[fields ? parity : 0];
    // A macroblock's coarse vectors read only the quarter images, never
    // another macroblock's result: rows on the pool give the same vectors.
    runRows(enc.geo.mbHeightPicture, ms.threads, [&](int j, bool) {
        for (int i = 0; i < enc.geo.mbWidth; ++i) {
            const size_t k = static_cast<size_t>(j * enc.geo.mbWidth + i);
            const int x0 = 4 * i, y0 = 4 * j;
            CoarseResult f = coarseSearch(r, cur, fwd, stride, qw, rows, x0, y0, rangeF, patience);
            ms.forwardX[k] = 4 * f.x;
            ms.forwardY[k] = 4 * f.y;
            if (pic.pictureCodingType == kPictureB) {
                CoarseResult b = coarseSearch(r, cur, bwd, stride, qw, rows, x0, y0, rangeB, patience);
                ms.backwardX[k] = 4 * b.x;
                ms.backwardY[k] = 4 * b.y;
            }
        }
        return true;
    });
}

// The best of the two reference fields: top on a tie.
struct FieldChoice {
    SearchResult res;
    int select = 0;
};
FieldChoice pickTopOnTie(const SearchResult& fromTop, const SearchResult& fromBottom) {
    if (fromTop.distance <= fromBottom.distance) return {fromTop, 0};
    return {fromBottom, 1};
}
FieldChoice pickBottomOnTie(const SearchResult& fromTop, const SearchResult& fromBottom) {
    if (fromBottom.distance <= fromTop.distance) return {fromBottom, 1};
    return {fromTop, 0};
}

// First of the candidates that is strictly below every later one; the last
// wins otherwise.
int firstStrictlyBest(const int* d, int n) {
    for (int a = 0; a < n - 1; ++a) {
        bool below = true;
        for (int b = a + 1; b < n; ++b)
            if (!(d[a] < d[b])) {
                below = false;
                break;
            }
        if (below) return a;
    }
    return n - 1;
}

bool MotionPass::framePicture() {
    const uint8_t* cur = enc.current->y();
    const int type = pic.pictureCodingType;
    const bool fieldModes = pic.framePredFrameDct == 0;
    // Where P macroblocks are decided by cost, an intra one keeps the vector
    // the search found for it as a candidate.
    const bool keepSearched = enc.s.rdModes >= 2;
    const int H2 = H / 2;
    const int lx2 = 2 * W;
    const RefPlane fwd{enc.oldOrg ? enc.oldOrg->y() : nullptr, enc.oldRef ? enc.oldRef->y() : nullptr, true};
    const RefPlane bwd{enc.newOrg ? enc.newOrg->y() : nullptr, enc.newRef ? enc.newRef->y() : nullptr, true};
    auto fieldOf = [&](const RefPlane& p, int parity) {
        return RefPlane{p.source + parity * W, p.recon + parity * W, true};
    };
    // The quality levels weigh a frame vector's bits against its distance.
    const double vectorWeight = type == kPictureI ? 0 : vectorLambda(searchMquant(enc), type, enc.s.vectorCost);
    auto costed = [&](const RefPlane& p, const uint8_t* blk, int x, int y, int dir, const SearchResult& found,
                      const MacroblockInfo* left, const int* colocated) {
        VectorChoice c;
        c.recon = p.recon;
        c.block = blk;
        c.lx = W;
        c.x = x;
        c.y = y;
        c.xLow = 2 * std::max(0, x - pic.searchRange[dir][0]);
        c.xHigh = 2 * std::min(W - 16, x + pic.searchRange[dir][0]);
        c.yLow = 2 * std::max(0, y - pic.searchRange[dir][1]);
        c.yHigh = 2 * std::min(H - 16, y + pic.searchRange[dir][1]);
        const int flag = dir == 0 ? kMbMotionForward : kMbMotionBackward;
        if (left && (left->type & flag) && left->motionType == kMotionFrame) {
            c.predictorX = left->mv[0][dir][0];
            c.predictorY = left->mv[0][dir][1];
        }
        c.fCode[0] = pic.fCode[dir][0];
        c.fCode[1] = pic.fCode[dir][1];
        c.lambda = vectorWeight;
        const int extra[1][2] = {{colocated ? colocated[0] : 0, colocated ? colocated[1] : 0}};
        return chooseVectorByCost(r, c, found, extra, colocated ? 1 : 0);
    };

    return runRows(enc.geo.mbHeightPicture, ms.threads, [&](int j, bool callingThread) -> bool {
        for (int i = 0; i < enc.geo.mbWidth; ++i) {
            const size_t k = static_cast<size_t>(j * enc.geo.mbWidth + i);
            MacroblockInfo& mb = enc.mbInfo[k];
            const int x = 16 * i, y = 16 * j;
            const uint8_t* blk = cur + x + W * y;
            int var = r.variance16(blk, W);
            // The previous picture's vectors here, a candidate for this one's.
            int colocated[2][2] = {};
            bool hasColocated[2] = {};
            for (int dir = 0; dir < 2; ++dir) {
                hasColocated[dir] = (mb.type & (dir == 0 ? kMbMotionForward : kMbMotionBackward)) &&
                                    mb.motionType == kMotionFrame;
                colocated[dir][0] = mb.mv[0][dir][0];
                colocated[dir][1] = mb.mv[0][dir][1];
            }
            mb.type = 0;
            mb.motionType = kMotionFrame;
            mb.dctType = 0;
            for (auto& a : mb.mv)
                for (auto& b : a)
                    for (int& c : b) c = 0;
            for (auto& a : mb.fieldSelect)
                for (int& c : a) c = 0;
            mb.dualPrimeDelta[0] = mb.dualPrimeDelta[1] = 0;
            mb.hasSearchedMv = 0;

            if (type == kPictureI) {
                mb.type = kMbIntra;
                mb.variance = var;
            } else {
                const int cfx = hier ? ms.forwardX[k] : x, cfy = hier ? ms.forwardY[k] : y;
                const int cbx = hier ? ms.backwardX[k] : x, cby = hier ? ms.backwardY[k] : y;
                const uint8_t* blkTop = blk;
                const uint8_t* blkBot = blk + W;

                const MacroblockInfo* left = i > 0 ? &enc.mbInfo[k - 1] : nullptr;
                // The predictive search of the frame vector starts from the
                // left neighbour's vector, which the difference is coded
                // against, and the previous picture's here and to the right
                // (rows may run side by side, so the row above is not read).
                // Field vectors keep the ring search: measured on the
                // interlaced clip, starting them from the frame vector lost
                // 2.5 % of bits against ffmpeg's high-quality set.
                const MacroblockInfo* right = i + 1 < enc.geo.mbWidth ? &enc.mbInfo[k + 1] : nullptr;
                auto frameGuess = [&](int dir) {
                    Guess g;
                    const int flag = dir == 0 ? kMbMotionForward : kMbMotionBackward;
                    g.lambda = vectorWeight;
                    if (left && (left->type & flag) && left->motionType == kMotionFrame) {
                        g.predictorX = left->mv[0][dir][0];
                        g.predictorY = left->mv[0][dir][1];
                        g.add(g.predictorX, g.predictorY);
                    }
                    if (hasColocated[dir]) g.add(colocated[dir][0], colocated[dir][1]);
                    if (right && (right->type & flag) && right->motionType == kMotionFrame)
                        g.add(right->mv[0][dir][0], right->mv[0][dir][1]);
                    // The coarse vector catches motion the neighbours do
                    // not have yet.
                    if (hier) g.add(2 * ((dir == 0 ? cfx : cbx) - x), 2 * ((dir == 0 ? cfy : cby) - y));
                    return g;
                };
                const Guess fGuess = frameGuess(0);

                // Forward searches.
                SearchResult ff = search(k, 0, fwd, blk, W, x, y, 16, H, 0, cfx, cfy, predictive ? &fGuess : nullptr);
                if (vectorWeight > 0)
                    ff = costed(fwd, blk, x, y, 0, ff, left, hasColocated[0] ? colocated[0] : nullptr);
                FieldChoice fTop{}, fBot{};
                SearchResult fTT{}, fTB{}, fBT{}, fBB{};
                if (fieldModes) {
                    fTT = search(k, 1, fieldOf(fwd, 0), blkTop, lx2, x, y / 2, 8, H2, 0, cfx, cfy / 2);
                    fTB = search(k, 2, fieldOf(fwd, 1), blkTop, lx2, x, y / 2, 8, H2, 0, cfx, cfy / 2);
                    fBT = search(k, 3, fieldOf(fwd, 0), blkBot, lx2, x, y / 2, 8, H2, 0, cfx, cfy / 2);
                    fBB = search(k, 4, fieldOf(fwd, 1), blkBot, lx2, x, y / 2, 8, H2, 0, cfx, cfy / 2);
                    fTop = pickTopOnTie(fTT, fTB);
                    fBot = pickBottomOnTie(fBT, fBB);
                }
                auto fieldSse = [&](const RefPlane& p, const FieldChoice& top, const FieldChoice& bot) {
                    return sse(p.recon + top.select * W, top.res, blkTop, lx2, 8) +
                           sse(p.recon + bot.select * W, bot.res, blkBot, lx2, 8);
                };
                auto storeField = [&](int dir, const FieldChoice& top, const FieldChoice& bot) {
                    mb.mv[0][dir][0] = top.res.x - 2 * x;
                    mb.mv[0][dir][1] = 2 * top.res.y - 2 * y;
                    mb.mv[1][dir][0] = bot.res.x - 2 * x;
                    mb.mv[1][dir][1] = 2 * bot.res.y - 2 * y;
                    mb.fieldSelect[0][dir] = top.select;
                    mb.fieldSelect[1][dir] = bot.select;
                };

                if (type == kPictureP) {
                    int vmc = 0;
                    int chosen = kMotionFrame;
                    int dpX = 0, dpY = 0, dpEx = 0, dpEy = 0;
                    if (!fieldModes) {
                        vmc = sse(fwd.recon, ff, blk, W, 16);
                    } else {
                        const int dFrame = ff.distance;
                        const int dField = fTop.res.distance + fBot.res.distance;
                        int dDual = 1 << 30, vDual = 1 << 30;
                        if (enc.s.ipFrameDistance == 1) {
                            // Candidates: both same-parity vectors, and the
                            // opposite-parity vector of the field shown second,
                            // brought to same-parity distance.
                            struct Cand { int mx, my; } cands[3];
                            int nc = 0;
                            cands[nc++] = {fTT.x - 2 * x, fTT.y - y};
                            cands[nc++] = {fBB.x - 2 * x, fBB.y - y};
                            if (pic.topFieldFirst)
                                cands[nc++] = {scaleTwoThirds(fBT.x - 2 * x), scaleTwoThirds(fBT.y - y - 1)};
                            else
                                cands[nc++] = {scaleTwoThirds(fTB.x - 2 * x), scaleTwoThirds(fTB.y - y + 1)};
                            const RefPlane topRef = fieldOf(fwd, 0), botRef = fieldOf(fwd, 1);
                            auto inside = [&](int hx, int hy) {
                                return hx >= 0 && hx <= 2 * (W - 16) && hy >= 0 && hy <= 2 * (H2 - 8);
                            };
                            for (int c = 0; c < nc; ++c) {
                                const int mx = cands[c].mx, my = cands[c].my;
                                for (int ey = -1; ey <= 1; ++ey)
                                    for (int ex = -1; ex <= 1; ++ex) {
                                        int tx, ty, bx, by;  // top from bottom, bottom from top
                                        if (pic.topFieldFirst) {
                                            tx = half(mx) + ex;
                                            ty = half(my) + ey - 1;
                                            bx = threeHalves(mx) + ex;
                                            by = threeHalves(my) + ey + 1;
                                        } else {
                                            tx = threeHalves(mx) + ex;
                                            ty = threeHalves(my) + ey - 1;
                                            bx = half(mx) + ex;
                                            by = half(my) + ey + 1;
                                        }
                                        const int sx0 = 2 * x + mx, sy0 = y + my;
                                        if (!inside(sx0, sy0) || !inside(2 * x + tx, y + ty) ||
                                            !inside(2 * x + bx, y + by))
                                            continue;
                                        SearchResult same{0, sx0, sy0}, fromBot{0, 2 * x + tx, y + ty},
                                            fromTop{0, 2 * x + bx, y + by};
                                        int v = bidirectional(true, topRef.recon, same, botRef.recon, fromBot, blkTop,
                                                              lx2, 8) +
                                                bidirectional(true, botRef.recon, same, topRef.recon, fromTop, blkBot,
                                                              lx2, 8);
                                        if (v < vDual) {
                                            vDual = v;
                                            dDual = bidirectional(false, topRef.recon, same, botRef.recon, fromBot,
                                                                  blkTop, lx2, 8) +
                                                    bidirectional(false, botRef.recon, same, topRef.recon, fromTop,
                                                                  blkBot, lx2, 8);
                                            dpX = mx;
                                            dpY = my;
                                            dpEx = ex;
                                            dpEy = ey;
                                        }
                                    }
                            }
                        }
                        if (dDual < dFrame && dDual < dField) {
                            chosen = kMotionDualPrime;
                            vmc = vDual;
                        } else if (dField < dFrame) {
                            chosen = kMotionField;
                            vmc = fieldSse(fwd, fTop, fBot);
                        } else {
                            vmc = sse(fwd.recon, ff, blk, W, 16);
                        }
                    }

                    if (chooseIntra(var, vmc, hier)) {
                        mb.type = kMbIntra;
                        mb.variance = var;
                        if (keepSearched) {
                            mb.searchedMv[0] = ff.x - 2 * x;
                            mb.searchedMv[1] = ff.y - 2 * y;
                            mb.hasSearchedMv = 1;
                        }
                    } else {
                        const int vzero = r.sseHalfPel(fwd.recon + x + W * y, blk, W, 0, 0, 16);
                        if (chooseNoMotionCompensation(vmc, vzero)) {
                            mb.type = 0;
                            mb.motionType = kMotionFrame;
                            mb.variance = vzero;
                        } else {
                            mb.type = kMbMotionForward;
                            mb.motionType = chosen;
                            mb.variance = vmc;
                            if (chosen == kMotionFrame) {
                                mb.mv[0][0][0] = ff.x - 2 * x;
                                mb.mv[0][0][1] = ff.y - 2 * y;
                            } else if (chosen == kMotionField) {
                                storeField(0, fTop, fBot);
                            } else {
                                mb.mv[0][0][0] = dpX;
                                mb.mv[0][0][1] = 2 * dpY;
                                mb.dualPrimeDelta[0] = dpEx;
                                mb.dualPrimeDelta[1] = dpEy;
                            }
                        }
                    }
                } else {
                    // B picture: both directions.
                    const Guess bGuess = frameGuess(1);
                    SearchResult bb = search(k, 5, bwd, blk, W, x, y, 16, H, 1, cbx, cby, predictive ? &bGuess : nullptr);
                    if (vectorWeight > 0)
                        bb = costed(bwd, blk, x, y, 1, bb, left, hasColocated[1] ? colocated[1] : nullptr);
                    FieldChoice bTop{}, bBot{};
                    if (fieldModes) {
                        SearchResult tt = search(k, 6, fieldOf(bwd, 0), blkTop, lx2, x, y / 2, 8, H2, 1, cbx, cby / 2);
                        SearchResult tb = search(k, 7, fieldOf(bwd, 1), blkTop, lx2, x, y / 2, 8, H2, 1, cbx, cby / 2);
                        SearchResult bt = search(k, 8, fieldOf(bwd, 0), blkBot, lx2, x, y / 2, 8, H2, 1, cbx, cby / 2);
                        SearchResult b2 = search(k, 9, fieldOf(bwd, 1), blkBot, lx2, x, y / 2, 8, H2, 1, cbx, cby / 2);
                        bTop = pickTopOnTie(tt, tb);
                        bBot = pickBottomOnTie(bt, b2);
                    }
                    int vmc = 0;
                    int mbType = kMbMotionForward;
                    int motion = kMotionFrame;
                    if (!fieldModes) {
                        const int vf = sse(fwd.recon, ff, blk, W, 16);
                        const int vb = sse(bwd.recon, bb, blk, W, 16);
                        const int vi = bidirectional(true, fwd.recon, ff, bwd.recon, bb, blk, W, 16);
                        if (vf <= vb && vf <= vi) {
                            mbType = kMbMotionForward;
                            vmc = vf;
                        } else if (vi < vb) {
                            mbType = kMbMotionForward | kMbMotionBackward;
                            vmc = vi;
                        } else {
                            mbType = kMbMotionBackward;
                            vmc = vb;
                        }
                    } else {
                        auto fieldBi = [&](bool squared) {
                            return bidirectional(squared, fwd.recon + fTop.select * W, fTop.res,
                                                 bwd.recon + bTop.select * W, bTop.res, blkTop, lx2, 8) +
                                   bidirectional(squared, fwd.recon + fBot.select * W, fBot.res,
                                                 bwd.recon + bBot.select * W, bBot.res, blkBot, lx2, 8);
                        };
                        const int d[6] = {bidirectional(false, fwd.recon, ff, bwd.recon, bb, blk, W, 16),
                                          fieldBi(false),
                                          ff.distance,
                                          fTop.res.distance + fBot.res.distance,
                                          bb.distance,
                                          bTop.res.distance + bBot.res.distance};
                        switch (firstStrictlyBest(d, 6)) {
                            case 0:
                                mbType = kMbMotionForward | kMbMotionBackward;
                                vmc = bidirectional(true, fwd.recon, ff, bwd.recon, bb, blk, W, 16);
                                break;
                            case 1:
                                mbType = kMbMotionForward | kMbMotionBackward;
                                motion = kMotionField;
                                vmc = fieldBi(true);
                                break;
                            case 2:
                                vmc = sse(fwd.recon, ff, blk, W, 16);
                                break;
                            case 3:
                                motion = kMotionField;
                                vmc = fieldSse(fwd, fTop, fBot);
                                break;
                            case 4:
                                mbType = kMbMotionBackward;
                                vmc = sse(bwd.recon, bb, blk, W, 16);
                                break;
                            default:
                                mbType = kMbMotionBackward;
                                motion = kMotionField;
                                vmc = fieldSse(bwd, bTop, bBot);
                                break;
                        }
                    }
                    if (motion == kMotionFrame) {
                        mb.mv[0][0][0] = ff.x - 2 * x;
                        mb.mv[0][0][1] = ff.y - 2 * y;
                        mb.mv[0][1][0] = bb.x - 2 * x;
                        mb.mv[0][1][1] = bb.y - 2 * y;
                    } else {
                        storeField(0, fTop, fBot);
                        storeField(1, bTop, bBot);
                    }
                    mb.motionType = motion;
                    if (chooseIntra(var, vmc, hier)) {
                        mb.type = kMbIntra;
                        mb.variance = var;
                    } else {
                        mb.type = mbType;
                        mb.variance = vmc;
                    }
                }
            }
            if (!keepGoing(callingThread)) return false;
        }
        return true;
    });
}

bool MotionPass::fieldPicture() {
    const int type = pic.pictureCodingType;
    const int parity = pic.pictureStructure == kBottomField ? 1 : 0;
    const int H2 = H / 2;
    const int lx = 2 * W;
    const bool iSecond = pic.iFrame && pic.secondField;
    const uint8_t* cur = enc.current->y() + parity * W;
    auto fieldOf = [&](const Picture* src, const Picture* rec, int q) {
        return RefPlane{src->y() + q * W, rec->y() + q * W, true};
    };
    // Forward reference field of parity q: the frame's own first field in a
    // second field of an I or P frame, the older anchor otherwise.
    RefPlane fwd[2], bwd[2];
    for (int q = 0; q < 2; ++q) {
        if (type != kPictureB && pic.secondField && q != parity)
            fwd[q] = fieldOf(enc.newOrg, enc.newRef, q);
        else
            fwd[q] = fieldOf(enc.oldOrg, enc.oldRef, q);
        if (type == kPictureB) bwd[q] = fieldOf(enc.newOrg, enc.newRef, q);
    }
    // The second field of an I frame has no same-parity reference.
    if (iSecond) fwd[parity].valid = false;

    return runRows(enc.geo.mbHeightPicture, ms.threads, [&](int j, bool callingThread) -> bool {
        for (int i = 0; i < enc.geo.mbWidth; ++i) {
            const size_t k = static_cast<size_t>(j * enc.geo.mbWidth + i);
            MacroblockInfo& mb = enc.mbInfo[k];
            const int x = 16 * i, y = 16 * j;  // y in field lines
            const uint8_t* blk = cur + x + lx * y;
            const uint8_t* blkLow = blk + 8 * lx;
            int var = r.variance16(blk, lx);
            mb.type = 0;
            mb.motionType = kMotionField;
            mb.dctType = 0;
            for (auto& a : mb.mv)
                for (auto& b : a)
                    for (int& c : b) c = 0;
            for (auto& a : mb.fieldSelect)
                for (int& c : a) c = 0;
            mb.dualPrimeDelta[0] = mb.dualPrimeDelta[1] = 0;
            mb.hasSearchedMv = 0;

            if (type == kPictureI) {
                mb.type = kMbIntra;
                mb.variance = var;
            } else {
                // Field (16 lines) and 16x8 (two halves) searches of one
                // direction, each half taking the top field on a tie.
                struct DirectionResult {
                    FieldChoice whole, upper, lower;
                    SearchResult same;  // the same-parity 16-line search
                };
                auto searchDirection = [&](const RefPlane* refs, int dir, int cx, int cy) {
                    SearchResult none;
                    none.distance = kFirstLimit;
                    SearchResult w[2], u[2], l[2];
                    for (int q = 0; q < 2; ++q) {
                        if (!refs[q].valid) {
                            w[q] = u[q] = l[q] = none;
                            continue;
                        }
                        const int slot = 6 * dir + 3 * q;
                        w[q] = search(k, slot, refs[q], blk, lx, x, y, 16, H2, dir, cx, cy);
                        u[q] = search(k, slot + 1, refs[q], blk, lx, x, y, 8, H2, dir, cx, cy);
                        l[q] = search(k, slot + 2, refs[q], blkLow, lx, x, y + 8, 8, H2, dir, cx, cy + 8);
                    }
                    DirectionResult d;
                    d.whole = pickTopOnTie(w[0], w[1]);
                    d.upper = pickTopOnTie(u[0], u[1]);
                    d.lower = pickTopOnTie(l[0], l[1]);
                    d.same = w[parity];
                    return d;
                };
                auto reconOf = [&](const RefPlane* refs, int q) { return refs[q].recon; };
                auto sseWhole = [&](const RefPlane* refs, const DirectionResult& d) {
                    return sse(reconOf(refs, d.whole.select), d.whole.res, blk, lx, 16);
                };
                auto sse16x8 = [&](const RefPlane* refs, const DirectionResult& d) {
                    return sse(reconOf(refs, d.upper.select), d.upper.res, blk, lx, 8) +
                           sse(reconOf(refs, d.lower.select), d.lower.res, blkLow, lx, 8);
                };
                auto store = [&](int dir, int motion, const DirectionResult& d) {
                    if (motion == kMotionField) {
                        mb.mv[0][dir][0] = d.whole.res.x - 2 * x;
                        mb.mv[0][dir][1] = d.whole.res.y - 2 * y;
                        mb.fieldSelect[0][dir] = d.whole.select;
                    } else {
                        mb.mv[0][dir][0] = d.upper.res.x - 2 * x;
                        mb.mv[0][dir][1] = d.upper.res.y - 2 * y;
                        mb.fieldSelect[0][dir] = d.upper.select;
                        mb.mv[1][dir][0] = d.lower.res.x - 2 * x;
                        mb.mv[1][dir][1] = d.lower.res.y - 2 * (y + 8);
                        mb.fieldSelect[1][dir] = d.lower.select;
                    }
                };

                const int cfx = hier ? ms.forwardX[k] : x, cfy = hier ? ms.forwardY[k] : y;
                DirectionResult f = searchDirection(fwd, 0, cfx, cfy);
                if (type == kPictureP) {
                    const int dField = f.whole.res.distance;
                    const int d16x8 = f.upper.res.distance + f.lower.res.distance;
                    int dDual = 1 << 30, vDual = 1 << 30, dpEx = 0, dpEy = 0;
                    const int mx = f.same.x - 2 * x, my = f.same.y - 2 * y;
                    if (enc.s.ipFrameDistance == 1 && !iSecond) {
                        const RefPlane& same = fwd[parity];
                        const RefPlane& other = fwd[1 - parity];
                        auto inside = [&](int hx, int hy) {
                            return hx >= 0 && hx <= 2 * (W - 16) && hy >= 0 && hy <= 2 * (H2 - 16);
                        };
                        for (int ey = -1; ey <= 1; ++ey)
                            for (int ex = -1; ex <= 1; ++ex) {
                                const int ox = half(mx) + ex;
                                const int oy = half(my) + ey + (parity == 0 ? -1 : 1);
                                SearchResult s{0, 2 * x + mx, 2 * y + my}, o{0, 2 * x + ox, 2 * y + oy};
                                if (!inside(s.x, s.y) || !inside(o.x, o.y)) continue;
                                int v = bidirectional(true, same.recon, s, other.recon, o, blk, lx, 16);
                                if (v < vDual) {
                                    vDual = v;
                                    dDual = bidirectional(false, same.recon, s, other.recon, o, blk, lx, 16);
                                    dpEx = ex;
                                    dpEy = ey;
                                }
                            }
                    }
                    int chosen;
                    int vmc;
                    if (dDual < dField && dDual < d16x8) {
                        chosen = kMotionDualPrime;
                        vmc = vDual;
                    } else if (d16x8 < dField) {
                        chosen = kMotion16x8;
                        vmc = sse16x8(fwd, f);
                    } else {
                        chosen = kMotionField;
                        vmc = sseWhole(fwd, f);
                    }
                    if (chooseIntra(var, vmc, hier)) {
                        mb.type = kMbIntra;
                        mb.variance = var;
                    } else {
                        bool noMc = false;
                        int vzero = 0;
                        if (!iSecond) {
                            vzero = r.sseHalfPel(fwd[parity].recon + x + lx * y, blk, lx, 0, 0, 16);
                            noMc = chooseNoMotionCompensation(vmc, vzero);
                        }
                        if (noMc) {
                            mb.type = 0;
                            mb.motionType = kMotionField;
                            mb.fieldSelect[0][0] = parity;
                            mb.variance = vzero;
                        } else {
                            mb.type = kMbMotionForward;
                            mb.motionType = chosen;
                            mb.variance = vmc;
                            if (chosen == kMotionDualPrime) {
                                mb.mv[0][0][0] = mx;
                                mb.mv[0][0][1] = my;
                                mb.fieldSelect[0][0] = parity;
                                mb.dualPrimeDelta[0] = dpEx;
                                mb.dualPrimeDelta[1] = dpEy;
                            } else {
                                store(0, chosen, f);
                            }
                        }
                    }
                } else {
                    const int cbx = hier ? ms.backwardX[k] : x, cby = hier ? ms.backwardY[k] : y;
                    DirectionResult b = searchDirection(bwd, 1, cbx, cby);
                    auto biWhole = [&](bool squared) {
                        return bidirectional(squared, reconOf(fwd, f.whole.select), f.whole.res,
                                             reconOf(bwd, b.whole.select), b.whole.res, blk, lx, 16);
                    };
                    auto bi16x8 = [&](bool squared) {
                        return bidirectional(squared, reconOf(fwd, f.upper.select), f.upper.res,
                                             reconOf(bwd, b.upper.select), b.upper.res, blk, lx, 8) +
                               bidirectional(squared, reconOf(fwd, f.lower.select), f.lower.res,
                                             reconOf(bwd, b.lower.select), b.lower.res, blkLow, lx, 8);
                    };
                    const int d[6] = {biWhole(false),
                                      bi16x8(false),
                                      f.whole.res.distance,
                                      f.upper.res.distance + f.lower.res.distance,
                                      b.whole.res.distance,
                                      b.upper.res.distance + b.lower.res.distance};
                    int mbType, motion, vmc;
                    switch (firstStrictlyBest(d, 6)) {
                        case 0: mbType = kMbMotionForward | kMbMotionBackward; motion = kMotionField; vmc = biWhole(true); break;
                        case 1: mbType = kMbMotionForward | kMbMotionBackward; motion = kMotion16x8; vmc = bi16x8(true); break;
                        case 2: mbType = kMbMotionForward; motion = kMotionField; vmc = sseWhole(fwd, f); break;
                        case 3: mbType = kMbMotionForward; motion = kMotion16x8; vmc = sse16x8(fwd, f); break;
                        case 4: mbType = kMbMotionBackward; motion = kMotionField; vmc = sseWhole(bwd, b); break;
                        default: mbType = kMbMotionBackward; motion = kMotion16x8; vmc = sse16x8(bwd, b); break;
                    }
                    store(0, motion, f);
                    store(1, motion, b);
                    mb.motionType = motion;
                    if (chooseIntra(var, vmc, hier)) {
                        mb.type = kMbIntra;
                        mb.variance = var;
                    } else {
                        mb.type = mbType;
                        mb.variance = vmc;
                    }
                }
            }
            if (!keepGoing(callingThread)) return false;
        }
        return true;
    });
}

}  // namespace

bool estimateMotion(VideoEncoder& enc) {
    if (!enc.motion) return false;
    MotionPass pass(enc, *enc.motion);
    const PictureState& pic = enc.pic;
    MotionSearchState& ms = *enc.motion;
    const int type = pic.pictureCodingType;
    if (!pic.secondField && type != kPictureB) {
        ms.olderAnchor = ms.newerAnchor;
        ms.newerAnchor = pic.displayIndex;
    }
    // The predictive search reads the neighbours' final vectors, which
    // follow the reconstruction; of its work only the coarse vectors are
    // kept.
    if (ms.memory) {
        const SearchMemory::Key key{pic.displayIndex, pic.pictureStructure, type, ms.olderAnchor, ms.newerAnchor};
        const size_t mbs = static_cast<size_t>(enc.geo.mbWidth) * enc.geo.mbHeightPicture;
        pass.record = ms.memory->open(key, type == kPictureI && !pic.secondField, mbs);
    }
    if (pass.hier) {
        // The whole frame is reduced once: for frame pictures and for the
        // first field of field pictures.
        if (!pic.secondField) pass.quarterImages();
        if (type != kPictureI) {
            const int parity = pic.pictureStructure == kBottomField ? 1 : 0;
            SearchMemory::Record* rec = pass.record;
            const size_t mbs = static_cast<size_t>(enc.geo.mbWidth) * enc.geo.mbHeightPicture;
            if (rec && rec->coarseKept) {
                for (size_t k = 0; k < mbs; ++k) {
                    ms.forwardX[k] = rec->coarse[4 * k];
                    ms.forwardY[k] = rec->coarse[4 * k + 1];
                    ms.backwardX[k] = rec->coarse[4 * k + 2];
                    ms.backwardY[k] = rec->coarse[4 * k + 3];
                }
            } else {
                pass.coarsePass(pic.isField() ? parity : 0);
                if (rec) {
                    for (size_t k = 0; k < mbs; ++k) {
                        rec->coarse[4 * k] = ms.forwardX[k];
                        rec->coarse[4 * k + 1] = ms.forwardY[k];
                        rec->coarse[4 * k + 2] = ms.backwardX[k];
                        rec->coarse[4 * k + 3] = ms.backwardY[k];
                    }
                    rec->coarseKept = true;
                }
            }
        }
    }
    return pic.isField() ? pass.fieldPicture() : pass.framePicture();
}

void adaptFCodes(VideoEncoder& enc, int motionEntry) {
    if (!enc.motion || !enc.motion->hierarchical) return;
    PictureState& pic = enc.pic;
    if (pic.pictureCodingType == kPictureI) return;
    const int bound = enc.s.variableMaxMotion + 5;
    const int(&m)[2][2] = enc.motion->maxVector;
    static const char* const kWarnings[2][2] = {
        {"Warning, horz forward motion vector larger than max, vector = %d, max = %d.",
         "Warning, vert forward motion vector larger than max, vector = %d, max = %d."},
        {"Warning, horz backward motion vector larger than max, vector = %d, max = %d.",
         "Warning, vert backward motion vector larger than max, vector = %d, max = %d."}};
    const int directions = pic.pictureCodingType == kPictureB ? 2 : 1;
    for (int dir = 0; dir < directions; ++dir)
        for (int c = 0; c < 2; ++c)
            if (m[dir][c] > bound) enc.engine.logLine(formatText(kWarnings[dir][c], m[dir][c], bound));
    for (int dir = 0; dir < directions; ++dir) {
        int fh = fCodeForMaximum(m[dir][0]);
        int fv = fCodeForMaximum(m[dir][1]);
        if (!enc.mpeg2) fh = fv = std::max(fh, fv);
        pic.fCode[dir][0] = fh;
        pic.fCode[dir][1] = fv;
    }
    // The motion table keeps the fitted codes, as the adaptive search's
    // record of what the entry's pictures need.
    if (motionEntry >= 0 && motionEntry < kMotionEntries) {
        int* e = enc.s.motion[motionEntry];
        e[kForwHorzFCode] = pic.fCode[0][0];
        e[kForwVertFCode] = pic.fCode[0][1];
        if (directions == 2) {
            e[kBackHorzFCode] = pic.fCode[1][0];
            e[kBackVertFCode] = pic.fCode[1][1];
        }
    }
}

}  // namespace quillon

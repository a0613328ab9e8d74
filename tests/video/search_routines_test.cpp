// The vector search stages against the plain ones: same best position and
// distance on random, flat (every position ties) and shifted pictures, with
// windows clipped at every picture edge. Planes are sized to the bytes the
// plain walk reads, so the sanitizer build catches a read past them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <tuple>
#include <vector>

#include "platform/cpu_features.h"
#include "video/dsp/distance_routines.h"
#include "video/dsp/prediction.h"
#include "video/encoder/motion_estimation.h"

namespace quillon {
namespace {

std::vector<uint8_t> picture(int w, int h, int kind, std::mt19937& rng) {
    std::vector<uint8_t> p(static_cast<size_t>(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t& v = p[static_cast<size_t>(y) * w + x];
            switch (kind) {
                case 0: v = static_cast<uint8_t>(rng()); break;
                case 1: v = 77; break;
                case 2: v = static_cast<uint8_t>((x * 7 + y * 3) & 0xFF); break;  // smooth ramp
                default: v = (x / 3 + y / 5) & 1 ? 255 : 0; break;
            }
        }
    return p;
}

std::vector<MotionRoutines> vectorSets() {
    const uint32_t f = detectCpuFeatures();
    std::vector<MotionRoutines> sets;
    if (f & kCpuSse2) sets.push_back(selectMotionRoutines(1, f));
    if (f & kCpuAvx2) sets.push_back(selectMotionRoutines(3, f));
    return sets;
}

TEST(SearchRoutines, RingSearchMatchesThePlainWalk) {
    const auto sets = vectorSets();
    if (sets.empty()) GTEST_SKIP() << "no vector routines here";
    std::mt19937 rng(3);
    const int w = 64, h = 48;
    for (int kind = 0; kind < 4; ++kind) {
        const auto ref = picture(w, h, kind, rng), cur = picture(w, h, kind == 1 ? 1 : 0, rng);
        // Frame lines (stride w) and field lines (stride 2w, half the rows).
        for (int field = 0; field < 2; ++field) {
            const int lx = field ? 2 * w : w, rows = field ? h / 2 : h;
            for (int bh : {8, 16}) {
                if (bh > rows) continue;
                for (int trial = 0; trial < 60; ++trial) {
                    RingWindow win;
                    win.rings = 1 + static_cast<int>(rng() % 6);
                    win.xLow = static_cast<int>(rng() % 8);
                    win.xHigh = std::min(w - 16, win.xLow + static_cast<int>(rng() % 40));
                    win.yLow = static_cast<int>(rng() % 4);
                    win.yHigh = std::min(rows - bh, win.yLow + static_cast<int>(rng() % 20));
                    win.centreX = win.xLow + static_cast<int>(rng() % (win.xHigh - win.xLow + 1));
                    win.centreY = win.yLow + static_cast<int>(rng() % (win.yHigh - win.yLow + 1));
                    const uint8_t* block = cur.data() + (trial % 3) * 16 + static_cast<ptrdiff_t>(lx) * (trial % 2);
                    const RingBest a = ringSearchPlain(ref.data(), block, lx, bh, win);
                    for (const MotionRoutines& r : sets) {
                        const RingBest b = r.ringSearch(ref.data(), block, lx, bh, win);
                        ASSERT_EQ(std::make_tuple(a.x, a.y, a.distance), std::make_tuple(b.x, b.y, b.distance))
                            << kind << " field " << field << " h " << bh << " trial " << trial;
                    }
                }
            }
        }
    }
}

// Windows that reach every edge of the picture, centres on the edges and
// corners and once outside the window, rings up to past what the vector
// form keeps in its table; blocks far from their reference (sums near
// their largest), with one exact match placed in the window, and flat
// pictures where every position ties. The planes end with the last line
// the plain walk reads.
TEST(SearchRoutines, RingSearchMatchesThePlainWalkAtTheEdges) {
    const auto sets = vectorSets();
    if (sets.empty()) GTEST_SKIP() << "no vector routines here";
    std::mt19937 rng(41);
    const int w = 80, h = 56;
    for (int kind = 0; kind < 4; ++kind) {
        std::vector<uint8_t> ref(static_cast<size_t>(w) * h), cur(ref.size());
        for (size_t i = 0; i < ref.size(); ++i) {
            switch (kind) {
                case 0: ref[i] = static_cast<uint8_t>(rng()); cur[i] = static_cast<uint8_t>(rng()); break;
                case 1: ref[i] = 9; cur[i] = 9; break;
                case 2: ref[i] = rng() % 4 ? 0 : 3; cur[i] = 255; break;  // every distance near 65280
                default: ref[i] = static_cast<uint8_t>(rng() % 32); cur[i] = static_cast<uint8_t>(rng() % 32); break;
            }
        }
        for (int field = 0; field < 2; ++field) {
            const int lx = field ? 2 * w : w, rows = field ? h / 2 : h;
            for (int bh : {8, 16}) {
                for (int trial = 0; trial < 120; ++trial) {
                    RingWindow win;
                    win.rings = 1 + trial % 10;
                    const bool wide = trial % 3 != 0;
                    win.xLow = wide ? 0 : static_cast<int>(rng() % 20);
                    win.xHigh = wide ? w - 16 : std::min(w - 16, win.xLow + static_cast<int>(rng() % 30));
                    win.yLow = wide ? 0 : static_cast<int>(rng() % 6);
                    win.yHigh = wide ? rows - bh : std::min(rows - bh, win.yLow + static_cast<int>(rng() % 16));
                    const int edgeX[3] = {win.xLow, win.xHigh, win.xLow + static_cast<int>(rng() % (win.xHigh - win.xLow + 1))};
                    const int edgeY[3] = {win.yLow, win.yHigh, win.yLow + static_cast<int>(rng() % (win.yHigh - win.yLow + 1))};
                    win.centreX = edgeX[trial % 3];
                    win.centreY = edgeY[(trial / 3) % 3];
                    if (trial % 17 == 5 && win.xLow > 0) win.centreX = win.xLow - 1;  // outside the window
                    auto block = cur;
                    if (kind == 0 && trial % 2) {
                        // An exact match somewhere in the rings.
                        const int mx = std::clamp(win.centreX + static_cast<int>(rng() % 9) - 4, win.xLow, win.xHigh);
                        const int my = std::clamp(win.centreY + static_cast<int>(rng() % 9) - 4, win.yLow, win.yHigh);
                        for (int j = 0; j < bh; ++j)
                            for (int i = 0; i < 16; ++i)
                                block[static_cast<size_t>(lx) * j + i] = ref[static_cast<size_t>(lx) * (my + j) + mx + i];
                    }
                    const RingBest a = ringSearchPlain(ref.data(), block.data(), lx, bh, win);
                    for (const MotionRoutines& r : sets) {
                        const RingBest b = r.ringSearch(ref.data(), block.data(), lx, bh, win);
                        ASSERT_EQ(std::make_tuple(a.x, a.y, a.distance), std::make_tuple(b.x, b.y, b.distance))
                            << kind << " field " << field << " h " << bh << " trial " << trial;
                    }
                }
            }
        }
    }
}

TEST(SearchRoutines, CoarseSearchMatchesThePlainWalk) {
    const auto sets = vectorSets();
    if (sets.empty()) GTEST_SKIP() << "no vector routines here";
    std::mt19937 rng(9);
    const int w = 45, h = 36;  // quarter-resolution images
    for (int kind = 0; kind < 4; ++kind) {
        const auto anchor = picture(w, h, kind, rng);
        auto current = picture(w, h, kind, rng);
        if (kind == 2) std::rotate(current.begin(), current.begin() + 2 * w + 3, current.end());  // a true match
        for (int trial = 0; trial < 200; ++trial) {
            const int x0 = static_cast<int>(rng() % (w - 3)), y0 = static_cast<int>(rng() % (h - 3));
            // Now and then a range beyond what the row-at-a-time form keeps.
            const int range = trial % 10 == 9 ? 45 + static_cast<int>(rng() % 10) : 1 + static_cast<int>(rng() % 14);
            const int patience = 1 + static_cast<int>(rng() % 2);
            const CoarseBest a = coarseSearchPlain(current.data(), anchor.data(), w, w, h, x0, y0, range, patience);
            for (const MotionRoutines& r : sets) {
                const CoarseBest b = r.coarseSearch(current.data(), anchor.data(), w, w, h, x0, y0, range, patience);
                ASSERT_EQ(std::make_tuple(a.x, a.y, a.distance, a.rings), std::make_tuple(b.x, b.y, b.distance, b.rings))
                    << kind << " trial " << trial;
            }
        }
    }
}

// A true match at each ring 1..4 (the current image is the anchor moved),
// where the walk ends at the ring's first exact 0, from blocks all over
// the image so that rings the window cuts are among them; and windows one
// position wide.
TEST(SearchRoutines, CoarseSearchEndsAtTheSameExactMatch) {
    const auto sets = vectorSets();
    if (sets.empty()) GTEST_SKIP() << "no vector routines here";
    std::mt19937 rng(43);
    const int w = 48, h = 40;
    const auto anchor = picture(w, h, 0, rng);
    for (int sy = -4; sy <= 4; ++sy)
        for (int sx = -4; sx <= 4; ++sx) {
            std::vector<uint8_t> current(anchor.size());
            for (int y = 0; y < h; ++y)
                for (int x = 0; x < w; ++x) {
                    const int ax = x + sx, ay = y + sy;
                    current[static_cast<size_t>(y) * w + x] =
                        ax >= 0 && ax < w && ay >= 0 && ay < h ? anchor[static_cast<size_t>(ay) * w + ax]
                                                               : static_cast<uint8_t>(rng());
                }
            for (int y0 = 0; y0 + 4 <= h; y0 += 3)
                for (int x0 = 0; x0 + 4 <= w; x0 += 5) {
                    const int range = 1 + (x0 + y0) % 9, patience = 1 + (x0 / 5) % 2;
                    const CoarseBest a = coarseSearchPlain(current.data(), anchor.data(), w, w, h, x0, y0, range, patience);
                    for (const MotionRoutines& r : sets) {
                        const CoarseBest b = r.coarseSearch(current.data(), anchor.data(), w, w, h, x0, y0, range, patience);
                        ASSERT_EQ(std::make_tuple(a.x, a.y, a.distance, a.rings),
                                  std::make_tuple(b.x, b.y, b.distance, b.rings))
                            << "shift " << sx << "," << sy << " at " << x0 << "," << y0 << " range " << range;
                    }
                }
        }
}

// The quarter-resolution line against the plain one: widths with and
// without a tail of one to three outputs, frame and field line steps, and
// all-255 lines for the largest sums; the input ends where the plain reads
// end.
TEST(SearchRoutines, QuarterLineMatchesThePlainLine) {
    const auto sets = vectorSets();
    if (sets.empty()) GTEST_SKIP() << "no vector routines here";
    std::mt19937 rng(35);
    for (int trial = 0; trial < 200; ++trial) {
        const int columns = 1 + static_cast<int>(rng() % 23);
        const int width = 4 * columns + static_cast<int>(rng() % 3);
        const ptrdiff_t step = (trial % 2 ? 2 : 1) * static_cast<ptrdiff_t>(width);
        std::vector<uint8_t> lines(static_cast<size_t>(3 * step + 4 * columns));
        for (uint8_t& v : lines) v = trial % 10 == 3 ? 255 : static_cast<uint8_t>(rng());
        std::vector<uint8_t> outPlain(static_cast<size_t>(columns));
        std::vector<int> copyPlain(static_cast<size_t>(columns));
        quarterLinePlain(lines.data(), step, columns, outPlain.data(), copyPlain.data());
        for (const MotionRoutines& r : sets) {
            std::vector<uint8_t> out(static_cast<size_t>(columns) + 1, 0xA5);
            std::vector<int> copy(static_cast<size_t>(columns) + 1, -7);
            r.quarterLine(lines.data(), step, columns, out.data(), copy.data());
            ASSERT_EQ(std::vector<uint8_t>(out.begin(), out.end() - 1), outPlain) << "trial " << trial;
            ASSERT_EQ(std::vector<int>(copy.begin(), copy.end() - 1), copyPlain) << "trial " << trial;
            EXPECT_EQ(out.back(), 0xA5);
            EXPECT_EQ(copy.back(), -7);
        }
    }
    // The rounded mean itself: sixteen 9s and one 10 make 9, fifteen 10s and
    // one 17 round 167 / 16 up to 10.
    std::vector<uint8_t> nine(16, 9), ten(16, 10);
    nine[5] = 10;
    ten[0] = 17;
    uint8_t out;
    int copy;
    quarterLinePlain(nine.data(), 4, 1, &out, &copy);
    EXPECT_EQ(out, 9);
    quarterLinePlain(ten.data(), 4, 1, &out, &copy);
    EXPECT_EQ(copy, 10);
}

// The nine half-sample distances at once against the plain distance of each
// position, frame and field line steps, both block heights; the plane ends
// where the plain reads end (line h and column 16 past the position).
TEST(SearchRoutines, HalfSampleNineMatchesThePlainDistances) {
    std::vector<HalfSampleNineFn> forms;
    for (const MotionRoutines& r : vectorSets())
        if (r.halfSampleNine) forms.push_back(r.halfSampleNine);
    if (forms.empty()) GTEST_SKIP() << "no vector form of the nine distances here";
    std::mt19937 rng(33);
    const int w = 48, h = 40;
    for (int kind = 0; kind < 4; ++kind) {
        const auto ref = picture(w, h, kind, rng);
        const auto cur = picture(w, h, kind == 1 ? 0 : kind, rng);
        for (int trial = 0; trial < 300; ++trial) {
            const bool field = trial % 2 != 0;
            const int lx = field ? 2 * w : w;
            const int bh = trial % 4 < 2 ? 16 : 8;
            const int rows = (field ? h / 2 : h);
            // Position (x, y) with one line and column free before it and
            // lines y + bh, columns x + 16 still inside; the last trials take
            // the very last such position.
            const int x = trial >= 290 ? w - 17 : 1 + static_cast<int>(rng() % (w - 17));
            const int y = trial >= 290 ? rows - bh - 1 : 1 + static_cast<int>(rng() % (rows - bh - 1));
            const uint8_t* at = ref.data() + (field ? w * (trial % 3 == 0) : 0) + x + static_cast<ptrdiff_t>(lx) * y;
            const uint8_t* block = cur.data() + (trial % 7) + static_cast<ptrdiff_t>(lx) * (trial % 5);
            int plain[9];
            halfSampleNinePlain(at, block, lx, bh, plain);
            for (int dy = -1; dy <= 1; ++dy)
                for (int dx = -1; dx <= 1; ++dx)
                    ASSERT_EQ(plain[3 * (dy + 1) + dx + 1],
                              sadHalfPelPlain(at + (dx < 0 ? -1 : 0) + (dy < 0 ? -lx : 0), block, lx, dx != 0, dy != 0,
                                              bh, 1 << 30));
            for (HalfSampleNineFn f : forms) {
                int d[9];
                f(at, block, lx, bh, d);
                for (int k = 0; k < 9; ++k)
                    ASSERT_EQ(plain[k], d[k]) << kind << " trial " << trial << " position " << k;
            }
        }
    }
}

// The half-sample stage with the nine at once picks what the per-position
// loop picks, ties included (flat pictures), and at the picture's edges,
// where some of the nine are outside and the loop runs instead.
TEST(SearchRoutines, HalfSampleStageMatchesThePlainStage) {
    const auto sets = vectorSets();
    if (sets.empty()) GTEST_SKIP() << "no vector routines here";
    const MotionRoutines plain = selectMotionRoutines(0, 0);
    std::mt19937 rng(34);
    const int W = 64, H = 48;
    for (int kind = 0; kind < 4; ++kind) {
        const auto recon = picture(W, H, kind, rng);
        auto cur = picture(W, H, kind == 2 ? 0 : kind, rng);
        for (int trial = 0; trial < 300; ++trial) {
            const int bh = trial % 2 ? 8 : 16;
            SearchWindow win;
            win.xLimit = W - 16;
            win.yLimit = H - bh;
            RingBest integer;
            integer.x = trial % 5 == 0 ? 0 : trial % 5 == 1 ? win.xLimit : static_cast<int>(rng() % (win.xLimit + 1));
            integer.y = trial % 7 == 0 ? 0 : trial % 7 == 1 ? win.yLimit : static_cast<int>(rng() % (win.yLimit + 1));
            const uint8_t* block = cur.data() + (trial % 9) + W * (trial % 4);
            const SearchResult a = halfSampleStage(plain, recon.data(), block, W, bh, win, integer);
            for (const MotionRoutines& r : sets) {
                const SearchResult b = halfSampleStage(r, recon.data(), block, W, bh, win, integer);
                ASSERT_EQ(std::make_tuple(a.x, a.y, a.distance), std::make_tuple(b.x, b.y, b.distance))
                    << kind << " trial " << trial;
            }
        }
    }
}

// Every half-sample case of the prediction copy, plain and averaged into
// what is there, all three planes of each chroma format, frame and field
// addressing: the vector copy leaves the same bytes, and none outside the
// area.
TEST(SearchRoutines, PredictionCopyMatchesThePlainCopy) {
    if (!(detectCpuFeatures() & kCpuSse2)) GTEST_SKIP() << "no SSE2";
    std::mt19937 rng(21);
    const int W = 64, H = 64;
    const auto ref = picture(W, H, 0, rng), start = picture(W, H, 0, rng);
    for (int chroma = 1; chroma <= 3; ++chroma)
        for (int component = 0; component < 3; ++component)
            for (int trial = 0; trial < 200; ++trial) {
                AreaPrediction a;
                a.reference = ref.data();
                a.referenceField = static_cast<int>(rng() % 2);
                a.destinationField = static_cast<int>(rng() % 2);
                const bool field = a.referenceField || a.destinationField || rng() % 2;
                a.lx = field ? 2 * W : W;
                a.height = field ? 8 : 16;
                a.x = 16 * static_cast<int>(rng() % 3);
                a.y = 8 * static_cast<int>(rng() % 2);
                a.dx = static_cast<int>(rng() % 17);  // half samples, any parity
                a.dy = static_cast<int>(rng() % 9);
                a.average = rng() % 2;
                auto plainOut = start, vectorOut = start;
                a.destination = plainOut.data();
                predictArea(a, component, chroma);
                a.destination = vectorOut.data();
                a.vectorForm = true;
                predictArea(a, component, chroma);
                ASSERT_EQ(plainOut, vectorOut) << chroma << " " << component << " trial " << trial;
            }
}

}  // namespace
}  // namespace quillon

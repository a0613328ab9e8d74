#include "video/encoder/row_threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <new>
#include <thread>
#include <vector>

namespace quillon {
namespace {

// Every row runs exactly once whatever the thread count, row 0 on the
// calling thread, and only the calling thread's rows are flagged as such.
TEST(RowThreads, EveryRowOnceAndTheCallerKnowsItself) {
    for (int threads : {1, 2, 5}) {
        for (int rows : {0, 1, 2, 3, 36, 100}) {
            std::vector<std::atomic<int>> seen(static_cast<size_t>(rows));
            std::vector<char> flagged(static_cast<size_t>(rows), 0);
            std::vector<std::thread::id> who(static_cast<size_t>(rows));
            const std::thread::id caller = std::this_thread::get_id();
            const bool ok = runRows(rows, threads, [&](int j, bool calling) {
                seen[static_cast<size_t>(j)].fetch_add(1);
                flagged[static_cast<size_t>(j)] = calling;
                who[static_cast<size_t>(j)] = std::this_thread::get_id();
                return true;
            });
            EXPECT_TRUE(ok);
            for (int j = 0; j < rows; ++j) {
                EXPECT_EQ(seen[static_cast<size_t>(j)].load(), 1) << threads << " " << rows << " " << j;
                EXPECT_EQ(flagged[static_cast<size_t>(j)] != 0, who[static_cast<size_t>(j)] == caller) << j;
            }
            if (rows > 0) {
                EXPECT_EQ(who[0], caller);
            }
        }
    }
}

// A failed row ends the batch early and the result says so; rows already
// running finish, none starts after the failure is seen by its thread.
TEST(RowThreads, AFailedRowStopsTheBatch) {
    for (int threads : {1, 2, 5}) {
        std::atomic<int> ran{0};
        const bool ok = runRows(400, threads, [&](int j, bool) {
            ran.fetch_add(1);
            return j != 3;
        });
        EXPECT_FALSE(ok) << threads;
        EXPECT_LT(ran.load(), 400) << threads;
        EXPECT_FALSE(runRows(10, threads, [](int j, bool) { return j != 0; }));
    }
}

// Batches handed in from two threads at once both finish (the media
// input's read-ahead and the encoder do this), and the workers stay
// those of the first batches instead of new ones per call.
TEST(RowThreads, ConcurrentBatchesShareKeptWorkers) {
    RowThreadPool pool;
    const std::function<bool(int, bool)> slow = [](int, bool) {
        volatile int sink = 0;
        for (int i = 0; i < 2000; ++i) sink = sink + i;
        return true;
    };
    EXPECT_TRUE(pool.run(50, 3, slow));
    EXPECT_EQ(pool.workerCount(), 3);
    std::atomic<int> total{0};
    const std::function<bool(int, bool)> count = [&](int, bool) {
        total.fetch_add(1);
        return true;
    };
    std::vector<std::thread> callers;
    for (int c = 0; c < 4; ++c)
        callers.emplace_back([&] {
            for (int round = 0; round < 50; ++round) EXPECT_TRUE(pool.run(17, 2, count));
        });
    for (std::thread& t : callers) t.join();
    EXPECT_EQ(total.load(), 4 * 50 * 17);
    EXPECT_EQ(pool.workerCount(), 3);
}

// The task beside runs on a worker while the caller's own runs (the own
// task waits for it: run in turn, it would wait out its time-out), or after
// it on the caller with one thread; a failure on either side is the result.
TEST(RowThreads, BesideRunsOnAWorkerWhileTheCallerWorks) {
    const std::thread::id caller = std::this_thread::get_id();
    for (int round = 0; round < 20; ++round) {
        std::atomic<bool> besideDone{false};
        std::thread::id besideThread, ownThread;
        bool sawBeside = false;
        const bool ok = runBeside(
            2,
            [&] {
                ownThread = std::this_thread::get_id();
                const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
                while (!besideDone && std::chrono::steady_clock::now() < until) std::this_thread::yield();
                sawBeside = besideDone;
                return true;
            },
            [&] {
                besideThread = std::this_thread::get_id();
                besideDone = true;
                return true;
            });
        EXPECT_TRUE(ok);
        EXPECT_TRUE(sawBeside) << round;
        EXPECT_EQ(ownThread, caller);
        EXPECT_NE(besideThread, caller);
    }

    std::vector<int> order;
    EXPECT_TRUE(runBeside(1, [&] { order.push_back(0); return true; }, [&] { order.push_back(1); return true; }));
    EXPECT_EQ(order, (std::vector<int>{0, 1}));
    for (int threads : {1, 2}) {
        EXPECT_FALSE(runBeside(threads, [] { return false; }, [] { return true; })) << threads;
        EXPECT_FALSE(runBeside(threads, [] { return true; }, [] { return false; })) << threads;
    }
}

// While the worker prepares the row to be consumed next, the calling thread
// does not sit idle: it prepares the rows after it that the worker has not
// taken, as far as the ring reaches.
TEST(RowThreads, TheConsumerPreparesLaterRowsWhileTheWorkerHoldsItsNext) {
    const std::thread::id caller = std::this_thread::get_id();
    constexpr int kRows = 12, kRing = 4;
    // The worker must first come for a row; on a busy machine it may come
    // only after the caller has prepared them all, so the run is repeated.
    for (int attempt = 0; attempt < 20; ++attempt) {
        std::vector<std::thread::id> by(kRows);
        std::atomic<int> held{-1};
        ASSERT_TRUE(runRowsAhead(
            kRows, kRing, 2,
            [&](int j, int) {
                by[static_cast<size_t>(j)] = std::this_thread::get_id();
                int none = -1;
                if (std::this_thread::get_id() == caller)
                    std::this_thread::sleep_for(std::chrono::milliseconds(3));  // time for the worker to come
                else if (held.compare_exchange_strong(none, j))
                    std::this_thread::sleep_for(std::chrono::milliseconds(150));
            },
            [](int, int) { return true; }));
        const int h = held.load();
        if (h < 0) continue;
        // Rows the worker could not have reached while it slept on row h.
        for (int k = h + 1; k < std::min(kRows, h + kRing); ++k)
            EXPECT_EQ(by[static_cast<size_t>(k)], caller) << "row " << k << " after the held row " << h;
        return;
    }
    GTEST_SKIP() << "the worker never came for a row";
}

// Rows prepared ahead: each prepared once, consumed in order on the calling
// thread with its own row's data in the slot, never more than the ring
// ahead (a slot is not overwritten before its row is consumed); a failed
// consume ends the run.
TEST(RowThreads, RowsPreparedAheadReachTheirConsumerInOrder) {
    const std::thread::id caller = std::this_thread::get_id();
    for (int threads : {1, 2, 5}) {
        for (int ring : {1, 2, 4}) {
            for (int rows : {0, 1, 2, 7, 36}) {
                std::vector<std::atomic<int>> prepared(static_cast<size_t>(rows));
                std::vector<int> slotRow(static_cast<size_t>(ring), -1);
                std::atomic<int> consumed{0};
                std::atomic<bool> tooFarAhead{false};
                std::vector<int> order;
                bool offThread = false;
                const bool ok = runRowsAhead(
                    rows, ring, threads,
                    [&](int j, int slot) {
                        prepared[static_cast<size_t>(j)].fetch_add(1);
                        if (j >= consumed.load() + ring) tooFarAhead = true;
                        EXPECT_EQ(slot, j % ring);
                        slotRow[static_cast<size_t>(slot)] = j;
                    },
                    [&](int j, int slot) {
                        offThread |= std::this_thread::get_id() != caller;
                        EXPECT_EQ(slotRow[static_cast<size_t>(slot)], j) << threads << " " << ring;
                        order.push_back(j);
                        // Leaves the worker time to run ahead.
                        std::this_thread::sleep_for(std::chrono::microseconds(50));
                        consumed.store(j + 1);
                        return true;
                    });
                EXPECT_TRUE(ok);
                EXPECT_FALSE(offThread);
                EXPECT_FALSE(tooFarAhead) << threads << " " << ring << " " << rows;
                ASSERT_EQ(static_cast<int>(order.size()), rows);
                for (int j = 0; j < rows; ++j) {
                    EXPECT_EQ(order[static_cast<size_t>(j)], j);
                    EXPECT_EQ(prepared[static_cast<size_t>(j)].load(), 1) << j;
                }
            }
        }
        int last = -1;
        EXPECT_FALSE(runRowsAhead(
            20, 3, threads, [](int, int) {},
            [&](int j, int) {
                last = j;
                return j != 5;
            }));
        EXPECT_EQ(last, 5);
        // A throw on the calling thread (memory running out while a row is
        // written) reaches the caller once the worker has let go, and the
        // pool goes on working.
        EXPECT_THROW(runRowsAhead(
                         20, 3, threads, [](int, int) {},
                         [](int j, int) -> bool {
                             if (j == 4) throw std::bad_alloc();
                             return true;
                         }),
                     std::bad_alloc);
        EXPECT_TRUE(runRowsAhead(5, 2, threads, [](int, int) {}, [](int, int) { return true; }));
    }
}

// The workers set out on row 1 while the caller still runs row 0, not after
// it; a throw from the caller's rows reaches it once the workers are done
// with the batch, and the pool goes on working.
TEST(RowThreads, WorkersStartWhileTheCallerRunsRowZero) {
    std::atomic<bool> otherStarted{false};
    bool seenFromRowZero = false;
    ASSERT_TRUE(runRows(4, 2, [&](int j, bool) {
        if (j != 0) {
            otherStarted = true;
            return true;
        }
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!otherStarted && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        seenFromRowZero = otherStarted;
        return true;
    }));
    EXPECT_TRUE(seenFromRowZero);
    for (bool rowZero : {true, false}) {
        // Row 0 throws, or the first row the caller takes after it (the
        // worker's rows take a while, so the caller takes some).
        EXPECT_THROW(runRows(40, 2,
                             [&](int j, bool calling) {
                                 if (calling && (j == 0) == rowZero) throw std::bad_alloc();
                                 if (!calling) std::this_thread::sleep_for(std::chrono::milliseconds(1));
                                 return true;
                             }),
                     std::bad_alloc)
            << rowZero;
    }
    std::atomic<int> count{0};
    EXPECT_TRUE(runRows(40, 2, [&](int, bool) {
        count.fetch_add(1);
        return true;
    }));
    EXPECT_EQ(count.load(), 40);
}

// Rows in three steps: each prepared and coded once, a row coded only once
// it and every row before it are prepared, consumed in order on the calling
// thread after its coding, its slot never taken by a later row before that;
// a failed or throwing consume ends the run.
TEST(RowThreads, StagedRowsAreCodedAfterThoseBeforeArePrepared) {
    const std::thread::id caller = std::this_thread::get_id();
    for (int threads : {1, 2, 5}) {
        for (int ring : {1, 2, 6}) {
            for (int rows : {0, 1, 2, 7, 36}) {
                SCOPED_TRACE(::testing::Message() << threads << " threads, ring " << ring << ", " << rows << " rows");
                std::vector<std::atomic<int>> prepared(static_cast<size_t>(rows)), coded(static_cast<size_t>(rows));
                std::vector<std::atomic<int>> slotRow(static_cast<size_t>(ring));
                for (auto& r : slotRow) r.store(-1);
                std::atomic<bool> early{false}, overwritten{false};
                std::vector<int> order;
                bool offThread = false;
                const bool ok = runRowsStaged(
                    rows, ring, threads,
                    [&](int j, int slot) {
                        EXPECT_EQ(slot, j % ring);
                        // The slot's row before must be consumed by now.
                        if (slotRow[static_cast<size_t>(slot)].exchange(j) > j) overwritten = true;
                        if (j % 3 == 1) std::this_thread::sleep_for(std::chrono::microseconds(200));
                        prepared[static_cast<size_t>(j)].fetch_add(1);
                    },
                    [&](int j, int slot) {
                        for (int k = 0; k <= j; ++k)
                            if (prepared[static_cast<size_t>(k)].load() != 1) early = true;
                        if (slotRow[static_cast<size_t>(slot)].load() != j) overwritten = true;
                        coded[static_cast<size_t>(j)].fetch_add(1);
                    },
                    [&](int j, int slot) {
                        offThread |= std::this_thread::get_id() != caller;
                        if (coded[static_cast<size_t>(j)].load() != 1) early = true;
                        if (slotRow[static_cast<size_t>(slot)].load() != j) overwritten = true;
                        order.push_back(j);
                        std::this_thread::sleep_for(std::chrono::microseconds(50));
                        return true;
                    });
                EXPECT_TRUE(ok);
                EXPECT_FALSE(offThread);
                EXPECT_FALSE(early);
                EXPECT_FALSE(overwritten);
                ASSERT_EQ(static_cast<int>(order.size()), rows);
                for (int j = 0; j < rows; ++j) {
                    EXPECT_EQ(order[static_cast<size_t>(j)], j);
                    EXPECT_EQ(prepared[static_cast<size_t>(j)].load(), 1) << j;
                    EXPECT_EQ(coded[static_cast<size_t>(j)].load(), 1) << j;
                }
            }
        }
        int last = -1;
        EXPECT_FALSE(runRowsStaged(
            20, 3, threads, [](int, int) {}, [](int, int) {},
            [&](int j, int) {
                last = j;
                return j != 5;
            }));
        EXPECT_EQ(last, 5);
        EXPECT_THROW(runRowsStaged(
                         20, 3, threads, [](int, int) {}, [](int, int) {},
                         [](int j, int) -> bool {
                             if (j == 4) throw std::bad_alloc();
                             return true;
                         }),
                     std::bad_alloc);
        EXPECT_TRUE(runRowsStaged(5, 2, threads, [](int, int) {}, [](int, int) {}, [](int, int) { return true; }));
    }
}

}  // namespace
}  // namespace quillon

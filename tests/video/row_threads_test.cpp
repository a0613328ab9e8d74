#include "video/encoder/row_threads.h"

#include <gtest/gtest.h>

#include <atomic>
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

}  // namespace
}  // namespace quillon

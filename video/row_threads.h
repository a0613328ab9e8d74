// Macroblock rows spread over worker threads. Each row writes only its own
// macroblocks, so the result is the same with any number of threads; only
// the calling thread talks to the engine (messages, stop button).
#pragma once

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>
#include <vector>

namespace quillon {

// Threads per encode: QUILLON_THREADS (1..64) when set, else the cores the
// machine reports.
int encoderThreadCount();

// Runs row(j, onCallingThread) for j = 0..rows-1 on up to `threads`
// threads; rows are taken in order as threads become free. A row returning
// false stops the others at their next row and makes the result false.
template <class Row>
bool runRows(int rows, int threads, Row&& row) {
    threads = std::clamp(threads, 1, std::max(rows, 1));
    if (threads == 1) {
        for (int j = 0; j < rows; ++j)
            if (!row(j, true)) return false;
        return true;
    }
    std::atomic<int> next{0};
    std::atomic<bool> failed{false};
    auto work = [&](bool caller) {
        while (!failed.load(std::memory_order_relaxed)) {
            const int j = next.fetch_add(1);
            if (j >= rows) return;
            if (!row(j, caller)) failed.store(true);
        }
    };
    std::vector<std::thread> pool;
    pool.reserve(static_cast<size_t>(threads - 1));
    for (int t = 1; t < threads; ++t) pool.emplace_back(work, false);
    work(true);
    for (auto& t : pool) t.join();
    return !failed.load();
}

}  // namespace quillon

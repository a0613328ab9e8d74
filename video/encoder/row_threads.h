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
// threads, thread t taking rows t, t + threads, ...: the calling thread
// always starts with row 0, so it reaches the engine (and the stop button)
// at once however the others are scheduled. A row returning false stops the
// others at their next row and makes the result false.
template <class Row>
bool runRows(int rows, int threads, Row&& row) {
    threads = std::clamp(threads, 1, std::max(rows, 1));
    if (threads == 1) {
        for (int j = 0; j < rows; ++j)
            if (!row(j, true)) return false;
        return true;
    }
    std::atomic<bool> failed{false};
    auto work = [&](int t) {
        for (int j = t; j < rows && !failed.load(std::memory_order_relaxed); j += threads)
            if (!row(j, t == 0)) failed.store(true);
    };
    std::vector<std::thread> pool;
    pool.reserve(static_cast<size_t>(threads - 1));
    for (int t = 1; t < threads; ++t) pool.emplace_back(work, t);
    work(0);
    for (auto& t : pool) t.join();
    return !failed.load();
}

}  // namespace quillon

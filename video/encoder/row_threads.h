// Macroblock rows spread over worker threads. Each row writes only its own
// macroblocks, so the result is the same with any number of threads; only
// the calling thread talks to the engine (messages, stop button).
#pragma once

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace quillon {

// Threads per encode: QUILLON_THREADS (1..64) when set, else the cores the
// machine reports.
int encoderThreadCount();

// Worker threads kept for the whole process: a picture hands out several
// batches of rows, and starting threads for each cost more than short
// batches gain. Any thread may hand in a batch (the encoder and the media
// input's read-ahead do at once); the caller always works on its own batch
// too, so a batch finishes even while every worker is busy elsewhere.
class RowThreadPool {
public:
    // The process's pool.
    static RowThreadPool& shared();
    RowThreadPool() = default;
    ~RowThreadPool();
    RowThreadPool(const RowThreadPool&) = delete;
    RowThreadPool& operator=(const RowThreadPool&) = delete;

    // Runs row(j, onCallingThread) for j = 0..rows-1 with up to helpers
    // workers beside the calling thread, which takes row 0 first. A row
    // returning false stops the others at their next row and makes the
    // result false.
    bool run(int rows, int helpers, const std::function<bool(int, bool)>& row);
    // Hands `beside` to a worker, then runs `own` on the calling thread;
    // `beside` runs here after `own` when no worker has taken it by then.
    // False when either returned false (`beside` is then not started if it
    // has not been).
    bool runBeside(const std::function<bool()>& own, const std::function<bool()>& beside);
    // Workers started so far.
    int workerCount();

private:
    struct Batch {
        const std::function<bool(int, bool)>* row = nullptr;
        int rows = 0;
        int helpersWanted = 0;
        int helpersActive = 0;
        std::atomic<int> next{1};
        std::atomic<bool> failed{false};
    };
    static void work(Batch& batch, bool callingThread);
    // Takes back a batch no worker has come for, and waits for those that did.
    bool settle(Batch& batch);
    void workerLoop();

    std::mutex mutex_;
    std::condition_variable wake_, done_;
    std::deque<Batch*> batches_;
    std::vector<std::thread> workers_;
    bool stopping_ = false;
};

// runRows over the shared pool with up to `threads` threads in all.
template <class Row>
bool runRows(int rows, int threads, Row&& row) {
    threads = std::clamp(threads, 1, std::max(rows, 1));
    if (threads == 1) {
        for (int j = 0; j < rows; ++j)
            if (!row(j, true)) return false;
        return true;
    }
    const std::function<bool(int, bool)> f = [&row](int j, bool calling) -> bool { return row(j, calling); };
    return RowThreadPool::shared().run(rows, threads - 1, f);
}

// Rows made ready ahead of their use: consume(j, slot) runs on the calling
// thread for j = 0..rows-1 in order, each after prepare(j, slot) has filled
// slot j % ring. A worker prepares rows up to `ring` ahead of the one being
// consumed; a row it has not started when its turn comes is prepared on the
// calling thread. A consume returning false ends the run with false.
bool runRowsAhead(int rows, int ring, int threads, const std::function<void(int, int)>& prepare,
                  const std::function<bool(int, int)>& consume);

// Rows made in three steps: prepare(j, slot) in any order, code(j, slot)
// once rows 0..j are all prepared, both on whichever thread comes first,
// and consume(j, slot) on the calling thread for j = 0..rows-1 in order
// after code(j). Slot j % ring is row j's from its preparation until it is
// consumed. A consume returning false ends the run with false.
bool runRowsStaged(int rows, int ring, int threads, const std::function<void(int, int)>& prepare,
                   const std::function<void(int, int)>& code, const std::function<bool(int, int)>& consume);

// runBeside over the shared pool, or `own` then `beside` on the calling
// thread with one thread.
template <class Own, class Beside>
bool runBeside(int threads, Own&& own, Beside&& beside) {
    if (threads <= 1) return own() && beside();
    const std::function<bool()> o = [&own]() -> bool { return own(); };
    const std::function<bool()> b = [&beside]() -> bool { return beside(); };
    return RowThreadPool::shared().runBeside(o, b);
}

}  // namespace quillon

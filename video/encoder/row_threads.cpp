#include "video/encoder/row_threads.h"

#include "engine/thread_name.h"
#include "platform/cpu_features.h"

#include <exception>
#include <memory>

namespace quillon {

int encoderThreadCount() { return configuredThreadCount(); }

RowThreadPool& RowThreadPool::shared() {
    static RowThreadPool pool;
    return pool;
}

RowThreadPool::~RowThreadPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : workers_) t.join();
}

int RowThreadPool::workerCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(workers_.size());
}

void RowThreadPool::work(Batch& batch, bool callingThread) {
    for (;;) {
        if (batch.failed.load(std::memory_order_relaxed)) return;
        const int j = batch.next.fetch_add(1, std::memory_order_relaxed);
        if (j >= batch.rows) return;
        if (!(*batch.row)(j, callingThread)) batch.failed.store(true);
    }
}

void RowThreadPool::workerLoop() {
    nameThisThread("q-rows");
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stopping_ || !batches_.empty(); });
        if (stopping_) return;
        Batch* batch = batches_.front();
        if (--batch->helpersWanted == 0) batches_.pop_front();
        ++batch->helpersActive;
        lock.unlock();
        work(*batch, false);
        lock.lock();
        if (--batch->helpersActive == 0) done_.notify_all();
    }
}

bool RowThreadPool::run(int rows, int helpers, const std::function<bool(int, bool)>& row) {
    if (rows <= 0) return true;
    if (rows == 1) return row(0, true);
    Batch batch;
    batch.row = &row;
    batch.rows = rows;
    helpers = std::min(helpers, rows - 1);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        while (static_cast<int>(workers_.size()) < helpers) workers_.emplace_back([this] { workerLoop(); });
        if (helpers > 0) {
            batch.helpersWanted = helpers;
            batches_.push_back(&batch);
        }
    }
    if (helpers > 0) wake_.notify_all();
    // Row 0 first, on this thread, so the engine hears from it at once; the
    // workers start on row 1 meanwhile rather than after it (a batch is
    // short: one row's wait was a good part of a worker's share).
    try {
        if (!row(0, true)) batch.failed.store(true);
        work(batch, true);
    } catch (...) {
        // The batch lives on this stack: no worker may hold it any more.
        batch.failed.store(true);
        settle(batch);
        throw;
    }
    return settle(batch);
}

bool RowThreadPool::runBeside(const std::function<bool()>& own, const std::function<bool()>& beside) {
    // A batch of rows 0 and 1 whose row 0 is taken already: row 1 is
    // `beside`, for whoever comes first.
    const std::function<bool(int, bool)> row = [&beside](int, bool) { return beside(); };
    Batch batch;
    batch.row = &row;
    batch.rows = 2;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (workers_.empty()) workers_.emplace_back([this] { workerLoop(); });
        batch.helpersWanted = 1;
        batches_.push_back(&batch);
    }
    wake_.notify_one();
    // The batch lives on this stack: whatever `own` throws waits until no
    // worker holds the batch any more.
    bool ok = false;
    std::exception_ptr error;
    try {
        ok = own();
    } catch (...) {
        error = std::current_exception();
    }
    if (!ok) batch.failed.store(true);
    work(batch, true);
    const bool settled = settle(batch);
    if (error) std::rethrow_exception(error);
    return settled && ok;
}

bool RowThreadPool::settle(Batch& batch) {
    std::unique_lock<std::mutex> lock(mutex_);
    // Workers that have not come yet are not waited for: the rows are gone.
    if (batch.helpersWanted > 0) {
        for (auto it = batches_.begin(); it != batches_.end(); ++it)
            if (*it == &batch) {
                batches_.erase(it);
                break;
            }
        batch.helpersWanted = 0;
    }
    done_.wait(lock, [&] { return batch.helpersActive == 0; });
    return !batch.failed.load();
}

namespace {

// Sets `over` and wakes every waiter when the calling thread's part of a run
// leaves, however it leaves, so that the worker beside it stops too.
struct OverOnLeaving {
    std::mutex& mutex;
    std::condition_variable& changed;
    bool& over;
    ~OverOnLeaving() {
        {
            std::lock_guard<std::mutex> lock(mutex);
            over = true;
        }
        changed.notify_all();
    }
};

}  // namespace

bool runRowsAhead(int rows, int ring, int threads, const std::function<void(int, int)>& prepare,
                  const std::function<bool(int, int)>& consume) {
    ring = std::max(ring, 1);
    if (threads <= 1 || rows <= 1) {
        for (int j = 0; j < rows; ++j) {
            prepare(j, j % ring);
            if (!consume(j, j % ring)) return false;
        }
        return true;
    }
    // Per row: 0 free, 1 taken by a thread preparing it, 2 ready. Both
    // threads take rows with the same exchange, so each is prepared once.
    enum : int { kFree, kTaken, kReady };
    std::unique_ptr<std::atomic<int>[]> state(new std::atomic<int>[static_cast<size_t>(rows)]);
    for (int j = 0; j < rows; ++j) state[static_cast<size_t>(j)].store(kFree);
    std::mutex mutex;
    std::condition_variable changed;
    int consumed = 0;  // rows whose slot is free again (guarded by mutex)
    bool over = false;
    auto take = [&](int j) {
        int expected = kFree;
        return state[static_cast<size_t>(j)].compare_exchange_strong(expected, kTaken);
    };
    auto beside = [&]() -> bool {
        for (int j = 0; j < rows; ++j) {
            {
                // Row j's slot is row j - ring's until that row is consumed.
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait(lock, [&] { return over || j < consumed + ring; });
                if (over) return true;
            }
            if (!take(j)) continue;
            prepare(j, j % ring);
            {
                std::lock_guard<std::mutex> lock(mutex);
                state[static_cast<size_t>(j)].store(kReady);
            }
            changed.notify_all();
        }
        return true;
    };
    auto own = [&]() -> bool {
        bool ok = true;
        // A throw lets the worker go before the pool waits for it.
        const OverOnLeaving release{mutex, changed, over};
        auto ready = [&](int j) { return state[static_cast<size_t>(j)].load() == kReady; };
        for (int j = 0; j < rows && ok; ++j) {
            if (take(j)) {
                prepare(j, j % ring);
            } else {
                // The worker has row j. Rather than wait for it, this thread
                // prepares the rows after it that nobody has taken yet (their
                // slots are free: rows before j are consumed): where the
                // consuming is light, both threads then prepare.
                for (int k = j + 1; k < std::min(rows, j + ring) && !ready(j); ++k) {
                    if (!take(k)) continue;
                    prepare(k, k % ring);
                    std::lock_guard<std::mutex> lock(mutex);
                    state[static_cast<size_t>(k)].store(kReady);
                }
                std::unique_lock<std::mutex> lock(mutex);
                changed.wait(lock, [&] { return ready(j); });
            }
            ok = consume(j, j % ring);
            {
                std::lock_guard<std::mutex> lock(mutex);
                consumed = j + 1;
                if (!ok || consumed == rows) over = true;
            }
            changed.notify_all();
        }
        return ok;
    };
    return RowThreadPool::shared().runBeside(own, beside);
}

bool runRowsStaged(int rows, int ring, int threads, const std::function<void(int, int)>& prepare,
                   const std::function<void(int, int)>& code, const std::function<bool(int, int)>& consume) {
    ring = std::max(ring, 1);
    if (threads <= 1 || rows <= 1) {
        for (int j = 0; j < rows; ++j) {
            prepare(j, j % ring);
            code(j, j % ring);
            if (!consume(j, j % ring)) return false;
        }
        return true;
    }
    enum : unsigned char { kFree, kPreparing, kPrepared, kCoding, kCoded };
    // Everything below is guarded by the mutex; the steps run outside it.
    std::vector<unsigned char> state(static_cast<size_t>(rows), kFree);
    std::mutex mutex;
    std::condition_variable changed;
    int nextFree = 0;   // the first row nobody has taken to prepare
    int prepared = 0;   // rows below it are all prepared
    int consumed = 0;   // rows below it are consumed, their slots free again
    bool over = false;
    auto at = [&](int j) -> unsigned char& { return state[static_cast<size_t>(j)]; };
    // One step of coding or preparing, if there is one to take. The lock is
    // held on entry and on return.
    auto oneStep = [&](std::unique_lock<std::mutex>& lock) -> bool {
        for (int j = consumed; j < prepared; ++j) {
            if (at(j) != kPrepared) continue;
            at(j) = kCoding;
            lock.unlock();
            code(j, j % ring);
            lock.lock();
            at(j) = kCoded;
            changed.notify_all();
            return true;
        }
        if (nextFree < rows && nextFree < consumed + ring) {
            const int j = nextFree++;
            at(j) = kPreparing;
            lock.unlock();
            prepare(j, j % ring);
            lock.lock();
            at(j) = kPrepared;
            while (prepared < rows && at(prepared) == kPrepared) ++prepared;
            changed.notify_all();
            return true;
        }
        return false;
    };
    auto beside = [&]() -> bool {
        std::unique_lock<std::mutex> lock(mutex);
        while (!over)
            if (!oneStep(lock)) changed.wait(lock);
        return true;
    };
    auto own = [&]() -> bool {
        // A throw lets the worker go before the pool waits for it.
        const OverOnLeaving release{mutex, changed, over};
        std::unique_lock<std::mutex> lock(mutex);
        while (consumed < rows) {
            if (at(consumed) == kCoded) {
                // The writing in order comes first: it frees the slots.
                const int j = consumed;
                lock.unlock();
                const bool ok = consume(j, j % ring);
                lock.lock();
                if (!ok) return false;
                consumed = j + 1;
                changed.notify_all();
                continue;
            }
            if (!oneStep(lock)) changed.wait(lock);
        }
        return true;
    };
    return RowThreadPool::shared().runBeside(own, beside);
}

}  // namespace quillon

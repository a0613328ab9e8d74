#include "video/encoder/row_threads.h"

#include "platform/cpu_features.h"

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
    // Row 0 first, on this thread, so the engine hears from it at once.
    if (!row(0, true)) return false;
    if (rows == 1) return true;
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
    work(batch, true);
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

}  // namespace quillon

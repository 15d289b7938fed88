// The history's slow chores, done on a thread of their own so that no tick
// waits for them: adding new records to the search index (whose merges can
// take a hundred milliseconds with a million calls) and folding the WAL back
// into the file (a checkpoint, which waits for the disk). Both run only when
// woken between downloads, through their own connection; a record written
// meanwhile by the main thread at worst finds the file busy for a moment and
// waits in its queue for the next tick.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

struct sqlite3;

namespace dialscope::history {

class Maintenance {
public:
    explicit Maintenance(std::string path);
    // Catches up for at most a second more (a console download that ends
    // at once still leaves its calls indexed), then ends the thread.
    ~Maintenance();
    Maintenance(const Maintenance&) = delete;
    Maintenance& operator=(const Maintenance&) = delete;

    // Main thread: something was written, the line is idle: catch up.
    void Wake();
    // Main thread: a download runs; the thread stops between batches.
    void SetDownloading(bool downloading) { downloading_.store(downloading, std::memory_order_relaxed); }

private:
    void Run();
    void CatchUp();

    std::string path_;
    std::atomic<bool> downloading_{false};
    std::mutex mutex_;
    std::condition_variable wake_;
    bool woken_ = false, stop_ = false;  // under mutex_
    std::chrono::steady_clock::time_point deadline_;  // under mutex_, once stop_
    std::thread thread_;
};

// Adds up to `batch` records not yet in the search index; returns how many,
// or -1 when the file could not be written. The index's high mark lives in
// the file, so two processes never index a record twice.
int IndexForSearch(sqlite3* db, int batch);

}  // namespace dialscope::history

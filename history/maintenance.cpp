#include "history/maintenance.h"

#include <sqlite3.h>

namespace dialscope::history {

int IndexForSearch(sqlite3* db, int batch) {
    if (sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) return -1;
    // The batch's last id is taken from records_text itself: asking the
    // index for its highest rowid would read its content table, which holds
    // the records not yet indexed as well.
    const char* sql[] = {
        "CREATE TEMP TABLE IF NOT EXISTS search_batch(lo INTEGER, hi INTEGER)",
        "DELETE FROM search_batch",
        "INSERT INTO search_batch SELECT (SELECT through FROM search_state), max(id) FROM "
        "(SELECT id FROM records_text WHERE id > (SELECT through FROM search_state) ORDER BY id LIMIT ?1)",
        "INSERT INTO records_search(rowid, folded) SELECT id, folded FROM records_text, search_batch "
        "WHERE id > lo AND id <= hi",
        "UPDATE search_state SET through = (SELECT hi FROM search_batch) "
        "WHERE (SELECT hi FROM search_batch) IS NOT NULL",
    };
    int added = 0;
    for (const char* step : sql) {
        sqlite3_stmt* st = nullptr;
        int rc = sqlite3_prepare_v2(db, step, -1, &st, nullptr);
        if (rc == SQLITE_OK) {
            if (sqlite3_bind_parameter_count(st) > 0) sqlite3_bind_int(st, 1, batch);
            rc = sqlite3_step(st);
        }
        sqlite3_finalize(st);
        if (rc != SQLITE_DONE) {
            added = -1;
            break;
        }
        if (step == sql[3]) added = sqlite3_changes(db);
    }
    if (added < 0 || sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        return -1;
    }
    return added;
}

Maintenance::Maintenance(std::string path) : path_(std::move(path)), thread_([this] { Run(); }) {}

Maintenance::~Maintenance() {
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    }
    wake_.notify_one();
    thread_.join();
}

void Maintenance::Wake() {
    {
        std::lock_guard lock(mutex_);
        woken_ = true;
    }
    wake_.notify_one();
}

void Maintenance::Run() {
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return woken_ || stop_; });
            if (stop_ && !woken_) return;
            woken_ = false;
        }
        CatchUp();
    }
}

void Maintenance::CatchUp() {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return;  // the main connection reports what is wrong with the file
    }
    sqlite3_busy_timeout(db, 50);
    sqlite3_exec(db, "PRAGMA synchronous=NORMAL; PRAGMA wal_autocheckpoint=0", nullptr, nullptr, nullptr);
    // Small batches: the main thread's writes find the file free between them.
    auto stopping = [this] {
        std::lock_guard lock(mutex_);
        return stop_ && std::chrono::steady_clock::now() > deadline_;
    };
    while (!downloading_.load(std::memory_order_relaxed) && !stopping() && IndexForSearch(db, 200) > 0) {
    }
    if (!downloading_.load(std::memory_order_relaxed) && !stopping())
        sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
    sqlite3_close(db);
}

}  // namespace dialscope::history

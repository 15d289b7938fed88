#include "history/retention.h"

#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <utility>

namespace dialscope::history {
namespace {

constexpr int64_t kDayMs = 24 * 60 * 60 * 1000;

int64_t SystemNowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::string LocalTime(int64_t ms) {
    const time_t seconds = static_cast<time_t>(ms / 1000);
    struct tm local {};
    localtime_r(&seconds, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M", &local);
    return text;
}

}  // namespace

std::optional<int64_t> LocalMidnightMs(const std::string& date) {
    int y = 0, m = 0, d = 0;
    char tail = 0;
    if (date.size() != 10 || std::sscanf(date.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &tail) != 3) return std::nullopt;
    struct tm t {};
    t.tm_year = y - 1900;
    t.tm_mon = m - 1;
    t.tm_mday = d;
    t.tm_isdst = -1;  // whatever the zone says for that day
    const time_t seconds = mktime(&t);
    // mktime moves a day the month does not have (02-30) on: no such date.
    if (seconds == static_cast<time_t>(-1) || t.tm_mday != d || t.tm_mon != m - 1) return std::nullopt;
    return static_cast<int64_t>(seconds) * 1000;
}

bool PruneHistory(const std::string& path, int64_t beforeMs, PruneResult* result, std::string* problem,
                  int busyTimeoutMs) {
    *result = {};
    problem->clear();
    sqlite3* db = nullptr;
    auto fail = [&](const char* doing) {
        *problem = "No calls were removed from the call history " + path + ": it cannot be " + doing + ": " +
                   (db ? sqlite3_errmsg(db) : "out of memory") + ".";
        if (db && !sqlite3_get_autocommit(db)) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close_v2(db);
        return false;
    };
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) return fail("opened");
    sqlite3_busy_timeout(db, busyTimeoutMs);
    // Deleted rows and freed pages are overwritten with zeros, not only
    // unlinked.
    if (sqlite3_exec(db, "PRAGMA secure_delete=ON; BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
        return fail("written");
    const char* const steps[] = {
        "CREATE TEMP TABLE IF NOT EXISTS pruned(id INTEGER PRIMARY KEY, damaged INTEGER)",
        "DELETE FROM pruned",
        "INSERT INTO pruned SELECT id, damaged FROM records WHERE received_at < ?1",
        // Out of the search index: the records it holds (up to its mark) are
        // deleted from it with the text it was given; later ones never were.
        "INSERT INTO records_search(records_search, rowid, folded) SELECT 'delete', t.id, t.folded "
        "FROM records_text t JOIN pruned p ON p.id = t.id WHERE t.id <= (SELECT through FROM search_state)",
        "DELETE FROM records_text WHERE id IN (SELECT id FROM pruned)",
        "DELETE FROM records WHERE id IN (SELECT id FROM pruned)",
        "DELETE FROM published WHERE call_id IN (SELECT id FROM pruned)",
        "DELETE FROM downloads WHERE started_at < ?1 "
        "AND NOT EXISTS (SELECT 1 FROM records r WHERE r.download_id = downloads.id)",
    };
    for (const char* sql : steps) {
        sqlite3_stmt* st = nullptr;
        int rc = sqlite3_prepare_v2(db, sql, -1, &st, nullptr);
        if (rc == SQLITE_OK) {
            if (sqlite3_bind_parameter_count(st) > 0) sqlite3_bind_int64(st, 1, beforeMs);
            rc = sqlite3_step(st);
        }
        sqlite3_finalize(st);
        if (rc != SQLITE_DONE) return fail("written");
    }
    sqlite3_stmt* count = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT count(*) - coalesce(sum(damaged != 0), 0), coalesce(sum(damaged != 0), 0) FROM pruned",
                           -1, &count, nullptr) == SQLITE_OK &&
        sqlite3_step(count) == SQLITE_ROW) {
        result->calls = sqlite3_column_int64(count, 0);
        result->damagedRecords = sqlite3_column_int64(count, 1);
    }
    sqlite3_finalize(count);
    // The index's older segments still hold the deleted text until they are
    // merged into one.
    if (result->calls + result->damagedRecords > 0 &&
        sqlite3_exec(db, "INSERT INTO records_search(records_search) VALUES ('optimize')", nullptr, nullptr, nullptr) !=
            SQLITE_OK)
        return fail("written");
    if (sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) return fail("written");
    // The log held the text too (as written, and as overwritten): folded
    // into the file and emptied.
    int logFrames = -1, copied = -1;
    const int rc = sqlite3_wal_checkpoint_v2(db, nullptr, SQLITE_CHECKPOINT_TRUNCATE, &logFrames, &copied);
    result->logKept = rc != SQLITE_OK || logFrames != 0;
    sqlite3_close_v2(db);
    return true;
}

Retention::Retention(std::string path, int keepDays, std::function<int64_t()> nowMs)
    : path_(std::move(path)), keepDays_(keepDays), now_(nowMs ? std::move(nowMs) : SystemNowMs) {}

std::optional<std::string> Retention::Tick() {
    const int64_t now = now_();
    if (next_ && now < *next_) return std::nullopt;
    const int64_t before = now - keepDays_ * kDayMs;
    PruneResult removed;
    std::string problem;
    // Short waits: the tick must not hold up the program; a busy file is
    // tried again in a minute.
    if (!PruneHistory(path_, before, &removed, &problem, 200)) {
        next_ = now + 60 * 1000;
        if (std::exchange(failureSaid_, true)) return std::nullopt;
        return problem + " Tried again in a minute.";
    }
    failureSaid_ = false;
    next_ = now + kDayMs;
    if (removed.calls + removed.damagedRecords == 0) return std::nullopt;
    std::string line = "History: removed " + std::to_string(removed.calls) + (removed.calls == 1 ? " call" : " calls");
    if (removed.damagedRecords > 0) line += " and " + std::to_string(removed.damagedRecords) + (removed.damagedRecords == 1 ? " damaged record" : " damaged records");
    line += " received before " + LocalTime(before) + " (calls are kept for " + std::to_string(keepDays_) +
            (keepDays_ == 1 ? " day)." : " days).");
    return line;
}

}  // namespace dialscope::history

#include "history/salvage.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <limits>
#include <optional>
#include <vector>

#include "history/call_history.h"
#include "history/file_system.h"
#include "history/latin1.h"
#include "history/maintenance.h"
#include "history/phone_number.h"

namespace dialscope::history {
namespace {

constexpr int64_t kApplicationId = 0x44534331;  // 'DSC1', as every history says of itself
constexpr int64_t kMaxId = std::numeric_limits<int64_t>::max();

struct Connection {
    sqlite3* db = nullptr;
    ~Connection() { sqlite3_close_v2(db); }
};

struct Statement {
    sqlite3_stmt* st = nullptr;
    Statement(sqlite3* db, const std::string& sql) { sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr); }
    ~Statement() { sqlite3_finalize(st); }
};

// The first id at or after `from` whose row can at least be found, none
// when there is none, or nullopt when the search itself runs into damage.
struct Probe {
    bool failed = false;
    std::optional<int64_t> id;
};

Probe FirstIdFrom(sqlite3* db, const std::string& table, int64_t from) {
    Statement st(db, "SELECT rowid FROM " + table + " WHERE rowid >= ?1 ORDER BY rowid LIMIT 1");
    if (!st.st) return {true, std::nullopt};
    sqlite3_bind_int64(st.st, 1, from);
    const int rc = sqlite3_step(st.st);
    if (rc == SQLITE_ROW) return {false, sqlite3_column_int64(st.st, 0)};
    return {rc != SQLITE_DONE, std::nullopt};
}

struct Scan {
    bool damaged = false;    // a read stopped at damage
    int64_t skipped = 0;     // ids passed over that had rows, as far as can be told
    int64_t refused = 0;     // rows read that could not be saved
    bool endUnread = false;  // the last rows could not be reached: how many is told by other tables
};

// One row's values, kept past the statement that read them.
struct Row {
    std::vector<sqlite3_value*> values;
    int64_t id = 0;
    Row() = default;
    Row(sqlite3_stmt* st) : id(sqlite3_column_int64(st, 0)) {
        for (int i = 0; i < sqlite3_column_count(st); ++i) values.push_back(sqlite3_value_dup(sqlite3_column_value(st, i)));
    }
    Row(Row&& other) noexcept : values(std::move(other.values)), id(other.id) { other.values.clear(); }
    Row& operator=(Row&& other) noexcept {
        std::swap(values, other.values);
        id = other.id;
        return *this;
    }
    ~Row() {
        for (sqlite3_value* v : values) sqlite3_value_free(v);
    }
    bool empty() const { return values.empty(); }
};

enum class Taken { Saved, Known, Refused };  // Known: a row of that id is saved already

// Reads `columns` (the first being the rowid) of every row of `table` that
// can be read, in id order, handing each to `take`. Where a damaged page
// stops the read, the ids after the last row read are tried one by one, and
// once rows read again the read goes on in order. When none has read for a
// while, the next id that can be found is looked for with steps that double
// past the damage, then halve back down to the first id from which rows can
// be found, so that no readable row is passed over. Ids passed over that way
// are counted as lost (ids are handed out one after the other).
//
// A damaged page may also read without an error, its ids garbled: a row
// whose id does not lie between its neighbours' (or that came last before an
// error) is taken at the end, only when no row read in order has its id, and
// never moves the point the read goes on from.
Scan ReadPastDamage(sqlite3* db, const std::string& table, const std::string& columns, int64_t knownLast,
                    const std::function<Taken(const Row&)>& take) {
    constexpr int kMisses = 64;  // ids in a row without a readable one: then step past the damage
    constexpr int kRun = 8;      // rows in a row read one by one: then read in order again
    Scan scan;
    std::vector<Row> outOfOrder;
    auto finish = [&] {
        for (const Row& row : outOfOrder)
            if (take(row) == Taken::Refused) ++scan.refused;
        return scan;
    };
    int64_t from = 1;  // the program numbers rows from 1
    // The ids from `first` on could not be read, up to the last one the
    // file names elsewhere.
    auto lostFrom = [&](int64_t first) {
        scan.endUnread = true;
        scan.skipped += std::max<int64_t>(0, knownLast - first + 1);
        return finish();
    };
    // Takes a row read in order; false once the last id there can be is read.
    auto inOrder = [&](const Row& row) {
        if (take(row) == Taken::Refused) ++scan.refused;
        if (row.id == kMaxId) return false;
        from = std::max(from, row.id + 1);
        return true;
    };
    for (bool start = true;; start = false) {
        {
            // From the start every row is read as it lies in the table, none
            // looked for: a damaged page may mislead a search for an id.
            Statement st(db, "SELECT " + columns + " FROM " + table + (start ? "" : " WHERE rowid >= ?1 ORDER BY rowid"));
            if (!st.st) {
                scan.damaged = true;
                return lostFrom(from);
            }
            if (!start) sqlite3_bind_int64(st.st, 1, from);
            const int64_t scanFrom = from;
            std::optional<int64_t> previous;
            Row held;
            bool more = true;
            auto judge = [&](std::optional<int64_t> next, bool failed) {
                if (held.id < scanFrom || (previous && held.id <= *previous) || (next && held.id >= *next) || failed) {
                    outOfOrder.push_back(std::move(held));
                    return;
                }
                previous = held.id;
                more = inOrder(held);
            };
            int rc;
            while (more && (rc = sqlite3_step(st.st)) == SQLITE_ROW) {
                const int64_t id = sqlite3_column_int64(st.st, 0);
                if (!held.empty()) judge(id, false);
                held = Row(st.st);
            }
            if (!more) return finish();
            if (!held.empty()) judge(std::nullopt, rc != SQLITE_DONE);
            if (rc == SQLITE_DONE || !more) return finish();
        }
        scan.damaged = true;
        // One by one past the row that failed.
        int misses = 0, run = 0;
        int64_t unseen = 0;  // ids without a row since the last one read: lost if rows come after them
        int64_t x = from;
        Statement one(db, "SELECT " + columns + " FROM " + table + " WHERE rowid = ?1");
        while (one.st && misses < kMisses && run < kRun) {
            sqlite3_reset(one.st);
            sqlite3_bind_int64(one.st, 1, x);
            const int rc = sqlite3_step(one.st);
            if (rc == SQLITE_ROW) {
                scan.skipped += unseen;
                unseen = 0, misses = 0, ++run;
                if (!inOrder(Row(one.st))) return finish();
            } else {
                run = 0, ++misses;
                rc == SQLITE_DONE ? ++unseen : ++scan.skipped;  // an id found whose row cannot be read
            }
            if (x == kMaxId) return finish();
            ++x;
        }
        if (run >= kRun) continue;  // sound again: read on in order from the next id
        // Past the damage: doubling steps, then back down.
        const int64_t lastSeen = x - unseen;
        Probe found = FirstIdFrom(db, table, x);
        if (found.failed) {
            int64_t bad = x, good = 0, step = 1;
            for (;;) {
                if (bad > kMaxId - step) return lostFrom(lastSeen);
                good = bad + step;
                found = FirstIdFrom(db, table, good);
                if (!found.failed) break;
                bad = good;
                if (step < (int64_t{1} << 61)) step *= 2;
            }
            while (good - bad > 1) {
                const int64_t mid = bad + (good - bad) / 2;
                Probe p = FirstIdFrom(db, table, mid);
                if (p.failed) {
                    bad = mid;
                } else {
                    good = mid;
                    found = p;
                }
            }
        }
        if (!found.id) return lostFrom(lastSeen);  // no rows can be found after these ids
        scan.skipped += unseen + std::max<int64_t>(0, *found.id - x);
        from = std::max(from, *found.id);
    }
}

// The highest record id any readable table or index still names: how far
// the records went when their last pages cannot be read. The records' own
// indexes hold every id on pages of their own, however far the search's
// indexing had got.
int64_t HighestKnownId(sqlite3* db) {
    int64_t highest = 0;
    for (const char* sql : {"SELECT max(id) FROM records_text", "SELECT max(id) FROM records INDEXED BY records_label",
                            "SELECT max(id) FROM records INDEXED BY records_mdy",
                            "SELECT max(call_id) FROM published", "SELECT max(through) FROM targets",
                            "SELECT through FROM search_state"}) {
        Statement st(db, sql);
        if (st.st && sqlite3_step(st.st) == SQLITE_ROW) highest = std::max<int64_t>(highest, sqlite3_column_int64(st.st, 0));
    }
    return highest;
}

bool OpenOld(const std::string& path, Connection* old, std::string* problem) {
    std::string error;
    const auto info = files::Look(path, nullptr, &error);
    if (!info) {
        *problem = "The call history " + path + " cannot be read: " + error + ".";
        return false;
    }
    if (info->kind != files::Kind::Regular) {
        *problem = "The call history " + path + " is not a regular file; there is nothing to save from it.";
        return false;
    }
    // A write-ahead log beside it holds the latest calls: read it too (read
    // only, it is not folded into the file). Without one the file is read as
    // it lies, with no lock and nothing made beside it.
    const auto wal = files::Look(path + "-wal");
    const bool hasLog = wal && wal->size > 0;
    const int rc = hasLog ? sqlite3_open_v2(path.c_str(), &old->db, SQLITE_OPEN_READONLY, nullptr)
                          : sqlite3_open_v2(ImmutableSqliteUri(path).c_str(), &old->db,
                                            SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr);
    int64_t appId = 0, version = 0;
    bool read = rc == SQLITE_OK;
    if (read) {
        sqlite3_busy_timeout(old->db, 2000);
        Statement a(old->db, "PRAGMA application_id"), v(old->db, "PRAGMA user_version");
        read = a.st && v.st && sqlite3_step(a.st) == SQLITE_ROW && sqlite3_step(v.st) == SQLITE_ROW;
        if (read) appId = sqlite3_column_int64(a.st, 0), version = sqlite3_column_int64(v.st, 0);
    }
    if (!read) {
        *problem = "Nothing can be saved from " + path + ": " +
                   (old->db ? sqlite3_errmsg(old->db) : sqlite3_errstr(rc)) +
                   ". Its damage is at its very start, where SQLite finds its tables.";
        return false;
    }
    if (appId != kApplicationId || version < 1) {
        *problem = "The file " + path + " is not a call history; there is nothing to save from it.";
        return false;
    }
    if (version > CallHistory::kSchemaVersion) {
        *problem = "The call history " + path +
                   " was written by a newer version of Dialscope; save it with that version.";
        return false;
    }
    return true;
}

// Where the copy goes: a new history, made as every history is. An existing
// file is never overwritten.
bool MakeNew(const std::string& path, std::string* problem) {
    if (files::NameTaken(path)) {
        *problem = "The file " + path + " exists already. Name a new file to save the calls into.";
        return false;
    }
    auto made = CallHistory::Open(path, problem);
    if (!made) return false;
    if (!made->writable()) {
        *problem = "The new call history " + path + " cannot be written. Name a file in a folder you may write.";
        return false;
    }
    return true;
}

void RemoveNew(const std::string& path) {
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) files::Remove(path + suffix);
}

constexpr const char* kRecordColumns =
    "id, download_id, received_at, label, label_index, letter, d1, d2, d3, t1, t2, has_text, text, damaged, "
    "occurrence, rendered, key_mdy, key_dmy, key_ymd, label_key";

// Saves rows in the new file with their values as read. A row the new file
// refuses (values damage has made impossible) counts as lost.
struct Copier {
    Statement insert;
    int64_t copied = 0;
    Copier(sqlite3* db, const std::string& sql) : insert(db, sql) {}
    // callerNumber: bound after the row's values, when given.
    Taken Copy(const Row& row, size_t firstColumn, const std::optional<std::string>* callerNumber = nullptr) {
        sqlite3_reset(insert.st);
        for (size_t i = firstColumn; i < row.values.size(); ++i)
            sqlite3_bind_value(insert.st, static_cast<int>(i - firstColumn + 1), row.values[i]);
        if (callerNumber) {
            const int at = static_cast<int>(row.values.size() - firstColumn + 1);
            if (*callerNumber)
                sqlite3_bind_text(insert.st, at, (*callerNumber)->data(), static_cast<int>((*callerNumber)->size()),
                                  SQLITE_TRANSIENT);
            else
                sqlite3_bind_null(insert.st, at);
        }
        if (sqlite3_step(insert.st) != SQLITE_DONE) return Taken::Refused;
        if (sqlite3_changes(sqlite3_db_handle(insert.st)) == 0) return Taken::Known;
        ++copied;
        return Taken::Saved;
    }
};

bool CopyAll(sqlite3* from, sqlite3* to, SalvageReport* report, std::string* problem) {
    // A file from version 6 on keeps, for a call collected from a watcher,
    // that watcher's instance and id: copied too, or the call would turn
    // into one of this machine's box and come again from the watcher.
    Statement collected(from, "SELECT instance, source_id FROM records LIMIT 0");
    const std::string columns = std::string(kRecordColumns) + (collected.st ? ", instance, source_id" : "");
    Copier records(to, "INSERT INTO records(" + columns + ", caller_number) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?," +
                           (collected.st ? "?,?," : "") + "?) ON CONFLICT(id) DO NOTHING");
    Statement text(to, "INSERT INTO records_text(id, folded) VALUES (?1, ?2)");
    if (!records.insert.st || !text.st) {
        *problem = sqlite3_errmsg(to);
        return false;
    }
    const Scan recordScan = ReadPastDamage(from, "records", columns, HighestKnownId(from), [&](const Row& row) {
        // The caller's number read again from the text: a copy from a
        // file older than the number's column, and no trust in a damaged one.
        const char* bytes = static_cast<const char*>(sqlite3_value_blob(row.values[12]));
        const std::optional<std::string> number =
            CallerNumber(std::string_view(bytes ? bytes : "", sqlite3_value_bytes(row.values[12])));
        const Taken taken = records.Copy(row, 0, &number);
        if (taken != Taken::Saved) return taken;
        (sqlite3_value_int(row.values[13]) != 0 ? report->damagedRecords : report->calls) += 1;
        // The search's text, folded as when the record was first written.
        const auto* labelKey = sqlite3_value_text(row.values[19]);
        const std::string folded =
            std::string(labelKey ? reinterpret_cast<const char*>(labelKey) : "") + "\n" +
            Latin1ToUtf8(FoldLatin1(std::string_view(bytes ? bytes : "", sqlite3_value_bytes(row.values[12]))));
        sqlite3_reset(text.st);
        sqlite3_bind_int64(text.st, 1, row.id);
        sqlite3_bind_text(text.st, 2, folded.data(), static_cast<int>(folded.size()), SQLITE_TRANSIENT);
        sqlite3_step(text.st);
        return taken;
    });
    report->lostRecords = recordScan.skipped + recordScan.refused;
    // The search's table holds every record's id in a table of its own: its
    // ids not saved are records lost too, whether a read said so or not.
    int64_t notSaved = 0;
    bool textDamaged = false;
    {
        Statement ids(from, "SELECT id FROM records_text");
        Statement saved(to, "SELECT 1 FROM records WHERE id = ?1");
        int rc = SQLITE_ERROR;
        while (ids.st && saved.st && (rc = sqlite3_step(ids.st)) == SQLITE_ROW) {
            sqlite3_reset(saved.st);
            sqlite3_bind_int64(saved.st, 1, sqlite3_column_int64(ids.st, 0));
            if (sqlite3_step(saved.st) != SQLITE_ROW) ++notSaved;
        }
        textDamaged = rc != SQLITE_DONE;
    }
    report->lostRecords = std::max(report->lostRecords, notSaved);
    report->lostAtEnd = recordScan.endUnread;

    Copier downloads(to, "INSERT INTO downloads(id, started_at, ended_at, port, records, new_calls, ended_how) "
                         "VALUES (?,?,?,?,?,?,?) ON CONFLICT(id) DO NOTHING");
    const Scan downloadScan =
        ReadPastDamage(from, "downloads", "id, started_at, ended_at, port, records, new_calls, ended_how", 0,
                       [&](const Row& row) { return downloads.Copy(row, 0); });
    report->downloads = downloads.copied;
    report->lostDownloads = downloadScan.skipped + downloadScan.refused;

    // What each broker and command has had: without it a watcher on the new
    // file would send calls again, or skip calls it still owes.
    Copier targets(to, "INSERT INTO targets(name, through, registered_at) VALUES (?,?,?) ON CONFLICT(name) DO NOTHING");
    const Scan targetScan = ReadPastDamage(from, "targets", "rowid, name, through, registered_at", 0,
                                           [&](const Row& row) { return targets.Copy(row, 1); });
    Copier marks(to, "INSERT OR IGNORE INTO published(target, call_id) VALUES (?,?)");
    bool marksRead = false;
    {
        Statement all(from, "SELECT target, call_id FROM published");
        int rc = SQLITE_ERROR;
        if (all.st)
            while ((rc = sqlite3_step(all.st)) == SQLITE_ROW) marks.Copy(Row(all.st), 0);
        marksRead = rc == SQLITE_DONE;
    }
    report->marksLost = targetScan.damaged || targetScan.refused > 0 || !marksRead;
    // The names callers are shown with. A history from before contacts has
    // no such table: nothing to save, nothing lost.
    {
        Copier contacts(to, "INSERT OR IGNORE INTO contacts(number, name, source, updated) VALUES (?,?,?,?)");
        Statement all(from, "SELECT number, name, source, updated FROM contacts");
        int rc = SQLITE_DONE;
        if (all.st)
            while ((rc = sqlite3_step(all.st)) == SQLITE_ROW) contacts.Copy(Row(all.st), 0);
        report->contacts = contacts.copied;
        report->contactsLost = rc != SQLITE_DONE;
    }
    // Each watcher's mark (serve --collect): without it the replay would ask
    // from the start again and bring back what was pruned. Lost, the calls
    // only come again; a file from before version 6 has none.
    {
        Copier collectedMarks(to, "INSERT OR IGNORE INTO collected(instance, through) VALUES (?,?)");
        Statement all(from, "SELECT instance, through FROM collected");
        if (all.st)
            while (sqlite3_step(all.st) == SQLITE_ROW) collectedMarks.Copy(Row(all.st), 0);
    }
    report->damageFound = recordScan.damaged || recordScan.refused > 0 || notSaved > 0 || textDamaged || downloadScan.damaged ||
                          downloadScan.refused > 0 || report->marksLost || report->contactsLost;
    return true;
}

}  // namespace

std::string DamageAdvice(const std::string& path) {
    return "`dialscope-cli --history " + path + " history --check` says what is damaged; `dialscope-cli --history " +
           path + " history --salvage NEW_FILE` saves what can still be read into a new file.";
}

bool Salvage(const std::string& oldPath, const std::string& newPath, SalvageReport* report, std::string* problem) {
    *report = {};
    problem->clear();
    Connection old;
    if (!OpenOld(oldPath, &old, problem)) return false;
    if (!MakeNew(newPath, problem)) return false;

    Connection made;
    auto fail = [&](const std::string& why) {
        *problem = "The calls cannot be saved into " + newPath + ": " + why + ". Nothing was saved there.";
        sqlite3_close_v2(made.db);
        made.db = nullptr;
        RemoveNew(newPath);
        return false;
    };
    if (sqlite3_open_v2(newPath.c_str(), &made.db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK)
        return fail(sqlite3_errmsg(made.db));
    sqlite3_busy_timeout(made.db, 2000);
    if (sqlite3_exec(made.db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
        return fail(sqlite3_errmsg(made.db));
    if (!CopyAll(old.db, made.db, report, problem)) return fail(*problem);
    if (sqlite3_exec(made.db, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) return fail(sqlite3_errmsg(made.db));
    // The search index, built now: the new file is complete when this returns.
    int added;
    while ((added = IndexForSearch(made.db, 5000)) > 0) {
    }
    if (added < 0) return fail(sqlite3_errmsg(made.db));
    sqlite3_exec(made.db, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
    return true;
}

}  // namespace dialscope::history

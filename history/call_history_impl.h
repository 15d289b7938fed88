// The call history's insides, shared by the files that implement it, one
// job each: call_history.cpp (opening, looking the file over, failures),
// schema.cpp, history_write.cpp, history_pending.cpp, history_read.cpp and
// publication.cpp. Nothing outside history/ includes it.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <deque>
#include <future>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "history/call_history.h"
#include "history/file_system.h"
#include "history/maintenance.h"
#include "history/pending_file.h"

namespace dialscope::history {

// 'DSC1' in the file's header: a history file says whose it is, so that a
// database of another program is never taken for one and changed.
constexpr int32_t kApplicationId = 0x44534331;

using Failure = StoreTrouble;

const char* EndName(DownloadEnd how);

int64_t SystemNowMs();

// A prepared statement that finalizes itself.
class Statement {
public:
    Statement(sqlite3* db, const char* sql) { rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    bool ok() const { return rc_ == SQLITE_OK && stmt_; }
    int prepareError() const { return rc_; }
    sqlite3_stmt* get() const { return stmt_; }
    void Bind(int i, int64_t v) { sqlite3_bind_int64(stmt_, i, v); }
    void Bind(int i, const std::string& text) {
        sqlite3_bind_text(stmt_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
    void BindBlob(int i, const void* data, size_t n) {
        sqlite3_bind_blob(stmt_, i, n ? data : "", static_cast<int>(n), SQLITE_TRANSIENT);
    }
    void BindNull(int i) { sqlite3_bind_null(stmt_, i); }
    int Step() { return sqlite3_step(stmt_); }

private:
    sqlite3_stmt* stmt_ = nullptr;
    int rc_ = SQLITE_ERROR;
};

inline int Exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }

// Result of a one-value query; the error code when it fails.
int QueryInt(sqlite3* db, const char* sql, int64_t* value);

// SQLite's check of the file: up to `limit` findings, empty when sound.
std::vector<std::string> RunCheck(sqlite3* db, bool thorough, int limit);

// The conditions of a query of calls on `records r` (each " AND ...") and
// the values they bind. False when no call can match: a character no box
// sends, or (with *problem said) a date that is no date.
struct CallFilter {
    std::string where;
    std::string label, term, phrase, instance;
    void Bind(Statement& st) const;
};
bool BuildFilter(const ListQuery& query, CallFilter* filter, std::string* problem);
// The column of the box's date and time read in that order.
const char* KeyColumn(DateOrder order);

struct CallHistory::Impl {
    struct Download {
        int64_t dbId = 0;
        int64_t startedAt = 0;
        std::string port;
        std::optional<DownloadEnd> ended;
        int added = 0, written = 0, newCalls = 0, known = 0, damaged = 0, dropped = 0;
        std::map<std::string, int> occurrences;  // identity -> intact copies so far
    };
    struct Op {
        enum Kind { Begin, Record, End } kind = Record;
        std::shared_ptr<Download> download;
        int64_t at = 0;  // when it happened (ms)
        std::string port;
        CallRecord fields;
        std::string rendered;
        int occurrence = 0;
        uint64_t seq = 0;  // the record's number from AddRecord
        DownloadEnd how = DownloadEnd::Completed;
    };

    std::string path;
    OpenOptions options;
    sqlite3* db = nullptr;
    bool writable = false;
    // Set while the file is read as it lay on the disk (read-only, with no
    // writer present when it was opened): the file as it was then.
    std::optional<files::Info> snapshotOf;
    int64_t lastReopenTry = 0;
    int64_t version = 0;  // the file's format when opened

    // A file that exists is looked over before it is written: Checking
    // until the quick check (on a thread of its own) has said, then Sound or
    // Damaged. A damaged file is never written again by this program.
    enum class State { Checking, Sound, Damaged } state = State::Checking;
    std::future<std::vector<std::string>> check;
    std::vector<std::string> damage;  // the check's findings, or what found damage later
    bool checked = false;             // damage holds a quick check's verdict
    bool pendingDue = false;          // the pending file waits to be taken in
    bool structureDamaged = false;    // its tables are not what a history of ours has
    bool oursByHeader = false;        // the file's header carries our application id

    std::deque<Op> queue;
    size_t queuedRecords = 0;
    std::shared_ptr<Download> current;
    std::deque<StoredCall> newCalls;
    uint64_t recordsAdded = 0;
    // The ids of the records written lately, by their AddRecord number.
    std::deque<std::pair<uint64_t, CallIds>> writtenIds;
    std::vector<std::pair<std::string, int64_t>> pendingMarks;
    std::vector<std::string> pendingTargets;

    std::deque<StoreProblem> problems;
    std::deque<std::string> notices;  // for TakeNotice
    std::optional<std::string> warning;  // for TakeWarning
    std::string unreadable;   // why the file could not be opened even for reading
    std::string readProblem;  // why the last List could not read everything
    std::set<Failure> reported;  // kinds said during the present episode
    std::optional<int64_t> busySince;
    int lastFailure = SQLITE_OK;  // of the last write that failed, until one succeeds
    bool lockedOut = false;       // that write failed only because another connection holds the file
    bool overflowSaid = false;
    int64_t droppedRecords = 0;
    std::unique_ptr<Maintenance> maintenance;
    bool dirty = false;  // written since the maintenance last woke
    int64_t writtenSinceFailure = 0;

    int64_t Now() const { return options.nowMs ? options.nowMs() : SystemNowMs(); }

    ~Impl() { Disconnect(); }

    // --- opening (call_history.cpp) and the schema (schema.cpp) ---------------

    bool CheckHeader(std::string* problem);
    bool IsRegularFile(const files::Info& info, std::string* problem) const;
    bool CheckVersion(int64_t version, std::string* problem);
    std::string SqliteProblem(int rc, const char* doing);
    bool Connect(bool readOnly, std::string* problem);
    void Settle(bool wait, std::string* problem = nullptr);
    void MarkDamaged(const std::string& detail);
    bool CanWrite() const { return writable && state == State::Sound; }
    bool CheckSchema(int64_t version, std::string* problem);
    int Migrate(int64_t from);
    void Disconnect();
    bool WriterPresent() const;
    void FollowWriter();
    bool MayWrite() const;
    void RetryWritable();

    // --- failures (call_history.cpp) ------------------------------------------

    void Say(Failure kind, std::string text);
    void Failed(int rc);
    void SayReadOnly();
    void Recovered();

    // --- writing (history_write.cpp) ------------------------------------------

    int Run(Op& op);
    int WriteBegin(Op& op);
    int WriteEnd(Op& op);
    int WriteRecord(Op& op, bool ownTransaction = true);
    int Abandon();
    void Drain();
    void Push(Op op);
    std::shared_ptr<Download> StartDownload(const std::string& port);

    // --- the pending file (history_pending.cpp) -------------------------------

    std::optional<std::string> Spill();
    int FindOrAddDownload(const PendingRecord& r, Download* dl);
    void TakeInPending();

    // --- reading (history_read.cpp) -------------------------------------------

    static constexpr const char* kCallColumns =
        "r.id, r.download_id, r.received_at, r.label, r.label_index, r.letter, r.d1, r.d2, r.d3, r.t1, r.t2, "
        "r.has_text, r.text, r.damaged, r.rendered";

    // --- contacts (contacts.cpp) ----------------------------------------------

    // The contacts as last read, read again when another connection has
    // written the file (its data_version moved) or this one changed them.
    std::optional<ContactBook> book;
    int64_t bookVersion = -1;
    const ContactBook& Book();
    void Name(std::vector<StoredCall>& calls);

    static StoredCall ReadCall(sqlite3_stmt* st);
    std::vector<StoredCall> Read(Statement& st);
    void ReadFailed(int rc);
};

}  // namespace dialscope::history

// The hand-off through the pending file: what the history cannot take when
// the program ends goes there, and the next run that can write takes it in.
#include <sqlite3.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "history/call_history.h"
#include "history/call_history_impl.h"
#include "history/pending_file.h"

namespace dialscope::history {

// Puts the records that wait in memory into the pending file; what to
// tell the user, nothing when none waited.
std::optional<std::string> CallHistory::Impl::Spill() {
    std::vector<PendingRecord> records;
    for (const Op& op : queue) {
        if (op.kind != Op::Record) continue;
        PendingRecord r;
        r.downloadStarted = op.download->startedAt;
        r.port = op.download->port;
        r.endedHow = op.download->ended ? EndName(*op.download->ended) : "";
        r.receivedAt = op.at;
        r.occurrence = op.occurrence;
        r.fields = op.fields;
        r.rendered = op.rendered;
        records.push_back(std::move(r));
    }
    queue.clear();
    queuedRecords = 0;
    if (records.empty()) return std::nullopt;
    const std::string file = PendingPath(path);
    const bool full = (lastFailure & 0xFF) == SQLITE_FULL;
    const std::string why = state == State::Damaged ? "it is damaged"
                            : !writable            ? "this user may not write it"
                            : full                 ? "the disk is full"
                            : busySince            ? "another program kept it locked"
                                                   : "it could not be written";
    const std::string count =
        std::to_string(records.size()) + (records.size() == 1 ? " record" : " records");
    std::string error;
    if (AppendPending(file, records, &error))
        return count + " could not be written to the call history " + path + " (" + why + "). They are kept in " +
               file + ", and the next Dialscope that can write the history takes them in.";
    return count + " could not be kept: the call history " + path + " cannot take them (" + why + "), and " +
           file + " cannot be written (" + error + "). The program's output still has them.";
}

// The download a pending record came in: the row it got before the file
// stopped taking records, or a new one.
int CallHistory::Impl::FindOrAddDownload(const PendingRecord& r, Download* dl) {
    {
        Statement st(db, "SELECT id FROM downloads WHERE started_at = ? AND port = ? ORDER BY id DESC LIMIT 1");
        if (!st.ok()) return sqlite3_extended_errcode(db);
        st.Bind(1, r.downloadStarted);
        st.Bind(2, r.port);
        int rc = st.Step();
        if (rc == SQLITE_ROW) {
            dl->dbId = sqlite3_column_int64(st.get(), 0);
            return SQLITE_OK;
        }
        if (rc != SQLITE_DONE) return rc;
    }
    Statement st(db, "INSERT INTO downloads(started_at, port, ended_how) VALUES (?, ?, ?)");
    if (!st.ok()) return sqlite3_extended_errcode(db);
    st.Bind(1, r.downloadStarted);
    st.Bind(2, r.port);
    st.Bind(3, r.endedHow.empty() ? std::string(EndName(DownloadEnd::Interrupted)) : r.endedHow);
    int rc = st.Step();
    if (rc != SQLITE_DONE) return rc;
    dl->dbId = sqlite3_last_insert_rowid(db);
    return SQLITE_OK;
}

// Takes the records an earlier run left in the pending file into the
// history, all in one transaction, and removes the file. A call kept
// meanwhile stays once (the same identity), as in any download.
void CallHistory::Impl::TakeInPending() {
    pendingDue = false;
    const std::string file = PendingPath(path);
    std::string error;
    auto take = PendingTake::Open(file, &error);
    if (!take) {
        // Another program taking it in at this moment is no failure.
        if (!error.empty() && error != "another program is taking it in")
            Say(Failure::Pending, "The calls kept in " + file + " cannot be taken into the call history: " + error +
                                      ". They stay there.");
        return;
    }
    int rc = Exec(db, "BEGIN IMMEDIATE");
    if (rc != SQLITE_OK) {
        Failed(sqlite3_extended_errcode(db));
        pendingDue = true;  // the file is free again later
        return;
    }
    const size_t newBefore = newCalls.size();
    std::map<std::pair<int64_t, std::string>, std::shared_ptr<Download>> downloads;
    for (const PendingRecord& r : take->records()) {
        auto& dl = downloads[{r.downloadStarted, r.port}];
        if (!dl) {
            dl = std::make_shared<Download>();
            if ((rc = FindOrAddDownload(r, dl.get())) != SQLITE_OK) break;
        }
        Op op;
        op.kind = Op::Record;
        op.download = dl;
        op.at = r.receivedAt;
        op.fields = r.fields;
        op.rendered = r.rendered;
        op.occurrence = r.occurrence;
        if ((rc = WriteRecord(op, false)) != SQLITE_OK) break;
    }
    if (rc == SQLITE_OK && Exec(db, "COMMIT") != SQLITE_OK) rc = sqlite3_extended_errcode(db);
    if (rc != SQLITE_OK) {
        if (!sqlite3_get_autocommit(db)) Exec(db, "ROLLBACK");
        if (newCalls.size() > newBefore) newCalls.resize(newBefore);
        Failed(rc);
        pendingDue = state == State::Sound;
        return;
    }
    dirty = true;
    int fresh = 0;
    for (auto& [key, dl] : downloads) fresh += dl->newCalls;
    std::string said = std::to_string(take->records().size()) + " records an earlier run kept in " + file +
                       " are now in the call history (" + std::to_string(fresh) +
                       (fresh == 1 ? " new call)." : " new calls).");
    if (take->unreadableLines() > 0)
        said += " " + std::to_string(take->unreadableLines()) + " lines of it could not be read; they are kept in " +
                file + "-unreadable.";
    if (!take->Done(&error))
        said += " The file cannot be removed (" + error + "); remove it, or its calls are taken in again (kept once).";
    notices.push_back(said);
}

}  // namespace dialscope::history

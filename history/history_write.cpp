// Writing: the queue of downloads and records in memory, and each written
// to the file in a transaction of its own while the file takes it.
#include <sqlite3.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>

#include "history/call_history.h"
#include "history/call_history_impl.h"
#include "history/latin1.h"
#include "history/maintenance.h"
#include "history/phone_number.h"

namespace dialscope::history {

const char* EndName(DownloadEnd how) {
    switch (how) {
    case DownloadEnd::Completed: return "completed";
    case DownloadEnd::Stalled: return "no-end-frame";
    case DownloadEnd::Restarted: return "restarted";
    case DownloadEnd::Cut: return "cut";
    // The box said it has nothing: the download it had begun was left
    // unfinished, as one that another download or the program's end broke off.
    case DownloadEnd::Refused:
    case DownloadEnd::Interrupted: return "interrupted";
    }
    return "interrupted";
}

namespace {

std::optional<int64_t> SortKey(const std::array<int16_t, 5>& raw, DateOrder order, int64_t receivedAt) {
    BoxDateTime dt = ReadBoxDateTime(raw, order, receivedAt);
    if (!dt.year) return std::nullopt;
    int64_t day = (int64_t{*dt.year} * 100 + *dt.month) * 100 + *dt.day;
    return day * 10000 + (dt.hour ? *dt.hour * 100 + *dt.minute : 0);
}

// An unknown header has no label to match: its '?' placeholder is no name
// --label or --search should find. Nor has a damaged record whose labels
// alone are unknown (the download's header frame was lost): its date and
// time are the box's, its label is all '?'.
bool LabelsUnknown(const CallRecord& f) {
    if (!f.headerKnown) return true;
    if (!f.damaged) return false;
    for (uint8_t b : f.label)
        if (b != '?') return false;
    return true;
}

std::string LabelKey(const CallRecord& f) {
    if (LabelsUnknown(f)) return {};
    std::string_view bytes(reinterpret_cast<const char*>(f.label.data()), f.label.size());
    return Latin1ToUtf8(FoldLatin1(TrimTrailingBlanks(bytes)));
}

std::string IdentityKey(const CallRecord& f) {
    std::string key(reinterpret_cast<const char*>(f.label.data()), f.label.size());
    key.push_back(static_cast<char>(f.letterCode));
    for (int16_t v : f.dateTime) {
        key.push_back(static_cast<char>(v & 0xFF));
        key.push_back(static_cast<char>(v >> 8));
    }
    key.push_back(f.hasText ? 1 : 0);
    key += f.text;
    return key;
}

}  // namespace

int CallHistory::Impl::Run(Op& op) {
    switch (op.kind) {
    case Op::Begin: return WriteBegin(op);
    case Op::Record: return WriteRecord(op);
    case Op::End: return WriteEnd(op);
    }
    return SQLITE_OK;
}

int CallHistory::Impl::WriteBegin(Op& op) {
    Statement st(db, "INSERT INTO downloads(started_at, port) VALUES (?, ?)");
    if (!st.ok()) return sqlite3_extended_errcode(db);
    st.Bind(1, op.at);
    st.Bind(2, op.port);
    int rc = st.Step();
    if (rc != SQLITE_DONE) return rc;
    op.download->dbId = sqlite3_last_insert_rowid(db);
    return SQLITE_OK;
}

int CallHistory::Impl::WriteEnd(Op& op) {
    Statement st(db, "UPDATE downloads SET ended_at = ?, ended_how = ? WHERE id = ?");
    if (!st.ok()) return sqlite3_extended_errcode(db);
    st.Bind(1, op.at);
    st.Bind(2, std::string(EndName(op.how)));
    st.Bind(3, op.download->dbId);
    int rc = st.Step();
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

// One record and its download's counters in one transaction: the record
// is in the file once this returns OK, whatever happens to the process.
// ownTransaction false: inside the caller's transaction, which a failure
// rolls back.
int CallHistory::Impl::WriteRecord(Op& op, bool ownTransaction) {
    const CallRecord& f = op.fields;
    int rc = ownTransaction ? Exec(db, "BEGIN IMMEDIATE") : SQLITE_OK;
    if (rc != SQLITE_OK) return sqlite3_extended_errcode(db);
    bool inserted = false;
    int64_t id = 0;
    {
        Statement st(db,
                     (std::string("INSERT INTO records(download_id, received_at, label, label_index, letter, d1, d2, "
                                  "d3, t1, t2, has_text, text, damaged, occurrence, rendered, key_mdy, key_dmy, "
                                  "key_ymd, label_key, caller_number, id) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,"
                                  "?,?,?,") +
                      kNextCallId + ") ON CONFLICT DO NOTHING")
                         .c_str());
        if (!st.ok()) return Abandon();
        st.Bind(1, op.download->dbId);
        st.Bind(2, op.at);
        if (f.headerKnown) {
            st.BindBlob(3, f.label.data(), f.label.size());
            st.Bind(4, f.labelIndex);
            st.Bind(5, f.letterCode);
        } else {
            st.BindNull(3);
            st.BindNull(4);
            st.BindNull(5);
        }
        for (int i = 0; i < 5; ++i) st.Bind(6 + i, f.dateTime[i]);
        st.Bind(11, f.hasText ? 1 : 0);
        st.BindBlob(12, f.text.data(), f.text.size());
        st.Bind(13, f.damaged ? 1 : 0);
        st.Bind(14, op.occurrence);
        st.BindBlob(15, op.rendered.data(), op.rendered.size());
        int col = 16;
        for (DateOrder order : {DateOrder::MDY, DateOrder::DMY, DateOrder::YMD}) {
            if (auto key = SortKey(f.dateTime, order, op.at)) st.Bind(col, *key);
            else st.BindNull(col);
            ++col;
        }
        st.Bind(19, LabelKey(f));
        if (auto number = CallerNumber(f.text)) st.Bind(20, *number);
        else st.BindNull(20);
        if (st.Step() != SQLITE_DONE) return Abandon();
        inserted = sqlite3_changes(db) == 1;
        id = sqlite3_last_insert_rowid(db);
    }
    int64_t firstDownload = op.download->dbId;
    if (!inserted) {
        // A call kept before: its id and the download it first came in,
        // found through the unique key that turned it away.
        Statement st(db,
                     "SELECT id, download_id FROM records WHERE label = ? AND letter = ? AND d1 = ? AND "
                     "d2 = ? AND d3 = ? AND t1 = ? AND t2 = ? AND has_text = ? AND text = ? AND "
                     "occurrence = ? AND damaged = 0 AND instance = ''");
        if (!st.ok()) return Abandon();
        st.BindBlob(1, f.label.data(), f.label.size());
        st.Bind(2, f.letterCode);
        for (int i = 0; i < 5; ++i) st.Bind(3 + i, f.dateTime[i]);
        st.Bind(8, f.hasText ? 1 : 0);
        st.BindBlob(9, f.text.data(), f.text.size());
        st.Bind(10, op.occurrence);
        if (st.Step() != SQLITE_ROW) return Abandon();
        id = sqlite3_column_int64(st.get(), 0);
        firstDownload = sqlite3_column_int64(st.get(), 1);
    }
    if (inserted) {
        Statement st(db, "INSERT INTO records_text(id, folded) VALUES (?, ?)");
        if (!st.ok()) return Abandon();
        st.Bind(1, id);
        st.Bind(2, LabelKey(f) + "\n" + Latin1ToUtf8(FoldLatin1(f.text)));
        if (st.Step() != SQLITE_DONE) return Abandon();
    }
    bool isNew = inserted && !f.damaged;
    {
        Statement st(db, "UPDATE downloads SET records = records + 1, new_calls = new_calls + ? WHERE id = ?");
        if (!st.ok()) return Abandon();
        st.Bind(1, isNew ? 1 : 0);
        st.Bind(2, op.download->dbId);
        if (st.Step() != SQLITE_DONE) return Abandon();
    }
    if (ownTransaction && Exec(db, "COMMIT") != SQLITE_OK) return Abandon();

    Download& dl = *op.download;
    ++dl.written;
    writtenIds.emplace_back(op.seq, CallIds{id, firstDownload});
    if (writtenIds.size() > options.queueLimit) writtenIds.pop_front();
    dirty = dirty || inserted;
    if (f.damaged) {
        // counted when added
    } else if (isNew) {
        ++dl.newCalls;
        if (options.collectNewCalls) {
            newCalls.push_back(StoredCall{id, dl.dbId, op.at, f, false, op.rendered, std::nullopt, {}});
            if (newCalls.size() > options.queueLimit) newCalls.pop_front();
        }
    } else {
        ++dl.known;
    }
    return SQLITE_OK;
}

int CallHistory::Impl::Abandon() {
    int rc = sqlite3_extended_errcode(db);
    if (rc == SQLITE_OK) rc = SQLITE_ERROR;
    if (!sqlite3_get_autocommit(db)) Exec(db, "ROLLBACK");
    return rc;
}

// Writes what waits, oldest first, for at most a few milliseconds.
void CallHistory::Impl::Drain() {
    RetryWritable();
    if (state == State::Checking) Settle(false);
    if (queue.empty() || state == State::Damaged) return;  // damage was said
    if (!writable) {
        SayReadOnly();
        return;
    }
    // Still being looked over: what waits stays in memory.
    if (state != State::Sound) return;
    auto start = std::chrono::steady_clock::now();
    while (!queue.empty()) {
        int rc = Run(queue.front());
        if (rc != SQLITE_OK) {
            Failed(rc);
            return;
        }
        if (queue.front().kind == Op::Record) {
            --queuedRecords;
            if (!reported.empty()) ++writtenSinceFailure;
        }
        queue.pop_front();
        if (std::chrono::steady_clock::now() - start > std::chrono::milliseconds(3)) break;
    }
    Recovered();
}

void CallHistory::Impl::Push(Op op) {
    if (op.kind == Op::Record) {
        if (queuedRecords >= options.queueLimit) {
            ++op.download->dropped;
            ++droppedRecords;
            if (!overflowSaid) {
                overflowSaid = true;
                Say(Failure::Overflow, std::to_string(options.queueLimit) +
                                           " records are waiting in memory for the call history " + path +
                                           ", as many as are kept; later records are not stored in it (the log "
                                           "still shows them). Free the file or the disk so that the waiting "
                                           "ones can be written.");
            }
            return;
        }
        ++queuedRecords;
    }
    queue.push_back(std::move(op));
}

std::shared_ptr<CallHistory::Impl::Download> CallHistory::Impl::StartDownload(const std::string& port) {
    current = std::make_shared<Download>();
    current->startedAt = Now();
    current->port = port;
    if (maintenance) maintenance->SetDownloading(true);
    Op op;
    op.kind = Op::Begin;
    op.download = current;
    op.at = Now();
    op.port = port;
    Push(std::move(op));
    Drain();
    return current;
}

std::optional<std::string> CallHistory::Close(int patienceMs, const std::function<bool()>& stop) {
    Impl& m = *impl_;
    if (m.current) EndDownload(DownloadEnd::Interrupted);
    m.Settle(true);
    // Written while the file takes them; a file locked by another program
    // is tried again until the patience runs out.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(patienceMs);
    for (;;) {
        const size_t before = m.queue.size();
        WriteWaiting();  // no search indexing: the program is ending
        if (m.queue.empty() || !m.CanWrite()) break;
        if (m.queue.size() < before) continue;
        // Another program's lock is let go within moments; a full or failing
        // disk is not freed by waiting.
        if (!m.lockedOut || (stop && stop())) break;
        if (std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return m.Spill();
}

int64_t CallHistory::BeginDownload(const std::string& port) {
    if (impl_->current) EndDownload(DownloadEnd::Interrupted);
    return impl_->StartDownload(port)->dbId;
}

uint64_t CallHistory::AddRecord(const CallRecord& fields, std::string rendered) {
    auto dl = impl_->current ? impl_->current : impl_->StartDownload("");
    Impl::Op op;
    op.kind = Impl::Op::Record;
    op.download = dl;
    op.at = impl_->Now();
    op.fields = fields;
    op.rendered = std::move(rendered);
    // A record whose header is unknown is damaged whatever the caller says:
    // with no label, letter or date it cannot be told apart from any other
    // call, so it must never count as one (and the unique index, which
    // treats each NULL label as different, would not keep it once).
    if (!op.fields.headerKnown) {
        op.fields.damaged = true;
        op.fields.dateTime.fill(-1);  // the date and time came in the lost frame too
    }
    op.seq = ++impl_->recordsAdded;
    const uint64_t seq = op.seq;
    ++dl->added;
    if (op.fields.damaged) ++dl->damaged;
    else op.occurrence = dl->occurrences[IdentityKey(op.fields)]++;
    impl_->Push(std::move(op));
    impl_->Drain();
    return seq;
}

std::optional<CallIds> CallHistory::WrittenAs(uint64_t record) const {
    for (auto it = impl_->writtenIds.rbegin(); it != impl_->writtenIds.rend(); ++it)
        if (it->first == record) return it->second;
    return std::nullopt;
}

DownloadSummary CallHistory::EndDownload(DownloadEnd how) {
    auto dl = impl_->current;
    if (!dl) return {};
    impl_->current.reset();
    if (impl_->maintenance) impl_->maintenance->SetDownloading(false);
    dl->ended = how;
    Impl::Op op;
    op.kind = Impl::Op::End;
    op.download = dl;
    op.at = impl_->Now();
    op.how = how;
    impl_->Push(std::move(op));
    impl_->Drain();
    return DownloadSummary{dl->added, dl->newCalls, dl->known, dl->damaged, dl->added - dl->written};
}

// What waits in memory, written while the file takes it.
bool CallHistory::WriteWaiting() {
    Impl& m = *impl_;
    m.Drain();
    if (!m.CanWrite() || !m.queue.empty()) return false;
    auto targets = std::move(m.pendingTargets);
    m.pendingTargets.clear();
    for (const auto& target : targets) RegisterTarget(target);
    auto marks = std::move(m.pendingMarks);
    m.pendingMarks.clear();
    for (auto& [target, id] : marks) MarkPublished(target, id);
    if (m.pendingDue) m.TakeInPending();
    return true;
}

void CallHistory::Flush() {
    Impl& m = *impl_;
    if (!WriteWaiting()) return;
    if (!m.current && m.dirty && m.maintenance) {
        m.dirty = false;
        m.maintenance->Wake();
    }
}

size_t CallHistory::PendingRecords() const { return impl_->queuedRecords; }

int64_t CallHistory::DroppedRecords() const { return impl_->droppedRecords; }

namespace {

// A watcher's mark is the number the replay asks after. It moves to `settled`
// (a replay's answer showed that the watcher has nothing else up to there),
// and then over each next number kept in a row: never over a number that did
// not come, so a call beyond a gap (or a forged far number) moves nothing.
// Calls pruned since keep it where it was: they do not come back.
bool MoveCollectedMark(sqlite3* db, const std::string& instance, int64_t settled) {
    Statement move(db,
                   "WITH RECURSIVE run(n) AS ("
                   " SELECT max(?2, coalesce((SELECT through FROM collected WHERE instance = ?1), 0))"
                   " UNION ALL SELECT n + 1 FROM run"
                   " WHERE EXISTS (SELECT 1 FROM records WHERE instance = ?1 AND source_id = n + 1)) "
                   "INSERT INTO collected(instance, through) SELECT ?1, max(n) FROM run WHERE true "
                   "ON CONFLICT(instance) DO UPDATE SET through = excluded.through WHERE excluded.through > through");
    if (!move.ok()) return false;
    move.Bind(1, instance);
    move.Bind(2, settled);
    return move.Step() == SQLITE_DONE;
}

}  // namespace

// A collected call in one transaction: its row, its search text, the
// counters of the one download row each instance's calls are kept under,
// and the instance's mark.
CollectResult CallHistory::Collect(const CollectedCall& call) {
    Impl& m = *impl_;
    if (!m.db || !m.CanWrite() || call.instance.empty() || call.sourceId <= 0) return CollectResult::Failed;
    const CallRecord& f = call.fields;
    int rc = Exec(m.db, "BEGIN IMMEDIATE");
    auto fail = [&] {
        m.Failed(m.Abandon());
        return CollectResult::Failed;
    };
    if (rc != SQLITE_OK) {
        m.Failed(sqlite3_extended_errcode(m.db));
        return CollectResult::Failed;
    }
    {
        Statement known(m.db, "SELECT 1 FROM records WHERE instance = ?1 AND source_id = ?2");
        if (!known.ok()) return fail();
        known.Bind(1, call.instance);
        known.Bind(2, call.sourceId);
        rc = known.Step();
        if (rc == SQLITE_ROW) {
            if (!MoveCollectedMark(m.db, call.instance, 0)) return fail();
            if (Exec(m.db, "COMMIT") != SQLITE_OK) return fail();
            return CollectResult::Known;
        }
        if (rc != SQLITE_DONE) return fail();
    }
    const std::string port = "collected from " + call.instance;
    int64_t download = 0;
    {
        Statement find(m.db, "SELECT id FROM downloads WHERE port = ?1 ORDER BY id DESC LIMIT 1");
        if (!find.ok()) return fail();
        find.Bind(1, port);
        rc = find.Step();
        if (rc == SQLITE_ROW) download = sqlite3_column_int64(find.get(), 0);
        else if (rc != SQLITE_DONE) return fail();
    }
    if (!download) {
        Statement add(m.db, "INSERT INTO downloads(started_at, ended_at, port, ended_how) VALUES (?1, ?1, ?2, 'collected')");
        if (!add.ok()) return fail();
        add.Bind(1, m.Now());
        add.Bind(2, port);
        if (add.Step() != SQLITE_DONE) return fail();
        download = sqlite3_last_insert_rowid(m.db);
    }
    Statement st(m.db,
                 (std::string("INSERT INTO records(download_id, received_at, label, label_index, letter, d1, d2, d3, "
                              "t1, t2, has_text, text, damaged, occurrence, rendered, key_mdy, key_dmy, key_ymd, "
                              "label_key, caller_number, instance, source_id, id) "
                              "VALUES (?,?,?,?,?,?,?,?,?,?,?,?,0,?,X'',?,?,?,?,?,?,?,") +
                  kNextCallId + ") ON CONFLICT DO NOTHING")
                     .c_str());
    if (!st.ok()) return fail();
    st.Bind(1, download);
    st.Bind(2, call.receivedAt);
    st.BindBlob(3, f.label.data(), f.label.size());
    st.Bind(4, f.labelIndex);
    st.Bind(5, f.letterCode);
    for (int i = 0; i < 5; ++i) st.Bind(6 + i, f.dateTime[i]);
    st.Bind(11, f.hasText ? 1 : 0);
    st.BindBlob(12, f.text.data(), f.text.size());
    // Each is its own call in its watcher's history: the source id keeps
    // two identical calls within a minute apart, as the occurrence does for
    // a download.
    st.Bind(13, call.sourceId);
    int col = 14;
    for (DateOrder order : {DateOrder::MDY, DateOrder::DMY, DateOrder::YMD}) {
        if (auto key = SortKey(f.dateTime, order, call.receivedAt)) st.Bind(col, *key);
        else st.BindNull(col);
        ++col;
    }
    st.Bind(17, LabelKey(f));
    if (auto number = CallerNumber(f.text)) st.Bind(18, *number);
    else st.BindNull(18);
    st.Bind(19, call.instance);
    st.Bind(20, call.sourceId);
    if (st.Step() != SQLITE_DONE) return fail();
    const bool inserted = sqlite3_changes(m.db) == 1;
    const int64_t id = sqlite3_last_insert_rowid(m.db);
    if (inserted) {
        Statement text(m.db, "INSERT INTO records_text(id, folded) VALUES (?, ?)");
        if (!text.ok()) return fail();
        text.Bind(1, id);
        text.Bind(2, LabelKey(f) + "\n" + Latin1ToUtf8(FoldLatin1(f.text)));
        if (text.Step() != SQLITE_DONE) return fail();
        Statement count(m.db, "UPDATE downloads SET records = records + 1, new_calls = new_calls + 1, ended_at = ?2 "
                              "WHERE id = ?1");
        if (!count.ok()) return fail();
        count.Bind(1, download);
        count.Bind(2, m.Now());
        if (count.Step() != SQLITE_DONE) return fail();
    }
    // Known or new, the call may be the one the mark waited for.
    if (!MoveCollectedMark(m.db, call.instance, 0)) return fail();
    if (Exec(m.db, "COMMIT") != SQLITE_OK) return fail();
    m.Recovered();
    if (inserted && m.maintenance) m.maintenance->Wake();  // into the search index
    return inserted ? CollectResult::New : CollectResult::Known;
}

int64_t CallHistory::LastCollected(const std::string& instance) {
    int64_t last = 0;
    if (!impl_->db) return 0;
    Statement st(impl_->db, "SELECT through FROM collected WHERE instance = ?1");
    if (st.ok()) {
        st.Bind(1, instance);
        if (st.Step() == SQLITE_ROW) last = sqlite3_column_int64(st.get(), 0);
    }
    return last;
}

bool CallHistory::SettleCollected(const std::string& instance, int64_t through) {
    Impl& m = *impl_;
    if (!m.db || !m.CanWrite() || instance.empty()) return false;
    if (Exec(m.db, "BEGIN IMMEDIATE") != SQLITE_OK) {
        m.Failed(sqlite3_extended_errcode(m.db));
        return false;
    }
    if (!MoveCollectedMark(m.db, instance, through) || Exec(m.db, "COMMIT") != SQLITE_OK) {
        m.Failed(m.Abandon());
        return false;
    }
    m.Recovered();
    return true;
}

std::vector<StoredCall> CallHistory::CallsAfter(int64_t after, size_t limit) {
    Impl& m = *impl_;
    if (!m.db) return {};
    Statement st(m.db, (std::string("SELECT ") + Impl::kCallColumns +
                        " FROM records r WHERE r.id > ?1 AND r.damaged = 0 ORDER BY r.id LIMIT ?2")
                           .c_str());
    if (st.ok()) {
        st.Bind(1, after);
        st.Bind(2, static_cast<int64_t>(limit));
    }
    return m.Read(st);
}

std::vector<StoredCall> CallHistory::TakeNewCalls() {
    std::vector<StoredCall> out(impl_->newCalls.begin(), impl_->newCalls.end());
    impl_->newCalls.clear();
    impl_->Name(out);
    return out;
}

}  // namespace dialscope::history

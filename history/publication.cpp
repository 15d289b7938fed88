// Publication bookkeeping: which calls each target (a broker and prefix, or
// a command) has been given, kept compact as a mark plus the calls above it.
#include <sqlite3.h>

#include <string>
#include <vector>

#include "history/call_history.h"
#include "history/call_history_impl.h"

namespace dialscope::history {

void CallHistory::RegisterTarget(const std::string& target) {
    Impl& m = *impl_;
    if (m.writable && !m.CanWrite()) {
        m.pendingTargets.push_back(target);  // the file is being looked over, or damaged (said)
        return;
    }
    int rc = SQLITE_READONLY;
    if (m.writable) {
        Statement st(m.db,
                     "INSERT INTO targets(name, through, registered_at) "
                     "VALUES (?, (SELECT coalesce(max(id), 0) FROM records), ?) ON CONFLICT(name) DO NOTHING");
        if (st.ok()) {
            st.Bind(1, target);
            st.Bind(2, m.Now());
            rc = st.Step();
        } else {
            rc = sqlite3_extended_errcode(m.db);
        }
    }
    if (rc != SQLITE_DONE) {
        m.Failed(rc);
        m.pendingTargets.push_back(target);
    }
}

std::vector<StoredCall> CallHistory::Unpublished(const std::string& target, size_t limit) {
    Impl& m = *impl_;
    if (!m.db) return {};
    Statement st(m.db,
                 (std::string("SELECT ") + Impl::kCallColumns +
                  " FROM records r JOIN targets t ON t.name = :target"
                  " WHERE r.id > t.through AND r.damaged = 0"
                  " AND NOT EXISTS (SELECT 1 FROM published p WHERE p.target = t.name AND p.call_id = r.id)"
                  " ORDER BY r.id LIMIT :limit")
                     .c_str());
    if (st.ok()) {
        st.Bind(1, target);
        // Marks that wait for the file still count: those calls went out.
        st.Bind(2, static_cast<int64_t>(limit + m.pendingMarks.size()));
    }
    std::vector<StoredCall> calls = m.Read(st);
    std::erase_if(calls, [&](const StoredCall& c) {
        for (auto& [t, id] : m.pendingMarks)
            if (t == target && id == c.id) return true;
        return false;
    });
    if (calls.size() > limit) calls.resize(limit);
    return calls;
}

void CallHistory::MarkPublished(const std::string& target, int64_t callId) {
    Impl& m = *impl_;
    if (m.writable && !m.CanWrite()) {
        m.pendingMarks.emplace_back(target, callId);  // the file is being looked over, or damaged (said)
        return;
    }
    int rc = m.writable ? Exec(m.db, "BEGIN IMMEDIATE") : SQLITE_READONLY;
    if (rc == SQLITE_OK) {
        {
            Statement st(m.db, "INSERT OR IGNORE INTO published(target, call_id) VALUES (?, ?)");
            if (st.ok()) {
                st.Bind(1, target);
                st.Bind(2, callId);
            }
            rc = st.ok() ? st.Step() : SQLITE_ERROR;
        }
        // Calls are mostly published in order: move the target's mark over
        // every call published in a row, so the table of marks stays small.
        while (rc == SQLITE_DONE) {
            Statement next(m.db,
                           "SELECT r.id FROM records r JOIN targets t ON t.name = ?1 "
                           "WHERE r.id > t.through AND r.damaged = 0 ORDER BY r.id LIMIT 1");
            if (!next.ok()) { rc = SQLITE_ERROR; break; }
            next.Bind(1, target);
            if (next.Step() != SQLITE_ROW) break;
            int64_t id = sqlite3_column_int64(next.get(), 0);
            Statement has(m.db, "SELECT 1 FROM published WHERE target = ?1 AND call_id = ?2");
            if (!has.ok()) { rc = SQLITE_ERROR; break; }
            has.Bind(1, target);
            has.Bind(2, id);
            if (has.Step() != SQLITE_ROW) break;
            Statement move(m.db, "UPDATE targets SET through = ?2 WHERE name = ?1");
            Statement drop(m.db, "DELETE FROM published WHERE target = ?1 AND call_id <= ?2");
            if (!move.ok() || !drop.ok()) { rc = SQLITE_ERROR; break; }
            move.Bind(1, target), move.Bind(2, id), drop.Bind(1, target), drop.Bind(2, id);
            if (move.Step() != SQLITE_DONE || drop.Step() != SQLITE_DONE) rc = SQLITE_ERROR;
        }
        if (rc == SQLITE_DONE) rc = Exec(m.db, "COMMIT");
        if (rc != SQLITE_OK) {
            rc = sqlite3_extended_errcode(m.db);
            if (!sqlite3_get_autocommit(m.db)) Exec(m.db, "ROLLBACK");
        }
    }
    if (rc != SQLITE_OK) {
        m.Failed(rc == SQLITE_OK ? SQLITE_ERROR : rc);
        m.pendingMarks.emplace_back(target, callId);
    }
}

}  // namespace dialscope::history

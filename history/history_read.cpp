// Reading: the listing with its filters and search, the count, and the
// check of the file on the program's own connection.
#include <sqlite3.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "history/call_history.h"
#include "history/call_history_impl.h"
#include "history/latin1.h"

namespace dialscope::history {

const char* KeyColumn(DateOrder order) {
    switch (order) {
    case DateOrder::MDY: return "key_mdy";
    case DateOrder::DMY: return "key_dmy";
    case DateOrder::YMD: return "key_ymd";
    }
    return "key_mdy";
}

namespace {

// YYYY-MM-DD to YYYYMMDD.
std::optional<int64_t> ParseDay(const std::string& s) {
    if (s.size() != 10 || s[4] != '-' || s[7] != '-') return std::nullopt;
    for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (s[i] < '0' || s[i] > '9') return std::nullopt;
    int y = std::atoi(s.substr(0, 4).c_str()), m = std::atoi(s.substr(5, 2).c_str()),
        d = std::atoi(s.substr(8, 2).c_str());
    if (m < 1 || m > 12 || d < 1 || d > 31) return std::nullopt;
    return (int64_t{y} * 100 + m) * 100 + d;
}

bool IsDamage(int rc) { return (rc & 0xFF) == SQLITE_CORRUPT || (rc & 0xFF) == SQLITE_NOTADB; }

}  // namespace

StoredCall CallHistory::Impl::ReadCall(sqlite3_stmt* st) {
    StoredCall c;
    c.id = sqlite3_column_int64(st, 0);
    c.downloadId = sqlite3_column_int64(st, 1);
    c.receivedAt = sqlite3_column_int64(st, 2);
    auto blob = [&](int col) {
        const void* p = sqlite3_column_blob(st, col);
        int n = sqlite3_column_bytes(st, col);
        return p ? std::string(static_cast<const char*>(p), static_cast<size_t>(n)) : std::string();
    };
    // NULL in any of label, index and letter: the header is unknown. The
    // fields then read as the protocol hands such a record over: eight
    // '?' for the label, index and letter 0.
    c.fields.headerKnown = sqlite3_column_type(st, 3) != SQLITE_NULL &&
                           sqlite3_column_type(st, 4) != SQLITE_NULL && sqlite3_column_type(st, 5) != SQLITE_NULL;
    if (c.fields.headerKnown) {
        std::string label = blob(3);
        std::memcpy(c.fields.label.data(), label.data(), std::min(label.size(), c.fields.label.size()));
        c.fields.labelIndex = static_cast<uint8_t>(sqlite3_column_int(st, 4));
        c.fields.letterCode = static_cast<uint8_t>(sqlite3_column_int(st, 5));
    } else {
        c.fields.label.fill('?');
    }
    for (int i = 0; i < 5; ++i) c.fields.dateTime[i] = static_cast<int16_t>(sqlite3_column_int(st, 6 + i));
    c.fields.hasText = sqlite3_column_int(st, 11) != 0;
    c.fields.text = blob(12);
    c.damaged = c.fields.damaged = sqlite3_column_int(st, 13) != 0;
    c.rendered = blob(14);
    // Only a listing asks for the watcher a collected call came from.
    if (sqlite3_column_count(st) > 15)
        if (const auto* instance = sqlite3_column_text(st, 15)) c.instance = reinterpret_cast<const char*>(instance);
    return c;
}

// Runs a query of calls; a failure is reported and gives what was read.
std::vector<StoredCall> CallHistory::Impl::Read(Statement& st) {
    std::vector<StoredCall> out;
    if (!st.ok()) {
        ReadFailed(sqlite3_extended_errcode(db));
        return out;
    }
    int rc;
    while ((rc = st.Step()) == SQLITE_ROW) out.push_back(ReadCall(st.get()));
    if (rc != SQLITE_DONE) ReadFailed(rc);
    Name(out);
    return out;
}

void CallHistory::Impl::ReadFailed(int rc) {
    if (IsDamage(rc)) MarkDamaged(db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
    readProblem = !db && !unreadable.empty()
                      ? unreadable
                      : "The call history " + path + " cannot be read: " +
                            (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)) + ".";
    Say(Failure::Unreadable, readProblem);
}

bool BuildFilter(const ListQuery& q, CallFilter* out, std::string* problem) {
    CallFilter& f = *out;
    std::optional<int64_t> since, until;
    for (const std::string* day : {&q.since, &q.until}) {
        if (day->empty() || ParseDay(*day)) continue;
        *problem = "The date " + *day + " is not a date of the form YYYY-MM-DD.";
        return false;
    }
    if (!q.since.empty()) since = ParseDay(q.since);
    if (!q.until.empty()) until = ParseDay(q.until);
    const std::string key = KeyColumn(q.dateOrder);
    if (!q.includeDamaged) f.where += " AND r.damaged = 0";
    if (since) f.where += " AND r." + key + " >= " + std::to_string(*since * 10000);
    if (until) f.where += " AND r." + key + " <= " + std::to_string(*until * 10000 + 9999);
    if (!q.label.empty()) {
        auto latin = Utf8ToLatin1(q.label);
        if (!latin) return false;  // no label of the box can hold such a character
        f.label = Latin1ToUtf8(FoldLatin1(TrimTrailingBlanks(*latin)));
        f.where += " AND r.label_key = :label";
    }
    if (!q.instance.empty()) {
        f.instance = q.instance == kLocalInstance ? std::string() : q.instance;
        f.where += " AND r.instance = :instance";
    }
    if (!q.search.empty()) {
        auto latin = Utf8ToLatin1(q.search);
        if (!latin) return false;
        // Three characters or more go through the trigram index; shorter
        // terms have no trigram and are looked for row by row.
        std::string folded = Latin1ToUtf8(FoldLatin1(*latin));
        if (latin->size() >= 3) {
            f.phrase = "\"";
            for (char c : folded) {
                f.phrase.push_back(c);
                if (c == '"') f.phrase.push_back('"');
            }
            f.phrase += "\"";
            f.where += " AND r.id IN (SELECT rowid FROM records_search WHERE records_search MATCH :phrase"
                       " UNION ALL SELECT id FROM records_text WHERE id > (SELECT through FROM search_state)"
                       " AND instr(folded, :term) > 0)";
        } else {
            f.where += " AND r.id IN (SELECT id FROM records_text WHERE instr(folded, :term) > 0)";
        }
        f.term = folded;
    }
    return true;
}

void CallFilter::Bind(Statement& st) const {
    if (!st.ok()) return;
    if (!label.empty()) st.Bind(sqlite3_bind_parameter_index(st.get(), ":label"), label);
    if (const int i = sqlite3_bind_parameter_index(st.get(), ":instance")) st.Bind(i, instance);
    if (!term.empty()) st.Bind(sqlite3_bind_parameter_index(st.get(), ":term"), term);
    if (!phrase.empty()) st.Bind(sqlite3_bind_parameter_index(st.get(), ":phrase"), phrase);
}

std::vector<StoredCall> CallHistory::List(const ListQuery& q, std::string* problem) {
    Impl& m = *impl_;
    m.FollowWriter();
    m.readProblem.clear();
    if (problem) problem->clear();
    auto answer = [&](std::vector<StoredCall> read) {
        if (problem) *problem = m.readProblem;
        return read;
    };
    if (!m.db) {
        m.ReadFailed(SQLITE_CANTOPEN);
        return answer({});
    }
    CallFilter filter;
    if (!BuildFilter(q, &filter, &m.readProblem)) {
        if (!m.readProblem.empty()) m.problems.push_back({StoreTrouble::BadQuery, m.readProblem});
        return answer({});
    }
    std::string sql = std::string("SELECT ") + Impl::kCallColumns + (m.version >= 6 ? ", r.instance" : "") +
                      " FROM records r WHERE 1" + filter.where;
    // The order of the calls page: the box's clock may be wrong by years.
    sql += " ORDER BY r.received_at DESC, r.id DESC";
    if (q.limit) sql += " LIMIT " + std::to_string(q.limit);

    Statement st(m.db, sql.c_str());
    filter.Bind(st);
    return answer(m.Read(st));
}

int64_t CallHistory::CountCalls() {
    int64_t n = 0;
    impl_->FollowWriter();
    if (impl_->db) QueryInt(impl_->db, "SELECT count(*) FROM records WHERE damaged = 0", &n);
    return n;
}

bool CallHistory::readable() const { return impl_->db != nullptr; }

std::vector<std::string> CallHistory::Check(bool thorough, int limit) {
    Impl& m = *impl_;
    m.FollowWriter();
    if (!m.db) return {m.unreadable.empty() ? "the file could not be opened" : m.unreadable};
    return RunCheck(m.db, thorough, limit);
}

}  // namespace dialscope::history

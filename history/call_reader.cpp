#include "history/call_reader.h"

#include <sqlite3.h>

#include <string>
#include <utility>

#include "history/call_history_impl.h"

namespace dialscope::history {

namespace {

// The columns ReadCall reads, then how often the row's caller text occurs
// (records_same_text answers it from the index).
const std::string kPageColumns =
    std::string(CallHistory::Impl::kCallColumns) +
    ", CASE WHEN r.has_text AND length(r.text) > 0 THEN"
    " (SELECT count(*) FROM records c WHERE c.text = r.text AND c.damaged = 0) ELSE 0 END";

}  // namespace

struct CallReader::Impl {
    std::string path;
    sqlite3* db = nullptr;
    ~Impl() { sqlite3_close_v2(db); }

    std::string Problem(const char* doing) const {
        return "The call history " + path + " cannot be " + doing + ": " + sqlite3_errmsg(db) + ".";
    }

    // Runs a query of page rows; a failure is said in *problem.
    std::vector<PageRow> Rows(Statement& st, std::string* problem) {
        std::vector<PageRow> rows;
        if (!st.ok()) {
            if (problem) *problem = Problem("read");
            return rows;
        }
        int rc;
        while ((rc = st.Step()) == SQLITE_ROW) {
            PageRow row;
            row.call = CallHistory::Impl::ReadCall(st.get());
            row.sameText = sqlite3_column_int64(st.get(), 15);
            rows.push_back(std::move(row));
        }
        if (rc != SQLITE_DONE && problem) *problem = Problem("read");
        return rows;
    }
};

CallReader::CallReader(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
CallReader::~CallReader() = default;

std::unique_ptr<CallReader> CallReader::Open(const std::string& path, std::string* problem) {
    auto impl = std::make_unique<Impl>();
    impl->path = path;
    // Read-write without create, but query_only: a reader of a file in
    // write-ahead mode may have to make the files beside it, which a
    // read-only connection cannot do while no writer is running.
    int rc = sqlite3_open_v2(path.c_str(), &impl->db, SQLITE_OPEN_READWRITE, nullptr);
    if (rc != SQLITE_OK) {
        *problem = "The call history " + path + " cannot be opened: " +
                   (impl->db ? sqlite3_errmsg(impl->db) : sqlite3_errstr(rc)) + ".";
        return nullptr;
    }
    sqlite3_busy_timeout(impl->db, 1000);
    Exec(impl->db, "PRAGMA query_only=1");
    int64_t version = 0, appId = 0;
    if (QueryInt(impl->db, "PRAGMA user_version", &version) != SQLITE_OK ||
        QueryInt(impl->db, "PRAGMA application_id", &appId) != SQLITE_OK) {
        *problem = impl->Problem("read");
        return nullptr;
    }
    if (appId != kApplicationId || version < 1) {
        *problem = "The file " + path + " is not a call history.";
        return nullptr;
    }
    if (version > CallHistory::kSchemaVersion) {
        *problem = "The call history " + path + " was written by a newer version of this program (format " +
                   std::to_string(version) + "); update the program.";
        return nullptr;
    }
    return std::unique_ptr<CallReader>(new CallReader(std::move(impl)));
}

CallPage CallReader::Page(const PageQuery& q, std::string* problem) {
    problem->clear();
    CallPage page;
    CallFilter filter;
    if (!BuildFilter(q.filter, &filter, problem)) return page;
    std::string sql = "SELECT " + kPageColumns + " FROM records r WHERE 1" + filter.where;
    if (q.onlyDamaged) sql += " AND r.damaged = 1";
    if (q.before) sql += " AND (r.received_at, r.id) < (:before_at, :before_id)";
    if (q.afterId > 0) sql += " AND r.id > :after";
    sql += " ORDER BY r.received_at DESC, r.id DESC";
    // One row more than asked: whether there is a next page.
    if (q.limit) sql += " LIMIT " + std::to_string(q.limit + 1);
    Statement st(impl_->db, sql.c_str());
    filter.Bind(st);
    if (st.ok() && q.before) {
        st.Bind(sqlite3_bind_parameter_index(st.get(), ":before_at"), q.before->receivedAt);
        st.Bind(sqlite3_bind_parameter_index(st.get(), ":before_id"), q.before->id);
    }
    if (st.ok() && q.afterId > 0) st.Bind(sqlite3_bind_parameter_index(st.get(), ":after"), q.afterId);
    page.rows = impl_->Rows(st, problem);
    if (q.limit && page.rows.size() > q.limit) {
        page.rows.resize(q.limit);
        page.next = PageCursor{page.rows.back().call.receivedAt, page.rows.back().call.id};
    }
    return page;
}

std::optional<PageRow> CallReader::Get(int64_t id, std::string* problem) {
    problem->clear();
    Statement st(impl_->db, ("SELECT " + kPageColumns + " FROM records r WHERE r.id = ?1").c_str());
    if (st.ok()) st.Bind(1, id);
    auto rows = impl_->Rows(st, problem);
    if (rows.empty()) return std::nullopt;
    return std::move(rows.front());
}

std::optional<int64_t> CallReader::DataVersion() {
    int64_t v = 0;
    if (QueryInt(impl_->db, "PRAGMA data_version", &v) != SQLITE_OK) return std::nullopt;
    return v;
}

int64_t CallReader::LastId() {
    int64_t id = 0;
    QueryInt(impl_->db, "SELECT coalesce(max(id), 0) FROM records", &id);
    return id;
}

std::vector<PageRow> CallReader::After(int64_t id, size_t limit) {
    Statement st(impl_->db, ("SELECT " + kPageColumns + " FROM records r WHERE r.id > ?1 ORDER BY r.id LIMIT ?2").c_str());
    if (st.ok()) {
        st.Bind(1, id);
        st.Bind(2, static_cast<int64_t>(limit));
    }
    return impl_->Rows(st, nullptr);
}

}  // namespace dialscope::history

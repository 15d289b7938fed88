#include "history/call_reader.h"

#include <sqlite3.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <tuple>
#include <string>
#include <utility>

#include "history/call_history_impl.h"
#include "history/phone_number.h"

namespace dialscope::history {

namespace {

// The columns ReadCall reads, then how often the row's caller text occurs
// (records_same_text answers it from the index), then the caller's number
// where the file keeps it (from version 5; NULL before).
std::string PageColumns(int64_t version) {
    return std::string(CallHistory::Impl::kCallColumns) +
           ", CASE WHEN r.has_text AND length(r.text) > 0 THEN"
           " (SELECT count(*) FROM records c WHERE c.text = r.text AND c.damaged = 0) ELSE 0 END" +
           (version >= 5 ? ", r.caller_number" : ", NULL") + (version >= 6 ? ", r.instance" : ", ''");
}

// caller_line(text, number): 1 when the caller's number in a record's text
// is on the line of the normalised number, else 0. For a file from before
// the records kept their caller's number.
void CallerLine(sqlite3_context* ctx, int, sqlite3_value** args) {
    const auto* bytes = static_cast<const char*>(sqlite3_value_blob(args[0]));
    const std::string_view text(bytes ? bytes : "", static_cast<size_t>(sqlite3_value_bytes(args[0])));
    const auto* number = sqlite3_value_text(args[1]);
    const auto caller = CallerNumber(text);
    sqlite3_result_int(ctx, caller && number && SameLine(*caller, reinterpret_cast<const char*>(number)));
}

// same_line(a, b): 1 when two normalised numbers are the same line, else 0
// (NULL is no number).
void SameLineOf(sqlite3_context* ctx, int, sqlite3_value** args) {
    const auto* a = sqlite3_value_text(args[0]);
    const auto* b = sqlite3_value_text(args[1]);
    sqlite3_result_int(ctx, a && b && SameLine(reinterpret_cast<const char*>(a), reinterpret_cast<const char*>(b)));
}

// Days since 1970-01-01 of a civil date, and back (H. Hinnant's algorithms).
int64_t DaysFromCivil(int y, int m, int d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const int64_t yoe = y - era * 400;
    const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    return era * 146097 + yoe * 365 + yoe / 4 - yoe / 100 + doy - 719468;
}

int64_t DayKey(int64_t days) {  // YYYYMMDD
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t doe = days - era * 146097;
    const int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const int64_t mp = (5 * doy + 2) / 153;
    const int64_t d = doy - (153 * mp + 2) / 5 + 1;
    const int64_t m = mp + (mp < 10 ? 3 : -9);
    return (yoe + era * 400 + (m <= 2)) * 10000 + m * 100 + d;
}

std::string DayText(int64_t key) {  // YYYYMMDD as YYYY-MM-DD
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", static_cast<int>(key / 10000), static_cast<int>(key / 100 % 100),
                  static_cast<int>(key % 100));
    return buf;
}

}  // namespace

struct CallReader::Impl {
    std::string path;
    sqlite3* db = nullptr;
    int64_t version = 0;
    // The contacts as last read, again when the file's data_version moved.
    std::optional<ContactBook> book;
    int64_t bookVersion = -1;
    std::string pageColumns;
    ~Impl() { sqlite3_close_v2(db); }

    std::vector<Contact> ReadContacts(const char* sql, std::string* problem) {
        std::vector<Contact> all;
        if (version < 3) return all;
        Statement st(db, sql);
        int rc = st.ok() ? SQLITE_ROW : SQLITE_ERROR;
        while (st.ok() && (rc = st.Step()) == SQLITE_ROW) {
            auto text = [&](int col) {
                const auto* p = sqlite3_column_text(st.get(), col);
                return p ? std::string(reinterpret_cast<const char*>(p)) : std::string();
            };
            all.push_back({text(0), text(1), text(2), sqlite3_column_int64(st.get(), 3)});
        }
        if (rc != SQLITE_DONE && problem) *problem = Problem("read");
        return all;
    }

    const ContactBook& Book() {
        int64_t dataVersion = -1;
        QueryInt(db, "PRAGMA data_version", &dataVersion);
        if (!book || dataVersion != bookVersion) {
            // A book that cannot be read names nobody; the pages say so elsewhere.
            book.emplace(ReadContacts("SELECT number, name, source, updated FROM contacts", nullptr));
            bookVersion = dataVersion;
        }
        return *book;
    }

    std::string Problem(const char* doing) const {
        return "The call history " + path + " cannot be " + doing + ": " + sqlite3_errmsg(db) + ".";
    }

    // Runs a query of page rows; a failure is said in *problem.
    std::vector<PageRow> Rows(Statement& st, std::string* problem) {
        std::vector<PageRow> rows;
        std::vector<std::pair<size_t, std::string>> callerNumbers;  // row, its caller's number
        if (!st.ok()) {
            if (problem) *problem = Problem("read");
            return rows;
        }
        int rc;
        while ((rc = st.Step()) == SQLITE_ROW) {
            PageRow row;
            row.call = CallHistory::Impl::ReadCall(st.get());
            row.sameText = sqlite3_column_int64(st.get(), 15);
            if (version >= 5) {
                const auto* number = sqlite3_column_text(st.get(), 16);
                if (number) callerNumbers.emplace_back(rows.size(), reinterpret_cast<const char*>(number));
            }
            if (const auto* instance = sqlite3_column_text(st.get(), 17))
                row.call.instance = reinterpret_cast<const char*>(instance);
            rows.push_back(std::move(row));
        }
        if (rc != SQLITE_DONE && problem) *problem = Problem("read");
        const ContactBook& names = Book();
        if (version >= 5) {
            for (const auto& [at, number] : callerNumbers) rows[at].call.name = names.NameOf(number);
        } else {
            for (PageRow& row : rows) row.call.name = names.NameOfCaller(row.call.fields.text);
        }
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
    impl->version = version;
    impl->pageColumns = PageColumns(version);
    sqlite3_create_function_v2(impl->db, "caller_line", 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, CallerLine,
                               nullptr, nullptr, nullptr);
    sqlite3_create_function_v2(impl->db, "same_line", 2, SQLITE_UTF8 | SQLITE_DETERMINISTIC, nullptr, SameLineOf,
                               nullptr, nullptr, nullptr);
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
    std::string sql = "SELECT " + impl_->pageColumns + " FROM records r WHERE 1" + filter.where;
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
    Statement st(impl_->db, ("SELECT " + impl_->pageColumns + " FROM records r WHERE r.id = ?1").c_str());
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

std::vector<std::string> CallReader::Instances() {
    std::vector<std::string> out;
    if (impl_->version < 6) return out;
    // One step through the index per instance, not a read of every row.
    Statement st(impl_->db,
                 "WITH RECURSIVE i(v) AS (SELECT min(instance) FROM records UNION ALL "
                 "SELECT (SELECT min(instance) FROM records WHERE instance > i.v) FROM i WHERE i.v IS NOT NULL) "
                 "SELECT v FROM i WHERE v IS NOT NULL");
    while (st.ok() && st.Step() == SQLITE_ROW)
        out.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(st.get(), 0)));
    return out;
}

int64_t CallReader::LastId() {
    int64_t id = 0;
    QueryInt(impl_->db, "SELECT coalesce(max(id), 0) FROM records", &id);
    return id;
}

std::vector<PageRow> CallReader::After(int64_t id, size_t limit) {
    Statement st(impl_->db, ("SELECT " + impl_->pageColumns + " FROM records r WHERE r.id > ?1 ORDER BY r.id LIMIT ?2").c_str());
    if (st.ok()) {
        st.Bind(1, id);
        st.Bind(2, static_cast<int64_t>(limit));
    }
    return impl_->Rows(st, nullptr);
}

std::vector<Contact> CallReader::Contacts(std::string* problem) {
    problem->clear();
    return impl_->ReadContacts(
        "SELECT number, name, source, updated FROM contacts ORDER BY name COLLATE NOCASE, number", problem);
}

CallerCalls CallReader::Caller(const std::string& number, DateOrder order, size_t limit, std::string* problem) {
    problem->clear();
    CallerCalls out;
    out.name = impl_->Book().NameOf(number);
    // The calls' places and dates, then the newest of them in full, by id.
    // The line's calls share the last 9 characters of their numbers
    // (records_caller); a file from before the records kept their numbers
    // has the number read out of every text.
    const std::string key = KeyColumn(order);
    const std::string where =
        impl_->version >= 5
            ? "substr(r.caller_number, -9) = ?2 AND same_line(r.caller_number, ?1)"
            : "caller_line(r.text, ?1)";
    Statement scan(impl_->db, ("SELECT r.received_at, r.id, r." + key +
                               " FROM records r WHERE r.damaged = 0 AND r.has_text AND " + where).c_str());
    if (scan.ok()) scan.Bind(1, number);
    if (scan.ok() && impl_->version >= 5) scan.Bind(2, number.size() > 9 ? number.substr(number.size() - 9) : number);
    struct Found {
        int64_t receivedAt, id;
    };
    std::vector<Found> found;
    std::map<int64_t, int64_t> perMonth;  // YYYYMM, calls
    int64_t first = 0, last = 0;
    int rc = SQLITE_ERROR;
    while (scan.ok() && (rc = scan.Step()) == SQLITE_ROW) {
        found.push_back({sqlite3_column_int64(scan.get(), 0), sqlite3_column_int64(scan.get(), 1)});
        if (sqlite3_column_type(scan.get(), 2) == SQLITE_NULL) continue;  // no valid date
        const int64_t when = sqlite3_column_int64(scan.get(), 2);  // YYYYMMDDhhmm
        ++perMonth[when / 1000000];
        first = first ? std::min(first, when) : when;
        last = std::max(last, when);
    }
    if (rc != SQLITE_DONE) {
        *problem = impl_->Problem("read");
        return out;
    }
    out.total = static_cast<int64_t>(found.size());
    const size_t shown = std::min(limit, found.size());
    std::partial_sort(found.begin(), found.begin() + static_cast<std::ptrdiff_t>(shown), found.end(),
                      [](const Found& a, const Found& b) { return std::tie(a.receivedAt, a.id) > std::tie(b.receivedAt, b.id); });
    if (shown) {
        std::string ids;
        for (size_t i = 0; i < shown; ++i) ids += (i ? "," : "") + std::to_string(found[i].id);
        Statement rows(impl_->db, ("SELECT " + impl_->pageColumns + " FROM records r WHERE r.id IN (" + ids +
                                   ") ORDER BY r.received_at DESC, r.id DESC").c_str());
        out.rows = impl_->Rows(rows, problem);
        if (!problem->empty()) return out;
    }
    const std::vector<std::pair<int64_t, int64_t>> counted(perMonth.begin(), perMonth.end());
    if (counted.empty()) return out;
    out.firstDay = DayText(first / 10000);
    out.lastDay = DayText(last / 10000);
    // Every month from the first to the last, the last 24 at most.
    int64_t month = counted.front().first, end = counted.back().first;
    const int64_t span = (end / 100 - month / 100) * 12 + end % 100 - month % 100 + 1;
    for (int64_t skip = span > 24 ? span - 24 : 0; skip > 0; --skip) month = month % 100 == 12 ? month + 89 : month + 1;
    size_t at = 0;
    for (; month <= end; month = month % 100 == 12 ? month + 89 : month + 1) {
        while (at < counted.size() && counted[at].first < month) ++at;
        char label[16];
        std::snprintf(label, sizeof label, "%04d-%02d", static_cast<int>(month / 100), static_cast<int>(month % 100));
        out.months.push_back({label, at < counted.size() && counted[at].first == month ? counted[at].second : 0});
    }
    return out;
}

HistoryOverview CallReader::Overview(const std::string& today, int weekday, DateOrder order, std::string* problem) {
    problem->clear();
    HistoryOverview out;
    // This machine's own downloads: the row the calls collected from a
    // watcher are counted under is none.
    Statement dl(impl_->db, "SELECT id, started_at, coalesce(ended_at, 0), port, records, new_calls, coalesce(ended_how, '') "
                            "FROM downloads WHERE ended_how IS NOT 'collected' ORDER BY id DESC LIMIT 1");
    int rc = dl.ok() ? dl.Step() : SQLITE_ERROR;
    if (rc == SQLITE_ROW) {
        DownloadRow d;
        d.id = sqlite3_column_int64(dl.get(), 0);
        d.startedAt = sqlite3_column_int64(dl.get(), 1);
        d.endedAt = sqlite3_column_int64(dl.get(), 2);
        d.port = reinterpret_cast<const char*>(sqlite3_column_text(dl.get(), 3));
        d.records = sqlite3_column_int64(dl.get(), 4);
        d.newCalls = sqlite3_column_int64(dl.get(), 5);
        d.endedHow = reinterpret_cast<const char*>(sqlite3_column_text(dl.get(), 6));
        out.lastDownload = d;
    } else if (rc != SQLITE_DONE) {
        *problem = impl_->Problem("read");
        return out;
    }
    int y = 0, m = 0, d = 0;
    if (std::sscanf(today.c_str(), "%d-%d-%d", &y, &m, &d) != 3) return out;
    const int64_t now = DaysFromCivil(y, m, d);
    const int64_t from = now - 29, monday = now - weekday;
    const std::string key = KeyColumn(order);
    Statement st(impl_->db, ("SELECT r." + key + " / 10000, count(*) FROM records r WHERE r.damaged = 0 AND r." + key +
                             " >= ?1 AND r." + key + " < ?2 GROUP BY 1").c_str());
    if (st.ok()) {
        st.Bind(1, DayKey(std::min(from, monday)) * 10000);
        st.Bind(2, DayKey(now + 1) * 10000);
    }
    std::vector<std::pair<int64_t, int64_t>> counted;
    while (st.ok() && (rc = st.Step()) == SQLITE_ROW)
        counted.push_back({sqlite3_column_int64(st.get(), 0), sqlite3_column_int64(st.get(), 1)});
    if (!st.ok() || rc != SQLITE_DONE) {
        *problem = impl_->Problem("read");
        return out;
    }
    auto callsOn = [&](int64_t day) {
        const int64_t k = DayKey(day);
        for (const auto& [dayKey, calls] : counted)
            if (dayKey == k) return calls;
        return int64_t{0};
    };
    for (int64_t day = from; day <= now; ++day) out.days.push_back({DayText(DayKey(day)), callsOn(day)});
    out.today = callsOn(now);
    for (int64_t day = monday; day <= now; ++day) out.thisWeek += callsOn(day);
    return out;
}

}  // namespace dialscope::history

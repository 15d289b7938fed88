#include "history/call_history.h"

#include <fcntl.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

#include "history/latin1.h"
#include "history/maintenance.h"
#include "history/pending_file.h"
#include "history/salvage.h"

namespace dialscope::history {
namespace {

// 'DSC1' in the file's header: a history file says whose it is, so that a
// database of another program is never taken for one and changed.
constexpr int32_t kApplicationId = 0x44534331;

// Each step brings the file from version i to i + 1; a step is never changed
// once released, a new structure is a new step at the end.
const char* const kMigrations[] = {
    // 1: downloads, records (calls and damaged records), search, publication.
    R"sql(
    CREATE TABLE downloads(
        id INTEGER PRIMARY KEY,
        started_at INTEGER NOT NULL,         -- unix ms UTC
        ended_at INTEGER,                    -- NULL: the program ended before the download did
        port TEXT NOT NULL,
        records INTEGER NOT NULL DEFAULT 0,  -- records received, known calls and damaged ones included
        new_calls INTEGER NOT NULL DEFAULT 0,
        ended_how TEXT                       -- completed, no-end-frame, restarted, cut, interrupted
    );
    CREATE TABLE records(
        id INTEGER PRIMARY KEY,              -- the call's id
        download_id INTEGER NOT NULL REFERENCES downloads(id),
        received_at INTEGER NOT NULL,        -- unix ms UTC
        label BLOB NOT NULL,                 -- 8 bytes as sent
        label_index INTEGER NOT NULL,
        letter INTEGER NOT NULL,
        d1 INTEGER NOT NULL, d2 INTEGER NOT NULL, d3 INTEGER NOT NULL,  -- raw; -1 not carried
        t1 INTEGER NOT NULL, t2 INTEGER NOT NULL,
        has_text INTEGER NOT NULL,
        text BLOB NOT NULL,
        damaged INTEGER NOT NULL,
        occurrence INTEGER NOT NULL,         -- the how-many-th identical intact record of its download
        rendered BLOB NOT NULL,
        key_mdy INTEGER, key_dmy INTEGER, key_ymd INTEGER,  -- YYYYMMDDhhmm by date order; NULL invalid
        label_key TEXT NOT NULL              -- folded, trimmed label (UTF-8)
    );
    -- Search reads only this narrow table: a term too short for the trigram
    -- index is looked for row by row here, not through the whole records.
    CREATE TABLE records_text(
        id INTEGER PRIMARY KEY,              -- the record's id
        folded TEXT NOT NULL                 -- folded label, LF, folded text (UTF-8)
    );
    CREATE UNIQUE INDEX records_call ON records(label, letter, d1, d2, d3, t1, t2, has_text, text, occurrence)
        WHERE damaged = 0;
    CREATE INDEX records_mdy ON records(key_mdy, received_at);
    CREATE INDEX records_dmy ON records(key_dmy, received_at);
    CREATE INDEX records_ymd ON records(key_ymd, received_at);
    CREATE INDEX records_label ON records(label_key);
    CREATE VIRTUAL TABLE records_search USING fts5(folded, content='records_text', content_rowid='id',
        tokenize='trigram case_sensitive 1');
    -- Records up to this id are in records_search; later ones are looked
    -- for row by row until the indexing between downloads reaches them.
    CREATE TABLE search_state(through INTEGER NOT NULL);
    INSERT INTO search_state VALUES (0);
    CREATE TABLE targets(
        name TEXT PRIMARY KEY,
        through INTEGER NOT NULL,            -- every call up to this id is published or not owed
        registered_at INTEGER NOT NULL
    );
    CREATE TABLE published(
        target TEXT NOT NULL,
        call_id INTEGER NOT NULL,            -- published out of order, above the target's through
        PRIMARY KEY(target, call_id)
    ) WITHOUT ROWID;
    )sql",
    // 2: label, label_index and letter may be NULL: the header of text whose
    // boundary frame was lost on the line is unknown, and NULL says so
    // instead of a made-up label. SQLite cannot drop NOT NULL in place, so
    // the table is rebuilt: a new one, every row copied with its id (the
    // search tables and the publication marks are keyed by it), the old one
    // dropped, the new one renamed, and its indexes made again exactly as
    // step 1 made them. Nothing refers to records by a foreign key, and it
    // has no triggers or views. Runs inside Migrate's transaction: a file is
    // either all v1 or all v2.
    R"sql(
    CREATE TABLE records_new(
        id INTEGER PRIMARY KEY,              -- the call's id
        download_id INTEGER NOT NULL REFERENCES downloads(id),
        received_at INTEGER NOT NULL,        -- unix ms UTC
        label BLOB,                          -- 8 bytes as sent; NULL: the header is unknown
        label_index INTEGER,                 -- NULL: the header is unknown
        letter INTEGER,                      -- NULL: the header is unknown
        d1 INTEGER NOT NULL, d2 INTEGER NOT NULL, d3 INTEGER NOT NULL,  -- raw; -1 not carried
        t1 INTEGER NOT NULL, t2 INTEGER NOT NULL,
        has_text INTEGER NOT NULL,
        text BLOB NOT NULL,
        damaged INTEGER NOT NULL,
        occurrence INTEGER NOT NULL,         -- the how-many-th identical intact record of its download
        rendered BLOB NOT NULL,
        key_mdy INTEGER, key_dmy INTEGER, key_ymd INTEGER,  -- YYYYMMDDhhmm by date order; NULL invalid
        label_key TEXT NOT NULL              -- folded, trimmed label (UTF-8); '' when unknown
    );
    INSERT INTO records_new(id, download_id, received_at, label, label_index, letter, d1, d2, d3, t1, t2,
                            has_text, text, damaged, occurrence, rendered, key_mdy, key_dmy, key_ymd, label_key)
        SELECT id, download_id, received_at, label, label_index, letter, d1, d2, d3, t1, t2,
               has_text, text, damaged, occurrence, rendered, key_mdy, key_dmy, key_ymd, label_key
        FROM records;
    DROP TABLE records;
    ALTER TABLE records_new RENAME TO records;
    CREATE UNIQUE INDEX records_call ON records(label, letter, d1, d2, d3, t1, t2, has_text, text, occurrence)
        WHERE damaged = 0;
    CREATE INDEX records_mdy ON records(key_mdy, received_at);
    CREATE INDEX records_dmy ON records(key_dmy, received_at);
    CREATE INDEX records_ymd ON records(key_ymd, received_at);
    CREATE INDEX records_label ON records(label_key);
    )sql",
};
static_assert(std::size(kMigrations) == CallHistory::kSchemaVersion);

enum class Failure { ReadOnly, Full, Locked, Damaged, IoError, Overflow, Unreadable, Pending };

const char* EndName(DownloadEnd how) {
    switch (how) {
    case DownloadEnd::Completed: return "completed";
    case DownloadEnd::NoEndFrame: return "no-end-frame";
    case DownloadEnd::Restarted: return "restarted";
    case DownloadEnd::Cut: return "cut";
    case DownloadEnd::Interrupted: return "interrupted";
    }
    return "interrupted";
}

int64_t SystemNowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::optional<int64_t> SortKey(const std::array<int16_t, 5>& raw, DateOrder order, int64_t receivedAt) {
    BoxDateTime dt = ReadBoxDateTime(raw, order, receivedAt);
    if (!dt.year) return std::nullopt;
    int64_t day = (int64_t{*dt.year} * 100 + *dt.month) * 100 + *dt.day;
    return day * 10000 + (dt.hour ? *dt.hour * 100 + *dt.minute : 0);
}

const char* KeyColumn(DateOrder order) {
    switch (order) {
    case DateOrder::MDY: return "key_mdy";
    case DateOrder::DMY: return "key_dmy";
    case DateOrder::YMD: return "key_ymd";
    }
    return "key_mdy";
}

// An unknown header has no label to match: its '?' placeholder is no name
// --label or --search should find.
std::string LabelKey(const RecordFields& f) {
    if (!f.headerKnown) return {};
    std::string_view bytes(reinterpret_cast<const char*>(f.label.data()), f.label.size());
    return Latin1ToUtf8(FoldLatin1(TrimTrailingBlanks(bytes)));
}

std::string IdentityKey(const RecordFields& f) {
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

int Exec(sqlite3* db, const char* sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }

// Result of a one-value query; the error code when it fails.
int QueryInt(sqlite3* db, const char* sql, int64_t* value) {
    Statement st(db, sql);
    if (!st.ok()) return sqlite3_errcode(db) ? sqlite3_errcode(db) : SQLITE_ERROR;
    int rc = st.Step();
    if (rc == SQLITE_ROW) {
        *value = sqlite3_column_int64(st.get(), 0);
        return SQLITE_OK;
    }
    return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

std::string Dirname(const std::string& path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Creates the missing folders of dir. The ones made here are the user's
// alone (0700, whatever the umask): the history holds names and numbers. A
// folder that was already there is left as it is.
bool MakeFolders(const std::string& dir, std::string* error) {
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = dir.find('/', pos + 1);
        partial = dir.substr(0, pos);
        if (partial.empty()) continue;
        if (mkdir(partial.c_str(), 0700) == 0) {
            chmod(partial.c_str(), 0700);
        } else if (errno != EEXIST) {
            *error = "the folder " + partial + " cannot be created: " + std::strerror(errno);
            return false;
        }
    }
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *error = dir + " is not a folder";
        return false;
    }
    return true;
}

// A path as a word a shell takes as it is.
std::string ShellWord(const std::string& path) {
    if (path.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._-+,:@%") ==
        std::string::npos)
        return path;
    std::string word = "'";
    for (char c : path) word += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return word + "'";
}

// The warning for a history that other users of the computer may read (its
// folder letting them through), naming the command that makes it private;
// empty when only its owner may.
std::string ReadableByOthers(const std::string& path) {
    struct stat folder {};
    if (stat(Dirname(path).c_str(), &folder) != 0) return {};
    std::string files;
    for (const char* suffix : {"", "-wal", "-shm"}) {
        struct stat st {};
        const std::string file = path + suffix;
        if (stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        if (((st.st_mode & S_IRGRP) && (folder.st_mode & S_IXGRP)) ||
            ((st.st_mode & S_IROTH) && (folder.st_mode & S_IXOTH)))
            files += " " + ShellWord(file);
    }
    if (files.empty()) return {};
    return "The call history " + path +
           " can be read by other users of this computer, and it holds names and phone numbers. "
           "To keep it private: chmod 600" + files;
}

// The histories warned about in this run: each once, however often opened.
std::optional<std::string> WarnOnce(const std::string& path, std::string warning) {
    static std::mutex mutex;
    static std::set<std::string> warned;
    if (warning.empty()) return std::nullopt;
    std::lock_guard lock(mutex);
    if (!warned.insert(path).second) return std::nullopt;
    return warning;
}

// The path as an SQLite URI that opens the file read-only, with no lock and
// no file beside it: every byte but the unreserved ones percent-encoded.
std::string ImmutableUri(const std::string& path) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string uri = path.empty() || path[0] != '/' ? "file:" : "file://";
    for (unsigned char c : path) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (plain || c == '/' || c == '-' || c == '.' || c == '_' || c == '~') {
            uri.push_back(static_cast<char>(c));
        } else {
            uri += {'%', kHex[c >> 4], kHex[c & 15]};
        }
    }
    return uri + "?immutable=1";
}

// SQLite's quick check of the file on a connection of its own (so that it can
// run beside the program's): up to `limit` findings, empty when sound.
std::vector<std::string> RunCheck(sqlite3* db, bool thorough, int limit) {
    std::vector<std::string> found;
    const std::string sql =
        std::string(thorough ? "PRAGMA integrity_check(" : "PRAGMA quick_check(") + std::to_string(limit) + ")";
    Statement st(db, sql.c_str());
    if (!st.ok()) return {sqlite3_errmsg(db)};
    int rc;
    while ((rc = st.Step()) == SQLITE_ROW) {
        const unsigned char* text = sqlite3_column_text(st.get(), 0);
        // A row may hold several findings, one a line, under a heading
        // naming the schema ("*** in database main ***").
        std::istringstream rows(text ? reinterpret_cast<const char*>(text) : "");
        for (std::string line; std::getline(rows, line);)
            if (line != "ok" && !line.empty() && line.rfind("***", 0) != 0) found.push_back(line);
    }
    // A page so damaged that the check itself stops is a finding too.
    if (rc != SQLITE_DONE) found.push_back(sqlite3_errmsg(db));
    return found;
}

std::vector<std::string> QuickCheckFile(const std::string& path) {
    sqlite3* db = nullptr;
    std::vector<std::string> found;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
        found.push_back(db ? sqlite3_errmsg(db) : "it cannot be opened");
    } else {
        sqlite3_busy_timeout(db, 2000);
        found = RunCheck(db, false, 1);
    }
    sqlite3_close(db);
    return found;
}

// Up to this size the quick check takes a few milliseconds (it reads about
// 500 MB a second here).
constexpr off_t kCheckAtOnceBytes = 8 << 20;

bool IsDamage(int rc) { return (rc & 0xFF) == SQLITE_CORRUPT || (rc & 0xFF) == SQLITE_NOTADB; }

}  // namespace

std::string ImmutableSqliteUri(const std::string& path) { return ImmutableUri(path); }

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
        RecordFields fields;
        int occurrence = 0;
        uint64_t seq = 0;  // the record's number from AddRecord
        DownloadEnd how = DownloadEnd::Completed;
    };

    std::string path;
    OpenOptions options;
    sqlite3* db = nullptr;
    bool writable = false;
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

    std::deque<Op> queue;
    size_t queuedRecords = 0;
    std::shared_ptr<Download> current;
    std::deque<StoredCall> newCalls;
    uint64_t recordsAdded = 0;
    // The ids of the records written lately, by their AddRecord number.
    std::deque<std::pair<uint64_t, CallIds>> writtenIds;
    std::vector<std::pair<std::string, int64_t>> pendingMarks;
    std::vector<std::string> pendingTargets;

    std::deque<std::string> problems;
    std::deque<std::string> notices;  // for TakeNotice
    std::optional<std::string> warning;  // for TakeWarning
    std::string unreadable;   // why the file could not be opened even for reading
    std::string readProblem;  // why the last List could not read everything
    std::set<Failure> reported;  // kinds said during the present episode
    std::optional<int64_t> busySince;
    bool overflowSaid = false;
    int64_t droppedRecords = 0;
    std::unique_ptr<Maintenance> maintenance;
    bool dirty = false;  // written since the maintenance last woke
    int64_t writtenSinceFailure = 0;

    int64_t Now() const { return options.nowMs ? options.nowMs() : SystemNowMs(); }

    ~Impl() { Disconnect(); }

    // --- opening ------------------------------------------------------------

    // Reads what the file says of itself before SQLite touches it: a file that
    // is not an SQLite database, or one from a newer version, is left alone.
    // Anything but a regular file (or a link to one) is refused before it is
    // opened: opening a FIFO would wait for a writer forever, and a device or
    // a socket is no place for a history.
    bool CheckHeader(std::string* problem) {
        struct stat st {};
        if (stat(path.c_str(), &st) != 0) {
            if (errno == ENOENT) return true;
            *problem = "The call history " + path + " cannot be read: " + std::strerror(errno) + ".";
            return false;
        }
        if (!IsRegularFile(st, problem)) return false;
        // Not waiting even if the path was swapped for a FIFO since.
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        if (fd < 0) {
            if (errno == ENOENT) return true;
            *problem = "The call history " + path + " cannot be read: " + std::strerror(errno) + ".";
            return false;
        }
        fstat(fd, &st);
        ssize_t n = 0;
        unsigned char header[100] = {};
        if (S_ISREG(st.st_mode)) n = read(fd, header, sizeof header);
        close(fd);
        if (!IsRegularFile(st, problem)) return false;
        if (n == 0) return true;  // an empty file is an empty database
        // The magic, then fields every SQLite file has: the page size, the
        // format versions and the fixed payload fractions 64, 32, 32.
        unsigned pageSize = (header[16] << 8) | header[17];
        bool sqlite = n == 100 && std::memcmp(header, "SQLite format 3", 16) == 0 &&
                      (pageSize == 1 || (pageSize >= 512 && (pageSize & (pageSize - 1)) == 0)) &&
                      header[18] >= 1 && header[18] <= 2 && header[19] >= 1 && header[19] <= 2 &&
                      header[21] == 64 && header[22] == 32 && header[23] == 32;
        if (!sqlite) {
            *problem = "The file " + path +
                       " is not a call history (it is not an SQLite database). It is left as it is; "
                       "move it away or choose another file.";
            return false;
        }
        int64_t version = (int64_t{header[60]} << 24) | (header[61] << 16) | (header[62] << 8) | header[63];
        return CheckVersion(version, problem);
    }

    bool IsRegularFile(const struct stat& st, std::string* problem) const {
        if (S_ISREG(st.st_mode)) return true;
        if (S_ISDIR(st.st_mode)) {
            *problem = "The call history " + path + " is a folder, not a file. Give the path of a file.";
            return false;
        }
        const char* what = S_ISFIFO(st.st_mode)                           ? "a named pipe (FIFO)"
                           : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? "a device"
                           : S_ISSOCK(st.st_mode)                         ? "a socket"
                                                                          : "not a regular file";
        *problem = "The call history " + path + " is " + what +
                   ", not a file. It is left as it is; give the path of a regular file.";
        return false;
    }

    bool CheckVersion(int64_t version, std::string* problem) {
        if (version <= kSchemaVersion) return true;
        *problem = "The call history " + path + " was written by a newer version of Dialscope (format " +
                   std::to_string(version) + ", this one knows up to " + std::to_string(kSchemaVersion) +
                   "). It is left as it is; use the newer version or choose another file.";
        return false;
    }

    std::string SqliteProblem(int rc, const char* doing) {
        return "The call history " + path + " cannot be " + doing + ": " +
               (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)) + ".";
    }

    // Opens the connection and brings the file to the present version. With
    // readOnly the file is only read (a file this user may not write).
    bool Connect(bool readOnly, std::string* problem) {
        int rc = SQLITE_OK;
        if (readOnly && !WriterPresent()) {
            // Read as it lies on the disk: without the files beside it that a
            // reader of a write-ahead history would otherwise create (and,
            // being read-only, leave behind).
            rc = sqlite3_open_v2(ImmutableUri(path).c_str(), &db,
                                 SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, nullptr);
        } else if (readOnly) {
            rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
        } else {
            // The file is made here, the user's alone; SQLite gives the files
            // it keeps beside it the file's mode.
            int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
            if (fd >= 0) {
                fchmod(fd, 0600);
                close(fd);
            }
            rc = sqlite3_open_v2(path.c_str(), &db,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
        }
        if (rc != SQLITE_OK) {
            *problem = SqliteProblem(rc, "opened");
            Disconnect();
            return false;
        }
        sqlite3_extended_result_codes(db, 1);
        // Until the file is known to be sound, closing folds nothing from
        // the write-ahead log into it, and nothing is written.
        if (!readOnly) sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        // Opening may wait for another process that is creating the same file.
        sqlite3_busy_timeout(db, 2000);
        int64_t version = 0, appId = 0, tables = 0;
        rc = QueryInt(db, "PRAGMA user_version", &version);
        if (rc == SQLITE_OK) rc = QueryInt(db, "PRAGMA application_id", &appId);
        if (rc == SQLITE_OK) rc = QueryInt(db, "SELECT count(*) FROM sqlite_schema", &tables);
        if (rc != SQLITE_OK) {
            int primary = rc & 0xFF;
            if (primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT)
                *problem = "The file " + path +
                           " is not a call history (it is damaged or not an SQLite database). It is left "
                           "as it is; move it away or choose another file. " + DamageAdvice(path);
            else if (rc == SQLITE_READONLY_DIRECTORY)
                // A file in write-ahead mode is read with two files beside
                // it, which a reader must create when no writer has them open.
                *problem = "The call history " + path +
                           " cannot be read by this user: its folder may not be written, and reading it needs "
                           "files beside it while no program that writes it is running. Run this as the user "
                           "it belongs to.";
            else
                *problem = SqliteProblem(rc, "read");
            Disconnect();
            return false;
        }
        if (!CheckVersion(version, problem)) {
            Disconnect();
            return false;
        }
        if ((version == 0 && tables > 0) || (version > 0 && appId != kApplicationId)) {
            *problem = "The file " + path +
                       " is a database of another program, not a call history. It is left as it is; "
                       "choose another file.";
            Disconnect();
            return false;
        }
        if (version > 0 && !CheckSchema(version, problem)) {
            structureDamaged = true;
            Disconnect();
            return false;
        }
        this->version = version;
        if (!readOnly) {
            state = State::Checking;
            damage.clear();
            checked = version == 0;  // a new file holds nothing to look over
            // A small file is looked over at once (a few milliseconds); a
            // large one on a thread of its own, while what is added waits in
            // memory, so that no tick waits on it.
            struct stat st {};
            const bool small = stat(path.c_str(), &st) == 0 && st.st_size <= kCheckAtOnceBytes;
            if (!checked && small) {
                damage = QuickCheckFile(path);
                checked = true;
            } else if (!checked) {
                check = std::async(std::launch::async, QuickCheckFile, path);
            }
        }
        sqlite3_busy_timeout(db, options.busyTimeoutMs);
        writable = !readOnly;
        return true;
    }

    // Takes the quick check's verdict once it is in (waiting for it with
    // wait). A damaged file is marked so and left alone; a sound one is
    // brought to the present version and written from now on. When that
    // fails, *problem says why (or, without problem, it is reported and
    // tried again later).
    void Settle(bool wait, std::string* problem = nullptr) {
        if (state != State::Checking || !db || !writable) return;
        if (check.valid()) {
            if (!wait && check.wait_for(std::chrono::seconds(0)) != std::future_status::ready) return;
            damage = check.get();
            checked = true;
        }
        if (!damage.empty()) {
            MarkDamaged(damage.front());
            return;
        }
        // Bringing an older file to the present version may wait for
        // another process doing the same.
        sqlite3_busy_timeout(db, 2000);
        int rc = Exec(db, "PRAGMA journal_mode=WAL");
        if (rc == SQLITE_OK) rc = Migrate(version);
        sqlite3_busy_timeout(db, options.busyTimeoutMs);
        if (rc != SQLITE_OK) {
            if (problem) *problem = SqliteProblem(rc, "written");
            else Failed(rc);
            return;
        }
        // A step that rebuilt a table of an existing history wrote all of
        // it to the WAL: folded back now, the WAL does not stay the size
        // of the history on the disk. Failing (another process reading)
        // costs only that space until a later checkpoint.
        if (version > 0 && version < kSchemaVersion) Exec(db, "PRAGMA wal_checkpoint(TRUNCATE)");
        version = kSchemaVersion;
        // WAL with synchronous NORMAL: a commit is safe from a kill of the
        // process without waiting for the disk. The WAL is folded back
        // into the file between downloads by the maintenance thread, not
        // by whichever record crosses the threshold, so no record waits
        // on a checkpoint.
        Exec(db, "PRAGMA synchronous=NORMAL");
        Exec(db, "PRAGMA wal_autocheckpoint=0");
        sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 0, nullptr);
        maintenance = std::make_unique<Maintenance>(path);
        state = State::Sound;
        if (options.takeInPending) TakeInPending();
    }

    // The file is damaged: nothing more goes into it, no indexing, no
    // checkpoint, and on closing nothing is folded into it from its
    // write-ahead log. What is added waits for Close and the pending file.
    void MarkDamaged(const std::string& detail) {
        if (state == State::Damaged) return;
        state = State::Damaged;
        if (damage.empty()) damage.push_back(detail);
        maintenance.reset();
        if (db) sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
        Say(Failure::Damaged, "The call history " + path + " is damaged (" + detail +
                                  "). Dialscope does not write to it and leaves it as it is; calls are kept in memory "
                                  "and, when Dialscope ends, in " + PendingPath(path) +
                                  ", from where they are taken into the history once it can be written. " +
                                  DamageAdvice(path));
    }

    bool CanWrite() const { return writable && state == State::Sound; }

    // A history of ours in name whose tables or columns are not what its
    // version says (edited by hand, or by another tool) is not written: a
    // missing unique index alone would let a call be kept twice.
    bool CheckSchema(int64_t version, std::string* problem) {
        static const char* const kExpected[] = {
            "SELECT id, started_at, ended_at, port, records, new_calls, ended_how FROM downloads",
            "SELECT id, download_id, received_at, label, label_index, letter, d1, d2, d3, t1, t2, "
            "has_text, text, damaged, occurrence, rendered, key_mdy, key_dmy, key_ymd, label_key "
            "FROM records",
            "SELECT id, folded FROM records_text",
            "SELECT folded FROM records_search",
            "SELECT through FROM search_state",
            "SELECT name, through, registered_at FROM targets",
            "SELECT target, call_id FROM published",
        };
        for (const char* query : kExpected) {
            sqlite3_stmt* statement = nullptr;
            const int rc = sqlite3_prepare_v2(db, query, -1, &statement, nullptr);
            sqlite3_finalize(statement);
            if (rc != SQLITE_OK) {
                *problem = "The call history " + path + " is damaged: " + sqlite3_errmsg(db) +
                           ". It is left as it is; restore it from a copy or choose another file. " + DamageAdvice(path);
                return false;
            }
        }
        int64_t unique = 0;
        if (QueryInt(db,
                     "SELECT count(*) FROM sqlite_schema WHERE type = 'index' AND name = 'records_call' "
                     "AND sql LIKE 'CREATE UNIQUE INDEX%'",
                     &unique) != SQLITE_OK ||
            unique != 1) {
            *problem = "The call history " + path +
                       " is damaged: the index that keeps each call once is missing. It is left as it "
                       "is; restore it from a copy or choose another file. " + DamageAdvice(path);
            return false;
        }
        // From version 2 a record whose header is unknown is stored with no
        // label, index or letter. A table that refuses that would turn each
        // such record away and hold it, and every record after it, in memory.
        int64_t required = 0;
        if (version >= 2 &&
            (QueryInt(db,
                      "SELECT count(*) FROM pragma_table_info('records') "
                      "WHERE name IN ('label', 'label_index', 'letter') AND \"notnull\" = 0",
                      &required) != SQLITE_OK ||
             required != 3)) {
            *problem = "The call history " + path +
                       " is damaged: its records cannot hold a record whose header is unknown. It is left "
                       "as it is; restore it from a copy or choose another file. " + DamageAdvice(path);
            return false;
        }
        return true;
    }

    int Migrate(int64_t from) {
        // A step that rebuilds a table must not have the rows it copies
        // checked against, or deleted with, the tables they refer to. The
        // program never turns foreign keys on; this holds whatever the
        // library's default is. (Inside a transaction the pragma does
        // nothing, hence before the first step's.)
        Exec(db, "PRAGMA foreign_keys=OFF");
        for (int64_t v = from; v < kSchemaVersion; ++v) {
            int rc = Exec(db, "BEGIN IMMEDIATE");
            if (rc != SQLITE_OK) return rc;
            int64_t now = 0;
            // Another process may have migrated while this one waited.
            rc = QueryInt(db, "PRAGMA user_version", &now);
            if (rc == SQLITE_OK && now == v) {
                rc = Exec(db, kMigrations[v]);
                std::string pragmas = "PRAGMA user_version=" + std::to_string(v + 1) +
                                      "; PRAGMA application_id=" + std::to_string(kApplicationId);
                if (rc == SQLITE_OK) rc = Exec(db, pragmas.c_str());
            }
            if (rc != SQLITE_OK) {
                Exec(db, "ROLLBACK");
                return rc;
            }
            if ((rc = Exec(db, "COMMIT")) != SQLITE_OK) {
                Exec(db, "ROLLBACK");
                return rc;
            }
            v = now > v ? now - 1 : v;
        }
        return SQLITE_OK;
    }

    void Disconnect() {
        maintenance.reset();
        if (db) sqlite3_close_v2(db);
        db = nullptr;
        writable = false;
    }

    // Whether a program that writes the history may have it open: it keeps
    // the write-ahead log and the shared index beside the file until it ends.
    bool WriterPresent() const {
        return access((path + "-wal").c_str(), F_OK) == 0 && access((path + "-shm").c_str(), F_OK) == 0;
    }

    bool MayWrite() const {
        return access(Dirname(path).c_str(), W_OK) == 0 &&
               (access(path.c_str(), W_OK) == 0 || errno == ENOENT);
    }

    // A read-only history is tried again now and then: the user may fix the
    // permissions while the program runs.
    void RetryWritable() {
        int64_t now = Now();
        if (writable || state == State::Damaged || now - lastReopenTry < 1000) return;
        lastReopenTry = now;
        if (!MayWrite()) return;
        std::string problem;
        Disconnect();
        if (!CheckHeader(&problem) || !Connect(false, &problem)) {
            unreadable = Connect(true, &problem) ? std::string() : problem;  // keep reading what can be read
            return;
        }
    }

    // --- failures -----------------------------------------------------------

    void Say(Failure kind, std::string text) {
        if (!reported.insert(kind).second) return;
        problems.push_back(std::move(text));
    }

    void Failed(int rc) {
        const std::string& p = path;
        switch (rc & 0xFF) {
        case SQLITE_BUSY:
        case SQLITE_LOCKED: {
            int64_t now = Now();
            if (!busySince) busySince = now;
            if (now - *busySince >= options.lockedReportMs)
                Say(Failure::Locked, "The call history " + p + " has been locked by another program for more than " +
                                         std::to_string(options.lockedReportMs / 1000) +
                                         " seconds. Calls are kept in memory and written when it is free.");
            return;
        }
        case SQLITE_FULL:
            Say(Failure::Full, "The call history " + p +
                                   " cannot be written: the disk is full. Calls are kept in memory and written "
                                   "when there is room.");
            return;
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_CANTOPEN:
        case SQLITE_AUTH:
            SayReadOnly();
            return;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
            MarkDamaged(sqlite3_errstr(rc));
            return;
        default:
            Say(Failure::IoError, "The call history " + p + " cannot be written: " + sqlite3_errstr(rc) +
                                      ". Calls are kept in memory and written when it works again.");
        }
    }

    void SayReadOnly() {
        Say(Failure::ReadOnly, "The call history " + path +
                                   " cannot be written: permission denied or read-only. Calls are kept in "
                                   "memory meanwhile.");
    }

    void Recovered() {
        busySince.reset();
        if (queue.empty() && !reported.empty()) {
            bool onlyOverflow = reported.size() == 1 && reported.count(Failure::Overflow);
            if (!onlyOverflow)
                problems.push_back("The call history " + path + " is written again; " +
                                   std::to_string(writtenSinceFailure) + " waiting records were stored.");
            reported.clear();
            overflowSaid = false;
            writtenSinceFailure = 0;
        }
    }

    // --- writing ------------------------------------------------------------

    int Run(Op& op) {
        switch (op.kind) {
        case Op::Begin: return WriteBegin(op);
        case Op::Record: return WriteRecord(op);
        case Op::End: return WriteEnd(op);
        }
        return SQLITE_OK;
    }

    int WriteBegin(Op& op) {
        Statement st(db, "INSERT INTO downloads(started_at, port) VALUES (?, ?)");
        if (!st.ok()) return sqlite3_extended_errcode(db);
        st.Bind(1, op.at);
        st.Bind(2, op.port);
        int rc = st.Step();
        if (rc != SQLITE_DONE) return rc;
        op.download->dbId = sqlite3_last_insert_rowid(db);
        return SQLITE_OK;
    }

    int WriteEnd(Op& op) {
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
    int WriteRecord(Op& op, bool ownTransaction = true) {
        const RecordFields& f = op.fields;
        int rc = ownTransaction ? Exec(db, "BEGIN IMMEDIATE") : SQLITE_OK;
        if (rc != SQLITE_OK) return sqlite3_extended_errcode(db);
        bool inserted = false;
        int64_t id = 0;
        {
            Statement st(db,
                         "INSERT INTO records(download_id, received_at, label, label_index, letter, d1, d2, d3, "
                         "t1, t2, has_text, text, damaged, occurrence, rendered, key_mdy, key_dmy, key_ymd, "
                         "label_key) VALUES (?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?) "
                         "ON CONFLICT DO NOTHING");
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
            st.BindBlob(15, f.rendered.data(), f.rendered.size());
            int col = 16;
            for (DateOrder order : {DateOrder::MDY, DateOrder::DMY, DateOrder::YMD}) {
                if (auto key = SortKey(f.dateTime, order, op.at)) st.Bind(col, *key);
                else st.BindNull(col);
                ++col;
            }
            st.Bind(19, LabelKey(f));
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
                         "occurrence = ? AND damaged = 0");
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
                newCalls.push_back(StoredCall{id, dl.dbId, op.at, f, false});
                if (newCalls.size() > options.queueLimit) newCalls.pop_front();
            }
        } else {
            ++dl.known;
        }
        return SQLITE_OK;
    }

    int Abandon() {
        int rc = sqlite3_extended_errcode(db);
        if (rc == SQLITE_OK) rc = SQLITE_ERROR;
        if (!sqlite3_get_autocommit(db)) Exec(db, "ROLLBACK");
        return rc;
    }

    // Writes what waits, oldest first, for at most a few milliseconds.
    void Drain() {
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

    void Push(Op op) {
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

    std::shared_ptr<Download> StartDownload(const std::string& port) {
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

    // --- the pending file ---------------------------------------------------

    // Puts the records that wait in memory into the pending file; what to
    // tell the user, nothing when none waited.
    std::optional<std::string> Spill() {
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
            records.push_back(std::move(r));
        }
        queue.clear();
        queuedRecords = 0;
        if (records.empty()) return std::nullopt;
        const std::string file = PendingPath(path);
        const std::string why = state == State::Damaged ? "it is damaged"
                                : !writable            ? "this user may not write it"
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
    int FindOrAddDownload(const PendingRecord& r, Download* dl) {
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
    void TakeInPending() {
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

    // --- reading ------------------------------------------------------------

    static constexpr const char* kCallColumns =
        "r.id, r.download_id, r.received_at, r.label, r.label_index, r.letter, r.d1, r.d2, r.d3, r.t1, r.t2, "
        "r.has_text, r.text, r.damaged, r.rendered";

    static StoredCall ReadCall(sqlite3_stmt* st) {
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
        c.fields.rendered = blob(14);
        return c;
    }

    // Runs a query of calls; a failure is reported and gives what was read.
    std::vector<StoredCall> Read(Statement& st) {
        std::vector<StoredCall> out;
        if (!st.ok()) {
            ReadFailed(sqlite3_extended_errcode(db));
            return out;
        }
        int rc;
        while ((rc = st.Step()) == SQLITE_ROW) out.push_back(ReadCall(st.get()));
        if (rc != SQLITE_DONE) ReadFailed(rc);
        return out;
    }

    void ReadFailed(int rc) {
        if (IsDamage(rc)) MarkDamaged(db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        readProblem = !db && !unreadable.empty()
                          ? unreadable
                          : "The call history " + path + " cannot be read: " +
                                (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)) + ".";
        Say(Failure::Unreadable, readProblem);
    }
};

CallHistory::CallHistory(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

CallHistory::~CallHistory() { Close(0); }

std::optional<std::string> CallHistory::Close(int patienceMs) {
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
        if (std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return m.Spill();
}

bool CallHistory::damaged() const { return impl_->state == Impl::State::Damaged; }

std::vector<std::string> CallHistory::QuickCheck() {
    Impl& m = *impl_;
    m.Settle(true);
    if (!m.checked && m.db) {
        m.damage = Check(false, 1);
        m.checked = true;
        if (!m.damage.empty()) m.MarkDamaged(m.damage.front());
    }
    return m.db ? m.damage : Check(false, 1);
}


std::string CallHistory::DefaultPath(std::string* problem) {
    std::string ignored;
    if (!problem) problem = &ignored;
    problem->clear();
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && xdg[0] == '/') return std::string(xdg) + "/dialscope/calls.sqlite3";
    // The home folder: HOME, or when that is unset or empty the account's own.
    std::string home, from = "HOME";
    if (const char* env = std::getenv("HOME"); env && env[0]) {
        home = env;
    } else {
        from = "the user database";
        std::vector<char> buffer(16384);
        struct passwd entry {};
        struct passwd* found = nullptr;
        if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir)
            home = found->pw_dir;
    }
    const std::string what = "The call history has no place: ";
    const std::string fix = " Set HOME to your home folder, or name the history file with --history.";
    struct stat st {};
    if (home.empty()) {
        *problem = what + "HOME is not set and the user database names no home folder for this user." + fix;
        return {};
    }
    // The history is never made inside a home folder that is not there (a
    // mistyped HOME, an account without one): the home is not ours to create.
    if (home[0] != '/')
        *problem = what + "the home folder " + home + " (from " + from + ") is not a full path." + fix;
    else if (stat(home.c_str(), &st) != 0)
        *problem = what + "the home folder " + home + " (from " + from + ") does not exist." + fix;
    else if (!S_ISDIR(st.st_mode))
        *problem = what + "the home folder " + home + " (from " + from + ") is not a folder." + fix;
    if (home.size() > 1 && home.back() == '/') home.pop_back();
    return home + "/.local/share/dialscope/calls.sqlite3";
}

std::unique_ptr<CallHistory> CallHistory::Open(const std::string& path, std::string* problem,
                                               const OpenOptions& options) {
    std::string ignored;
    if (!problem) problem = &ignored;
    problem->clear();
    auto impl = std::make_unique<Impl>();
    impl->path = path;
    impl->options = options;
    if (impl->options.queueLimit == 0) impl->options.queueLimit = 1;

    std::string error;
    if (!MakeFolders(Dirname(path), &error)) {
        *problem = "The call history " + path + " cannot be created: " + error + ".";
        return nullptr;
    }
    if (!impl->CheckHeader(problem)) return nullptr;
    impl->lastReopenTry = impl->Now();
    if (impl->MayWrite()) {
        if (!impl->Connect(false, problem)) {
            if (!impl->structureDamaged) return nullptr;
            // Ours, but its tables are damaged: nothing can be read or
            // written, and what is added goes to the pending file.
            impl->unreadable = *problem;
            impl->state = Impl::State::Damaged;
            impl->damage = {*problem};
            impl->Say(Failure::Damaged, *problem + " Calls are kept in memory and, when Dialscope ends, in " +
                                            PendingPath(path) + ".");
            problem->clear();
            return std::unique_ptr<CallHistory>(new CallHistory(std::move(impl)));
        }
        // Looked over now, before the program opens its port: a damaged
        // file is opened, said and never written.
        impl->Settle(true, problem);
        if (!problem->empty()) return nullptr;
    } else {
        // Readable but not writable: kept open for reading, calls wait in
        // memory and the file is tried again now and then.
        if (access(path.c_str(), F_OK) != 0) {
            *problem = "The call history " + path + " cannot be created: permission denied.";
            return nullptr;
        }
        std::string readProblem;
        if (!impl->Connect(true, &readProblem)) {
            if (readProblem.find("newer version") != std::string::npos) {
                *problem = readProblem;
                return nullptr;
            }
            impl->unreadable = readProblem;
        }
        impl->SayReadOnly();
    }
    impl->warning = WarnOnce(path, ReadableByOthers(path));
    return std::unique_ptr<CallHistory>(new CallHistory(std::move(impl)));
}

int64_t CallHistory::BeginDownload(const std::string& port) {
    if (impl_->current) EndDownload(DownloadEnd::Interrupted);
    return impl_->StartDownload(port)->dbId;
}

uint64_t CallHistory::AddRecord(const RecordFields& fields) {
    auto dl = impl_->current ? impl_->current : impl_->StartDownload("");
    Impl::Op op;
    op.kind = Impl::Op::Record;
    op.download = dl;
    op.at = impl_->Now();
    op.fields = fields;
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

bool CallHistory::writable() const { return impl_->writable; }

std::optional<std::string> CallHistory::TakeWarning() { return std::exchange(impl_->warning, std::nullopt); }

int64_t CallHistory::DroppedRecords() const { return impl_->droppedRecords; }

std::vector<StoredCall> CallHistory::TakeNewCalls() {
    std::vector<StoredCall> out(impl_->newCalls.begin(), impl_->newCalls.end());
    impl_->newCalls.clear();
    return out;
}

std::optional<std::string> CallHistory::TakeNotice() {
    if (impl_->notices.empty()) return std::nullopt;
    std::string n = std::move(impl_->notices.front());
    impl_->notices.pop_front();
    return n;
}

std::optional<std::string> CallHistory::TakeProblem() {
    if (impl_->problems.empty()) return std::nullopt;
    std::string p = std::move(impl_->problems.front());
    impl_->problems.pop_front();
    return p;
}

std::vector<StoredCall> CallHistory::List(const ListQuery& q, std::string* problem) {
    Impl& m = *impl_;
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
    std::optional<int64_t> since, until;
    auto noDate = [&](const std::string& text) {
        m.readProblem = "The date " + text + " is not a date of the form YYYY-MM-DD.";
        m.problems.push_back(m.readProblem);
        return answer({});
    };
    if (!q.since.empty() && !(since = ParseDay(q.since))) return noDate(q.since);
    if (!q.until.empty() && !(until = ParseDay(q.until))) return noDate(q.until);
    std::string key = KeyColumn(q.dateOrder);
    std::string sql = std::string("SELECT ") + Impl::kCallColumns + " FROM records r WHERE 1";
    if (!q.includeDamaged) sql += " AND r.damaged = 0";
    if (since) sql += " AND r." + key + " >= " + std::to_string(*since * 10000);
    if (until) sql += " AND r." + key + " <= " + std::to_string(*until * 10000 + 9999);

    std::string label, term, phrase;
    if (!q.label.empty()) {
        auto latin = Utf8ToLatin1(q.label);
        if (!latin) return {};  // no label of the box can hold such a character
        label = Latin1ToUtf8(FoldLatin1(TrimTrailingBlanks(*latin)));
        sql += " AND r.label_key = :label";
    }
    if (!q.search.empty()) {
        auto latin = Utf8ToLatin1(q.search);
        if (!latin) return {};
        // Three characters or more go through the trigram index; shorter
        // terms have no trigram and are looked for row by row.
        std::string folded = Latin1ToUtf8(FoldLatin1(*latin));
        if (latin->size() >= 3) {
            phrase = "\"";
            for (char c : folded) {
                phrase.push_back(c);
                if (c == '"') phrase.push_back('"');
            }
            phrase += "\"";
            sql += " AND r.id IN (SELECT rowid FROM records_search WHERE records_search MATCH :phrase"
                   " UNION ALL SELECT id FROM records_text WHERE id > (SELECT through FROM search_state)"
                   " AND instr(folded, :term) > 0)";
        } else {
            sql += " AND r.id IN (SELECT id FROM records_text WHERE instr(folded, :term) > 0)";
        }
        term = folded;
    }
    sql += " ORDER BY r." + key + " DESC, r.received_at DESC, r.id DESC";
    if (q.limit) sql += " LIMIT " + std::to_string(q.limit);

    Statement st(m.db, sql.c_str());
    if (st.ok()) {
        if (!label.empty()) st.Bind(sqlite3_bind_parameter_index(st.get(), ":label"), label);
        if (!term.empty()) st.Bind(sqlite3_bind_parameter_index(st.get(), ":term"), term);
        if (!phrase.empty()) st.Bind(sqlite3_bind_parameter_index(st.get(), ":phrase"), phrase);
    }
    return answer(m.Read(st));
}

int64_t CallHistory::CountCalls() {
    int64_t n = 0;
    if (impl_->db) QueryInt(impl_->db, "SELECT count(*) FROM records WHERE damaged = 0", &n);
    return n;
}

bool CallHistory::readable() const { return impl_->db != nullptr; }

std::vector<std::string> CallHistory::Check(bool thorough, int limit) {
    Impl& m = *impl_;
    if (!m.db) return {m.unreadable.empty() ? "the file could not be opened" : m.unreadable};
    return RunCheck(m.db, thorough, limit);
}

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

const std::string& CallHistory::path() const { return impl_->path; }

}  // namespace dialscope::history

// Opening a history and looking it over, the failures it reports, and the
// parts of CallHistory that belong to no single job. The schema, writing,
// the pending file, reading and publication have files of their own.
#include "history/call_history.h"

#include <sqlite3.h>

#include <chrono>
#include <cstring>
#include <future>
#include <mutex>
#include <set>
#include <sstream>
#include <utility>
#include <vector>

#include "history/call_history_impl.h"
#include "history/file_system.h"
#include "history/maintenance.h"
#include "history/pending_file.h"
#include "history/salvage.h"

namespace dialscope::history {

int64_t SystemNowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

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

namespace {

using files::Dirname;

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
    const std::string uriPath = files::UriPath(path);
    std::string uri = uriPath.empty() || uriPath[0] != '/' ? "file:" : "file://";
    for (unsigned char c : uriPath) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (plain || c == '/' || c == '-' || c == '.' || c == '_' || c == '~') {
            uri.push_back(static_cast<char>(c));
        } else {
            uri += {'%', kHex[c >> 4], kHex[c & 15]};
        }
    }
    return uri + "?immutable=1";
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
constexpr int64_t kCheckAtOnceBytes = 8 << 20;

}  // namespace

std::string ImmutableSqliteUri(const std::string& path) { return ImmutableUri(path); }

// Reads what the file says of itself before SQLite touches it: a file that
// is not an SQLite database, or one from a newer version, is left alone.
// Anything but a regular file (or a link to one) is refused before it is
// opened: opening a FIFO would wait for a writer forever, and a device or
// a socket is no place for a history.
bool CallHistory::Impl::CheckHeader(std::string* problem) {
    bool missing = false;
    std::string error;
    auto info = files::Look(path, &missing, &error);
    if (!info) {
        if (missing) return true;
        *problem = "The call history " + path + " cannot be read: " + error + ".";
        return false;
    }
    if (!IsRegularFile(*info, problem)) return false;
    // Not waiting even if the path was swapped for a FIFO since.
    unsigned char header[100] = {};
    const int64_t n = files::ReadStart(path, header, sizeof header, &info, &error);
    if (n < 0) {
        *problem = "The call history " + path + " cannot be read: " + error + ".";
        return false;
    }
    if (!info) return true;  // gone meanwhile: made anew
    if (!IsRegularFile(*info, problem)) return false;
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
    const int64_t appId = (int64_t{header[68]} << 24) | (header[69] << 16) | (header[70] << 8) | header[71];
    oursByHeader = appId == kApplicationId;
    return CheckVersion(version, problem);
}

bool CallHistory::Impl::IsRegularFile(const files::Info& info, std::string* problem) const {
    if (info.kind == files::Kind::Regular) return true;
    if (info.kind == files::Kind::Folder) {
        *problem = "The call history " + path + " is a folder, not a file. Give the path of a file.";
        return false;
    }
    const char* what = info.kind == files::Kind::Fifo     ? "a named pipe (FIFO)"
                       : info.kind == files::Kind::Device ? "a device"
                       : info.kind == files::Kind::Socket ? "a socket"
                                                          : "not a regular file";
    *problem = "The call history " + path + " is " + what +
               ", not a file. It is left as it is; give the path of a regular file.";
    return false;
}

bool CallHistory::Impl::CheckVersion(int64_t version, std::string* problem) {
    if (version <= kSchemaVersion) return true;
    *problem = "The call history " + path + " was written by a newer version of Dialscope (format " +
               std::to_string(version) + ", this one knows up to " + std::to_string(kSchemaVersion) +
               "). It is left as it is; use the newer version or choose another file.";
    return false;
}

std::string CallHistory::Impl::SqliteProblem(int rc, const char* doing) {
    return "The call history " + path + " cannot be " + doing + ": " +
           (db ? sqlite3_errmsg(db) : sqlite3_errstr(rc)) + ".";
}

// Opens the connection and brings the file to the present version. With
// readOnly the file is only read (a file this user may not write).
bool CallHistory::Impl::Connect(bool readOnly, std::string* problem) {
    int rc = SQLITE_OK;
    snapshotOf.reset();
    if (readOnly && !WriterPresent()) {
        // Read as it lies on the disk: without the files beside it that a
        // reader of a write-ahead history would otherwise create (and,
        // being read-only, leave behind). Such a reader sees no writer, so
        // it is opened again as soon as one may have come (FollowWriter).
        snapshotOf = files::Look(path);
        rc = sqlite3_open_v2(ImmutableUri(path).c_str(), &db,
                             SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, nullptr);
    } else if (readOnly) {
        rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
    } else {
        // The file is made here, the user's alone; SQLite gives the files
        // it keeps beside it the file's mode.
        files::CreatePrivate(path);
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
    // Read in one statement, so from one state of the file: another program
    // creating it meanwhile commits its tables and their version together,
    // and apart they could be seen as tables without a version (another
    // program's database).
    int64_t version = 0, appId = 0, tables = 0;
    {
        Statement st(db,
                     "SELECT (SELECT user_version FROM pragma_user_version), "
                     "(SELECT application_id FROM pragma_application_id), (SELECT count(*) FROM sqlite_schema)");
        rc = st.ok() ? st.Step() : (sqlite3_errcode(db) ? sqlite3_errcode(db) : SQLITE_ERROR);
        if (rc == SQLITE_ROW) {
            version = sqlite3_column_int64(st.get(), 0);
            appId = sqlite3_column_int64(st.get(), 1);
            tables = sqlite3_column_int64(st.get(), 2);
            rc = SQLITE_OK;
        } else if (rc == SQLITE_DONE) {
            rc = SQLITE_ERROR;
        }
    }
    if (rc != SQLITE_OK) {
        int primary = rc & 0xFF;
        if ((primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT) && oursByHeader) {
            // Its header says it is a history of ours, but the list of its
            // tables cannot be read (a damaged page of it): a damaged
            // history, whose calls wait beside it, not another's file.
            structureDamaged = true;
            *problem = "The call history " + path + " is damaged: " + sqlite3_errmsg(db) +
                       ". It is left as it is; restore it from a copy or choose another file. " + DamageAdvice(path);
        } else if (primary == SQLITE_NOTADB || primary == SQLITE_CORRUPT)
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
        const auto info = files::Look(path);
        const bool small = info && info->size <= kCheckAtOnceBytes;
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
void CallHistory::Impl::Settle(bool wait, std::string* problem) {
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
void CallHistory::Impl::MarkDamaged(const std::string& detail) {
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

void CallHistory::Impl::Disconnect() {
    maintenance.reset();
    snapshotOf.reset();
    if (db) sqlite3_close_v2(db);
    db = nullptr;
    writable = false;
}

// Whether a program that writes the history may have it open: it keeps
// the write-ahead log and the shared index beside the file until it ends.
bool CallHistory::Impl::WriterPresent() const {
    return files::Exists(path + "-wal") && files::Exists(path + "-shm");
}

// A history read as it lay on the disk is opened again before it is read
// once a writer has come or the file has changed: the snapshot would not see
// the writer's calls, and could read pages the writer is moving.
void CallHistory::Impl::FollowWriter() {
    if (!snapshotOf || writable) return;
    if (!WriterPresent() && files::Look(path) == snapshotOf) return;
    std::string problem;
    Disconnect();
    unreadable = Connect(true, &problem) ? std::string() : problem;
    book.reset();
}

bool CallHistory::Impl::MayWrite() const {
    bool missing = false;
    return files::MayWrite(Dirname(path)) && (files::MayWrite(path, &missing) || missing);
}

// A read-only history is tried again now and then: the user may fix the
// permissions while the program runs.
void CallHistory::Impl::RetryWritable() {
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

void CallHistory::Impl::Say(Failure kind, std::string text) {
    if (!reported.insert(kind).second) return;
    problems.push_back({kind, std::move(text)});
}

void CallHistory::Impl::Failed(int rc) {
    const std::string& p = path;
    lastFailure = rc;
    lockedOut = (rc & 0xFF) == SQLITE_BUSY || (rc & 0xFF) == SQLITE_LOCKED;
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

void CallHistory::Impl::SayReadOnly() {
    Say(Failure::ReadOnly, "The call history " + path +
                               " cannot be written: permission denied or read-only. Calls are kept in "
                               "memory meanwhile.");
}

void CallHistory::Impl::Recovered() {
    busySince.reset();
    lastFailure = SQLITE_OK;
    lockedOut = false;
    if (queue.empty() && !reported.empty()) {
        bool onlyOverflow = reported.size() == 1 && reported.count(Failure::Overflow);
        if (!onlyOverflow)
            problems.push_back({StoreTrouble::Recovered, "The call history " + path + " is written again; " +
                                                             std::to_string(writtenSinceFailure) +
                                                             " waiting records were stored."});
        reported.clear();
        overflowSaid = false;
        writtenSinceFailure = 0;
    }
}

CallHistory::CallHistory(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

CallHistory::~CallHistory() { Close(0); }

bool CallHistory::damaged() const { return impl_->state == Impl::State::Damaged; }

bool CallHistory::sound() const { return impl_->CanWrite(); }

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
    return files::DefaultHistoryPath(problem);
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
    if (!files::MakeFolders(Dirname(path), &error)) {
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
        if (!files::Exists(path)) {
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
    impl->warning = WarnOnce(path, files::ReadableByOthers(path));
    return std::unique_ptr<CallHistory>(new CallHistory(std::move(impl)));
}

bool CallHistory::writable() const { return impl_->writable; }

std::optional<std::string> CallHistory::TakeWarning() { return std::exchange(impl_->warning, std::nullopt); }

std::optional<std::string> CallHistory::TakeNotice() {
    if (impl_->notices.empty()) return std::nullopt;
    std::string n = std::move(impl_->notices.front());
    impl_->notices.pop_front();
    return n;
}

std::optional<StoreProblem> CallHistory::TakeProblem() {
    if (impl_->problems.empty()) return std::nullopt;
    StoreProblem p = std::move(impl_->problems.front());
    impl_->problems.pop_front();
    return p;
}

const std::string& CallHistory::path() const { return impl_->path; }

}  // namespace dialscope::history

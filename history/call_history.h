// The call history: every record the program renders, kept in an SQLite file
// so that a call seen in many downloads of the box's memory is kept once.
//
// One CallHistory belongs to one thread (the program's main thread, inside its
// ticks). Nothing here throws and nothing here waits more than a few
// milliseconds for the file: a busy, full or read-only file leaves the records
// in a bounded queue in memory, and Flush() (called every tick) writes them
// when it can. A kill of the process therefore loses at most the records in
// that queue (PendingRecords(); 0 while the file is writable, since each
// record is written when it is added).
//
// Identity of a call: two intact records are the same call when their label
// bytes, letter code, five date and time bytes, tone-only flag and text bytes
// are equal and they are the same occurrence within their downloads (the
// second of two identical records in one download is the caller calling twice
// within the minute, so it is a call of its own). A unique index on exactly
// those columns keeps a call once even when two processes store the same
// download at the same time. A damaged record is kept, marked, but it is no
// call: it never counts as new or known, is never published, and never stops
// an intact copy from a later download from becoming the call.
//
// Dates: the box sends three date fields and two time fields, each a byte the
// box means to be 0 to 99. How the three date fields are read is the caller's
// choice (DateOrder). The box keeps two-digit years; a year is placed in the
// century that puts it closest to the day the record was received and not more
// than one year after that year: a record received in 2026 with year 27 is
// 2027, with year 28 it is 1928. A field above 99, a month outside 1 to 12, a
// day the month does not have, an hour above 23 or a minute above 59 make the
// date (or the time) invalid: such a record keeps its raw fields and is left
// out by --since and --until.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "history/contacts.h"
#include "record/call_record.h"
#include "record/call_store.h"
#include "record/download_end.h"

namespace dialscope::history {

// How the box's three date fields are read: month/day/year as its records
// print them ("07/15/24"), day/month/year, or year/month/day.
enum class DateOrder { MDY, DMY, YMD };

using DownloadEnd = dialscope::DownloadEnd;

// newCalls and knownCalls count the records written so far; a record still
// waiting for the file is in unsaved, not yet in either.
struct DownloadSummary {
    int records = 0;     // records added in the download, damaged ones included
    int newCalls = 0;    // intact records that became calls of the history
    int knownCalls = 0;  // intact records the history already kept
    int damaged = 0;     // damaged records (kept, marked, no calls)
    int unsaved = 0;     // records waiting in memory for the file, or left out when the queue was full
};

// Where a record went in the file: the call's id (the row's own id for a
// damaged record) and the download the call first came in.
struct CallIds {
    int64_t id = 0;
    int64_t downloadId = 0;
};

struct StoredCall {
    int64_t id = 0;          // stable call id (the row's id); 0: not known (not in a history)
    int64_t downloadId = 0;  // the download it first came in; 0: not known
    int64_t receivedAt = 0;  // unix time in ms, UTC
    CallRecord fields;
    bool damaged = false;
    std::string rendered;    // the bytes the program appended to its log for this record
    std::optional<std::string> name;  // the caller's name from the contacts (UTF-8); none: not known
    std::string instance;    // the watcher a collected call came from (serve --collect); empty: this machine's box
};

// A call another machine's watcher published, as serve --collect keeps it.
struct CollectedCall {
    std::string instance;   // the watcher's instance id
    int64_t sourceId = 0;   // the call's id in that watcher's history (> 0)
    int64_t receivedAt = 0; // when that watcher received it (unix ms UTC)
    CallRecord fields;
};
enum class CollectResult { New, Known, Failed };

struct ListQuery {
    std::string since;  // YYYY-MM-DD, empty: no lower bound (box's date, read by dateOrder)
    std::string until;  // YYYY-MM-DD, empty: no upper bound (inclusive)
    std::string search; // UTF-8; case-insensitive substring of label or text
    std::string label;  // UTF-8; the label's name, trailing spaces ignored, any case
    // The watcher a call was collected from; kLocalInstance: this machine's
    // own box; empty: any.
    std::string instance;
    DateOrder dateOrder = DateOrder::MDY;
    bool includeDamaged = false;
    size_t limit = 0;   // 0: all
};

// The instance filter's value for the calls of this machine's own box: no
// instance id can hold parentheses.
inline constexpr const char* kLocalInstance = "(local)";

struct OpenOptions {
    int busyTimeoutMs = 5;          // how long one write may wait for another process
    size_t queueLimit = 10000;      // records kept in memory while the file cannot be written
    int lockedReportMs = 3000;      // a lock held longer than this is reported
    std::function<int64_t()> nowMs; // clock (unix ms); empty: the system clock
    // Whether new calls are held for TakeNewCalls. A program that never takes
    // them (the window) sets it false, or it would hold up to queueLimit
    // calls in memory, texts and all, for nothing.
    bool collectNewCalls = true;
    // Whether records an earlier run left in the pending file beside the
    // history are taken in once the history may be written.
    bool takeInPending = true;
};

// A calendar date and time read from the box's raw fields; see the header
// comment for the rules. Exposed for the exporters and the tests.
struct BoxDateTime {
    std::optional<int> year, month, day;  // set together, only for a valid date
    std::optional<int> hour, minute;      // set together, only for a valid time
};
BoxDateTime ReadBoxDateTime(const std::array<int16_t, 5>& raw, DateOrder order, int64_t receivedAtMs);

// The path as an SQLite URI that reads the file as it lies on the disk:
// read-only, with no lock and no file made beside it.
std::string ImmutableSqliteUri(const std::string& path);

class CallHistory {
public:
    // Opens (creating the folders and the file when missing) the history at
    // path. An existing file is looked over (SQLite's quick check) before
    // anything is written to it: a damaged one is left byte for byte as it
    // is. That check is done here, before the program opens its port; it
    // takes under a second for a million calls. Returns null and a plain-words *problem when it cannot be opened,
    // is not a regular file, is not a call history, or was written by a newer
    // version; such a file is never written, truncated or deleted. A history
    // that can be read but not written opens read-only, without leaving any
    // file beside it, and its problem is reported by TakeProblem(). Folders
    // made here are 0700 and the file and the files SQLite keeps beside it
    // 0600, whatever the umask: the history holds names and phone numbers.
    // (On Windows they take the access list of the folder they are in.)
    static std::unique_ptr<CallHistory> Open(const std::string& path, std::string* problem,
                                             const OpenOptions& options = {});
    // $XDG_DATA_HOME/dialscope/calls.sqlite3 when that is a full path, else
    // HOME/.local/share/dialscope/calls.sqlite3, HOME being $HOME or, when it
    // is unset or empty, the account's home from the user database. When that
    // home is not an existing folder, *problem says so in plain words (the
    // path, when one can be named, is still returned for help texts; it must
    // not be opened). On Windows: %LOCALAPPDATA%\Dialscope\calls.sqlite3.
    static std::string DefaultPath(std::string* problem = nullptr);
    static constexpr int kSchemaVersion = 6;

    ~CallHistory();
    CallHistory(const CallHistory&) = delete;
    CallHistory& operator=(const CallHistory&) = delete;

    // A download: its row is written at once (or queued like a record).
    // Returns the download's id, or 0 while its row still waits for the file.
    // A download still open when another begins, or when the history is
    // closed, is ended as Interrupted. AddRecord without BeginDownload opens
    // a download with no port name.
    int64_t BeginDownload(const std::string& port);
    // A record whose header is unknown is kept damaged, with no label, index
    // or letter (NULL in the file) and no date or time (-1); it reads back
    // with eight '?' for the label, index and letter 0.
    // rendered: the bytes the program appended to its log for the record,
    // which `list` shows again (empty: a record the program showed nothing for).
    // Returns the record's number in this CallHistory (from 1), for WrittenAs.
    uint64_t AddRecord(const CallRecord& fields, std::string rendered = {});
    // The ids a record got once it is in the file; empty while it waits in
    // memory or was left out (only the latest OpenOptions::queueLimit are held).
    std::optional<CallIds> WrittenAs(uint64_t record) const;
    DownloadSummary EndDownload(DownloadEnd how);

    // Ends the program's use of the file: ends a download still open, waits
    // up to patienceMs for a file locked by another program (not for a full
    // or failing disk, and no longer once `stop` says so), and puts what
    // still cannot be written (the file locked, full, damaged or read-only)
    // into the pending file beside it (PendingPath), which the next program
    // that can write the history takes in. Returns what to tell the user
    // when records were left out of the history; nothing when all were
    // written. The destructor does the same without patience or words.
    std::optional<std::string> Close(int patienceMs, const std::function<bool()>& stop = {});
    // True once the file was found damaged: from then on it is not written
    // at all, nor folded together with its write-ahead log, and what is
    // added waits for Close.
    bool damaged() const;
    // True once the file has been looked over, found sound, and may be
    // written: what else writes to it (retention) waits for this.
    bool sound() const;
    // SQLite's quick check of the file (see Check), done once before the
    // first write; the findings, empty when sound.
    std::vector<std::string> QuickCheck();

    // Retries what waits in memory; call it every tick. Returns within a few
    // ms; once a download has ended it wakes the maintenance thread, which
    // indexes the new calls for search and checkpoints the WAL.
    void Flush();
    size_t PendingRecords() const;
    // False while the file may only be read: what is added waits in memory.
    bool writable() const;
    // Records left out since the file was opened because the queue was full.
    int64_t DroppedRecords() const;

    // Calls that became new since the last take, oldest first (at most
    // OpenOptions::queueLimit are held; older ones stay in the file only).
    std::vector<StoredCall> TakeNewCalls();
    // The next plain-words message about the file, each kind of failure once.
    std::optional<StoreProblem> TakeProblem();
    // The next message that is no failure: records of the pending file
    // taken into the history.
    std::optional<std::string> TakeNotice();
    // A warning found on opening, said once per file in a program run: a
    // history other users can read, with the command that makes it private.
    // No failure: the history works as usual.
    std::optional<std::string> TakeWarning();

    // Kept records, the last received first (ties: the last kept first), as
    // the calls page lists them; since and until go by the box's date. When the file cannot be read (or the query's dates are no
    // dates) *problem says so in plain words (empty otherwise), and what was
    // read is returned; TakeProblem() hears of it too.
    std::vector<StoredCall> List(const ListQuery& query, std::string* problem = nullptr);
    // Number of calls kept (intact records).
    int64_t CountCalls();
    // Looks the file over for damage: quickly (each page and each table's
    // rows, as SQLite's quick_check does), or thoroughly (its indexes against
    // their tables too). Empty when sound; else up to `limit` findings in
    // SQLite's words.
    std::vector<std::string> Check(bool thorough, int limit = 10);
    // False when the file could not be opened even for reading.
    bool readable() const;

    // Publication bookkeeping, one target per broker and prefix (or command).
    // The first registration remembers the newest call kept so far: calls kept
    // before a target was first configured are never owed to it.
    void RegisterTarget(const std::string& target);
    std::vector<StoredCall> Unpublished(const std::string& target, size_t limit);  // oldest first
    void MarkPublished(const std::string& target, int64_t callId);

    // Intact calls with an id above `after`, oldest first, at most `limit`:
    // what a watcher sends again to a collector that asks for them.
    std::vector<StoredCall> CallsAfter(int64_t after, size_t limit);

    // Calls collected from other machines' watchers (serve --collect). A
    // call is kept once by (instance, sourceId): a copy already kept is
    // Known. Failed when the file cannot take it now (locked, read-only,
    // damaged; said through TakeProblem): keep it and try again.
    CollectResult Collect(const CollectedCall& call);
    // The mark the replay asks after: the highest source id up to which
    // every call of the instance was kept (pruned ones included) or is known
    // not to exist. A call kept beyond a gap does not move it. 0 for none.
    int64_t LastCollected(const std::string& instance);
    // A replay's answer said the instance has no call between the mark and
    // `through` other than those it sent: the mark moves up to it (and on
    // over the calls kept in a row after it). False, said through
    // TakeProblem, when the file cannot take it now.
    bool SettleCollected(const std::string& instance, int64_t through);

    // The contacts (contacts.h), by name, then number. *problem when the
    // file cannot be read; a history from before contacts has none.
    std::vector<Contact> Contacts(std::string* problem = nullptr);
    // Gives each call its caller's name from the contacts (List,
    // Unpublished and TakeNewCalls do it themselves); none when unknown.
    void NameCalls(std::vector<StoredCall>* calls);
    // Puts and removes contacts (remove: normalised numbers) in one
    // transaction, all or nothing. A file locked by another program is
    // waited for up to patienceMs; `waiting` is called once when it is not
    // free within a second. False with *problem in plain words when nothing
    // was changed (the file damaged, read-only or still locked).
    bool ChangeContacts(const std::vector<Contact>& put, const std::vector<std::string>& remove,
                        ContactChanges* changes, std::string* problem, const std::function<void()>& waiting = {},
                        int patienceMs = 30000);

    const std::string& path() const;

    struct Impl;
private:
    explicit CallHistory(std::unique_ptr<Impl> impl);
    bool WriteWaiting();
    std::unique_ptr<Impl> impl_;
};

}  // namespace dialscope::history

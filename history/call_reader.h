// The history as the web pages read it: a connection of its own that only
// reads, pages of calls from a cursor, one call by id, and the calls that
// came after a given one. Another process (the watcher) writes the file
// meanwhile; DataVersion() tells cheaply when it did.
//
// One CallReader belongs to one thread. Nothing here throws.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "history/call_history.h"

namespace dialscope::history {

// A place in the calls newest-received first: the last row of a page.
struct PageCursor {
    int64_t receivedAt = 0;
    int64_t id = 0;
};

struct PageQuery {
    ListQuery filter;                  // since, until, search, label, damaged, date order (its limit is unused)
    bool onlyDamaged = false;          // damaged records only (with filter.includeDamaged)
    std::optional<PageCursor> before;  // rows after this one in the order, i.e. older
    int64_t afterId = 0;               // only rows with a larger id (the calls that came since)
    size_t limit = 50;                 // 0: all
};

struct PageRow {
    StoredCall call;  // its name from the contacts too
    // Calls (intact records) with exactly this caller text; 0 when the
    // record has no text, -1 when not counted.
    int64_t sameText = 0;
};

struct CallPage {
    std::vector<PageRow> rows;         // newest received first
    std::optional<PageCursor> next;    // where the next page starts; none: this is the last
};

// Every call from one line (phone_number.h: SameLine), by the box's date.
struct CallerCalls {
    std::vector<PageRow> rows;  // newest received first, up to the limit asked
    int64_t total = 0;          // all of them
    std::optional<std::string> name;
    std::string firstDay, lastDay;  // "YYYY-MM-DD" of the box's date; empty when no call has one
    // Calls per month ("YYYY-MM") from the first call's month to the last's,
    // empty months included, oldest first; at most the last 24 months.
    std::vector<std::pair<std::string, int64_t>> months;
};

struct DownloadRow {
    int64_t id = 0;
    int64_t startedAt = 0, endedAt = 0;  // unix ms UTC; endedAt 0: it never ended
    std::string port, endedHow;          // endedHow empty: still running or cut off by the program's end
    int64_t records = 0, newCalls = 0;
};

// The state of the history at a glance, by the box's date of each call.
struct HistoryOverview {
    std::optional<DownloadRow> lastDownload;
    int64_t today = 0;     // calls of this day
    int64_t thisWeek = 0;  // calls since Monday
    // The last 30 days, oldest first: "YYYY-MM-DD" and its calls.
    std::vector<std::pair<std::string, int64_t>> days;
};

class CallReader {
public:
    // Opens an existing history for reading. Null and *problem in plain
    // words when it is missing, not a history, or of a newer version.
    static std::unique_ptr<CallReader> Open(const std::string& path, std::string* problem);
    ~CallReader();
    CallReader(const CallReader&) = delete;
    CallReader& operator=(const CallReader&) = delete;

    // A page; *problem says why when the file could not be read (or a date
    // of the filter is no date), and what was read is returned.
    CallPage Page(const PageQuery& query, std::string* problem);
    std::optional<PageRow> Get(int64_t id, std::string* problem);
    // A number that changes whenever another connection has written the
    // file; nullopt when it cannot be read.
    std::optional<int64_t> DataVersion();
    // The instances the calls came from, sorted; "" is this machine's own
    // box. Only "" (or none) when no call was collected from a watcher.
    std::vector<std::string> Instances();
    // The highest id kept (damaged records included); 0 for none.
    int64_t LastId();
    // Records with an id above `id`, oldest first, damaged ones included.
    std::vector<PageRow> After(int64_t id, size_t limit);

    // The contacts, by name, then number; none in a history from before them.
    std::vector<Contact> Contacts(std::string* problem);
    // The calls from the line of a normalised number (intact calls only).
    CallerCalls Caller(const std::string& number, DateOrder order, size_t limit, std::string* problem);
    // today: "YYYY-MM-DD" of this day where the box stands; weekday 0 for
    // Monday .. 6 for Sunday.
    HistoryOverview Overview(const std::string& today, int weekday, DateOrder order, std::string* problem);

private:
    struct Impl;
    explicit CallReader(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace dialscope::history

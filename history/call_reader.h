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
    StoredCall call;
    // Calls (intact records) with exactly this caller text; 0 when the
    // record has no text, -1 when not counted. The count by the caller's number comes with the
    // contacts, and the contact's name beside the text with them.
    int64_t sameText = 0;
};

struct CallPage {
    std::vector<PageRow> rows;         // newest received first
    std::optional<PageCursor> next;    // where the next page starts; none: this is the last
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
    // The highest id kept (damaged records included); 0 for none.
    int64_t LastId();
    // Records with an id above `id`, oldest first, damaged ones included.
    std::vector<PageRow> After(int64_t id, size_t limit);

private:
    struct Impl;
    explicit CallReader(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace dialscope::history

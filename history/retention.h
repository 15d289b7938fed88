// Removing old calls from the history for good: `history --prune` and the
// watcher's keep_days. The removed calls' text is gone from the file, its
// write-ahead log and the search index, not only unlinked: their pages are
// overwritten, the index entries deleted and the index merged, and the log
// folded back and emptied.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace dialscope::history {

struct PruneResult {
    int64_t calls = 0;           // intact records removed
    int64_t damagedRecords = 0;  // damaged records removed
    bool logKept = false;        // the write-ahead log could not be emptied (another program reading it)
};

// Removes every record received before beforeMs (unix ms UTC), its search
// text and index entries and its publication marks, and the downloads it
// leaves without records. False with *problem in plain words when the file
// cannot be written; nothing is removed then.
bool PruneHistory(const std::string& path, int64_t beforeMs, PruneResult* result, std::string* problem,
                  int busyTimeoutMs = 5000);

// 00:00 local time of YYYY-MM-DD, as unix ms; nullopt for no such date.
std::optional<int64_t> LocalMidnightMs(const std::string& date);

// The watcher's retention: calls received more than keepDays ago are
// removed at the first Tick and then once a day.
class Retention {
public:
    // nowMs: the clock (unix ms); empty: the system clock.
    Retention(std::string path, int keepDays, std::function<int64_t()> nowMs = {});
    // Call on the main loop's ticks, while no download runs. Returns the
    // line to say when calls were removed or removing failed.
    std::optional<std::string> Tick();

private:
    std::string path_;
    int keepDays_;
    std::function<int64_t()> now_;
    std::optional<int64_t> next_;  // when to prune next
    bool failureSaid_ = false;
};

}  // namespace dialscope::history

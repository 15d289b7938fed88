// The pending file: records the call history could not take before the
// program ended (the history locked beyond patience, damaged, read-only),
// kept beside it and taken in by the next program that can write it.
//
// One JSON object a line, the bytes of labels, texts and rendered records
// in hex, so that every byte the box sent comes back as it was. Lines are
// appended under an exclusive lock, and the file is made the user's alone
// (0600), as the history is. A line that cannot be read (cut by a crash
// while it was appended) is kept aside, never dropped.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "history/call_history.h"

namespace dialscope::history {

namespace files {
class LockedFile;
}

struct PendingRecord {
    int64_t downloadStarted = 0;  // unix ms; with port, which download it came in
    std::string port;
    std::string endedHow;         // how that download ended; empty: it had not
    int64_t receivedAt = 0;
    int occurrence = 0;           // the identity's copy number within its download
    CallRecord fields;
    std::string rendered;         // the bytes the program showed for it
};

// The pending file beside a history.
std::string PendingPath(const std::string& historyPath);

// Appends the records. False with *error (plain words, no path) when the
// file cannot be written.
bool AppendPending(const std::string& file, const std::vector<PendingRecord>& records, std::string* error);

// The pending file, locked against appends while its records are taken in.
class PendingTake {
public:
    // Null when there is no pending file (or it is empty); *error says why
    // one that exists cannot be read.
    static std::unique_ptr<PendingTake> Open(const std::string& file, std::string* error);
    ~PendingTake();
    PendingTake(const PendingTake&) = delete;
    PendingTake& operator=(const PendingTake&) = delete;

    const std::vector<PendingRecord>& records() const { return records_; }
    // Lines that could not be read; they are moved to `<file>-unreadable`
    // by Done().
    int unreadableLines() const { return unreadable_; }
    // The records are in the history: the file goes (its unreadable lines
    // kept aside). False with *error when it cannot be removed.
    bool Done(std::string* error);

private:
    PendingTake() = default;
    std::string file_;
    std::unique_ptr<files::LockedFile> locked_;
    std::vector<PendingRecord> records_;
    std::string unreadableBytes_;
    int unreadable_ = 0;
};

// Encoding of one record as its line (without the line end), and back; for
// the tests.
std::string PendingLine(const PendingRecord& record);
std::optional<PendingRecord> ParsePendingLine(const std::string& line);

}  // namespace dialscope::history

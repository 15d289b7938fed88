// Where the program keeps the calls it has seen beyond the window's log (the
// call history on Linux). Core hands it every download and record as they
// happen; it never holds up the protocol tick.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "record/call_record.h"
#include "record/download_end.h"

namespace dialscope {

// What the store has met: each face words it its own way (the words below
// are the store's own), and the console picks its exit status from it.
enum class StoreTrouble {
    ReadOnly,    // this user may not write it; calls wait in memory
    Full,        // the disk is full
    Locked,      // another program holds it longer than a moment
    Damaged,     // the file is damaged: never written again
    IoError,     // another failure to write
    Overflow,    // more calls wait than memory keeps
    Unreadable,  // what was asked cannot be read
    Pending,     // calls kept beside it cannot be taken in
    BadQuery,    // what was asked for makes no sense (a date that is none)
    Recovered,   // it is written again after one of the above
    Notice,      // something it did of its own accord, said once
};

struct StoreProblem {
    StoreTrouble kind;
    std::string words;  // plain words for the user, with what to do
};

class CallStore {
public:
    virtual ~CallStore() = default;
    virtual void DownloadStarted(const std::string& port) = 0;
    // A record the log has just shown, and the bytes it showed for it.
    virtual void RecordOutput(const CallRecord& record, std::string_view rendered) = 0;
    // The status line that sums the download up, or "" for none.
    virtual std::string DownloadEnded(DownloadEnd how) = 0;
    // Once per protocol tick: write what waits, within a few milliseconds.
    virtual void Tick() = 0;
    // The next thing to tell of the store, each kind once per episode.
    virtual std::optional<StoreProblem> TakeProblem() = 0;
};

}  // namespace dialscope

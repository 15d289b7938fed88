// Where the program keeps the calls it has seen beyond the window's log (the
// call history on Linux). Core hands it every download and record as they
// happen; it never holds up the protocol tick.
#pragma once

#include <optional>
#include <string>

#include "protocol/interfaces.h"
#include "protocol/record_fields.h"

namespace dialscope {

class CallStore {
public:
    virtual ~CallStore() = default;
    virtual void DownloadStarted(const std::string& port) = 0;
    virtual void RecordOutput(const RecordFields& record) = 0;
    // The status line that sums the download up, or "" for none.
    virtual std::string DownloadEnded(DownloadEnd how) = 0;
    // Once per protocol tick: write what waits, within a few milliseconds.
    virtual void Tick() = 0;
    // The next plain-words message about the store, each kind once.
    virtual std::optional<std::string> TakeProblem() = 0;
};

}  // namespace dialscope

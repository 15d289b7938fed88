// Saving what can still be read of a damaged history into a new file.
//
// The system's SQLite has no recovery of its own, so the rows are copied one
// by one: a table is read in id order, and where a damaged page stops the
// read, the next id that can be read again is looked for and the read goes on
// from there. The old file is only read (as it lies on the disk, never
// checkpointed), so it stays byte for byte as it was.
#pragma once

#include <cstdint>
#include <string>

namespace dialscope::history {

struct SalvageReport {
    int64_t calls = 0;           // intact records saved, each with its id
    int64_t damagedRecords = 0;  // records kept as damaged, saved too
    int64_t lostRecords = 0;     // records that could not be read, as far as their ids tell
    bool lostAtEnd = false;      // the last part of the records could not be read: how many is unknown
    int64_t downloads = 0;       // downloads saved
    int64_t lostDownloads = 0;   // downloads that could not be read
    bool marksLost = false;      // some of what was published (MQTT, commands) could not be read
    int64_t contacts = 0;        // contacts saved
    bool contactsLost = false;   // some contacts could not be read
    bool damageFound = false;    // a read stopped at damage somewhere: not everything may be saved
};

// Copies every readable record (with its id, received time, download and
// every column), download, publication target and mark of the history at
// oldPath into a new history at newPath, and builds its search index. False
// with *problem in plain words when the old file cannot be read at all, or
// the new one exists already or cannot be written; a new file left half
// written is removed.
bool Salvage(const std::string& oldPath, const std::string& newPath, SalvageReport* report, std::string* problem);

// What every message about a damaged history ends with: the commands that
// look the file over and save what it still holds.
std::string DamageAdvice(const std::string& path);

}  // namespace dialscope::history

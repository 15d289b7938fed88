// What a download must look like in the program's log, checks that hold for
// any download however it was disturbed. A disturbed download's log is
// judged in full by tests/support/damaged_log.h.
#pragma once

#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "protocol/protocol.h"
#include "tools/devsim.h"

namespace dialscope::e2e {

// The logs a download shows when it is cut off: its first k records, whole,
// for k = 0 .. all.
inline std::vector<std::string> WholeRecordPrefixes(const devsim::CallLog& log) {
    std::vector<std::string> prefixes{std::string()};
    for (size_t i = 0; i < log.records.size(); ++i)
        prefixes.push_back(prefixes.back() + devsim::RenderRecord(static_cast<int>(i) + 1, log.labels, log.records[i]));
    return prefixes;
}

// The first k records whole, and perhaps after them the text of the record
// the line was cut in, under the unknown header (its boundary frame never
// came).
inline bool IsWholeRecordPrefix(const std::string& shown, const devsim::CallLog& log) {
    const std::vector<std::string> prefixes = WholeRecordPrefixes(log);
    for (size_t k = 0; k < prefixes.size(); ++k) {
        const std::string& p = prefixes[k];
        if (p == shown) return true;
        const std::string cut = p + devsim::NumberField(static_cast<int>(k) + 1) + devsim::kUnknownHeader;
        const std::string mark = kDamagedTextLine;
        if (shown.compare(0, cut.size(), cut) == 0 && shown.size() >= cut.size() + mark.size() &&
            shown.compare(shown.size() - mark.size(), mark.size(), mark) == 0 &&
            shown.find(mark, cut.size()) == shown.size() - mark.size())
            return true;
    }
    return false;
}

// A record shown marked: its header line (or the header of "?" and "??" of
// a record whose boundary frame was lost: `i` < 0), the text that arrived,
// then the damaged-text line. Which text may stand there is for
// CheckDamagedLog and the protocol's own judge to say. Returns the
// bytes it takes at `pos`, or 0.
inline size_t MarkedRecordAt(const std::string& shown, size_t pos, int number, const devsim::CallLog& log, int i) {
    std::string header;
    if (i >= 0) {
        const std::string whole = devsim::RenderRecord(number, log.labels, log.records[static_cast<size_t>(i)]);
        header = whole.substr(0, whole.find("\r\n") + 2);
        // Its own date under unknown labels: the download's first frame
        // was lost.
        if (shown.compare(pos, header.size(), header) != 0) header.replace(header.find(". ") + 2, 8, "????????");
    } else {
        header = devsim::NumberField(number) + devsim::kUnknownHeader;
    }
    if (shown.compare(pos, header.size(), header) != 0) return 0;
    const size_t mark = shown.find(kDamagedTextLine, pos + header.size());
    if (mark == std::string::npos) return 0;
    return mark + std::string(kDamagedTextLine).size() - pos;
}

// Every record in `shown` is one of the device's records exactly, or that
// record marked, or text under an unknown header (MarkedRecordAt). Numbers run 1, 2, 3 ... and start at 1
// again only with a new download; within a download the device's records
// appear in order (records may be missing, none repeats). Returns an empty
// string, or where and how the log breaks the rule.
inline std::string CheckWholeRecords(const std::string& shown, const devsim::CallLog& log,
                                     int* damaged = nullptr) {
    size_t pos = 0;
    int number = 0;     // last number shown
    int index = -1;     // device index of the last record shown
    int marked = 0;
    while (pos < shown.size()) {
        bool found = false;
        std::vector<int> candidates{number + 1};
        if (number + 1 != 1) candidates.push_back(1);  // a new download
        for (int next : candidates) {
            const int from = next == 1 ? 0 : index + 1;
            for (int i = from; i < static_cast<int>(log.records.size()) && !found; ++i) {
                const auto& r = log.records[static_cast<size_t>(i)];
                const std::string whole = devsim::RenderRecord(next, log.labels, r);
                if (shown.compare(pos, whole.size(), whole) == 0 &&
                    shown.compare(pos + whole.size(), std::string(kDamagedTextLine).size(), kDamagedTextLine) != 0) {
                    pos += whole.size();
                } else if (size_t n = MarkedRecordAt(shown, pos, next, log, i)) {
                    pos += n;
                    ++marked;
                } else {
                    continue;
                }
                number = next;
                index = i;
                found = true;
            }
            if (!found) {
                // Text whose boundary frame was lost: which record it was
                // is not known.
                if (size_t n = MarkedRecordAt(shown, pos, next, log, -1)) {
                    pos += n;
                    ++marked;
                    number = next;
                    found = true;
                }
            }
            if (found) break;
        }
        if (!found) {
            std::ostringstream o;
            o << "no record of the device matches the log at byte " << pos << " (after record number " << number
              << "): \"" << shown.substr(pos, 80) << "\"";
            return o.str();
        }
    }
    if (damaged) *damaged = marked;
    return {};
}

}  // namespace dialscope::e2e

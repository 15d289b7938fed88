// What a download must look like in the program's log, checks that hold for
// any download however it was disturbed. What the program shows exactly for
// a disturbed download is the simulator's prediction (devsim::Prediction).
#pragma once

#include <cstdint>
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

inline bool IsWholeRecordPrefix(const std::string& shown, const devsim::CallLog& log) {
    for (const auto& p : WholeRecordPrefixes(log))
        if (p == shown) return true;
    return false;
}

// A record shown marked: its header line, the text that arrived (none, or
// one line that begins as the record's own text line, or as the text line of
// the record before it when that one lost its boundary frame), then the
// damaged-text line. Returns the bytes it takes at `pos`, or 0.
inline size_t MarkedRecordAt(const std::string& shown, size_t pos, int number, const devsim::CallLog& log, int i) {
    const std::string whole = devsim::RenderRecord(number, log.labels, log.records[static_cast<size_t>(i)]);
    const size_t header = whole.find("\r\n") + 2;
    if (shown.compare(pos, header, whole, 0, header) != 0) return 0;
    const size_t mark = shown.find(kDamagedTextLine, pos + header);
    if (mark == std::string::npos) return 0;
    const std::string text = shown.substr(pos + header, mark - pos - header);
    auto beginsLineOf = [&](int k) {
        if (k < 0) return false;
        const std::string w = devsim::RenderRecord(1, log.labels, log.records[static_cast<size_t>(k)]);
        const std::string line = w.substr(w.find("\r\n") + 2);
        return text.size() >= 8 && text.compare(text.size() - 2, 2, "\r\n") == 0 &&
               line.compare(0, text.size() - 2, text, 0, text.size() - 2) == 0;
    };
    if (!text.empty() && !beginsLineOf(i) && !beginsLineOf(i - 1)) return 0;
    return mark + std::string(kDamagedTextLine).size() - pos;
}

// Every record in `shown` is one of the device's records exactly, or that
// record marked (MarkedRecordAt). Numbers run 1, 2, 3 ... and start at 1
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

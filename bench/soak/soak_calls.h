// What both soaks make up and count: a call the box has not had before, and
// the history's identity of a call shown.
#pragma once

#include <cstdint>
#include <string>

#include <map>
#include <vector>

#include "tests/support/damaged_log.h"
#include "tools/devsim.h"

namespace dialscope::soak {

// Any label and letter, date and time fields of two digits, texts of every
// byte value (the framing bytes, XON and XOFF, zero bytes), tone-only now
// and then.
inline devsim::CallRecord NewCall(devsim::Rng& rng) {
    devsim::CallRecord r;
    r.label = static_cast<uint8_t>(rng.Below(8));
    r.letter = static_cast<uint8_t>(rng.Below(4));
    for (auto& b : r.date) b = static_cast<uint8_t>(rng.Below(100));
    for (auto& b : r.time) b = static_cast<uint8_t>(rng.Below(100));
    if (rng.Below(6) != 0) {
        const uint32_t n = rng.Between(1, 160);
        static const uint8_t kOdd[] = {0x7E, 0x00, 0x11, 0x13, 0x0D, 0x0A, 'P', 0xFF};
        for (uint32_t i = 0; i < n; ++i)
            r.text += static_cast<char>(rng.Below(5) == 0 ? kOdd[rng.Below(sizeof kOdd)] : rng.Between(0x20, 0xFE));
    }
    return r;
}

// The history's identity of a call: label bytes, letter, the five date and
// time bytes, tone-only, text, and which copy of it in its download.
inline std::string CallKey(const devsim::Label& label, const devsim::CallRecord& r, int occurrence) {
    std::string key(label.begin(), label.end());
    key += static_cast<char>(r.letter);
    for (uint8_t b : r.date) key += static_cast<char>(b);
    for (uint8_t b : r.time) key += static_cast<char>(b);
    key += r.text.empty() ? '\0' : '\1';
    key += r.text;
    key += '\0' + std::to_string(occurrence);
    return key;
}

// The calls of one download a history must keep, and those it may keep.
// Every record sent may be shown exactly; one that reached the program
// untouched must be, and so must every record of a download asked for again
// when the box sends it on a clean line (askedAgain; noise between frames
// goes into every download, and marks the records it falls among).
struct DownloadCalls {
    std::vector<std::string> must, may;
};
inline DownloadCalls CallsOf(const devsim::CallLog& log, const devsim::DownloadSetup& setup, bool askedAgain) {
    DownloadCalls out;
    const std::vector<bool> untouched =
        testing::UntouchedRecords(setup.frames, testing::ArrivalOf(setup.frames, setup.firstPlan));
    std::map<std::string, int> occurrences;
    for (size_t r = 0; r < log.records.size(); ++r) {
        const devsim::CallRecord& c = log.records[r];
        const devsim::Label& label = log.labels[c.label & 7];
        const std::string key = CallKey(label, c, occurrences[CallKey(label, c, 0)]++);
        out.may.push_back(key);
        if (askedAgain || (r < untouched.size() && untouched[r])) out.must.push_back(key);
    }
    return out;
}

}  // namespace dialscope::soak

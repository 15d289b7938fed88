// What a download must look like in the program's log: the program's rules
// for a disturbed download replayed frame by frame, and checks that hold for
// any download however it was disturbed.
//
// Rules (those of the download dialogue): a frame with a bad checksum is
// dropped; while downloading, a dropped data frame marks its record, which is
// then shown with kDamagedTextMarker in place of its text, and a dropped
// boundary frame loses its record (a kRecordLostLine status line, the text
// collected so far dropped, the number not used up). A data frame out of turn
// also marks the record; the third in a row gives the record up and polls
// with 'D', which the device answers, after the download it is sending, with
// a clean one. A record left begun when the line goes silent is given up the
// same way. Records are numbered from 1 in every download.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "protocol/protocol.h"
#include "tools/devsim.h"

namespace dialscope::e2e {

struct Expected {
    std::string log;
    bool readOk = false;       // "Message read OK." appears
    int recordsLost = 0;       // kRecordLostLine status lines
    int recordsShown = 0;
    int damagedShown = 0;      // records shown with the damaged-text marker
    int downloads = 1;         // downloads the program takes in
};

// The rendering of one record with the marker in place of its text.
inline std::string RenderDamaged(int number, const devsim::LabelSet& labels, const devsim::CallRecord& record) {
    return devsim::RenderRecord(number, labels, record, true, kDamagedTextMarker);
}

class ProgramRules {
public:
    void Frame(uint8_t command, const std::vector<uint8_t>& payload, bool crcGood) {
        if (ended_) return;
        if (state_ == 1) {
            if (crcGood && command == 'D') {
                labels_ = {};
                for (size_t i = 8; i < payload.size() && i < devsim::kHeaderPayload; ++i)
                    labels_[(i - 8) / 8][(i - 8) % 8] = payload[i];
                Clear();
                number_ = 0;
                state_ = 2;
            }
            return;
        }
        const bool data = command >= 0x50 && command <= 0x5F;
        if (!crcGood) {
            if (data) {
                damaged_ = true;
            } else if (command == 'B') {
                ++out_.recordsLost;
                Clear();
            }
            return;
        }
        if (data) {
            if (!begun_) expected_ = 'P';
            if (command == expected_) {
                misses_ = 0;
                begun_ = true;
                for (uint8_t b : payload)
                    if (text_.size() < devsim::kMaxShownText) text_ += static_cast<char>(b);
                expected_ = expected_ == '^' ? 'P' : expected_ + 1;
            } else {
                damaged_ = true;
                if (++misses_ == 3) {
                    misses_ = 0;
                    Restart();
                }
            }
        } else if (command == 'B' && !payload.empty()) {
            std::vector<uint8_t> p = payload;
            p.resize(6, 0);
            devsim::CallRecord r;
            r.label = p[0] & 7;
            r.letter = (p[0] >> 4) & 3;
            r.date = {p[1], p[2], p[3]};
            r.time = {p[4], p[5]};
            ++number_;
            if (damaged_) {
                out_.log += RenderDamaged(number_, labels_, r);
                ++out_.damagedShown;
            } else {
                out_.log += devsim::RenderRecord(number_, labels_, r, begun_, text_);
            }
            ++out_.recordsShown;
            Clear();
        } else if (command == 'E') {
            ended_ = true;
            out_.readOk = true;
        }
    }

    // A silence the program's clock sees as longer than its 4 s time-out.
    void LongSilence() {
        if (!ended_ && state_ == 2 && begun_) Restart();
    }

    int state() const { return state_; }
    bool ended() const { return ended_; }
    bool polledAgain() const { return polledAgain_; }
    Expected& out() { return out_; }

private:
    void Clear() {
        begun_ = false;
        damaged_ = false;
        text_.clear();
    }
    void Restart() {
        Clear();
        state_ = 1;
        polledAgain_ = true;
    }

    int state_ = 1;
    bool begun_ = false, damaged_ = false, ended_ = false, polledAgain_ = false;
    std::string text_;
    uint8_t expected_ = 'P';
    int misses_ = 0;
    int number_ = 0;
    devsim::LabelSet labels_{};
    Expected out_;
};

// The log the program shows for the simulator's first download as planned,
// and for the clean download the device sends when the program asks again.
// Every silence in the plan counts as a long one: the driver's ticks run on
// while the device keeps it.
inline Expected ExpectProgramLog(const devsim::DownloadSetup& setup) {
    ProgramRules rules;
    for (const devsim::WireItem& item : setup.firstPlan.items) {
        if (item.kind == devsim::WireItem::Kind::kHangUp) return rules.out();
        if (item.kind == devsim::WireItem::Kind::kPause) {
            rules.LongSilence();
            continue;
        }
        if (item.frame < 0 || !item.whole) continue;
        rules.Frame(item.command, setup.frames[static_cast<size_t>(item.frame)].frame.payload, item.crcGood);
    }
    rules.LongSilence();
    if (!rules.ended() && rules.state() == 1) {
        rules.out().downloads = 2;
        for (const devsim::DownloadFrame& f : setup.frames) rules.Frame(f.frame.command, f.frame.payload, true);
    }
    return rules.out();
}

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

// Every record in `shown` is one of the device's records exactly, or that
// record's header with the damaged-text marker. Numbers run 1, 2, 3 ... and
// start at 1 again only with a new download; within a download the device's
// records appear in order (records may be missing, none repeats). Returns an
// empty string, or where and how the log breaks the rule.
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
                const std::string marker = RenderDamaged(next, log.labels, r);
                if (shown.compare(pos, whole.size(), whole) == 0) {
                    pos += whole.size();
                } else if (shown.compare(pos, marker.size(), marker) == 0) {
                    pos += marker.size();
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

// A judge of the log the program shows for a download the simulator spoiled
// (noise, frames with a bad checksum or a wrong letter, a silence, a hang-up).
// It knows what the box sent and what reached the program intact, nothing of
// how the program deals with damage, and checks what a user relies on:
//  - every record whose frames all arrived intact, with nothing spoiled just
//    before it, is shown exactly as a clean download renders it;
//  - a record shown unmarked is one the box sent, exactly;
//  - a record shown marked damaged holds only text that arrived, under its
//    own header, the unknown one, or its own date under unknown labels (the
//    download's first frame, with the labels, was lost);
//  - numbers run 1, 2, 3 ...; the box's records keep their order;
//  - no text that arrived intact is lost (unless the program gave the
//    download up and asked again, when the second download is shown whole).
#pragma once

#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "tools/devsim_log.h"
#include "tools/devsim_wire.h"

namespace dialscope::testing {

inline constexpr const char* kMarkLine = "      (text damaged in transfer)\r\n";
inline constexpr const char* kUnknownHeaderLine = "????????? ?\?/?\?/?? ??:??\r\n";

// What of a first download reached the program.
struct Arrival {
    std::vector<bool> received;  // per frame: sent whole with its checksum right
    std::vector<bool> intact;    // per frame: received, with its own letter
    std::vector<bool> touched;   // per frame: not intact, or noise (what is left of a lost frame?), or a pause, before it
};

inline Arrival ArrivalOf(const std::vector<devsim::DownloadFrame>& frames, const devsim::WirePlan& plan) {
    Arrival a;
    a.received.assign(frames.size(), false);
    a.intact.assign(frames.size(), false);
    a.touched.assign(frames.size(), true);
    bool disturbed = false;   // something since the last frame
    for (const devsim::WireItem& item : plan.items) {
        if (item.kind == devsim::WireItem::Kind::kHangUp) break;
        if (item.kind == devsim::WireItem::Kind::kPause) {
            disturbed = true;
            continue;
        }
        if (item.frame < 0) {
            disturbed = disturbed || !item.bytes.empty();   // a frame that lost bytes leaves as few as one
            continue;
        }
        const size_t f = static_cast<size_t>(item.frame);
        a.received[f] = item.whole && item.crcGood;
        a.intact[f] = a.received[f] && item.command == frames[f].frame.command;
        a.touched[f] = !a.intact[f] || disturbed;
        disturbed = false;
    }
    return a;
}

// Per record of the log: it reached the program untouched, the frame before
// it too (a record the program must show exactly).
inline std::vector<bool> UntouchedRecords(const std::vector<devsim::DownloadFrame>& frames, const Arrival& a) {
    std::vector<bool> out;
    size_t before = 0;
    while (before + 1 < frames.size() && frames[before + 1].record >= 0) {
        size_t boundary = before + 1;
        while (boundary < frames.size() && frames[boundary].dataIndex >= 0) ++boundary;
        bool untouched = a.intact[before] && boundary < frames.size();
        for (size_t f = before + 1; f <= boundary && f < frames.size(); ++f) untouched = untouched && !a.touched[f];
        out.push_back(untouched);
        before = boundary;
    }
    return out;
}

inline std::string Shown(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size() && i < devsim::kMaxShownText; ++i) out += text[i] == 0 ? ' ' : text[i];
    return out;
}

// Returns "" or what is wrong. `downloads` is how many downloads the box
// began: two when the program gave the first up and asked again.
inline std::string CheckDamagedLog(const std::string& shown, const devsim::CallLog& log,
                                   const std::vector<devsim::DownloadFrame>& frames, const devsim::WirePlan& plan,
                                   int downloads) {
    const Arrival a = ArrivalOf(frames, plan);
    std::string first = shown;
    if (downloads >= 2) {
        const std::string clean = devsim::RenderDownload(log);
        if (shown.size() < clean.size() || shown.compare(shown.size() - clean.size(), clean.size(), clean) != 0)
            return "the download asked for again is not shown whole and exact at the end of the log";
        first.resize(shown.size() - clean.size());
    }
    const bool exact = downloads == 1;   // the first download is all there is

    // The text that arrived, frame by frame, as the log shows it.
    std::vector<std::string> arrived;
    for (size_t f = 0; f < frames.size(); ++f)
        if (frames[f].dataIndex >= 0 && a.received[f])
            arrived.push_back(Shown(std::string(frames[f].frame.payload.begin(), frames[f].frame.payload.end())));
    size_t cursor = 0;
    // Takes `text` from the arrived frames in order; skipping one only when
    // the first download was given up.
    auto consume = [&](std::string text) {
        while (!text.empty()) {
            if (cursor == arrived.size()) return false;
            const std::string& p = arrived[cursor];
            if (text.compare(0, p.size(), p) == 0) {
                text.erase(0, p.size());
                ++cursor;
            } else if (!exact) {
                ++cursor;
            } else {
                return false;
            }
        }
        return true;
    };
    auto at = [&](size_t pos, const std::string& s) { return first.compare(pos, s.size(), s) == 0; };
    const std::string mark = kMarkLine;

    size_t pos = 0;
    int number = 0, last = -1;
    std::set<int> exactShown;
    while (pos < first.size()) {
        const int next = number + 1;
        const std::string head = devsim::NumberField(next);
        bool found = false;
        // One of the box's records exactly, unmarked.
        for (int i = last + 1; i < static_cast<int>(log.records.size()) && !found; ++i) {
            const devsim::CallRecord& r = log.records[static_cast<size_t>(i)];
            const std::string whole = devsim::RenderRecord(next, log.labels, r);
            if (!at(pos, whole) || at(pos + whole.size(), mark)) continue;
            if (!consume(Shown(r.text)))
                return "record " + std::to_string(next) + " is shown unmarked with text that did not arrive";
            pos += whole.size();
            exactShown.insert(i);
            last = i;
            found = true;
        }
        // A record marked damaged: its own header or the unknown one, then
        // text that arrived, or no text line at all under a known header.
        for (int i = last + 1; i <= static_cast<int>(log.records.size()) && !found; ++i) {
            const bool known = i < static_cast<int>(log.records.size());
            std::string header = head + kUnknownHeaderLine;
            if (known) {
                const std::string whole = devsim::RenderRecord(next, log.labels, log.records[static_cast<size_t>(i)]);
                header = whole.substr(0, whole.find("\r\n") + 2);
                if (!at(pos, header)) header.replace(header.find(". ") + 2, 8, "????????");
            }
            if (!at(pos, header)) continue;
            const size_t end = first.find(mark, pos + header.size());
            if (end == std::string::npos) continue;
            const std::string body = first.substr(pos + header.size(), end - pos - header.size());
            std::string text;
            if (body.size() >= 8 && body.compare(0, 6, "      ") == 0 && body.compare(body.size() - 2, 2, "\r\n") == 0)
                text = body.substr(6, body.size() - 8);
            else if (!body.empty() || !known)
                continue;
            if (!consume(text))
                return "record " + std::to_string(next) + " is shown marked with text that did not arrive (or out of order)";
            pos = end + mark.size();
            if (known) last = i;
            found = true;
        }
        if (!found) {
            return "no record the box sent, nor one marked damaged, matches the log at byte " + std::to_string(pos) +
                   " (after number " + std::to_string(number) + "): \"" + first.substr(pos, 80) + "\"";
        }
        number = next;
    }
    if (!exact) return {};
    if (cursor != arrived.size())
        return "text of " + std::to_string(arrived.size() - cursor) + " data frames that arrived intact is not shown";
    // Records that reached the program untouched, the frame before them too.
    const std::vector<bool> untouched = UntouchedRecords(frames, a);
    for (size_t r = 0; r < untouched.size(); ++r)
        if (untouched[r] && !exactShown.count(static_cast<int>(r)))
            return "record " + std::to_string(r + 1) + " of the box arrived intact but is not shown exactly";
    return {};
}

}  // namespace dialscope::testing

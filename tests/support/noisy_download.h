// A download as the box sends it, spoiled on the way, and a judge of what the
// program made of it. The judge knows nothing of the program's rules for
// damage: only what was sent, what the line did to it, and what a user must
// be able to rely on afterwards:
//  - every byte of text from a data frame that arrived intact is shown, in
//    order, and no other text is;
//  - every record with nothing spoiled or inserted from the frame before it
//    to its boundary frame is shown exactly, unmarked;
//  - a record shown unmarked under a known header is a record the box sent,
//    exactly (no silent merge, no text under another call's header);
//  - every record is rendered as the log format says, whatever it shows;
//  - one spoiled frame never makes the program give the download up.
// Used by the protocol's property test (thousands of seeds) and by a fuzz
// target (the log and the spoils taken from the fuzzer's bytes).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <functional>
#include <string>
#include <vector>

#include "protocol/crc.h"
#include "protocol/protocol.h"
#include "tests/support/frames.h"
#include "tools/devsim_log.h"

namespace dialscope::testing {

struct NoisyDownload {
    struct Record {
        devsim::CallRecord call;          // text = the pieces joined
        std::vector<Bytes> pieces;        // one per data frame, as sent
    };
    struct SentFrame {
        Bytes bytes;
        int record = -1;                  // -1: the header or the end frame
        int piece = -1;                   // the data frame's piece; -1: not a data frame
    };
    struct Spoil {
        int frame;
        int at;                           // byte of the frame's wire bytes
        uint8_t flip;                     // XORed in, never 0
    };
    devsim::LabelSet labels{};
    std::vector<Record> records;
    std::vector<SentFrame> frames;
    std::vector<Spoil> spoils;
    std::vector<Bytes> noiseBefore;       // bytes put on the line in front of frame i
    std::vector<size_t> chunks;           // how the line reaches the program, tick by tick

    // Frame i as it went on the line (two spoils of one byte may undo each other).
    Bytes Sent(int i) const {
        Bytes f = frames[i].bytes;
        for (const Spoil& s : spoils)
            if (s.frame == i) f[s.at] = static_cast<char>(f[s.at] ^ s.flip);
        return f;
    }
    // What byte `at` of frame i was XORed with in the end.
    uint8_t NetFlip(int i, int at) const {
        uint8_t x = 0;
        for (const Spoil& s : spoils)
            if (s.frame == i && s.at == at) x ^= s.flip;
        return x;
    }
    // Frame i's content (command to CRC) was changed.
    bool ContentSpoiled(int i) const {
        for (const Spoil& s : spoils)
            if (s.frame == i && s.at >= 2 && NetFlip(i, s.at) != 0) return true;
        return false;
    }
    int SyncSpoils(int i) const { return (NetFlip(i, 0) != 0) + (NetFlip(i, 1) != 0); }
    bool Touched(int i) const { return ContentSpoiled(i) || SyncSpoils(i) > 0 || !noiseBefore[i].empty(); }
    // Arrives intact: its content is untouched and at most one sync byte
    // is damaged (its checksum still vouches for it).
    bool Intact(int i) const { return !ContentSpoiled(i) && SyncSpoils(i) <= 1; }
    // Its content is untouched but both sync bytes are damaged: the
    // program may find it or not.
    bool MayArrive(int i) const { return !ContentSpoiled(i) && SyncSpoils(i) == 2; }
    int Disturbances() const {
        int n = 0;
        for (size_t i = 0; i < frames.size(); ++i)
            n += (ContentSpoiled(static_cast<int>(i)) || SyncSpoils(static_cast<int>(i)) > 0) + !noiseBefore[i].empty();
        return n;
    }

    Bytes Line() const {
        Bytes line;
        for (size_t i = 0; i < frames.size(); ++i) line += noiseBefore[i] + Sent(static_cast<int>(i));
        return line;
    }
    Bytes Clean() const {
        Bytes line;
        for (const SentFrame& f : frames) line += f.bytes;
        return line;
    }
};

// Draws a download. `below(n)` gives a number in [0, n); `filler`, when
// given, draws the payload bytes, the noise bytes and the chunks instead (a
// fuzz target takes the structure from its input and the bulk from a
// generator). Records of 0 to 30 data frames (exactly 15, 16 and 30 among
// them), payloads of every length up to 76 and every byte value with runs of
// 7E, one to three spoiled frames of every kind (sync, command, length,
// payload and checksum bytes, sometimes two spoils in one frame), noise
// between frames now and then.
template <class Below, class Filler>
NoisyDownload DrawNoisyDownload(Below&& below, Filler&& filler) {
    NoisyDownload d;
    static const char* const kNames[] = {"HOME", "OFFICE", "FAX", "\x7E\x7E\x42", "", "LINE 6", "7", "EIGHT888"};
    for (int k = 0; k < 8; ++k)
        for (size_t i = 0; kNames[k][i] && i < 8; ++i) d.labels[k][i] = static_cast<uint8_t>(kNames[k][i]);
    auto byte = [&] {
        // A third of the bytes are 7E, zero or a command letter: the
        // sync byte inside text, and frame starts that are no frames.
        switch (filler(9)) {
        case 0: return uint8_t{0x7E};
        case 1: return uint8_t{0};
        case 2: return static_cast<uint8_t>("01BDEPQ^_"[filler(9)]);
        default: return static_cast<uint8_t>(filler(256));
        }
    };
    static const int kFrameCounts[] = {0, 1, 2, 15, 16, 30, 14, 17};
    const int recordCount = 1 + static_cast<int>(below(6));
    for (int r = 0; r < recordCount; ++r) {
        NoisyDownload::Record rec;
        rec.call.label = static_cast<uint8_t>(below(8));
        rec.call.letter = static_cast<uint8_t>(below(4));
        for (auto& v : rec.call.date) v = static_cast<uint8_t>(below(100));
        for (auto& v : rec.call.time) v = static_cast<uint8_t>(below(100));
        const int n = below(2) ? kFrameCounts[below(8)] : static_cast<int>(below(31));
        for (int p = 0; p < n; ++p) {
            const uint32_t len = below(3) == 0 ? below(77) : (below(2) ? 76 : 1 + below(12));
            Bytes piece(len, '\0');
            for (char& c : piece) c = static_cast<char>(byte());
            rec.call.text += piece;
            rec.pieces.push_back(std::move(piece));
        }
        d.records.push_back(std::move(rec));
    }

    Bytes header(72, '\0');
    for (int k = 0; k < 8; ++k)
        for (int i = 0; i < 8; ++i) header[8 + 8 * k + i] = static_cast<char>(d.labels[k][i]);
    d.frames.push_back({Frame('D', header)});
    for (int r = 0; r < recordCount; ++r) {
        const auto& rec = d.records[r];
        for (size_t p = 0; p < rec.pieces.size(); ++p)
            d.frames.push_back({Frame(static_cast<uint8_t>('P' + p % 15), rec.pieces[p]), r, static_cast<int>(p)});
        d.frames.push_back({BoundaryFrame(rec.call.label, rec.call.letter, rec.call.date[0], rec.call.date[1],
                                          rec.call.date[2], rec.call.time[0], rec.call.time[1]),
                            r});
    }
    d.frames.push_back({Frame('E')});

    const int frameCount = static_cast<int>(d.frames.size());
    d.noiseBefore.assign(frameCount, Bytes());
    const int spoiled = static_cast<int>(below(4));  // 0 to 3 frames
    for (int s = 0; s < spoiled; ++s) {
        const int f = static_cast<int>(below(frameCount));
        const int size = static_cast<int>(d.frames[f].bytes.size());
        const int spoilsHere = below(4) == 0 ? 2 : 1;
        for (int k = 0; k < spoilsHere; ++k) {
            int at;
            switch (below(5)) {
            case 0: at = static_cast<int>(below(2)); break;           // a sync byte
            case 1: at = 2; break;                                    // the command
            case 2: at = 3; break;                                    // the length
            case 3: at = size - 1 - static_cast<int>(below(2)); break; // the checksum
            default: at = size > 6 ? 4 + static_cast<int>(below(size - 6)) : 3; break;  // the payload
            }
            d.spoils.push_back({f, at, static_cast<uint8_t>(1 + below(255))});
        }
    }
    const int noisy = below(3) == 0 ? static_cast<int>(below(3)) : 0;
    for (int k = 0; k < noisy; ++k) {
        Bytes& noise = d.noiseBefore[1 + below(frameCount - 1)];
        const uint32_t len = 1 + below(12);
        for (uint32_t i = 0; i < len; ++i) noise += static_cast<char>(byte());
    }
    for (size_t sent = 0, total = d.Line().size(); sent < total;) {
        const size_t n = 1 + filler(600);
        d.chunks.push_back(n);
        sent += n;
    }
    return d;
}

template <class Below>
NoisyDownload DrawNoisyDownload(Below&& below) {
    return DrawNoisyDownload(below, below);
}

// Whether the spoiled line holds a frame that passes its checksum where the
// box sent none (noise or a spoil that happens to make one, about one in
// 65536): a line no receiver could tell from the box's own, so not a fair
// test of one.
inline bool HasPhantomFrame(const NoisyDownload& d) {
    const Bytes line = d.Line();
    std::vector<bool> real(line.size(), false);
    for (size_t i = 0, at = 0; i < d.frames.size(); ++i) {
        at += d.noiseBefore[i].size();
        if (!d.ContentSpoiled(static_cast<int>(i))) real[at + 2] = true;
        at += d.frames[i].bytes.size();
    }
    for (size_t p = 0; p + 3 < line.size(); ++p) {
        const uint8_t cmd = static_cast<uint8_t>(line[p]), len = static_cast<uint8_t>(line[p + 1]);
        const bool accepted = cmd == '0' || cmd == '1' || cmd == 'B' || cmd == 'D' || cmd == 'E' ||
                              (cmd >= 0x50 && cmd <= 0x5F);
        if (!accepted || len > 76 || p + 3 + len >= line.size() || real[p]) continue;
        const uint16_t crc = CrcBuffer(0, reinterpret_cast<const uint8_t*>(line.data() + p), 2 + len);
        if (static_cast<uint8_t>(line[p + 2 + len]) == (crc >> 8) &&
            static_cast<uint8_t>(line[p + 3 + len]) == (crc & 0xFF))
            return true;
    }
    return false;
}

// What the program showed, record by record, as it handed each one out.
struct ShownRecord {
    bool headerKnown = true;
    devsim::CallRecord call;              // label index, letter, date, time, text
    devsim::Label label{};
    bool hasText = false;
    bool damaged = false;
    Bytes rendered;
};

class RecordingWindow : public FakeWindow {
public:
    void RecordOutput(const CallRecord& r, std::string_view rendered) override {
        ShownRecord s;
        s.headerKnown = r.headerKnown;
        s.call.label = r.labelIndex;
        s.call.letter = r.letterCode;
        for (int i = 0; i < 3; ++i) s.call.date[i] = static_cast<uint8_t>(r.dateTime[i]);
        for (int i = 0; i < 2; ++i) s.call.time[i] = static_cast<uint8_t>(r.dateTime[3 + i]);
        s.call.text = r.text;
        s.label = r.label;
        s.hasText = r.hasText;
        s.damaged = r.damaged;
        s.rendered = rendered;
        shown.push_back(std::move(s));
    }
    std::vector<ShownRecord> shown;
};

struct NoisyOutcome {
    std::vector<ShownRecord> shown;       // all of them; the first `firstAttempt` before the program asked again
    size_t firstAttempt = 0;
    bool askedAgain = false;              // it polled during or after the spoiled download
    Bytes log;
    std::vector<std::string> status;
};

// The spoiled line reaches the program tick by tick; then every time-out
// runs out. When the program asks again (it polled), the box sends its whole
// memory once more, undamaged, as it would.
inline NoisyOutcome RunNoisyDownload(const NoisyDownload& d) {
    struct Harness {
        FakeLine line;
        RecordingWindow window;
        FakeSerial serial;
        Protocol protocol{line, window, serial};
    };
    auto owned = std::make_unique<Harness>();
    Harness& h = *owned;
    h.window.recording = true;
    h.protocol.BeginPolling();
    h.serial.portOpen = true;
    auto feed = [&](const Bytes& bytes) {
        h.line.Receive(bytes);
        h.protocol.ComTick();
    };
    const Bytes line = d.Line();
    size_t at = 0;
    for (size_t n : d.chunks) {
        feed(line.substr(at, n));
        at += n;
    }
    for (int i = 0; i < 2 * kIdleTicksLimit + 1; ++i) h.protocol.ComTick();
    NoisyOutcome out;
    out.firstAttempt = h.window.shown.size();
    out.askedAgain = !h.serial.frames.empty();
    if (out.askedAgain) {
        h.serial.portOpen = true;
        feed(d.Clean().substr(0, 2000));
        if (d.Clean().size() > 2000) {
            const Bytes rest = d.Clean().substr(2000);
            for (size_t k = 0; k < rest.size(); k += 2000) feed(rest.substr(k, 2000));
        }
        for (int i = 0; i < 2 * kIdleTicksLimit + 1; ++i) h.protocol.ComTick();
    }
    out.shown = std::move(h.window.shown);
    out.log = h.window.log.Bytes();
    out.status = h.window.status;
    return out;
}

// The log bytes of a record as the format gives them.
inline Bytes RenderShown(const ShownRecord& s, int number, const devsim::LabelSet& labels) {
    static const Bytes kMark = "      (text damaged in transfer)\r\n";
    Bytes out;
    if (!s.headerKnown) {
        char head[16];
        std::snprintf(head, sizeof head, "%2d. ", number);
        out = Bytes(head) + "????????? ?\?/?\?/?? ??:??\r\n      ";
        for (char c : s.call.text) out += c == 0 ? ' ' : c;
        return out + "\r\n" + kMark;
    }
    out = devsim::RenderRecord(number, labels, s.call, s.hasText || s.damaged, s.call.text);
    if (s.damaged && !s.hasText) out.resize(out.size() - 8);  // the header line alone
    return s.damaged ? out + kMark : out;
}

// Returns what is wrong, or "" when the outcome holds to every promise.
inline std::string JudgeNoisyDownload(const NoisyDownload& d, const NoisyOutcome& out) {
    auto fail = [](const std::string& what) { return what; };
    const int frameCount = static_cast<int>(d.frames.size());
    const bool headerArrived = d.Intact(0);
    const bool endArrived = d.Intact(frameCount - 1);

    // Every record rendered as the format says, and the log is those bytes.
    Bytes log;
    for (size_t i = 0; i < out.shown.size(); ++i) {
        const int number = static_cast<int>(i < out.firstAttempt ? i + 1 : i - out.firstAttempt + 1);
        const Bytes want = RenderShown(out.shown[i], number, d.labels);
        if (out.shown[i].rendered != want)
            return fail("record " + std::to_string(i) + " is not rendered as its fields say:\n" + out.shown[i].rendered +
                        "\ninstead of\n" + want);
        if (!out.shown[i].headerKnown && !out.shown[i].damaged) return fail("an unknown header shown unmarked");
        log += want;
    }
    if (log != out.log) return fail("the log is not the records handed out");

    // The clean download as the box meant it.
    std::vector<ShownRecord> meant;
    for (const auto& r : d.records) {
        ShownRecord s;
        s.call = r.call;
        s.label = d.labels[r.call.label];
        s.hasText = !r.pieces.empty();
        meant.push_back(s);
    }
    auto same = [](const ShownRecord& a, const ShownRecord& b) {
        return a.headerKnown && !a.damaged && a.call.label == b.call.label && a.call.letter == b.call.letter &&
               a.call.date == b.call.date && a.call.time == b.call.time && a.call.text == b.call.text &&
               a.hasText == b.hasText && a.label == b.label;
    };

    const std::vector<ShownRecord> first(out.shown.begin(), out.shown.begin() + static_cast<long>(out.firstAttempt));
    if (d.Disturbances() == 0) {
        if (out.askedAgain || first.size() != meant.size()) return fail("an undisturbed download not taken whole");
        for (size_t i = 0; i < meant.size(); ++i)
            if (!same(first[i], meant[i])) return fail("an undisturbed record " + std::to_string(i) + " not exact");
        if (out.status != std::vector<std::string>{kReadOkLine}) return fail("status lines on an undisturbed download");
        return {};
    }
    if (out.askedAgain) {
        // The box sent everything again, undamaged: that is shown exactly.
        if (out.shown.size() - out.firstAttempt != meant.size()) return fail("the second download not taken whole");
        for (size_t i = 0; i < meant.size(); ++i)
            if (!same(out.shown[out.firstAttempt + i], meant[i])) return fail("the second download not exact");
        // Asking again is the program giving the download up; one spoiled
        // frame is never reason enough (a lost header is: there was no
        // download yet).
        if (headerArrived && d.Disturbances() <= 1) return fail("one spoiled frame made the program give up");
    }
    if (!headerArrived) {
        if (!first.empty()) return fail("records shown without their download's header");
        return out.askedAgain ? "" : fail("a lost header was never asked for again");
    }

    // Unmarked records under a known header are records the box sent, in
    // order; every record untouched from the frame before it to its
    // boundary frame is among them. (A box may send the same call twice:
    // the shown records are matched to the sent ones in every order-keeping
    // way, until one covers all the untouched ones.)
    std::vector<bool> untouched(meant.size(), false);
    int before = 0;  // the frame before the record's first frame
    for (size_t r = 0; r < meant.size(); ++r) {
        const int boundary = before + 1 + static_cast<int>(d.records[r].pieces.size());
        bool touched = d.ContentSpoiled(before) || d.SyncSpoils(before) > 0;
        for (int f = before + 1; f <= boundary; ++f) touched = touched || d.Touched(f);
        untouched[r] = !touched && !out.askedAgain;
        before = boundary;
    }
    std::vector<const ShownRecord*> unmarked;
    for (const ShownRecord& s : first)
        if (s.headerKnown && !s.damaged) unmarked.push_back(&s);
    // Whether unmarked[i..] can be matched to meant[j..] covering every
    // untouched record there.
    std::function<bool(size_t, size_t)> matches = [&](size_t i, size_t j) -> bool {
        if (j == meant.size()) return i == unmarked.size();
        if (i < unmarked.size() && same(*unmarked[i], meant[j]) && matches(i + 1, j + 1)) return true;
        return !untouched[j] && matches(i, j + 1);
    };
    if (!matches(0, 0))
        return fail("unmarked records that are not the box's records in order (a silent merge or garble), or an "
                    "untouched record not shown exactly");

    // Every byte of every intact data frame, in order, and nothing else. A
    // frame that may or may not have arrived is tried both ways (a set of
    // the places in the text the pieces so far can reach).
    Bytes text;
    for (const ShownRecord& s : first) text += s.call.text;
    std::vector<size_t> reach{0};
    for (int f = 0; f < frameCount && !reach.empty(); ++f) {
        if (d.frames[f].piece < 0) continue;
        const Bytes& piece = d.records[d.frames[f].record].pieces[d.frames[f].piece];
        const bool required = d.Intact(f) && !out.askedAgain;
        const bool possible = d.Intact(f) || d.MayArrive(f);
        std::vector<size_t> next;
        for (size_t pos : reach) {
            if (possible && text.compare(pos, piece.size(), piece) == 0) next.push_back(pos + piece.size());
            if (!required) next.push_back(pos);
        }
        std::sort(next.begin(), next.end());
        next.erase(std::unique(next.begin(), next.end()), next.end());
        if (next.empty())
            return fail("the text of intact data frame " + std::to_string(f) + " (record " +
                        std::to_string(d.frames[f].record) + ", piece " + std::to_string(d.frames[f].piece) +
                        ") is missing or out of order");
        reach = std::move(next);
    }
    if (std::find(reach.begin(), reach.end(), text.size()) == reach.end())
        return fail("text shown that no intact data frame carried");

    // The download's end: read OK at an intact end frame, a stall without it.
    if (!out.askedAgain) {
        const bool readOk = std::find(out.status.begin(), out.status.end(), kReadOkLine) != out.status.end();
        if (endArrived && !readOk) return fail("the end frame arrived but the download did not end");
        if (!endArrived && !d.MayArrive(frameCount - 1) &&
            std::find(out.status.begin(), out.status.end(), kStalledLine) == out.status.end())
            return fail("the end frame was lost and the stall not said");
    }
    return {};
}

}  // namespace dialscope::testing

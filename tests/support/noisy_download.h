// Downloads as the box sends them, spoiled on the way as a real line spoils
// them, and a judge of what the program made of them. The judge knows nothing
// of the program's rules for damage: only what was sent, what the line did
// to it, and what a user must be able to rely on afterwards:
//  - a record shown without the damage mark is exactly a record the box sent,
//    under its own header: its download's labels, its number counted from 1
//    within that download;
//  - every byte of text from a data frame that arrived intact is shown, in
//    order, whatever the program gave up (text that arrived after it asked
//    the box again is the only exception: the box sends it again);
//  - no text is shown that no frame carried;
//  - a download in which anything was damaged is never reported as clean
//    (`dialscope-cli download` exits 6), and none is left hanging;
//  - a record whose bytes, from the boundary frame before it (or the header)
//    to its own boundary frame, arrived unchanged is never marked. A false
//    mark is still better than a wrong record shown unmarked, so these are
//    counted (the false-mark rate), not failed;
//  - every record is rendered as the log format says, whatever it shows.
// Where no receiver could know better, the judge says so and asks no more
// (each in the code): a frame free on the line that the box never sent
// leaves the download out; whole frames lost without a trace where the rest
// still reads as a download are judged as the line shows them; a record's
// number may be off by one for each damaged frame before it.
// What the line does: bytes changed, lost (1 to len-1 bytes of a frame, a
// whole frame, a run over several frames), inserted or duplicated, noise
// between frames, frame images inside caller text, a lost header, three or
// more losses in one record, a stall followed by a new download, logs of more
// than 100 records.
// Used by the protocol's property test (thousands of seeds) and by a fuzz
// target (the log and the damage taken from the fuzzer's bytes).
#pragma once

#include <algorithm>
#include <cstdlib>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "protocol/crc.h"
#include "protocol/protocol.h"
#include "tests/support/frames.h"
#include "tools/devsim_log.h"

namespace dialscope::testing {

// What the line does to a download, one kind per download (the sweep counts
// its figures by kind).
enum class DamageKind : uint8_t {
    Changed,       // bytes of one to three frames changed
    LostBytes,     // 1 to len-1 bytes of one or two frames lost
    LostFrames,    // one to three whole frames lost, in a row or apart
    LostRun,       // a run of bytes lost across frames (an overrun)
    Inserted,      // bytes inserted into frames, or a run of a frame's bytes duplicated
    Images,        // frames holding whole frame images in their text damaged
    LostHeader,    // the header frame lost or damaged
    ThreeLosses,   // three or more data frames of one record lost
    StallThenNew,  // the box stops mid-log, the line is quiet, then a new download
    LongLog,       // more than 100 records, a few frames spoiled
    Noise,         // noise between frames, some of it shaped like frame starts
    Mixed,         // two to four of the above at once
};
constexpr int kDamageKinds = 12;

inline const char* DamageKindName(DamageKind k) {
    static const char* const kNames[kDamageKinds] = {
        "changed bytes",        "bytes lost in a frame",   "whole frames lost",
        "a run lost over frames", "inserted/duplicated bytes", "frame images in damaged frames",
        "header lost",          "three or more losses in a record", "stall, then a new download",
        "more than 100 records", "noise between frames",   "several at once"};
    return kNames[static_cast<int>(k)];
}

struct NoisyDownload {
    struct Record {
        devsim::CallRecord call;          // text = the pieces joined
        std::vector<Bytes> pieces;        // one per data frame, as sent
        struct Image {
            int piece;
            int at;                       // where its first sync byte is in the data frame's bytes
            uint8_t command;
        };
        std::vector<Image> images;        // whole frame images in the text
    };
    struct Download {
        devsim::LabelSet labels{};
        std::vector<Record> records;      // as the box holds them
        int sent = 0;                     // records whose boundary frame went on the line
        int header = -1;                  // index of its header frame in `frames`
        bool endSent = true;              // false: the box stopped before its end frame
    };
    struct SentFrame {
        Bytes bytes;
        int download = 0;
        int record = -1;                  // -1: the header or the end frame
        int piece = -1;                   // the data frame's piece; -1: not a data frame
    };
    // What the line did to the bytes of one frame.
    struct Edit {
        enum Kind : uint8_t { Flip, Lose, Insert };
        Kind kind;
        int frame;
        int at;                           // byte of the frame; Insert: the bytes go in front of it (1..size-1)
        uint8_t flip = 0;                 // Flip: XORed in
        Bytes bytes = {};                 // Insert
    };
    // A whole frame image inside a data frame's text.
    struct Image {
        int frame;
        int at;                           // where its first sync byte is in the frame's bytes
        uint8_t command;
    };

    DamageKind kind = DamageKind::Changed;
    std::vector<Download> downloads;
    std::vector<SentFrame> frames;        // in the order they went on the line
    std::vector<Edit> edits;
    std::vector<Bytes> noiseBefore;       // bytes put on the line in front of frame i
    std::vector<int> quietBefore;         // ticks the line is silent in front of frame i (and its noise)
    std::vector<Image> images;
    std::vector<size_t> chunks;           // how the line reaches the program, tick by tick

    // The frames of a download as the box sends it when asked: whole, clean.
    static std::vector<SentFrame> FramesOf(const Download& dl, int download, int upTo = -1) {
        std::vector<SentFrame> out;
        Bytes header(72, '\0');
        for (int k = 0; k < 8; ++k)
            for (int i = 0; i < 8; ++i) header[8 + 8 * k + i] = static_cast<char>(dl.labels[k][i]);
        out.push_back({Frame('D', header), download});
        for (size_t r = 0; r < dl.records.size(); ++r) {
            const Record& rec = dl.records[r];
            for (size_t p = 0; p < rec.pieces.size(); ++p)
                out.push_back({Frame(static_cast<uint8_t>('P' + p % 15), rec.pieces[p]), download,
                               static_cast<int>(r), static_cast<int>(p)});
            out.push_back({BoundaryFrame(rec.call.label, rec.call.letter, rec.call.date[0], rec.call.date[1],
                                         rec.call.date[2], rec.call.time[0], rec.call.time[1]),
                           download, static_cast<int>(r)});
        }
        out.push_back({Frame('E'), download});
        if (upTo >= 0) out.resize(static_cast<size_t>(upTo));
        return out;
    }
    Bytes Clean(int download) const {
        Bytes line;
        for (const SentFrame& f : FramesOf(downloads[download], download)) line += f.bytes;
        return line;
    }
    const Bytes& Piece(int f) const {
        const SentFrame& s = frames[f];
        return downloads[s.download].records[s.record].pieces[s.piece];
    }
};

// The spoiled line, and where each byte the box sent landed on it.
struct NoisyLine {
    Bytes bytes;
    std::vector<std::vector<int64_t>> at;  // frame i's byte j: its offset on the line, -1 when lost
    std::vector<size_t> begin;              // where frame i's part of the line (its noise first) begins
    std::vector<bool> exact;                // frame i arrived exactly as sent
    std::vector<bool> contentExact;         // its command to checksum arrived unchanged and in one piece
    std::vector<int> syncDamage;            // sync bytes changed or lost, bytes inserted before its command
                                            // (for a frame that arrived: of the two bytes in front of its
                                            // command, how many are not 7E)
    std::vector<std::pair<size_t, int>> quiet;  // (offset, ticks): the line silent before that byte

    // Arrives for certain: its checksum vouches for it, and at most one
    // sync byte is wrong, which leaves a 7E right before or one byte before
    // its command.
    bool Required(int f) const { return contentExact[f] && syncDamage[f] <= 1; }
    // Its bytes are all there, but nothing marks where it begins: a
    // receiver may find it or not.
    bool Possible(int f) const { return contentExact[f]; }
    // Where the frame's last byte ends on the line (its command when lost).
    size_t EndOf(int f) const {
        for (size_t j = at[f].size(); j-- > 0;)
            if (at[f][j] >= 0) return static_cast<size_t>(at[f][j]) + 1;
        return begin[f];
    }
};

inline NoisyLine Arrive(const NoisyDownload& d) {
    NoisyLine l;
    const size_t n = d.frames.size();
    std::vector<std::vector<const NoisyDownload::Edit*>> edits(n);
    for (const auto& e : d.edits) edits[e.frame].push_back(&e);
    l.at.resize(n);
    l.begin.resize(n);
    l.exact.resize(n);
    l.contentExact.resize(n);
    l.syncDamage.resize(n);
    for (size_t i = 0; i < n; ++i) {
        const Bytes& b = d.frames[i].bytes;
        const size_t size = b.size();
        std::vector<uint8_t> flip(size, 0), lost(size, 0);
        std::vector<Bytes> in(size);
        for (const auto* e : edits[i]) {
            if (e->kind == NoisyDownload::Edit::Flip) flip[e->at] ^= e->flip;
            if (e->kind == NoisyDownload::Edit::Lose) lost[e->at] = 1;
            if (e->kind == NoisyDownload::Edit::Insert) in[e->at] += e->bytes;
        }
        if (d.quietBefore[i] > 0) l.quiet.emplace_back(l.bytes.size(), d.quietBefore[i]);
        l.begin[i] = l.bytes.size();
        l.bytes += d.noiseBefore[i];
        l.at[i].assign(size, -1);
        bool exact = true, content = true;
        int sync = 0;
        for (size_t j = 0; j < size; ++j) {
            l.bytes += in[j];
            if (!in[j].empty()) {
                exact = false;
                if (j >= 3) content = false;
                else sync += static_cast<int>(in[j].size());
            }
            const bool changed = lost[j] || (flip[j] != 0);
            if (changed) {
                exact = false;
                if (j >= 2) content = false;
                else ++sync;
            }
            if (lost[j]) continue;
            l.at[i][j] = static_cast<int64_t>(l.bytes.size());
            l.bytes += static_cast<char>(b[j] ^ flip[j]);
        }
        l.exact[i] = exact;
        l.contentExact[i] = content;
        l.syncDamage[i] = sync;
    }
    // A frame whose content (command to checksum) stands whole on the line
    // within its part of it arrived, whatever else the line put there (bytes
    // before it duplicated or inserted are noise in front of it). How well
    // its start is marked is read off the line: how many of the two bytes in
    // front of its command, within its part, are not 7E.
    for (size_t i = 0; i < n; ++i) {
        const Bytes content = d.frames[i].bytes.substr(2);
        const size_t from = l.begin[i], to = i + 1 < n ? l.begin[i + 1] : l.bytes.size();
        if (!l.contentExact[i]) {
            if (to - from < content.size()) continue;
            // Looked for within its part of the line only.
            const size_t r = std::string_view(l.bytes).substr(from, to - from).rfind(content);
            if (r == std::string_view::npos) continue;
            const size_t q = from + r;
            l.contentExact[i] = true;
            for (size_t j = 2; j < l.at[i].size(); ++j) l.at[i][j] = static_cast<int64_t>(q + j - 2);
        }
        const size_t c = static_cast<size_t>(l.at[i][2]);
        l.syncDamage[i] = 0;
        for (size_t back : {1, 2})
            l.syncDamage[i] += c < from + back || l.bytes[c - back] != '\x7E';
    }
    return l;
}

inline bool IsCommandByte(uint8_t b) {
    return b == '0' || b == '1' || b == 'B' || b == 'D' || b == 'E' || (b >= 0x50 && b <= 0x5F);
}

// A frame that passes its checksum on the spoiled line where the box sent
// none: an image in caller text, or what damage happened to make.
struct Phantom {
    size_t at;                            // its command byte on the line
    uint8_t command;
    Bytes payload;
    // It lies inside the bytes a frame announced (its start found, its
    // length byte as it arrived) whose checksum then failed: a receiver
    // finds it only when it looks through a failed frame's bytes again, and
    // can know where it was found. -1: it lies free on the line, where no
    // receiver can tell it from a frame the box sent.
    int host = -1;
};

inline std::vector<Phantom> Phantoms(const NoisyDownload& d, const NoisyLine& l) {
    const Bytes& line = l.bytes;
    // Command bytes of the frames the box sent, and the payloads of those
    // that arrive for certain: read as payload, never looked through.
    std::vector<bool> real(line.size() + 1, false), hidden(line.size() + 1, false);
    for (size_t i = 0; i < d.frames.size(); ++i) {
        if (!l.contentExact[i]) continue;
        real[static_cast<size_t>(l.at[i][2])] = true;
        if (l.Required(static_cast<int>(i)))
            for (size_t j = 4; j + 2 < l.at[i].size(); ++j) hidden[static_cast<size_t>(l.at[i][j])] = true;
    }
    std::vector<Phantom> out;
    for (size_t p = 0; p + 3 < line.size(); ++p) {
        const uint8_t cmd = static_cast<uint8_t>(line[p]), len = static_cast<uint8_t>(line[p + 1]);
        if (!IsCommandByte(cmd) || len > 76 || p + 3 + len >= line.size() || real[p] || (hidden[p] && hidden[p + 3 + len]))
            continue;
        const uint16_t crc = CrcBuffer(0, reinterpret_cast<const uint8_t*>(line.data() + p), 2 + len);
        if (static_cast<uint8_t>(line[p + 2 + len]) != (crc >> 8) ||
            static_cast<uint8_t>(line[p + 3 + len]) != (crc & 0xFF))
            continue;
        Phantom ph{p, cmd, line.substr(p + 2, len)};
        for (size_t g = 0; g < d.frames.size() && ph.host < 0; ++g) {
            if (l.contentExact[g] || l.syncDamage[g] > 1 || l.at[g][2] < 0 || l.at[g][3] != l.at[g][2] + 1) continue;
            const size_t c = static_cast<size_t>(l.at[g][2]);
            const uint8_t announced = static_cast<uint8_t>(line[c + 1]);
            if (!IsCommandByte(static_cast<uint8_t>(line[c])) || announced > 76) continue;
            if (p >= c + 2 && p + 3 + len <= c + 3 + announced) ph.host = static_cast<int>(g);
        }
        out.push_back(std::move(ph));
    }
    return out;
}

// A phantom lies free on the line: the line holds a frame the box never sent
// that nothing tells from one it did (noise or damage that happened to form
// one, about one in 65536, or an image in caller text whose frame lost the
// bytes that announce it). Not a fair test of a receiver: such downloads
// are left out, and counted. Images inside a failed frame's announced bytes
// are judged: they never end, start or restart a download, and never cost
// the intact frames behind them.
inline bool HasFreePhantom(const NoisyDownload& d, const NoisyLine& l) {
    for (const Phantom& p : Phantoms(d, l))
        if (p.host < 0) return true;
    return false;
}
inline bool HasFreePhantom(const NoisyDownload& d) { return HasFreePhantom(d, Arrive(d)); }

// Draws a download. `below(n)` gives a number in [0, n); `filler`, when
// given, draws the payload bytes, the noise bytes and the chunks instead (a
// fuzz target takes the structure from its input and the bulk from a
// generator).
template <class Below, class Filler>
NoisyDownload DrawNoisyDownload(Below&& below, Filler&& filler) {
    using Edit = NoisyDownload::Edit;
    NoisyDownload d;
    d.kind = static_cast<DamageKind>(below(kDamageKinds));
    const DamageKind kind = d.kind;
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
    auto randomBytes = [&](uint32_t n) {
        Bytes b;
        for (uint32_t i = 0; i < n; ++i) b += static_cast<char>(byte());
        return b;
    };

    // The downloads: one, or (a stall) the first cut short and a second one
    // with labels of its own.
    const int downloadCount = kind == DamageKind::StallThenNew ? 2 : 1;
    static const char* const kNames[] = {"HOME", "OFFICE", "FAX", "\x7E\x7E\x42", "", "LINE 6", "7", "EIGHT888"};
    static const int kFrameCounts[] = {0, 1, 2, 15, 16, 30, 14, 17};
    const uint32_t imageOdds = kind == DamageKind::Images ? 2 : 12;  // one piece in so many holds an image
    for (int k = 0; k < downloadCount; ++k) {
        NoisyDownload::Download dl;
        for (int n = 0; n < 8; ++n) {
            if (k == 0) {
                for (size_t i = 0; kNames[n][i] && i < 8; ++i) dl.labels[n][i] = static_cast<uint8_t>(kNames[n][i]);
            } else {
                dl.labels[n][0] = static_cast<uint8_t>('N');  // never the first download's
                for (size_t i = 1; i < 8; ++i) dl.labels[n][i] = byte();
            }
        }
        const int recordCount = kind == DamageKind::LongLog ? 101 + static_cast<int>(below(50))
                                                             : 1 + static_cast<int>(below(6));
        for (int r = 0; r < recordCount; ++r) {
            NoisyDownload::Record rec;
            rec.call.label = static_cast<uint8_t>(below(8));
            rec.call.letter = static_cast<uint8_t>(below(4));
            for (auto& v : rec.call.date) v = static_cast<uint8_t>(below(100));
            for (auto& v : rec.call.time) v = static_cast<uint8_t>(below(100));
            int n = below(2) ? kFrameCounts[below(8)] : static_cast<int>(below(31));
            if (kind == DamageKind::LongLog) n = static_cast<int>(below(4));
            for (int p = 0; p < n; ++p) {
                uint32_t len = below(3) == 0 ? below(77) : (below(2) ? 76 : 1 + below(12));
                Bytes piece;
                if (below(imageOdds) == 0) {
                    // A whole frame image in the caller's text: an end frame,
                    // a header, a boundary, a data frame, '0' or '1', with a
                    // plausible length and a valid checksum.
                    static const char kCommands[] = "EDBP0Q1";
                    const uint8_t cmd = static_cast<uint8_t>(kCommands[below(7)]);
                    const uint32_t plen = cmd == 'B' ? 6 : cmd == 'D' ? below(40) : (cmd == 'P' || cmd == 'Q') ? below(20) : 0;
                    const Bytes image = Frame(cmd, randomBytes(plen));
                    len = std::max<uint32_t>(len, static_cast<uint32_t>(image.size()));
                    const uint32_t before = below(len - static_cast<uint32_t>(image.size()) + 1);
                    piece = randomBytes(before) + image + randomBytes(len - before - static_cast<uint32_t>(image.size()));
                    rec.images.push_back({p, 4 + static_cast<int>(before), cmd});
                } else {
                    piece = randomBytes(len);
                }
                rec.call.text += piece;
                rec.pieces.push_back(std::move(piece));
            }
            dl.records.push_back(std::move(rec));
        }
        dl.sent = recordCount;
        d.downloads.push_back(std::move(dl));
    }

    // The frames on the line. A stall cuts the first download after any of
    // its frames but the last (never before the header).
    for (int k = 0; k < downloadCount; ++k) {
        NoisyDownload::Download& dl = d.downloads[k];
        int upTo = -1;
        if (k == 0 && downloadCount == 2) {
            const int all = static_cast<int>(NoisyDownload::FramesOf(dl, k).size());
            upTo = 1 + static_cast<int>(below(static_cast<uint32_t>(all - 1)));
            dl.endSent = false;
        }
        auto frames = NoisyDownload::FramesOf(dl, k, upTo);
        dl.header = static_cast<int>(d.frames.size());
        dl.sent = 0;
        for (const auto& f : frames)
            if (f.record >= 0 && f.piece < 0) ++dl.sent;
        for (auto& f : frames) d.frames.push_back(std::move(f));
    }
    const int frameCount = static_cast<int>(d.frames.size());
    d.noiseBefore.assign(frameCount, Bytes());
    d.quietBefore.assign(frameCount, 0);
    if (downloadCount == 2)
        d.quietBefore[d.downloads[1].header] = kIdleTicksLimit + 1 + static_cast<int>(below(90));
    for (int f = 0; f < frameCount; ++f) {
        const auto& sf = d.frames[f];
        if (sf.piece < 0) continue;
        for (const auto& im : d.downloads[sf.download].records[sf.record].images)
            if (im.piece == sf.piece) d.images.push_back({f, im.at, im.command});
    }

    // The damage.
    auto sizeOf = [&](int f) { return static_cast<int>(d.frames[f].bytes.size()); };
    auto anyFrame = [&] { return static_cast<int>(below(static_cast<uint32_t>(frameCount))); };
    auto change = [&](int f) {
        const int size = sizeOf(f);
        const int spoils = below(4) == 0 ? 2 : 1;
        for (int s = 0; s < spoils; ++s) {
            int at;
            switch (below(5)) {
            case 0: at = static_cast<int>(below(2)); break;                      // a sync byte
            case 1: at = 2; break;                                               // the command
            case 2: at = 3; break;                                               // the length
            case 3: at = size - 1 - static_cast<int>(below(2)); break;           // the checksum
            default: at = size > 6 ? 4 + static_cast<int>(below(size - 6)) : 3; break;  // the payload
            }
            d.edits.push_back({Edit::Flip, f, at, static_cast<uint8_t>(1 + below(255))});
        }
    };
    auto loseBytes = [&](int f) {  // 1 to len-1 bytes, anywhere
        const int size = sizeOf(f);
        const int count = 1 + static_cast<int>(below(static_cast<uint32_t>(size - 1)));
        if (below(4) == 0) {
            for (int c = 0; c < count; ++c) d.edits.push_back({Edit::Lose, f, static_cast<int>(below(size))});
        } else {
            const int from = static_cast<int>(below(static_cast<uint32_t>(size - count + 1)));
            for (int j = from; j < from + count; ++j) d.edits.push_back({Edit::Lose, f, j});
        }
    };
    auto loseFrame = [&](int f) {
        for (int j = 0; j < sizeOf(f); ++j) d.edits.push_back({Edit::Lose, f, j});
    };
    auto loseRun = [&] {  // from any byte of any frame on, over the frames behind it
        int f = anyFrame(), j = static_cast<int>(below(static_cast<uint32_t>(sizeOf(f))));
        for (int left = 2 + static_cast<int>(below(200)); left > 0 && f < frameCount; --left) {
            d.edits.push_back({Edit::Lose, f, j});
            if (++j == sizeOf(f)) j = 0, ++f;
        }
    };
    auto insert = [&](int f) {
        const int size = sizeOf(f);
        const int at = 1 + static_cast<int>(below(static_cast<uint32_t>(size - 1)));
        if (below(2)) {
            d.edits.push_back({Edit::Insert, f, at, 0, randomBytes(1 + below(12))});
        } else {  // the bytes in front of `at` come twice
            const int from = std::max(0, at - 1 - static_cast<int>(below(8)));
            d.edits.push_back({Edit::Insert, f, at, 0, d.frames[f].bytes.substr(from, at - from)});
        }
    };
    auto noise = [&] {
        Bytes& n = d.noiseBefore[1 + below(static_cast<uint32_t>(frameCount - 1))];
        switch (below(4)) {
        case 0: n += Bytes("\x7E\x7E", 2) + static_cast<char>("PQBE"[below(4)]) + static_cast<char>(below(90)); break;
        case 1: n += "\x7E"; break;
        default: n += randomBytes(1 + below(12)); break;
        }
    };
    auto damageImage = [&] {  // a frame holding an image, spoiled so that its start is still found
        if (d.images.empty()) return change(anyFrame());
        const auto& im = d.images[below(static_cast<uint32_t>(d.images.size()))];
        const int size = sizeOf(im.frame);
        const int imageEnd = im.at + 6 + static_cast<uint8_t>(d.frames[im.frame].bytes[im.at + 3]);
        switch (below(5)) {
        case 0: d.edits.push_back({Edit::Flip, im.frame, size - 1, static_cast<uint8_t>(1 + below(255))}); break;
        case 1:  // a byte of text before the image lost: the frame runs into the next one
            if (im.at > 4) {
                d.edits.push_back({Edit::Lose, im.frame, 4 + static_cast<int>(below(im.at - 4))});
                break;
            }
            [[fallthrough]];
        case 2:  // text after the image changed
            if (imageEnd < size - 2) {
                d.edits.push_back({Edit::Flip, im.frame, imageEnd + static_cast<int>(below(size - 2 - imageEnd)),
                                   static_cast<uint8_t>(1 + below(255))});
                break;
            }
            [[fallthrough]];
        case 3: {  // its length, to one that still takes in the image (and runs on into the frames behind)
            const uint8_t len = static_cast<uint8_t>(d.frames[im.frame].bytes[3]);
            const uint8_t other = static_cast<uint8_t>(imageEnd - 4 + below(static_cast<uint32_t>(77 - (imageEnd - 4))));
            if (other != len) {
                d.edits.push_back({Edit::Flip, im.frame, 3, static_cast<uint8_t>(len ^ other)});
                break;
            }
            [[fallthrough]];
        }
        default: d.edits.push_back({Edit::Lose, im.frame, size - 1 - static_cast<int>(below(2))}); break;
        }
    };
    std::function<void(DamageKind)> damage = [&](DamageKind k) {
        switch (k) {
        case DamageKind::Changed:
            for (int s = 1 + static_cast<int>(below(3)); s > 0; --s) change(anyFrame());
            break;
        case DamageKind::LostBytes:
            for (int s = 1 + static_cast<int>(below(2)); s > 0; --s) loseBytes(anyFrame());
            break;
        case DamageKind::LostFrames:
            for (int groups = 1 + static_cast<int>(below(2)); groups > 0; --groups) {
                const int first = anyFrame();
                for (int f = first; f < std::min(frameCount, first + 1 + static_cast<int>(below(3))); ++f) loseFrame(f);
            }
            break;
        case DamageKind::LostRun: loseRun(); break;
        case DamageKind::Inserted:
            for (int s = 1 + static_cast<int>(below(2)); s > 0; --s) insert(anyFrame());
            break;
        case DamageKind::Images:
            for (int s = 1 + static_cast<int>(below(2)); s > 0; --s) damageImage();
            break;
        case DamageKind::LostHeader: {
            const int h = d.downloads.back().header;
            switch (below(3)) {
            case 0: loseFrame(h); break;
            case 1: loseBytes(h); break;
            default: d.edits.push_back({Edit::Flip, h, 4 + static_cast<int>(below(72)), static_cast<uint8_t>(1 + below(255))});
            }
            break;
        }
        case DamageKind::ThreeLosses: {
            // The record with the most data frames loses three or more of
            // them, lost whole or changed.
            int best = d.downloads[0].header + 1, bestCount = -1;
            for (int f = 0; f < frameCount; ++f)
                if (d.frames[f].piece == 0) {
                    const auto& rec = d.downloads[d.frames[f].download].records[d.frames[f].record];
                    if (static_cast<int>(rec.pieces.size()) > bestCount) best = f, bestCount = static_cast<int>(rec.pieces.size());
                }
            if (bestCount < 2) return damage(DamageKind::LostFrames);
            const int losses = std::min(bestCount - 1, 3 + static_cast<int>(below(3)));
            std::vector<int> order;
            for (int p = below(4) == 0 ? 0 : 1; p < bestCount; ++p) order.push_back(p);
            for (int p = static_cast<int>(order.size()) - 1; p > 0; --p) std::swap(order[p], order[below(p + 1)]);
            if (below(2)) {  // every second frame: each loss a miss of its own
                order.clear();
                for (int p = 1; p < bestCount && static_cast<int>(order.size()) < losses; p += 2) order.push_back(p);
            }
            for (int i = 0; i < losses && i < static_cast<int>(order.size()); ++i) {
                if (below(3)) loseFrame(best + order[i]);
                else d.edits.push_back({Edit::Flip, best + order[i], sizeOf(best + order[i]) - 1, static_cast<uint8_t>(1 + below(255))});
            }
            break;
        }
        case DamageKind::StallThenNew:
            if (below(2)) damage(static_cast<DamageKind>(below(5)));
            break;
        case DamageKind::LongLog:
            for (int s = 1 + static_cast<int>(below(3)); s > 0; --s) damage(static_cast<DamageKind>(below(5)));
            break;
        case DamageKind::Noise:
            for (int s = 1 + static_cast<int>(below(3)); s > 0; --s) noise();
            break;
        case DamageKind::Mixed:
            for (int s = 2 + static_cast<int>(below(3)); s > 0; --s) damage(static_cast<DamageKind>(below(8)));
            break;
        }
    };
    damage(kind);
    if (kind != DamageKind::Noise && below(6) == 0) noise();

    const size_t total = Arrive(d).bytes.size();
    for (size_t sent = 0; sent < total;) {
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

// What the program showed, record by record, as it handed each one out.
struct ShownRecord {
    CallRecord record;
    Bytes rendered;
};

struct NoisyOutcome {
    std::vector<ShownRecord> shown;       // all of them; the first `firstAttempt` of the spoiled sending
    size_t firstAttempt = 0;
    // Where the program stood on the line (bytes read) each time it asked the
    // box for its log while the spoiled line came.
    std::vector<uint64_t> asked;
    bool askedAgain() const { return !asked.empty(); }
    struct End {
        DownloadEnd how;
        bool callMayBeLost;               // the program's own doubt at that moment
        bool damageFound;                 // and its own record of damage found, where it keeps one
        size_t shownBefore;               // records handed out before it
        uint64_t at;                      // bytes of the spoiled line read
        bool replay;                      // during the box's second sending
    };
    std::vector<End> ends;
    Bytes log;
    std::vector<std::string> status;
};

template <class P>
bool DamageFound(const P& protocol) {
    if constexpr (requires { protocol.damageFound(); }) return protocol.damageFound();
    else return false;
}

// The spoiled line reaches the program tick by tick (quiet stretches as
// ticks with nothing); then every time-out runs out. When the program asked
// the box again meanwhile, the box then sends its latest download once more,
// undamaged, as it would.
inline NoisyOutcome RunNoisyDownload(const NoisyDownload& d, const NoisyLine& line) {
    struct Window : FakeWindow {
        void RecordOutput(const CallRecord& r, std::string_view rendered) override {
            shown.push_back({r, Bytes(rendered)});
        }
        void DownloadEnded(DownloadEnd how) override {
            FakeWindow::DownloadEnded(how);
            ends.push_back({how, protocol->callMayBeLost(), DamageFound(*protocol), shown.size(), line->taken, replay});
        }
        void DownloadStarted() override {
            FakeWindow::DownloadStarted();
            if (replay && !replayStarted) replayStarted = shown.size();
        }
        std::vector<ShownRecord> shown;
        std::optional<size_t> replayStarted;  // records shown before the second sending's header was taken
        std::vector<NoisyOutcome::End> ends;
        const Protocol* protocol = nullptr;
        const FakeLine* line = nullptr;
        bool replay = false;
    };
    struct Harness {
        FakeLine line;
        Window window;
        FakeSerial serial;
        Protocol protocol{line, window, serial};
    };
    auto owned = std::make_unique<Harness>();
    Harness& h = *owned;
    h.window.protocol = &h.protocol;
    h.window.line = &h.line;
    NoisyOutcome out;
    h.serial.onWrite = [&](const uint8_t*, uint32_t) {
        if (h.serial.portOpen && !h.window.replay) out.asked.push_back(h.line.taken);
    };
    h.protocol.BeginPolling();
    h.serial.portOpen = true;
    auto feed = [&](const Bytes& bytes) {
        h.line.Receive(bytes);
        h.protocol.ComTick();
    };
    size_t at = 0, quiet = 0;
    auto quietUpTo = [&](size_t end) {
        for (; quiet < line.quiet.size() && line.quiet[quiet].first <= end; ++quiet) {
            if (line.quiet[quiet].first > at) feed(line.bytes.substr(at, line.quiet[quiet].first - at));
            at = std::max(at, line.quiet[quiet].first);
            for (int t = 0; t < line.quiet[quiet].second; ++t) h.protocol.ComTick();
        }
    };
    for (size_t n : d.chunks) {
        const size_t end = std::min(line.bytes.size(), at + n);
        quietUpTo(end);
        if (end > at) feed(line.bytes.substr(at, end - at));
        at = end;
    }
    if (at < line.bytes.size()) feed(line.bytes.substr(at));
    for (int i = 0; i < 2 * kIdleTicksLimit + 1; ++i) h.protocol.ComTick();
    out.firstAttempt = h.window.shown.size();
    if (out.askedAgain()) {
        h.window.replay = true;
        h.serial.portOpen = true;
        const Bytes clean = d.Clean(static_cast<int>(d.downloads.size()) - 1);
        for (size_t k = 0; k < clean.size(); k += 2000) feed(clean.substr(k, 2000));
        for (int i = 0; i < 2 * kIdleTicksLimit + 1; ++i) h.protocol.ComTick();
        // What the program showed of the first sending when the second one's
        // header came belongs to the first.
        out.firstAttempt = h.window.replayStarted.value_or(out.firstAttempt);
    }
    out.shown = std::move(h.window.shown);
    out.ends = std::move(h.window.ends);
    out.log = h.window.log.Bytes();
    out.status = h.window.status;
    return out;
}
inline NoisyOutcome RunNoisyDownload(const NoisyDownload& d) { return RunNoisyDownload(d, Arrive(d)); }

// The exit status `dialscope-cli download` gives the outcome (app/cli/main.cpp
// decides it from the same events): it stops at the first end of a download
// that is not a restart or a "nothing now"; 6 when that end was a stall or a
// cut line, a record it had received by then was marked, the program doubted
// a call then, or found damage in any download so far; 0 otherwise. -1: it
// never stops (it would wait for its time-out).
inline int CliExitStatus(const NoisyOutcome& out) {
    bool found = false;
    for (const auto& e : out.ends) {
        found = found || e.damageFound;
        if (e.how == DownloadEnd::Restarted || e.how == DownloadEnd::Refused) continue;
        bool marked = false;
        for (size_t i = 0; i < e.shownBefore; ++i) marked = marked || out.shown[i].record.damaged;
        return e.how == DownloadEnd::Cut || e.how == DownloadEnd::Stalled || marked || e.callMayBeLost || found ? 6 : 0;
    }
    return -1;
}

// The log bytes of a record as the format gives them, after its number.
inline Bytes RenderAfterNumber(const CallRecord& r) {
    auto two = [](Bytes& out, int v) {
        if (v < 0 || v > 99) {
            out += "??";
        } else {
            out += static_cast<char>('0' + v / 10);
            out += static_cast<char>('0' + v % 10);
        }
    };
    auto shown = [](uint8_t c) { return c == 0 ? ' ' : static_cast<char>(c); };
    Bytes out;
    for (uint8_t b : r.label) out += r.headerKnown ? shown(b) : '?';
    out += r.headerKnown ? static_cast<char>('A' + (r.letterCode & 3)) : '?';
    out += ' ';
    two(out, r.dateTime[0]);
    out += '/';
    two(out, r.dateTime[1]);
    out += '/';
    two(out, r.dateTime[2]);
    out += ' ';
    two(out, r.dateTime[3]);
    out += ':';
    two(out, r.dateTime[4]);
    out += "\r\n";
    if (r.hasText) {
        out += "      ";
        for (char c : r.text) out += shown(static_cast<uint8_t>(c));
        out += "\r\n";
    } else if (!r.damaged) {
        out += "     Tone only    \r\n";
    }
    if (r.damaged) out += "      (text damaged in transfer)\r\n";
    return out;
}

// The ways the number of a header line may be written: two positions below
// 100 (" 7. ", "42. "); from 100 on either in full with its space ("123. ",
// as older versions wrote it) or in the same four columns as every other
// ("123." and "***." from 1000 on), so that every later field keeps its place.
inline std::vector<Bytes> NumberForms(int n) {
    char buf[16];
    if (n < 100) {
        std::snprintf(buf, sizeof buf, "%2d. ", n);
        return {buf};
    }
    std::snprintf(buf, sizeof buf, "%d", n);
    return {Bytes(buf) + ". ", n < 1000 ? Bytes(buf) + "." : Bytes("***.")};
}

struct NoisyVerdict {
    std::string problem;                  // the first thing wrong; "" when every promise holds
    std::string fault;                    // its kind, a few words, for tallies
    bool miss = false;                    // a record shown wrong unmarked, or intact text dropped
    int unmarkedShown = 0, unmarkedWrong = 0;
    int intactPieces = 0, droppedPieces = 0;
    int untouched = 0, falseMarks = 0;    // records that arrived unchanged; of them, not shown exactly unmarked
    int cleanAfterDamage = 0;             // 1: damaged, reported clean, and the output is the box's log exactly
    bool ok() const { return problem.empty(); }
};

inline NoisyVerdict JudgeNoisyDownload(const NoisyDownload& d, const NoisyOutcome& out, const NoisyLine& line) {
    NoisyVerdict v;
    auto fail = [&](const char* fault, const std::string& what) {
        if (v.problem.empty()) {
            v.fault = fault;
            v.problem = what;
        }
    };
    const int frameCount = static_cast<int>(d.frames.size());
    const std::vector<Phantom> phantoms = Phantoms(d, line);

    // Every record rendered as the format says, numbered 1 or one more than
    // the record before it, and the log is those bytes.
    Bytes log;
    int number = 0;
    std::vector<int> numbers;
    for (size_t i = 0; i < out.shown.size(); ++i) {
        const ShownRecord& s = out.shown[i];
        const Bytes body = RenderAfterNumber(s.record);
        int n = 0;
        for (int candidate : {number + 1, 1})
            for (const Bytes& form : NumberForms(candidate))
                if (n == 0 && s.rendered == form + body) n = candidate;
        if (n == 0) {
            fail("format", "record " + std::to_string(i) + " is not rendered as its fields say:\n" + s.rendered +
                               "\ninstead of\n" + NumberForms(number + 1)[0] + body);
            break;
        }
        number = n;
        numbers.push_back(n);
        if (!s.record.headerKnown && !s.record.damaged) fail("format", "a record with its header unknown shown unmarked");
        log += s.rendered;
    }
    if (v.ok() && log != out.log) fail("format", "the log is not the records handed out");
    if (!v.ok()) return v;

    // Frames lost without a trace can leave a line the box could have sent:
    // the last data frames of a record (it looks shorter), whole records
    // (there seem to be fewer), a boundary frame after a fifteenth data frame
    // (the next record's 'P' looks like a sixteenth frame of this one). No
    // receiver can tell; such a loss is judged as the line shows it, as if
    // the box had sent the records that way. It is one when, between two
    // frames whose content arrived, the line holds nothing but a clean sync
    // pair (what the lost frames left, if anything, makes up the second
    // frame's own), and the second frame may follow the first in a download.
    std::vector<bool> unseen(frameCount, false);
    for (int x = 0, y = 1; y < frameCount; ++y) {
        if (!line.contentExact[x]) x = y;
        if (!line.contentExact[y] || y == x) continue;
        if (y > x + 1 && line.bytes.substr(line.EndOf(x), line.at[y][2] - line.EndOf(x)) == "\x7E\x7E") {
            const uint8_t cx = static_cast<uint8_t>(d.frames[x].bytes[2]), cy = static_cast<uint8_t>(d.frames[y].bytes[2]);
            bool fits;
            if (d.frames[y].download != d.frames[x].download) fits = cy == 'D';  // the box stopped there
            else if (cx == 'D' || cx == 'B') fits = cy == 'P' || cy == 'B' || cy == 'E';
            else fits = cy == 'B' || cy == (cx == '^' ? 'P' : cx + 1);
            if (fits) std::fill(unseen.begin() + x + 1, unseen.begin() + y, true);
        }
        x = y;
    }

    // The records the line carried, in order: as the box sent them, but for
    // losses no one can see. Which of them arrived unchanged: every byte from
    // the first of the boundary frame before them (or of the header) to the
    // last of their own, with nothing put between (noise in front of that
    // boundary frame lies before the record and does not count; noise in
    // front of any frame after it does: it may have been a lost call), under
    // a header that arrived (without its labels no record can be shown
    // exactly), before the program asked the box again in that download
    // (what came after is sent again and counts for nothing here). A record's number counts the records of its
    // download before it. Where the line visibly damaged a frame or put noise
    // before it in that download, the frames no longer say how many records
    // there were (a damaged frame may have been a boundary, or make a
    // receiver count one more, and so may a frame image found inside one):
    // the number may be off by one for each such place, no more.
    struct Sent {
        devsim::CallRecord call;
        bool hasText;
        int download;
        const devsim::LabelSet* labels;
        int number;
        bool untouched = true;
        int slack = 0;
    };
    auto asSent = [&](const NoisyDownload::Download& dl, size_t r) {
        return Sent{dl.records[r].call, !dl.records[r].pieces.empty(), static_cast<int>(&dl - d.downloads.data()),
                    &dl.labels, static_cast<int>(r) + 1};
    };
    std::vector<uint64_t> askedIn(d.downloads.size(), UINT64_MAX);  // first time asked within each download
    for (size_t k = 0; k < d.downloads.size(); ++k)
        for (uint64_t w : out.asked)
            if (w > line.begin[d.downloads[k].header] && w < askedIn[k] &&
                (k + 1 == d.downloads.size() || w <= line.begin[d.downloads[k + 1].header]))
                askedIn[k] = w;
    auto excused = [&](int f) { return line.EndOf(f) > askedIn[d.frames[f].download]; };
    std::vector<Sent> sent;
    {
        int before = -1, doubts = 0, number = 0;
        Bytes text;
        bool hasText = false;
        for (int f = 0; f < frameCount; ++f) {
            const auto& sf = d.frames[f];
            const auto& dl = d.downloads[sf.download];
            if (f == dl.header) before = f, doubts = 0, number = 0, text.clear(), hasText = false;
            doubts += (!line.exact[f] && !unseen[f]) || !d.noiseBefore[f].empty();
            for (const Phantom& p : phantoms) doubts += p.host == f;  // it may make a receiver count one more
            if (unseen[f] || sf.record < 0) continue;
            if (sf.piece >= 0) {
                text += d.Piece(f);
                hasText = true;
                continue;
            }
            bool untouched = !excused(f) && line.Required(dl.header);  // no labels, no record shown exactly
            for (int g = before; g <= f; ++g) untouched = untouched && line.exact[g] && (g == before || d.noiseBefore[g].empty());
            Sent s{dl.records[sf.record].call, hasText, sf.download, &dl.labels, ++number, untouched, doubts};
            s.call.text = text;
            sent.push_back(std::move(s));
            text.clear();
            hasText = false;
            before = f;
        }
    }
    auto same = [&](size_t shown, const Sent& b) {
        const CallRecord& r = out.shown[shown].record;
        const devsim::CallRecord& c = b.call;
        if (!r.headerKnown || r.damaged || r.labelIndex != c.label || r.letterCode != c.letter) return false;
        if (r.label != (*b.labels)[c.label] || r.text != c.text || r.hasText != b.hasText) return false;
        for (int i = 0; i < 3; ++i)
            if (r.dateTime[i] != c.date[i]) return false;
        for (int i = 0; i < 2; ++i)
            if (r.dateTime[3 + i] != c.time[i]) return false;
        return std::abs(numbers[shown] - b.number) <= b.slack;
    };

    const bool damaged = std::find(line.exact.begin(), line.exact.end(), false) != line.exact.end();
    const bool noisy = std::any_of(d.noiseBefore.begin(), d.noiseBefore.end(), [](const Bytes& b) { return !b.empty(); });
    const int exit = CliExitStatus(out);

    // A clean line: the download as sent, nothing said but that it was read.
    if (!damaged && !noisy && d.downloads.size() == 1) {
        bool exact = !out.askedAgain() && out.shown.size() == sent.size();
        for (size_t i = 0; exact && i < sent.size(); ++i) exact = same(i, sent[i]);
        if (!exact) fail("clean line", "a download that arrived undamaged is not shown as sent");
        else if (out.status != std::vector<std::string>{kReadOkLine} || exit != 0)
            fail("clean line", "status lines or exit status " + std::to_string(exit) + " on an undamaged download");
        return v;
    }

    // Unmarked records of the first sending are records the box sent, in
    // order (a box may send the same call twice: the shown records are
    // matched to the sent ones in every order-keeping way). Among the best
    // matchings, the one that covers the most records that arrived
    // unchanged; those it leaves out were marked needlessly.
    std::vector<size_t> unmarked;
    for (size_t i = 0; i < out.firstAttempt; ++i)
        if (!out.shown[i].record.damaged) unmarked.push_back(i);
    {
        const size_t U = unmarked.size(), S = sent.size();
        // best[i][j]: for unmarked[i..] against sent[j..], (unmatched, -covered), least first.
        std::vector<std::pair<int, int>> best((U + 1) * (S + 1));
        auto at = [&](size_t i, size_t j) -> std::pair<int, int>& { return best[i * (S + 1) + j]; };
        for (size_t i = U + 1; i-- > 0;)
            for (size_t j = S + 1; j-- > 0;) {
                if (i == U) {
                    at(i, j) = {0, 0};
                    continue;
                }
                auto b = at(i + 1, j);
                ++b.first;
                if (j < S) {
                    b = std::min(b, at(i, j + 1));
                    if (same(unmarked[i], sent[j])) {
                        auto m = at(i + 1, j + 1);
                        m.second -= sent[j].untouched;
                        b = std::min(b, m);
                    }
                }
                at(i, j) = b;
            }
        v.unmarkedShown = static_cast<int>(U);
        v.unmarkedWrong = at(0, 0).first;
        for (const Sent& s : sent) v.untouched += s.untouched;
        v.falseMarks = v.untouched + at(0, 0).second;
        if (v.unmarkedWrong > 0) {
            // The first unmarked record that is none of the box's, for the report.
            std::string which;
            for (size_t i : unmarked) {
                bool any = false;
                for (const Sent& s : sent) any = any || same(i, s);
                if (!any) {
                    which = "record " + std::to_string(i) + " shown unmarked:\n" + out.shown[i].rendered;
                    break;
                }
            }
            fail("unmarked record wrong", std::to_string(v.unmarkedWrong) +
                                              " unmarked record(s) that are not the box's records in order (cut short, "
                                              "merged, under another header or number). " + which);
        }
    }

    // Every byte of every intact data frame, in order, and nothing else. A
    // frame that may or may not have been found is tried both ways, and so
    // is the text of a data frame image found inside a failed frame; a
    // frame that came after the program asked again need not be there.
    // (The places in the text the frames so far can reach, each with the
    // fewest intact frames left out on the way there.)
    Bytes text;
    for (size_t i = 0; i < out.firstAttempt; ++i) text += out.shown[i].record.text;
    std::vector<std::pair<size_t, int>> reach{{0, 0}};
    auto step = [&](const Bytes& piece, bool possible, bool required) {
        std::vector<std::pair<size_t, int>> next;
        for (const auto& [pos, dropped] : reach) {
            if (possible && text.compare(pos, piece.size(), piece) == 0) next.emplace_back(pos + piece.size(), dropped);
            next.emplace_back(pos, dropped + (required ? 1 : 0));
        }
        std::sort(next.begin(), next.end());
        reach.clear();
        for (const auto& p : next)
            if (reach.empty() || reach.back().first != p.first) reach.push_back(p);
    };
    int firstDropped = -1;
    for (int f = 0; f < frameCount; ++f) {
        if (d.frames[f].piece >= 0) {
            const bool required = line.Required(f) && !excused(f);
            v.intactPieces += required;
            const int before = reach.empty() ? 0 : std::min_element(reach.begin(), reach.end(), [](auto a, auto b) {
                                                       return a.second < b.second;
                                                   })->second;
            step(d.Piece(f), line.Possible(f), required);
            const int after = std::min_element(reach.begin(), reach.end(), [](auto a, auto b) {
                                  return a.second < b.second;
                              })->second;
            if (after > before && firstDropped < 0) firstDropped = f;
        }
        // Data frame images found inside failed frames, where they lie on the line.
        const size_t partEnd = f + 1 < frameCount ? line.begin[f + 1] : line.bytes.size();
        for (const Phantom& p : phantoms)
            if (p.host >= 0 && p.at >= line.begin[f] && p.at < partEnd && p.command >= 0x50 && p.command <= 0x5F)
                step(p.payload, true, false);
    }
    int dropped = -1;
    for (const auto& [pos, n] : reach)
        if (pos == text.size()) dropped = n;
    if (dropped < 0) {
        fail("text shown that no frame carried", "the first sending shows text that no intact frame carried (or "
                                                  "shows some twice)");
        dropped = std::min_element(reach.begin(), reach.end(), [](auto a, auto b) { return a.second < b.second; })->second;
        v.miss = true;
    }
    v.droppedPieces = dropped;
    if (dropped > 0 && firstDropped >= 0) {
        const auto& sf = d.frames[firstDropped];
        fail("intact text dropped", std::to_string(dropped) + " intact data frame(s) missing from the log, the first " +
                                        std::to_string(firstDropped) + " (download " + std::to_string(sf.download) +
                                        ", record " + std::to_string(sf.record) + ", piece " + std::to_string(sf.piece) +
                                        ")");
    } else if (dropped > 0) {
        fail("intact text dropped", std::to_string(dropped) + " intact data frame(s) missing from the log");
    }
    v.miss = v.miss || v.unmarkedWrong > 0 || v.droppedPieces > 0;

    // A download ends where its end frame came, never before (an image of
    // one inside a failed frame is no end).
    {
        std::vector<size_t> endFrames;
        for (const auto& dl : d.downloads)
            if (dl.endSent) {
                const int e = dl.header + static_cast<int>(NoisyDownload::FramesOf(dl, 0).size()) - 1;
                if (e < frameCount && line.Possible(e)) endFrames.push_back(line.EndOf(e));
            }
        size_t next = 0;
        for (const auto& e : out.ends) {
            if (e.replay || e.how != DownloadEnd::Completed) continue;
            if (next < endFrames.size() && endFrames[next] <= e.at) {
                ++next;
            } else {
                fail("ended early", "the download was reported read (\"" + std::string(kReadOkLine) + "\") after " +
                                        std::to_string(e.at) + " bytes, before its end frame came");
                break;
            }
        }
    }

    // The box sent everything again, undamaged: that is shown exactly.
    if (out.askedAgain()) {
        const auto& last = d.downloads.back();
        bool exact = out.shown.size() - out.firstAttempt == last.records.size();
        for (size_t i = 0; exact && i < last.records.size(); ++i)
            exact = same(out.firstAttempt + i, asSent(last, i));
        if (!exact) fail("second sending", "the box's second, undamaged sending is not shown exactly");
    }

    // Reported: never hanging, and never clean when anything was damaged,
    // unless what the console program writes is the box's log exactly all
    // the same, as far as the line lets anyone know it (every record once, in
    // order, unmarked, numbered from 1: a damaged sync byte the checksum made
    // good, a download given up before anything was shown and then sent again
    // whole, whole frames lost where no one can see it, a download that
    // showed nothing before the box began its log anew).
    if (exit < 0) {
        fail("never ends", "the download never ends: the console program would wait for its time-out");
    } else if (damaged && exit == 0) {
        size_t written = 0;
        for (const auto& e : out.ends)
            if (e.how != DownloadEnd::Restarted && e.how != DownloadEnd::Refused) {
                written = e.shownBefore;
                break;
            }
        // The box's latest log as the line carried it, or as the box holds it
        // (sent again, or whole).
        const int last = static_cast<int>(d.downloads.size()) - 1;
        std::vector<Sent> carried, held;
        for (Sent s : sent) {
            s.slack = 0;
            if (s.download == last) carried.push_back(s);
        }
        for (size_t i = 0; i < d.downloads[last].records.size(); ++i) held.push_back(asSent(d.downloads[last], i));
        auto writes = [&](const std::vector<Sent>& log) {
            bool all = written == log.size();
            for (size_t i = 0; all && i < log.size(); ++i) all = same(i, log[i]);
            return all;
        };
        if (!writes(carried) && !writes(held)) fail("reported clean", "frames were damaged or lost, and the download is reported clean (exit 0)");
        else if (v.ok()) ++v.cleanAfterDamage;
    }

    // One spoiled frame is never reason enough to give the download up.
    if (!noisy && d.downloads.size() == 1 && line.exact[d.downloads[0].header] && out.askedAgain() &&
        std::count(line.exact.begin(), line.exact.end(), false) == 1)
        fail("gave up", "one damaged frame made the program give the download up");
    return v;
}
inline NoisyVerdict JudgeNoisyDownload(const NoisyDownload& d, const NoisyOutcome& out) {
    return JudgeNoisyDownload(d, out, Arrive(d));
}

// A few lines on what was sent and what the line did, for reports.
inline std::string DescribeNoisyDownload(const NoisyDownload& d) {
    std::string s = std::string(DamageKindName(d.kind)) + ": ";
    for (size_t k = 0; k < d.downloads.size(); ++k) {
        const auto& dl = d.downloads[k];
        s += (k ? "; then download " : "download ") + std::to_string(k) + " of " + std::to_string(dl.records.size()) +
             " records (data frames:";
        for (size_t r = 0; r < dl.records.size() && r < 12; ++r) s += " " + std::to_string(dl.records[r].pieces.size());
        if (dl.records.size() > 12) s += " ...";
        s += ")";
        if (!dl.endSent) s += ", cut after frame " + std::to_string(d.downloads[k + 1].header - 1) + " (" +
                              std::to_string(dl.sent) + " records whole)";
    }
    const NoisyLine line = Arrive(d);
    auto name = [&](int f) {
        const auto& sf = d.frames[f];
        std::string n = "frame " + std::to_string(f) + " (";
        if (sf.piece >= 0) n += "record " + std::to_string(sf.record) + " data '" + static_cast<char>(sf.bytes[2]) + "'";
        else if (sf.record >= 0) n += "record " + std::to_string(sf.record) + " boundary";
        else n += sf.bytes[2] == 'D' ? "header" : "end";
        return n + ", " + std::to_string(sf.bytes.size()) + " bytes)";
    };
    for (int f = 0; f < static_cast<int>(d.frames.size()); ++f) {
        std::string what;
        std::vector<int> lost;
        for (const auto& e : d.edits) {
            if (e.frame != f) continue;
            if (e.kind == NoisyDownload::Edit::Lose) lost.push_back(e.at);
            if (e.kind == NoisyDownload::Edit::Flip) what += " byte " + std::to_string(e.at) + " changed;";
            if (e.kind == NoisyDownload::Edit::Insert)
                what += " " + std::to_string(e.bytes.size()) + " bytes inserted before byte " + std::to_string(e.at) + ";";
        }
        std::sort(lost.begin(), lost.end());
        lost.erase(std::unique(lost.begin(), lost.end()), lost.end());
        if (lost.size() == d.frames[f].bytes.size()) what += " lost whole;";
        else if (!lost.empty())
            what += " " + std::to_string(lost.size()) + " bytes lost from byte " + std::to_string(lost.front()) + ";";
        if (!d.noiseBefore[f].empty()) what += " " + std::to_string(d.noiseBefore[f].size()) + " bytes of noise before it;";
        if (d.quietBefore[f]) what += " the line quiet " + std::to_string(d.quietBefore[f]) + " ticks before it;";
        for (const auto& im : d.images)
            if (im.frame == f && !line.exact[f]) what += std::string(" holds a whole '") + static_cast<char>(im.command) + "' frame image;";
        if (!what.empty()) s += "\n  " + name(f) + ":" + what + (line.Required(f) ? " (arrived intact)" : "");
    }
    return s;
}

}  // namespace dialscope::testing

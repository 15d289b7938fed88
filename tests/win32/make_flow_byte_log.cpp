// Writes tests/win32/data/flow_bytes.log, the simulator's call log for the
// end-to-end download: records whose bytes on the line hold 0x11 and 0x13
// (the XON and XOFF a tty with software flow control would act on) in every
// place: labels, dates, times, the label/letter byte, texts, and the high and
// low checksum bytes of the header, data and boundary frames. The checksums
// are steered by two filler bytes at the end of each data frame's text and
// of the last label, and by the free date and time fields of each record.
//
//   g++ -std=c++20 -I. -o /tmp/make_flow_byte_log tests/win32/make_flow_byte_log.cpp protocol/crc.cpp
//   /tmp/make_flow_byte_log > tests/win32/data/flow_bytes.log
//
// Frames as the simulator sends them: 7E 7E command length payload crcHi
// crcLo, the checksum over command, length and payload; record texts cut into
// data frames of 76 bytes lettered 'P' to '^'; boundary frame 'B' with
// label | letter << 4, three date and two time bytes.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "protocol/crc.h"

namespace {

using dialscope::CrcBuffer;
using dialscope::CrcStep;
using namespace std::string_literals;

constexpr size_t kFramePayload = 76;

bool Flow(uint8_t b) { return b == 0x11 || b == 0x13; }

uint16_t FrameCrc(uint8_t command, const std::string& payload) {
    uint16_t crc = CrcStep(CrcStep(0, command), uint8_t(payload.size()));
    return CrcBuffer(crc, reinterpret_cast<const uint8_t*>(payload.data()), int32_t(payload.size()));
}

// Two bytes appended to `payload` that give its frame the checksum `want`.
std::string Steer(uint8_t command, std::string payload, uint16_t want) {
    payload += "..";
    for (int v = 0; v < 0x10000; ++v) {
        payload[payload.size() - 2] = char(v >> 8);
        payload[payload.size() - 1] = char(v);
        if (FrameCrc(command, payload) == want) return payload.substr(payload.size() - 2);
    }
    std::fprintf(stderr, "no filler gives %04X\n", want);
    std::exit(1);
}

// The checksums the frames are steered to, in turn: 0x11 and 0x13 in both
// bytes, together and alone.
constexpr std::array<uint16_t, 6> kTargets = {0x1113, 0x1311, 0x1111, 0x1313, 0x11A5, 0x5A13};

// Text pieces with flow bytes among the ordinary ones: CR LF, zero bytes,
// sync bytes with a data letter, bytes above 0x7F.
const std::array<std::string, 6> kPieces = {
    "Call from 0171 1913\x11 about the \x13order\r\n"s,
    "\x13\x11\x11\x13 zero\0byte ~~P "s,
    "caf\xe9 \x11\x13\x13\x11 line two\r\nend"s,
    "\x7e\x7e\x11\x7e\x13\x00\x11\x00\x13\xff\x91\x93"s,
    "17:19 on the 19th, 19:17 on the 17th\x13"s,
    "\x11"s,
};

// A record's text of about `length` bytes, every data frame ending in two
// filler bytes that steer its checksum to the next target.
std::string Text(size_t length, size_t* target) {
    std::string text;
    uint8_t letter = 'P';
    size_t piece = 0;
    while (text.size() < length) {
        const size_t n = std::min(kFramePayload, std::max<size_t>(length - text.size(), 2));
        std::string frame;
        while (frame.size() + 2 < n) frame += kPieces[piece++ % kPieces.size()];
        frame.resize(n - 2);
        frame += Steer(letter, frame, kTargets[(*target)++ % kTargets.size()]);
        text += frame;
        letter = letter == '^' ? 'P' : letter + 1;
    }
    return text;
}

struct Record {
    int label, letter;
    std::array<int, 5> when;   // date 1-3, time 1-2; -1: free, chosen for the checksum
    size_t textLength;
};

// Each record fixes 17 and 19 in some date and time fields and leaves the
// others free; the first byte is 0x11 (label 1, letter B) or 0x13 (label 3,
// letter B) in some of them.
const std::vector<Record> kRecords = {
    {1, 1, {17, 19, -1, 17, -1}, 40},
    {2, 0, {19, 17, 19, -1, -1}, 0},
    {3, 1, {-1, -1, 17, 19, 17}, 1300},
    {0, 2, {17, -1, 19, -1, 19}, 150},
    {1, 1, {-1, 19, -1, 17, 17}, 0},
    {5, 3, {19, -1, -1, 19, 19}, 76},
    {3, 1, {17, 17, -1, -1, 17}, 300},
    {6, 0, {-1, -1, 19, 17, 19}, 2},
    {7, 1, {19, 19, -1, -1, 17}, 77},
    {4, 2, {-1, 17, 17, 19, -1}, 500},
};

// Fills the two free fields so the boundary frame's checksum is `want`, or,
// when no choice gives it, holds a flow byte in both its bytes, or in one.
std::string Boundary(const Record& r, uint16_t want) {
    std::vector<int> free;
    for (int i = 0; i < 5; ++i)
        if (r.when[i] < 0) free.push_back(i);
    std::string best;
    int bestScore = 0;
    for (int v = 0; v < 100 * 100; ++v) {
        std::string p(6, '\0');
        p[0] = char(r.label | r.letter << 4);
        for (int i = 0; i < 5; ++i) p[1 + i] = char(r.when[i]);
        p[1 + free[0]] = char(v % 100);
        p[1 + free[1]] = char(v / 100);
        const uint16_t crc = FrameCrc('B', p);
        const int score = crc == want ? 3 : Flow(uint8_t(crc >> 8)) + Flow(uint8_t(crc));
        if (score > bestScore) best = p, bestScore = score;
    }
    if (best.empty()) {
        std::fprintf(stderr, "no date or time gives a boundary checksum with a flow byte\n");
        std::exit(1);
    }
    return best;
}

std::string Escaped(const std::string& bytes) {
    std::string out;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const uint8_t b = uint8_t(bytes[i]);
        if (b == ' ' && (i == 0 || i + 1 == bytes.size())) {
            out += "\\s";
        } else if (b >= 0x20 && b < 0x7F && b != '\\') {
            out += char(b);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", b);
            out += hex;
        }
    }
    return out;
}

}  // namespace

int main() {
    // Labels with flow bytes; the last two bytes of the last label steer the
    // header frame's checksum.
    std::array<std::string, 8> labels = {"DESK\x11", "\x13HALL", "OFFICE", "\x11\x13SHOP",
                                         "LINE\x13\x11", "FAX", "\x11", "PORCH\x13"};
    std::string header(8, '\0');
    for (int k = 0; k < 7; ++k) header += labels[k] + std::string(8 - labels[k].size(), '\0');
    header += labels[7];
    labels[7] += Steer('D', header, 0x1311);

    std::printf("# The end-to-end download's call log: 0x11 and 0x13 in labels, dates,\n"
                "# times, texts and every frame's checksum bytes. Made by\n"
                "# tests/win32/make_flow_byte_log.cpp; do not edit by hand.\n");
    for (int k = 0; k < 8; ++k) std::printf("label %d %s\n", k, Escaped(labels[k]).c_str());
    size_t target = 0;
    int flowInChecksums = 0;
    for (const Record& r : kRecords) {
        const std::string text = Text(r.textLength, &target);
        const std::string b = Boundary(r, kTargets[target++ % kTargets.size()]);
        const uint16_t crc = FrameCrc('B', b);
        flowInChecksums += Flow(uint8_t(crc >> 8)) + Flow(uint8_t(crc));
        std::printf("record %d %c %02d %02d %02d %02d %02d%s%s\n", r.label, 'A' + r.letter, b[1], b[2], b[3],
                    b[4], b[5], text.empty() ? "" : " ", Escaped(text).c_str());
    }
    std::fprintf(stderr, "%zu data frames steered; boundary checksums hold %d flow bytes\n",
                 target - kRecords.size(), flowInChecksums);
    return 0;
}

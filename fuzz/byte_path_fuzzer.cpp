// The whole byte path on the main thread, from the receive ring to the call
// log and the command frames sent back, driven by arbitrary device bytes.
//
// Input layout (make_seeds.cpp writes inputs of this shape):
//   byte 0  set-up: bits 0-1 starting dialogState (3 counts as 1), bit 2
//           pollWithD, bit 3 port closed at the start, bit 4 repair frame
//           checksums (see RepairChecksums), bits 5-6 how often the line goes
//           quiet for extra ticks (never, rarely, often, always long), bit 7
//           let the receive thread hold back rxPending now and then
//   byte 1  low 4 bits: the largest chunk the receive thread hands over at
//           once is 2^n bytes (at most 2047); high 4 bits mix into the seed
//   byte 2  seed of the chunk sizes and pauses
//   rest    the bytes the device sends
//
// After every tick the protocol's state is checked, every frame the program
// wrote must be one of its two command frames, every record appended to
// the log must have the record layout (a text line, "Tone only", or the text
// that arrived and then the damaged-text line), and every status line must be
// one the dialogue writes (checked in the shared fakes' hooks, which keep
// nothing). A violation traps. The ticks of a quiet stretch that only count
// towards the idle limit are counted rather than run (see `quiet` below): the
// target runs at about 10,000 inputs a second on one core instead of 1,500.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <string_view>
#include <vector>

#include "tests/support/fakes.h"
#include "tests/support/splitmix.h"
#include "protocol/crc.h"
#include "protocol/protocol.h"

#include "fuzz/fuzz_check.h"

namespace dialscope {

// What this target sees of the protocol's own state (it is a friend of
// Protocol): the parser's and the dialogue's variables and the record being
// collected.
struct ProtocolProbe {
    using State = Protocol::State;
    static State& state(Protocol& p) { return p.s_; }
    static const State& state(const Protocol& p) { return p.s_; }
    static const CallRecord& record(const Protocol& p) { return p.record_; }
};

}  // namespace dialscope

namespace {

using namespace dialscope;
using State = ProtocolProbe::State;

constexpr uint8_t kPollD[6] = {0x7E, 0x7E, 0x44, 0x00, 0xC1, 0x08};
constexpr uint8_t kPoll2[6] = {0x7E, 0x7E, 0x32, 0x00, 0x63, 0xF7};

bool IsDigitOrUnknown(uint8_t c) { return (c >= '0' && c <= '9') || c == '?'; }

// Two places of a date or time: two digits, or "??" for a value that does
// not fit.
bool IsTwoPlaces(const uint8_t* p) {
    if (p[0] == '?' || p[1] == '?') return p[0] == '?' && p[1] == '?';
    return IsDigitOrUnknown(p[0]) && IsDigitOrUnknown(p[1]);
}

bool Equals(const uint8_t* p, size_t n, std::string_view s) {
    return n == s.size() && std::memcmp(p, s.data(), n) == 0;
}

// Every record appended to the log has the record layout.
void CheckRecord(const State& s, const uint8_t* r, size_t n) {
    CHECK(r != nullptr);
    for (size_t i = 0; i < n; ++i) CHECK(r[i] != 0);

    // The number fills four places: " 7. ", "42. ", "100." and "***." from
    // 1000 on; it is the record number the dialogue has reached.
    const int32_t number = s.recordNumber;
    CHECK(number >= 1);
    char field[8];
    if (number <= 999) {
        std::snprintf(field, sizeof field, number <= 99 ? "%2d. " : "%3d.", static_cast<int>(number));
    } else {
        std::snprintf(field, sizeof field, "***.");
    }
    CHECK(n >= 4 + 26);
    CHECK(std::memcmp(r, field, 4) == 0);
    const uint8_t* h = r + 2;  // the label, letter, date and time from h[2] on
    size_t rest = n - 2;
    // h[2..9]: the label, any bytes but zero. The letter, or '?' for text
    // whose boundary frame was lost (always marked).
    CHECK((h[10] >= 'A' && h[10] <= 'D') || (h[10] == '?' && s.recordDamaged));
    CHECK(h[11] == ' ');
    CHECK(IsTwoPlaces(h + 12) && h[14] == '/' && IsTwoPlaces(h + 15) && h[17] == '/' &&
          IsTwoPlaces(h + 18));
    CHECK(h[20] == ' ');
    CHECK(IsTwoPlaces(h + 21) && h[23] == ':' && IsTwoPlaces(h + 24));
    CHECK(h[26] == '\r' && h[27] == '\n');

    const uint8_t* line = h + 28;
    size_t lineLen = rest - 28;
    CHECK(lineLen >= 2 && line[lineLen - 2] == '\r' && line[lineLen - 1] == '\n');
    // A record the dialogue marked (it may be incomplete): its text line, if
    // any text arrived, then the damaged-text line. An unmarked record may
    // end in the same words: the caller's text is whatever the line sent.
    if (s.recordDamaged) {
        const size_t markLen = std::strlen(kDamagedTextLine);
        CHECK(lineLen >= markLen && std::memcmp(line + lineLen - markLen, kDamagedTextLine, markLen) == 0);
        if (lineLen == markLen) return;
        lineLen -= markLen;
        CHECK(lineLen >= 2 && line[lineLen - 2] == '\r' && line[lineLen - 1] == '\n');
    } else if (Equals(line, lineLen, "     Tone only    \r\n")) {
        return;
    }
    CHECK(lineLen >= 8 && std::memcmp(line, "      ", 6) == 0);
    CHECK(lineLen - 8 <= kMaxRecordText);
}

// The window and the serial port as the protocol sees them: nothing kept,
// every status line, record and written frame checked as it comes.
struct CheckingFakes {
    testing::FakeWindow window;
    testing::FakeSerial serial;

    // *protocol is the protocol the records come from, once it is made.
    explicit CheckingFakes(const Protocol* const& protocol) {
        window.recording = false;
        window.onStatus = [](std::string_view line) {
            bool known = false;
            for (const char* own : kDialogueStatusLines) known = known || line == own;
            CHECK(known);
        };
        window.onRecord = [&protocol](const uint8_t* bytes, size_t count) {
            CheckRecord(ProtocolProbe::state(*protocol), bytes, count);
        };
        serial.recording = false;
        serial.onOpen = [](const char*) { CHECK(false); };  // the protocol never opens a port
        serial.onWrite = [](const uint8_t* bytes, uint32_t count) {
            CHECK(count == 6);
            CHECK(std::memcmp(bytes, kPollD, 6) == 0 || std::memcmp(bytes, kPoll2, 6) == 0);
        };
    }
};

using Rng = dialscope::testing::SplitMix64;

bool IsAcceptedCommand(uint8_t b) {
    return b == '0' || b == '1' || b == 'B' || b == 'D' || b == 'E' || (b >= 0x50 && b <= 0x5F);
}

// A random byte string almost never carries a good checksum, which leaves the
// dialogue unexplored. Framing the bytes the way the device does, this puts
// the right checksum into most frames; every eighth (by the seed) keeps the
// bytes it had.
void RepairChecksums(std::vector<uint8_t>& bytes, Rng& rng) {
    size_t i = 0;
    const size_t n = bytes.size();
    int state = 0;
    while (i < n) {
        uint8_t b = bytes[i];
        if (state == 0) {
            state = b == 0x7E ? 1 : 0;
            ++i;
        } else if (state == 1) {
            state = b == 0x7E ? 2 : 0;
            ++i;
        } else {
            if (!IsAcceptedCommand(b)) {
                state = b == 0x7E ? 2 : 0;  // a third 7E keeps the sync
                ++i;
                continue;
            }
            if (i + 1 >= n) break;
            if (bytes[i + 1] > kMaxPayload) {
                // The parser drops it, or takes the length byte for the
                // command of a frame whose second sync byte was damaged.
                ++i;
                state = IsAcceptedCommand(bytes[i]) ? 2 : 0;
                if (state == 0) ++i;
                continue;
            }
            size_t len = bytes[i + 1];
            size_t crcAt = i + 2 + len;
            if (crcAt + 2 > n) break;
            if (rng.Below(8) != 0) {
                uint16_t c = CrcBuffer(0, bytes.data() + i, static_cast<int32_t>(len + 2));
                bytes[crcAt] = static_cast<uint8_t>(c >> 8);
                bytes[crcAt + 1] = static_cast<uint8_t>(c & 0xFF);
            }
            i = crcAt + 2;
            state = 0;
        }
    }
}

void CheckState(const Protocol& protocol, const testing::FakeWindow& window) {
    const State& s = ProtocolProbe::state(protocol);
    CHECK(s.framePos >= 0 && s.framePos <= kFrameBufferSize);
    CHECK(s.parseState <= 7);
    CHECK(s.frameSync <= kSyncSecondDamaged);
    CHECK(s.dialogState <= 2);
    CHECK(s.expectedSeq >= 'P' && s.expectedSeq <= '^');
    CHECK(s.seqMisses <= 2);
    CHECK(s.idleTicks <= 40);
    CHECK(s.got0 == 0 && s.got1 == 0 && s.gotB == 0 && s.gotD == 0 && s.gotE == 0 && s.gotData == 0);
    // The tick always ends with its own timer running.
    CHECK(window.timers[static_cast<int>(Timer::time_com)]);
    // The record being collected stays within its limit, in the room
    // reserved for it when the protocol was made, and has no text until a
    // data frame begins it.
    const CallRecord& record = ProtocolProbe::record(protocol);
    CHECK(s.recordBegun <= 1);
    CHECK(record.text.size() <= kMaxRecordText && record.text.capacity() >= kMaxRecordText);
    if (!s.recordBegun) CHECK(record.text.empty());
}

// A chunk handed over by the receive thread, stored byte by byte as it
// stores them (the consumer runs only after).
void StoreChunk(RxRing& ring, const uint8_t* bytes, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) ring.Store(bytes[i]);
}

// What a quiet tick may leave changed: the idle count, and nothing else of
// the protocol's state or of what the window and the port were told.
struct QuietSnapshot {
    unsigned char state[sizeof(State)];
    int statusLines, records, indicatorChanges, hides, downloadsStarted, downloadsEnded, closes, lostWrites;
    size_t writes;
    bool timers[3];

    __attribute__((no_sanitize("address"))) void Take(const Protocol& protocol, const testing::FakeWindow& w, const testing::FakeSerial& p) {
        std::memcpy(state, static_cast<const void*>(&ProtocolProbe::state(protocol)), sizeof state);
        statusLines = w.statusLines;
        records = w.records;
        indicatorChanges = w.indicatorChanges;
        hides = w.hides;
        downloadsStarted = w.downloadsStarted;
        downloadsEnded = w.downloadsEnded;
        closes = p.closes;
        lostWrites = p.lostWrites;
        writes = p.writes;
        std::memcpy(timers, w.timers, sizeof timers);
    }
    // True when the tick since Take() only counted one more idle tick.
    __attribute__((no_sanitize("address"))) bool OnlyCounted(const Protocol& protocol, const testing::FakeWindow& w, const testing::FakeSerial& p) {
        QuietSnapshot now;
        now.Take(protocol, w, p);
        const size_t at = offsetof(State, idleTicks);
        if (now.state[at] != static_cast<unsigned char>(state[at] + 1)) return false;
        now.state[at] = state[at];
        return std::memcmp(now.state, state, sizeof state) == 0 && now.statusLines == statusLines &&
               now.records == records && now.indicatorChanges == indicatorChanges && now.hides == hides &&
               now.downloadsStarted == downloadsStarted && now.downloadsEnded == downloadsEnded &&
               now.closes == closes && now.lostWrites == lostWrites && now.writes == writes &&
               std::memcmp(now.timers, timers, sizeof timers) == 0;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const uint8_t setup = data[0];
    const uint32_t chunkLimit = std::min<uint32_t>(1u << (data[1] & 0x0F), kRxRingSize - 1);
    Rng rng{(static_cast<uint64_t>(data[1] >> 4) << 8) | data[2]};
    Rng crcRng{rng.state ^ 0xC2C2C2C2ull};
    const int idleMode = (setup >> 5) & 3;
    const bool holdPending = (setup & 0x80) != 0;

    // The input's bytes, the ring and the protocol live on from input to
    // input, the ring and the protocol built afresh in place: a new
    // allocation per input would come from fresh pages, ASan's quarantine
    // holding the freed ones.
    static std::vector<uint8_t> bytes;
    bytes.assign(data + 3, data + size);
    if (setup & 0x10) RepairChecksums(bytes, crcRng);

    const Protocol* made = nullptr;
    CheckingFakes fakes(made);
    testing::FakeWindow& window = fakes.window;
    testing::FakeSerial& serial = fakes.serial;
    alignas(testing::FakeLine) static unsigned char lineStorage[sizeof(testing::FakeLine)];
    alignas(Protocol) static unsigned char protocolStorage[sizeof(Protocol)];
    testing::FakeLine& line = *new (lineStorage) testing::FakeLine();
    Protocol& protocol = *new (protocolStorage) Protocol(line, window, serial);
    made = &protocol;
    RxRing& ring = line.ring;
    State& s = ProtocolProbe::state(protocol);
    s.dialogState = static_cast<uint8_t>((setup & 3) == 3 ? 1 : setup & 3);
    s.pollWithD = (setup >> 2) & 1;
    serial.portOpen = (setup & 0x08) == 0;

    // Every tick is followed by the state checks (CheckState).
    auto tick = [&] {
        protocol.ComTick();
        CheckState(protocol, window);
    };

    // A quiet stretch. A quiet tick with no flag raised only counts towards
    // the idle limit, so once one tick of the stretch has been seen to do
    // exactly that (QuietSnapshot), the ticks up to the one that reaches the
    // limit are counted at once instead of run: thousands of ticks an input
    // fewer, the same dialogue. The tick that reaches the limit and those
    // after it run. One stretch in 64 runs every tick, so that a tick
    // doing something short of the limit is still found.
    Rng quietRng{rng.state ^ 0x5A5A5A5A5A5A5A5Aull};
    QuietSnapshot before;
    auto quiet = [&](int ticks) {
        const bool everyTick = quietRng.Below(64) == 0;
        bool onlyCounts = false;
        for (int i = 0; i < ticks; ++i) {
            if (onlyCounts && !ring.pending() &&
                s.idleTicks + 1 < kIdleTicksLimit) {
                const int skip = std::min(ticks - i, kIdleTicksLimit - 1 - s.idleTicks);
                s.idleTicks = static_cast<uint8_t>(s.idleTicks + skip);
                i += skip - 1;
                continue;
            }
            if (everyTick) {
                tick();
                continue;
            }
            before.Take(protocol, window, serial);
            tick();
            onlyCounts = before.OnlyCounted(protocol, window, serial);
        }
    };

    size_t at = 0;
    bool pendingHeld = false;
    while (at < bytes.size()) {
        // Never more than the ring holds unread.
        uint32_t room = static_cast<uint32_t>(ring.Room());
        if (room == 0) {
            // The receive thread always raises the flag in the end.
            ring.RaisePending();
            tick();
            CHECK(ring.Unread() == 0);
            continue;
        }
        uint32_t chunk = 1 + rng.Below(std::min(chunkLimit, room));
        chunk = static_cast<uint32_t>(std::min<size_t>(chunk, bytes.size() - at));
        StoreChunk(ring, bytes.data() + at, chunk);
        at += chunk;
        // More bytes still in the driver's queue: the flag comes later.
        pendingHeld = holdPending && rng.Below(4) == 0;
        if (!pendingHeld) ring.RaisePending();
        tick();
        if (!pendingHeld) CHECK(ring.Unread() == 0);

        int quietTicks = 0;
        switch (idleMode) {
        case 1: quietTicks = rng.Below(32) == 0 ? static_cast<int>(rng.Below(45)) : 0; break;
        case 2: quietTicks = rng.Below(4) == 0 ? static_cast<int>(rng.Below(45)) : 0; break;
        case 3: quietTicks = 41; break;
        default: break;
        }
        quiet(quietTicks);
    }
    if (pendingHeld) {
        ring.RaisePending();
        tick();
    }
    // The line goes quiet: every pending time-out runs out.
    quiet(42);
    CHECK(ring.Unread() == 0);
    // BYTE_PATH_VERBOSE=1 when replaying an input by hand.
    static const bool verbose = std::getenv("BYTE_PATH_VERBOSE") != nullptr;
    if (verbose)
        std::fprintf(stderr, "records %d, frames written %zu, dialogState %d, recordNumber %d, port %s\n",
                     window.records, serial.writes + static_cast<size_t>(serial.lostWrites), s.dialogState,
                     s.recordNumber,
                     serial.portOpen ? "open" : "closed");
    std::destroy_at(&protocol);
    std::destroy_at(&line);
    return 0;
}

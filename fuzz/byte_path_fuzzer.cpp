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
// After every tick the link's state is checked, every frame the program
// wrote must be one of its two command frames, every record appended to
// the log must have the record layout (a text line, "Tone only", or the text
// that arrived and then the damaged-text line), and every status line must be
// one the dialogue writes (checked in the shared fakes' hooks, which keep
// nothing). A violation traps.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "tests/support/fakes.h"
#include "tests/support/splitmix.h"
#include "protocol/crc.h"
#include "protocol/protocol.h"
#include "protocol/rx_ring.h"

namespace {

using namespace dialscope;

#define CHECK(cond)                    \
    do {                               \
        if (!(cond)) __builtin_trap(); \
    } while (0)

constexpr uint8_t kPollD[6] = {0x7E, 0x7E, 0x44, 0x00, 0xC1, 0x08};
constexpr uint8_t kPoll2[6] = {0x7E, 0x7E, 0x32, 0x00, 0x63, 0xF7};
constexpr int kMaxShownText = 8151;

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
void CheckRecord(const LinkState& s, const uint8_t* r, size_t n) {
    CHECK(r != nullptr);
    for (size_t i = 0; i < n; ++i) CHECK(r[i] != 0);

    // The number: " d" or "dd" up to 99, all its digits from 100 on; it
    // is the record number the dialogue has reached.
    const int32_t number = s.recordNumber;
    CHECK(number >= 1);
    char digits[16];
    size_t d = 0;
    for (int32_t v = number; v > 0; v /= 10) digits[d++] = static_cast<char>('0' + v % 10);
    size_t width = number <= 9 ? 2 : d;
    CHECK(n >= width + 26 + 2);
    if (number <= 9) {
        CHECK(r[0] == ' ' && r[1] == '0' + number);
    } else {
        for (size_t i = 0; i < d; ++i) CHECK(r[i] == static_cast<uint8_t>(digits[d - 1 - i]));
    }
    const uint8_t* h = r + width;  // from the full stop on, fixed places
    size_t rest = n - width;
    CHECK(h[0] == '.' && h[1] == ' ');
    // h[2..9]: the label, any bytes but zero.
    CHECK(h[10] >= 'A' && h[10] <= 'D');
    CHECK(h[11] == ' ');
    CHECK(IsTwoPlaces(h + 12) && h[14] == '/' && IsTwoPlaces(h + 15) && h[17] == '/' &&
          IsTwoPlaces(h + 18));
    CHECK(h[20] == ' ');
    CHECK(IsTwoPlaces(h + 21) && h[23] == ':' && IsTwoPlaces(h + 24));
    CHECK(h[26] == '\r' && h[27] == '\n');

    const uint8_t* line = h + 28;
    size_t lineLen = rest - 28;
    CHECK(lineLen >= 2 && line[lineLen - 2] == '\r' && line[lineLen - 1] == '\n');
    if (Equals(line, lineLen, "     Tone only    \r\n")) return;
    // A record that may be incomplete: its text line, if any text arrived,
    // then the damaged-text line.
    const size_t markLen = std::strlen(kDamagedTextLine);
    if (Equals(line, lineLen, kDamagedTextLine)) return;
    if (lineLen >= markLen && std::memcmp(line + lineLen - markLen, kDamagedTextLine, markLen) == 0) {
        lineLen -= markLen;
        CHECK(lineLen >= 2 && line[lineLen - 2] == '\r' && line[lineLen - 1] == '\n');
    }
    CHECK(lineLen >= 8 && std::memcmp(line, "      ", 6) == 0);
    CHECK(lineLen - 8 <= static_cast<size_t>(kMaxShownText));
}

// The window and the serial port as the protocol sees them: nothing kept,
// every status line, record and written frame checked as it comes.
struct CheckingFakes {
    testing::FakeWindow window;
    testing::FakeSerial serial;

    explicit CheckingFakes(const LinkState& s) {
        window.recording = false;
        window.onStatus = [](std::string_view line) {
            CHECK(line == kReadOkLine || line == kRecordLostLine || line == kRecordMayBeLostLine ||
                  line == kNoEndFrameLine);
        };
        window.onRecord = [&s](const uint8_t* bytes, size_t count) { CheckRecord(s, bytes, count); };
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
                state = 0;
                ++i;
                continue;
            }
            if (i + 1 >= n) break;
            if (bytes[i + 1] > kMaxPayload) {  // the parser drops it with its length byte
                state = 0;
                i += 2;
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

void CheckState(const Link& link, const testing::FakeWindow& window) {
    const LinkState& s = link.state;
    CHECK(s.framePos >= 0 && s.framePos <= kFrameBufferSize);
    CHECK(s.rxTail >= 0 && s.rxTail < kRxRingSize);
    CHECK(s.parseState <= 7);
    CHECK(s.frameSync <= kSyncSecondDamaged);
    CHECK(s.dialogState <= 2);
    CHECK(s.expectedSeq >= 'P' && s.expectedSeq <= '^');
    CHECK(s.seqMisses <= 2);
    CHECK(s.idleTicks <= 40);
    CHECK(s.got0 == 0 && s.got1 == 0 && s.gotB == 0 && s.gotD == 0 && s.gotE == 0 && s.gotData == 0);
    // The tick always ends with its own timer running.
    CHECK(window.timers[static_cast<int>(Timer::time_com)]);

    // The record text: empty and all zero, or being collected behind a
    // header area that stays zero until output, with nothing past its end.
    const int32_t len = s.textLength;
    CHECK(len == 0 || (len >= 36 && len <= kTextBufferSize - 5));
    static const uint8_t zeros[kTextBufferSize] = {};
    const uint8_t* t = link.TextBuffer;
    CHECK(std::memcmp(t + len, zeros, static_cast<size_t>(kTextBufferSize - len)) == 0);
    if (len != 0) CHECK(std::memcmp(t, zeros, 36) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const uint8_t setup = data[0];
    const uint32_t chunkLimit = std::min<uint32_t>(1u << (data[1] & 0x0F), kRxRingSize - 1);
    Rng rng{(static_cast<uint64_t>(data[1] >> 4) << 8) | data[2]};
    Rng crcRng{rng.state ^ 0xC2C2C2C2ull};
    const int idleMode = (setup >> 5) & 3;
    const bool holdPending = (setup & 0x80) != 0;

    std::vector<uint8_t> bytes(data + 3, data + size);
    if (setup & 0x10) RepairChecksums(bytes, crcRng);

    auto link = std::make_unique<Link>();
    CheckingFakes fakes(link->state);
    testing::FakeWindow& window = fakes.window;
    testing::FakeSerial& serial = fakes.serial;
    Protocol protocol(*link, window, serial);
    LinkState& s = link->state;
    s.dialogState = static_cast<uint8_t>((setup & 3) == 3 ? 1 : setup & 3);
    s.pollWithD = (setup >> 2) & 1;
    serial.portOpen = (setup & 0x08) == 0;
    // As the supervisor leaves it once the device has answered its probe.
    s.connectState = kSupervisorHandedOver;

    // The full buffer check is the costly one: run it whenever the record
    // text may have changed (bytes parsed, or its length moved), not on
    // every quiet tick that cannot touch it.
    int32_t lastLength = -1;
    auto tick = [&] {
        const bool parsing = s.rxPending.load(std::memory_order_relaxed) != 0;
        protocol.ComTick();
        if (parsing || s.textLength != lastLength) {
            CheckState(*link, window);
            lastLength = s.textLength;
        } else {
            CHECK(s.idleTicks <= 40);
            CHECK(s.dialogState <= 2);
        }
    };

    size_t at = 0;
    bool pendingHeld = false;
    while (at < bytes.size()) {
        // Never more than the ring holds unread.
        uint32_t room = static_cast<uint32_t>(kRxRingSize - 1 - UnreadBytes(*link));
        if (room == 0) {
            // The receive thread always raises the flag in the end.
            RaiseRxPending(*link);
            tick();
            CHECK(UnreadBytes(*link) == 0);
            continue;
        }
        uint32_t chunk = 1 + rng.Below(std::min(chunkLimit, room));
        chunk = static_cast<uint32_t>(std::min<size_t>(chunk, bytes.size() - at));
        for (uint32_t i = 0; i < chunk; ++i) StoreReceivedByte(*link, bytes[at + i]);
        at += chunk;
        // More bytes still in the driver's queue: the flag comes later.
        pendingHeld = holdPending && rng.Below(4) == 0;
        if (!pendingHeld) RaiseRxPending(*link);
        tick();
        if (!pendingHeld) CHECK(UnreadBytes(*link) == 0);

        int quiet = 0;
        switch (idleMode) {
        case 1: quiet = rng.Below(32) == 0 ? static_cast<int>(rng.Below(45)) : 0; break;
        case 2: quiet = rng.Below(4) == 0 ? static_cast<int>(rng.Below(45)) : 0; break;
        case 3: quiet = 41; break;
        default: break;
        }
        for (int i = 0; i < quiet; ++i) tick();
    }
    if (pendingHeld) {
        RaiseRxPending(*link);
        tick();
    }
    // The line goes quiet: every pending time-out runs out.
    for (int i = 0; i < 42; ++i) tick();
    CHECK(UnreadBytes(*link) == 0);
    // BYTE_PATH_VERBOSE=1 when replaying an input by hand.
    static const bool verbose = std::getenv("BYTE_PATH_VERBOSE") != nullptr;
    if (verbose)
        std::fprintf(stderr, "records %d, frames written %zu, dialogState %d, recordNumber %d, port %s\n",
                     window.records, serial.writes + static_cast<size_t>(serial.lostWrites), s.dialogState,
                     s.recordNumber,
                     serial.portOpen ? "open" : "closed");
    return 0;
}

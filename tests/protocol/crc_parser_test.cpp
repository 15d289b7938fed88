#include <gtest/gtest.h>

#include "tests/support/frames.h"

namespace dialscope::testing {
namespace {

uint16_t Crc(const Bytes& b) {
    return CrcBuffer(0, reinterpret_cast<const uint8_t*>(b.data()), static_cast<int32_t>(b.size()));
}

TEST(Crc, WorkedValuesAndTableMatchesBitwise) {
    EXPECT_EQ(Crc(""), 0x0000);
    EXPECT_EQ(Crc("abc"), 0x9DD6);
    EXPECT_EQ(Crc(Bytes("D\0", 2)), 0xC108);
    EXPECT_EQ(Crc(Bytes("2\0", 2)), 0x63F7);
    EXPECT_EQ(Crc(Bytes("0\0", 2)), 0x0595);
    EXPECT_EQ(Crc(Bytes("1\0", 2)), 0x36A4);
    EXPECT_EQ(Crc(Bytes("E\0", 2)), 0xF239);
    EXPECT_EQ(Crc("123456789"), 0x31C3);
    EXPECT_EQ(Crc("\x50\x01\x7E"), 0xF2A6);

    const uint8_t any[] = {1, 2, 3};
    EXPECT_EQ(CrcBuffer(0x1234, any, 0), 0x1234);
    EXPECT_EQ(CrcBuffer(0x1234, any, -5), 0x1234);

    // The table-driven buffer CRC agrees with the bitwise step for every byte
    // value and a non-zero start.
    for (int v = 0; v < 256; ++v) {
        uint8_t b = static_cast<uint8_t>(v);
        EXPECT_EQ(CrcBuffer(0xBEEF, &b, 1), CrcStep(0xBEEF, b)) << v;
    }
}

TEST(SendCommand, WritesExactCommandFrames) {
    CoreHarness h;
    EXPECT_TRUE(h.protocol.SendCommand('D'));
    EXPECT_TRUE(h.protocol.SendCommand('2'));
    ASSERT_EQ(h.serial.frames.size(), 2u);
    EXPECT_EQ(h.serial.frames[0], Bytes("\x7E\x7E\x44\x00\xC1\x08", 6));
    EXPECT_EQ(h.serial.frames[1], Bytes("\x7E\x7E\x32\x00\x63\xF7", 6));

    h.serial.portOpen = false;  // no port: the write fails, nothing is sent
    EXPECT_FALSE(h.protocol.SendCommand('2'));
    EXPECT_EQ(h.serial.frames.size(), 2u);
}

// Records which frames reach the dialogue by answering '1' frames: every
// good '1' frame the parser hands on makes the program send one 'D'.
int DsSentFor(const Bytes& bytes) {
    CoreHarness h;
    h.Feed(bytes);
    int n = 0;
    for (auto& f : h.serial.frames) n += f == Bytes("\x7E\x7E\x44\x00\xC1\x08", 6);
    return n;
}

TEST(Parser, FindsFramesThroughNoiseAndRefusedCommands) {
    Bytes one = Frame('1');
    EXPECT_EQ(one, Bytes("\x7E\x7E\x31\x00\x36\xA4", 6));
    EXPECT_EQ(DsSentFor(one), 1);
    EXPECT_EQ(DsSentFor("\x7E\x41" + one), 1);          // noise, then a frame
    EXPECT_EQ(DsSentFor("\x7E" + one), 1);              // a stray 7E before the sync pair
    EXPECT_EQ(DsSentFor(one + one + one), 3);           // several frames in one tick, in order
    EXPECT_EQ(DsSentFor("\x7E\x7Ez" + one), 1);         // refused command byte, then hunting again
    EXPECT_EQ(DsSentFor(CorruptCrc(one)), 0);
}

TEST(Parser, FrameLengths) {
    CoreHarness h;
    h.Feed(HeaderFrame({"DESK"}));
    h.window.log.Clear();
    h.Feed(Frame('P', Bytes(76, 'x')));  // the largest frame fills the frame buffer exactly
    h.Feed(Frame('Q', ""));  // length 0: straight to the CRC bytes

    // 0x7E inside the payload is data; 'R' is in turn after the empty 'Q'.
    h.Feed(Bytes("\x7E\x7E\x52\x01\x7E", 5) + Bytes(1, char(Crc("\x52\x01\x7E") >> 8)) +
           Bytes(1, char(Crc("\x52\x01\x7E") & 0xFF)));
    h.Feed(BoundaryFrame(0, 0, 1, 2, 3, 4, 5));
    EXPECT_EQ(h.window.log.Bytes(), " 1. DESK    A 01/02/03 04:05\r\n      " + Bytes(76, 'x') + "\x7E\r\n");
    EXPECT_TRUE(h.window.status.empty());
}

TEST(Parser, OverlongLengthByteIsDroppedWithoutOverrunOrStall) {
    CoreHarness h;
    for (int len : {77, 0x7E, 255}) {
        Bytes bad = "\x7E\x7E\x31" + Bytes(1, char(len)) + Bytes(300, '\x7E');
        h.Feed(bad);
        h.Feed(Frame('1'));
    }
    // Each overlong frame was dropped at once, and the frame behind it was
    // still found: three 'D' replies.
    EXPECT_EQ(h.serial.commands(), "DDD");
}

TEST(Parser, FrameSplitAcrossTicksAndRingWrap) {
    CoreHarness h;
    // Start near the end of the ring so the frame wraps from 2047 to 0.
    h.Feed(Bytes(2045, '\0'));
    ASSERT_EQ(h.line.ring.head(), 2045);
    Bytes one = Frame('1');
    for (char c : one) h.Feed(Bytes(1, c));
    EXPECT_EQ(h.serial.commands(), "D");
    EXPECT_EQ(h.line.ring.head(), (2045 + 6) % 2048);
    EXPECT_EQ(h.line.Unread(), 0);
}

TEST(Ring, WrapsStraightFrom2047ToZero) {
    RxRing ring;
    uint8_t byte = 0;
    for (int i = 0; i < 2047; ++i) {
        ring.Store(0);
        ASSERT_TRUE(ring.Next(byte));
    }
    ring.Store(0x11);
    EXPECT_EQ(ring.head(), 0);
    ring.Store(0x22);
    EXPECT_EQ(ring.head(), 1);
    EXPECT_EQ(ring.Unread(), 2);
    ASSERT_TRUE(ring.Next(byte));
    EXPECT_EQ(byte, 0x11);
    ASSERT_TRUE(ring.Next(byte));
    EXPECT_EQ(byte, 0x22);
    EXPECT_FALSE(ring.Next(byte));
}

// 2047 unread bytes all arrive; 2048 look like an empty ring; 2049 show as
// one byte, the newest. The ring has no overrun detection by design.
TEST(Ring, UnreadCountsAtCapacity) {
    for (int stored : {2047, 2048, 2049}) {
        CoreHarness h;
        h.Feed(Bytes(100, 'n'));
        Bytes bytes;
        for (int i = 0; i < stored; ++i) bytes += char(i == stored - 1 ? 0x7E : 'n');
        h.Push(bytes);
        int unread = h.line.Unread();
        h.Tick();
        EXPECT_EQ(unread, stored % 2048 == 0 ? 0 : (stored > 2048 ? 1 : 2047)) << stored;
        EXPECT_EQ(h.line.Unread(), 0);
        // The last byte stored was 0x7E; the parser saw it unless the ring
        // looked empty: then a '1' frame missing only its second sync byte
        // is found.
        h.Feed(Frame('1').substr(2));
        EXPECT_EQ(h.serial.commands(), stored == 2048 ? "" : "D") << stored;
    }
}

}  // namespace
}  // namespace dialscope::testing

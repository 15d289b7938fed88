#include <gtest/gtest.h>

#include "tests/support/frames.h"

namespace dialscope::testing {
namespace {

const Bytes kHeader = HeaderFrame({"DESK"});

TEST(Dialogue, AnswersPollsAndTracksDeviceAnswered) {
    CoreHarness h;  // polling
    h.Feed(Frame('1'));
    EXPECT_EQ(h.serial.commands(), "D");
    EXPECT_EQ(h.s().dialogState, 1);
    EXPECT_EQ(h.s().deviceAnswered, 1);
    EXPECT_EQ(h.s().pollWithD, 1);

    // '0' in polling: waiting, answered, no reply.
    h.s().deviceAnswered = 0;
    h.Feed(Frame('0'));
    EXPECT_EQ(h.s().dialogState, 0);
    EXPECT_EQ(h.s().deviceAnswered, 1);
    EXPECT_EQ(h.s().pollWithD, 0);

    // Waiting ignores everything but '1', and a '1' there does not count as an answer.
    h.s().deviceAnswered = 0;
    h.Feed(kHeader + Frame('E') + Frame('P', "x") + BoundaryFrame(0, 0, 1, 1, 1, 1, 1));
    EXPECT_EQ(h.s().dialogState, 0);
    EXPECT_EQ(h.serial.commands(), "D");
    h.Feed(Frame('1'));
    EXPECT_EQ(h.serial.commands(), "DD");
    EXPECT_EQ(h.s().dialogState, 1);
    EXPECT_EQ(h.s().deviceAnswered, 0);

    // Polling ignores data, boundary and end frames.
    h.Feed(Frame('P', "x") + BoundaryFrame(0, 0, 1, 1, 1, 1, 1) + Frame('E'));
    EXPECT_EQ(h.s().dialogState, 1);
    EXPECT_TRUE(h.window.log.Empty());
    EXPECT_TRUE(h.window.status.empty());
}

TEST(Dialogue, BadCrcChangesNothingOutsideARecord) {
    for (uint8_t state : {0, 1, 2}) {
        CoreHarness h;
        h.s().dialogState = state;
        h.s().textLength = 0;
        for (Bytes f : {Frame('0'), Frame('1'), kHeader, Frame('E')}) h.Feed(CorruptCrc(f));
        if (state != 2) {
            h.Feed(CorruptCrc(Frame('P', "abc")) + CorruptCrc(BoundaryFrame(0, 0, 1, 1, 1, 1, 1)));
        }
        EXPECT_EQ(h.s().dialogState, state);
        EXPECT_TRUE(h.serial.frames.empty());
        EXPECT_EQ(h.s().textLength, 0);
        EXPECT_EQ(h.s().deviceAnswered, 0);
        EXPECT_TRUE(h.window.status.empty());
        EXPECT_EQ(h.window.indicatorChanges, 0);
        EXPECT_EQ(h.s().got0 | h.s().got1 | h.s().gotB | h.s().gotD | h.s().gotE | h.s().gotData, 0);
    }
}

// The device never repeats a frame: a record that lost a data frame is shown
// with a marker instead of its text, and a lost boundary frame is reported.
TEST(Dialogue, DamagedFramesNeverGarbleARecord) {
    CoreHarness h;
    h.Feed(kHeader);
    h.window.log.Clear();
    // Middle frame damaged: the rest of the record is not shown with a hole.
    h.Feed(Frame('P', "one ") + CorruptCrc(Frame('Q', "two ")) + Frame('R', "three") +
           BoundaryFrame(0, 0, 1, 2, 3, 4, 5));
    EXPECT_EQ(h.window.log.Bytes(), " 1. DESK    A 01/02/03 04:05\r\n      (text damaged in transfer)\r\n");
    // Last frame damaged (nothing after it shows the gap but the checksum).
    h.window.log.Clear();
    h.Feed(Frame('P', "one ") + CorruptCrc(Frame('Q', "two")) + BoundaryFrame(0, 0, 1, 2, 3, 4, 5));
    EXPECT_NE(h.window.log.Bytes().find("(text damaged in transfer)"), Bytes::npos);
    // The first frame lost: the record is not passed off as "Tone only".
    h.window.log.Clear();
    h.Feed(CorruptCrc(Frame('P', "one")) + Frame('Q', "two") + BoundaryFrame(0, 0, 1, 2, 3, 4, 5));
    EXPECT_EQ(h.window.log.Bytes().find("Tone only"), Bytes::npos);
    EXPECT_NE(h.window.log.Bytes().find("(text damaged in transfer)"), Bytes::npos);
    // The next record is whole again.
    h.window.log.Clear();
    h.Feed(Frame('P', "fine") + BoundaryFrame(0, 0, 1, 2, 3, 4, 5));
    EXPECT_EQ(h.window.log.Bytes().substr(30), "      fine\r\n");
    // A damaged boundary frame: its record's text does not run on into the
    // next record, and the loss is reported.
    h.window.log.Clear();
    h.Feed(Frame('P', "lost") + CorruptCrc(BoundaryFrame(0, 0, 1, 2, 3, 4, 5)) + Frame('P', "next") +
           BoundaryFrame(0, 0, 1, 2, 3, 4, 6));
    EXPECT_EQ(h.window.log.Bytes(), " 5. DESK    A 01/02/03 04:06\r\n      next\r\n");
    ASSERT_EQ(h.window.status.size(), 1u);
    EXPECT_EQ(h.window.status[0], kRecordLostLine);
    EXPECT_EQ(h.s().dialogState, 2);
    EXPECT_TRUE(h.serial.frames.empty());
}

TEST(Dialogue, HeaderStartsDownload) {
    CoreHarness h;
    h.s().recordNumber = 7;
    h.Feed(kHeader);
    EXPECT_EQ(h.s().dialogState, 2);
    EXPECT_EQ(h.s().deviceAnswered, 1);
    EXPECT_TRUE(h.window.indicatorRed);
    EXPECT_TRUE(h.window.timer(Timer::AutoDisp));
    EXPECT_EQ(h.s().recordNumber, 0);
    EXPECT_EQ(0, std::memcmp(h.link->LabelTable, "DESK\0\0\0\0", 8));
    // '1' and 'D' during a download are ignored.
    h.Feed(Frame('1') + kHeader);
    EXPECT_TRUE(h.serial.frames.empty());
}

TEST(Dialogue, SequenceLettersAndMisses) {
    CoreHarness h;
    h.Feed(kHeader);
    // A record must begin with 'P': a 'Q' first is a miss and not stored.
    h.Feed(Frame('Q', "q"));
    EXPECT_EQ(h.s().seqMisses, 1);
    EXPECT_EQ(h.s().textLength, 0);
    // Then 'P' .. '^' and 'P' again are all accepted; the count is reset.
    Bytes all;
    for (uint8_t c = 'P'; c <= '^'; ++c) all += Frame(c, Bytes(1, char(c)));
    h.Feed(all + Frame('P', "P"));
    EXPECT_EQ(h.s().seqMisses, 0);
    EXPECT_EQ(h.s().textLength, 36 + 16);
    EXPECT_EQ(h.s().expectedSeq, 'Q');
    // '_' is never expected.
    h.Feed(Frame('_', "x"));
    EXPECT_EQ(h.s().seqMisses, 1);
    EXPECT_EQ(h.s().textLength, 36 + 16);
    EXPECT_EQ(h.s().expectedSeq, 'Q');
    // A right letter between misses resets the count.
    h.Feed(Frame('S', "x") + Frame('Q', "q") + Frame('S', "x"));
    EXPECT_EQ(h.s().seqMisses, 1);
    EXPECT_EQ(h.s().dialogState, 2);
}

TEST(Dialogue, ThirdMissAcrossRecordsRestarts) {
    CoreHarness h;
    h.Feed(kHeader);
    // Two misses in one record, which is then output; the count carries over.
    h.Feed(Frame('P', "a") + Frame('S', "x") + Frame('T', "x") + BoundaryFrame(0, 0, 1, 1, 1, 1, 1));
    EXPECT_EQ(h.s().seqMisses, 2);
    EXPECT_EQ(h.window.records, 1);
    h.Feed(Frame('P', "b"));  // in sequence: reset
    EXPECT_EQ(h.s().seqMisses, 0);
    h.Feed(Frame('S') + Frame('S') + BoundaryFrame(0, 0, 1, 1, 1, 1, 1) + Frame('S'));
    EXPECT_EQ(h.window.records, 2);  // the boundary frame between the misses output record "b"
    EXPECT_EQ(h.s().seqMisses, 0);
    EXPECT_EQ(h.s().dialogState, 1);
    EXPECT_FALSE(h.window.indicatorRed);
    EXPECT_EQ(h.s().textLength, 0);
    EXPECT_EQ(h.serial.commands(), "2");  // one poll, '2' as pollWithD is clear
    EXPECT_TRUE(h.window.timer(Timer::AutoDisp));  // the animation keeps running
}

TEST(Dialogue, IdlePollEvery41SilentTicks) {
    CoreHarness h;
    h.Tick(40);
    EXPECT_TRUE(h.serial.frames.empty());
    h.Tick();  // 41st silent tick
    EXPECT_EQ(h.serial.commands(), "2");
    h.Tick(40);
    EXPECT_EQ(h.serial.commands(), "2");
    h.Tick();
    EXPECT_EQ(h.serial.commands(), "22");

    // Any received bytes, noise included, restart the count.
    h.Tick(30);
    h.Feed("noise");
    h.Tick(39);
    EXPECT_EQ(h.serial.commands(), "22");
    h.Tick();
    EXPECT_EQ(h.serial.commands(), "222");

    // After a '1' the poll is 'D'; with no port open the poll is lost quietly.
    h.Feed(Frame('1'));
    h.serial.portOpen = false;
    h.Tick(41);
    EXPECT_EQ(h.serial.commands(), "222D");
    EXPECT_EQ(h.serial.lostWrites, 1);
    // Waiting: idle actions do nothing.
    h.serial.portOpen = true;
    h.Feed(Frame('0'));
    h.Tick(200);
    EXPECT_EQ(h.serial.commands(), "222D");
}

TEST(Dialogue, StalledRecordRestartsOnlyWhenBegun) {
    CoreHarness h;
    h.Feed(kHeader);
    h.Tick(100);  // no record begun: no time-out
    EXPECT_EQ(h.s().dialogState, 2);
    EXPECT_TRUE(h.serial.frames.empty());

    h.Feed(Frame('P'));  // an empty first frame still begins the record
    EXPECT_EQ(h.s().textLength, 36);
    h.Tick(39);
    EXPECT_EQ(h.s().dialogState, 2);
    h.Tick();
    EXPECT_EQ(h.s().dialogState, 1);
    EXPECT_EQ(h.s().textLength, 0);
    EXPECT_FALSE(h.window.indicatorRed);
    EXPECT_EQ(h.serial.commands(), "2");
}

TEST(Dialogue, ZeroFrameDuringDownload) {
    CoreHarness h;
    h.Feed(kHeader + Frame('P', "partial"));
    h.Feed(Frame('0'));
    EXPECT_EQ(h.s().dialogState, 0);
    EXPECT_EQ(h.s().textLength, 0);
    EXPECT_FALSE(h.window.indicatorRed);
    EXPECT_TRUE(h.window.timer(Timer::AutoDisp));
    EXPECT_TRUE(h.serial.portOpen);
    h.Feed(Frame('1'));
    EXPECT_EQ(h.serial.commands(), "D");
    EXPECT_EQ(h.s().dialogState, 1);
}

TEST(Dialogue, EndFrameEndsDownload) {
    CoreHarness h;
    h.Feed(kHeader + Frame('P', "never closed"));
    h.Feed(Frame('E'));
    EXPECT_FALSE(h.serial.portOpen);
    EXPECT_EQ(h.serial.closes, 1);
    EXPECT_TRUE(h.window.timer(Timer::time_com));  // re-enabled at the end of the tick
    EXPECT_FALSE(h.window.timer(Timer::watch_serial));
    EXPECT_FALSE(h.window.timer(Timer::AutoDisp));
    EXPECT_EQ(h.window.hides, 1);
    ASSERT_EQ(h.window.status.size(), 1u);
    EXPECT_EQ(h.window.status[0], "Message read OK.");
    EXPECT_TRUE(h.window.indicatorRed);
    EXPECT_EQ(h.s().dialogState, 2);
    EXPECT_TRUE(h.window.log.Empty());  // the unclosed record is never shown
    // 40 ticks later the stalled record restarts the dialogue; its poll is lost.
    h.Tick(40);
    EXPECT_EQ(h.s().dialogState, 1);
    EXPECT_FALSE(h.window.indicatorRed);
    EXPECT_TRUE(h.serial.frames.empty());
    EXPECT_EQ(h.serial.lostWrites, 1);
}

TEST(Dialogue, TickStopsAndRestartsItsTimer) {
    CoreHarness h;
    h.window.timerLog.clear();
    h.Tick();
    ASSERT_EQ(h.window.timerLog.size(), 2u);
    EXPECT_EQ(h.window.timerLog[0].timer, Timer::time_com);
    EXPECT_FALSE(h.window.timerLog[0].enabled);
    EXPECT_TRUE(h.window.timerLog[1].enabled);
    // Bytes in the ring are parsed only once rxPending is raised.
    for (char c : Frame('1')) StoreReceivedByte(*h.link, uint8_t(c));
    h.Tick();
    EXPECT_TRUE(h.serial.frames.empty());
    RaiseRxPending(*h.link);
    h.Tick();
    EXPECT_EQ(h.serial.commands(), "D");
}

}  // namespace
}  // namespace dialscope::testing

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

// What a damaged frame cost is decided from the intact frames around it;
// text that arrived is kept, and the damaged-text line comes after it.
TEST(Dialogue, DamagedFramesAreJudgedByTheIntactFramesAroundThem) {
    const Bytes b1 = BoundaryFrame(0, 0, 1, 2, 3, 4, 5), b2 = BoundaryFrame(0, 1, 1, 2, 3, 4, 6);
    const Bytes h1 = " 1. DESK    A 01/02/03 04:05\r\n", h2 = " 2. DESK    B 01/02/03 04:06\r\n";
    const Bytes h2First = " 1. DESK    B 01/02/03 04:06\r\n";  // the second call, after a lost one
    const Bytes mark = "      (text damaged in transfer)\r\n", tone = "     Tone only    \r\n";
    const Bytes noiseP = "\x7E\x7E\x50\x03xyz\x00\x00";  // noise that forms a data frame
    const Bytes lost = kRecordLostLine, mayBe = kRecordMayBeLostLine;
    const struct {
        const char* what;
        Bytes frames;
        Bytes log;
        std::vector<Bytes> status;
    } cases[] = {
        {"middle frame lost: text up to the gap, then the mark",
         Frame('P', "one ") + CorruptCrc(Frame('Q', "two ")) + Frame('R', "three") + b1,
         h1 + "      one \r\n" + mark, {}},
        {"last frame lost: it may also have been the boundary frame of a call before",
         Frame('P', "one ") + CorruptCrc(Frame('Q', "two")) + b1, h1 + "      one \r\n" + mark, {mayBe}},
        {"first frame lost: not passed off as Tone only", CorruptCrc(Frame('P', "one")) + Frame('Q', "two") + b1,
         h1 + mark, {}},
        {"a lone frame lost", CorruptCrc(Frame('P', "one")) + b1, h1 + mark, {mayBe}},
        {"noise inside a record, the letters run on", Frame('P', "one ") + noiseP + Frame('Q', "two") + b1,
         h1 + "      one two\r\n", {}},
        {"an 'R' that reads 'B': the text stays",
         Frame('P', "p") + Frame('Q', "q") + CorruptCrc(Frame('B', Bytes("\x00\x01\x01\x01\x01\x01", 6))) +
             Frame('S', "s") + b1,
         h1 + "      pq\r\n" + mark, {}},
        {"boundary frame lost: the record is reported, the next one whole",
         Frame('P', "lost") + CorruptCrc(b1) + Frame('P', "next") + b2, h2First + "      next\r\n", {lost}},
        {"boundary frame lost at the fifteenth frame: the next record may be the rest",
         DataFrames(Bytes(15, 'a'), 1) + CorruptCrc(b1) + Frame('P', "next") + b2, h2First + "      next\r\n" + mark,
         {lost}},
        {"a 'P' after a miss is the letters running on past the gap: a miss",
         [] {
             Bytes f;
             for (int i = 0; i < 16; ++i) f += i == 13 ? CorruptCrc(Frame(0x50 + i % 15, Bytes(1, 'a' + i)))
                                                      : Frame(0x50 + i % 15, Bytes(1, 'a' + i));
             return f;
         }() + b1,
         h1 + "      abcdefghijklm\r\n" + mark, {}},
        {"boundary frame lost whole: a 'P' out of turn begins the next record",
         Frame('P', "lost") + Frame('Q', "x") + Frame('P', "next") + b2, h2First + "      next\r\n", {lost}},
        {"noise between records marks neither", b1 + noiseP + Frame('P', "next") + b2,
         h1 + tone + h2 + "      next\r\n", {mayBe}},
        {"a tone-only record's boundary frame lost", CorruptCrc(b1) + Frame('P', "next") + b2, h2First + "      next\r\n",
         {mayBe}},
        {"noise before a tone-only record: a false mark, never Tone only", noiseP + b1, h1 + mark, {mayBe}},
        {"a command byte damaged into one no frame has", Frame('P', "one") + Bytes("\x7E\x7E\x11\x01q\x00\x00", 7) + b1,
         h1 + "      one\r\n" + mark, {mayBe}},
        {"a data frame out of turn marks and is dropped", Frame('P', "one") + Frame('R', "three") + b1,
         h1 + "      one\r\n" + mark, {}},
        {"end frame with a record collected", Frame('P', "open") + Frame('E'), "", {lost, "Message read OK."}},
        {"end frame after damage", b1 + CorruptCrc(b2) + Frame('E'), h1 + tone, {mayBe, "Message read OK."}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CoreHarness h;
        h.Feed(kHeader);
        h.Feed(c.frames);
        EXPECT_EQ(h.window.log.Bytes(), c.log);
        EXPECT_EQ(h.window.status, c.status);
        EXPECT_TRUE(h.serial.frames.empty());
        // The next record is whole again.
        if (h.s().dialogState == 2 && h.s().downloadActive) {
            h.window.log.Clear();
            h.Feed(Frame('P', "fine") + b1);
            EXPECT_EQ(h.window.log.Bytes().substr(30), "      fine\r\n");
        }
    }
}

// The same record text damaged with a record number past 99: the number in
// full, the text, the mark.
TEST(Dialogue, DamagedRecordWithAWideNumber) {
    CoreHarness h;
    h.Feed(kHeader);
    h.s().recordNumber = 122;
    h.Feed(Frame('P', "abc") + CorruptCrc(Frame('Q', "d")) + BoundaryFrame(0, 0, 1, 2, 3, 4, 5));
    EXPECT_EQ(h.window.log.Bytes(), "123. DESK    A 01/02/03 04:05\r\n      abc\r\n      (text damaged in transfer)\r\n");
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

TEST(Dialogue, StalledRecordRestarts) {
    CoreHarness h;
    h.Feed(kHeader);
    h.Feed(Frame('P'));  // an empty first frame still begins the record
    EXPECT_EQ(h.s().textLength, 36);
    h.Tick(39);
    EXPECT_EQ(h.s().dialogState, 2);
    h.Tick();
    EXPECT_EQ(h.s().dialogState, 1);
    EXPECT_EQ(h.s().textLength, 0);
    EXPECT_FALSE(h.window.indicatorRed);
    EXPECT_EQ(h.serial.commands(), "2");
    EXPECT_TRUE(h.serial.portOpen);
    EXPECT_TRUE(h.window.status.empty());
}

// The end frame lost after the last record: 40 quiet ticks end the download
// as the end frame would, with its own status line. Not after a download
// that ended, and not while a record is collected (that one restarts).
TEST(Dialogue, LostEndFrameEndsTheDownloadAfterFortyQuietTicks) {
    for (const Bytes& last : {kHeader, kHeader + Frame('P', "x") + BoundaryFrame(0, 0, 1, 1, 1, 1, 1) +
                                           CorruptCrc(Frame('E'))}) {
        CoreHarness h;
        h.s().connectState = kSupervisorHandedOver;  // the device answered the supervisor's probe
        h.Feed(last);
        h.Tick(39);
        EXPECT_TRUE(h.serial.portOpen);
        EXPECT_TRUE(h.window.timer(Timer::AutoDisp));
        h.Tick();
        EXPECT_FALSE(h.serial.portOpen);
        EXPECT_TRUE(h.window.timer(Timer::time_com));
        EXPECT_FALSE(h.window.timer(Timer::watch_serial));
        EXPECT_FALSE(h.window.timer(Timer::AutoDisp));
        EXPECT_EQ(h.window.hides, 1);
        EXPECT_EQ(h.window.status, std::vector<std::string>{kNoEndFrameLine});
        EXPECT_TRUE(h.serial.frames.empty());
        h.Tick(200);
        EXPECT_EQ(h.window.status.size(), 1u);
        EXPECT_EQ(h.serial.closes, 1);
    }
    // After a device change the supervisor has the line: it is not stopped.
    CoreHarness h;
    h.Feed(kHeader);
    h.Tick(100);
    EXPECT_TRUE(h.window.timer(Timer::watch_serial));
    EXPECT_TRUE(h.window.status.empty());
}

// A device that falls silent inside a frame: the restart's poll goes out, and
// the device's fresh header must be taken as a frame, not as the rest of the
// one cut off (after one or both sync bytes, or inside the payload). Without
// the restart's reset the cut after one sync byte swallows the header.
TEST(Dialogue, RestartHuntsForANewFrame) {
    const Bytes cut = Frame('Q', "0123456789");
    for (size_t sent : {1u, 2u, 7u}) {
        SCOPED_TRACE("frame cut after " + std::to_string(sent) + " bytes");
        CoreHarness h;
        h.Feed(Frame('1') + kHeader + Frame('P', "abc"));
        h.Feed(cut.substr(0, sent));
        EXPECT_NE(h.s().parseState, 0);
        h.Tick(kIdleTicksLimit - 1);
        EXPECT_EQ(h.s().dialogState, 1);
        EXPECT_EQ(h.serial.commands(), "DD");  // the reply to '1', then the restart's poll
        h.Feed(kHeader + Frame('P', "new") + BoundaryFrame(0, 0, 1, 1, 1, 1, 1));
        EXPECT_EQ(h.s().dialogState, 2);
        EXPECT_EQ(h.window.log.Bytes(), " 1. DESK    A 01/01/01 01:01\r\n      new\r\n");
    }
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
    // The unclosed record is never shown, and is reported.
    EXPECT_EQ(h.window.status, (std::vector<std::string>{kRecordLostLine, "Message read OK."}));
    EXPECT_TRUE(h.window.indicatorRed);
    EXPECT_EQ(h.s().dialogState, 2);
    EXPECT_TRUE(h.window.log.Empty());
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

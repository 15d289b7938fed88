#include <gtest/gtest.h>

#include "tests/support/frames.h"

namespace dialscope::testing {
namespace {

const Bytes kHeader = HeaderFrame({"DESK"});

TEST(Dialogue, AnswersPollsAndTracksDeviceAnswered) {
    CoreHarness h;  // polling
    h.Feed(Frame('1'));
    EXPECT_EQ(h.serial.commands(), "D");
    EXPECT_TRUE(h.protocol.DeviceAnswered());

    // '0' in polling: waiting, answered, no reply; the poll is '2' again.
    h.protocol.StartOnNewLine();
    EXPECT_FALSE(h.protocol.DeviceAnswered());
    h.Feed(Frame('0'));
    EXPECT_TRUE(h.protocol.DeviceAnswered());
    EXPECT_EQ(h.serial.commands(), "D2");
    h.protocol.StartOnNewLine();
    h.Tick(kIdleTicksLimit);
    EXPECT_EQ(h.serial.commands(), "D222");

    // Waiting (as the dialogue is made) answers a '1' and begins a download
    // at a header; end and boundary frames are ignored, and a '1' there does
    // not count as an answer.
    CoreHarness w(false);
    w.Feed(Frame('E') + BoundaryFrame(0, 0, 1, 1, 1, 1, 1));
    EXPECT_TRUE(w.window.log.Empty());
    EXPECT_TRUE(w.serial.frames.empty());
    w.Feed(Frame('1'));
    EXPECT_EQ(w.serial.commands(), "D");
    EXPECT_FALSE(w.protocol.DeviceAnswered());

    // Polling ignores boundary and end frames; a header begins the download.
    w.Feed(BoundaryFrame(0, 0, 1, 1, 1, 1, 1) + Frame('E'));
    EXPECT_TRUE(w.window.log.Empty());
    EXPECT_TRUE(w.window.status.empty());
    EXPECT_TRUE(w.serial.portOpen);
    w.Feed(kHeader);
    EXPECT_EQ(w.window.downloadsStarted, 1);
}

// Each state of the dialogue is shown by the next intact frame: waiting
// answers a '1', polling begins a download at a header, a download shows a
// record at a boundary frame.
TEST(Dialogue, BadCrcChangesNothingOutsideARecord) {
    for (int state : {0, 1, 2}) {
        SCOPED_TRACE(state);
        CoreHarness h(state != 0);
        if (state == 2) h.Feed(kHeader);
        const int indicatorChanges = h.window.indicatorChanges;
        const bool answered = h.protocol.DeviceAnswered();
        for (Bytes f : {Frame('0'), Frame('1'), kHeader, Frame('E')}) h.Feed(CorruptCrc(f));
        h.Feed(CorruptCrc(Frame('P', "abc")) + CorruptCrc(BoundaryFrame(0, 0, 1, 1, 1, 1, 1)));
        EXPECT_TRUE(h.serial.frames.empty());
        EXPECT_EQ(h.protocol.DeviceAnswered(), answered);
        EXPECT_TRUE(h.window.status.empty());
        EXPECT_TRUE(h.window.log.Empty());
        EXPECT_EQ(h.window.indicatorChanges, indicatorChanges);
        EXPECT_EQ(h.window.downloadsEnded, 0);
        if (state == 0) {
            h.Feed(Frame('1'));
            EXPECT_EQ(h.serial.commands(), "D");
        } else if (state == 1) {
            h.Feed(kHeader);
            EXPECT_EQ(h.window.downloadsStarted, 1);
        } else {
            // The damaged frames were a gap: the call's text, or a call, may
            // have been lost in it.
            h.Feed(BoundaryFrame(0, 0, 1, 1, 1, 1, 1));
            EXPECT_EQ(h.window.log.Bytes(), " 1. DESK    A 01/01/01 01:01\r\n" + Bytes(kDamagedTextLine));
            EXPECT_EQ(h.window.status, std::vector<std::string>{kDamageBeforeToneOnlyLine});
        }
    }
}

// What a damaged frame cost is decided from the intact frames around it.
// Text that arrived is always shown, in order; where its header is lost it
// stands under one of "?" and "??"; the damaged-text line comes after every
// record that may be incomplete.
TEST(Dialogue, DamagedFramesAreJudgedByTheIntactFramesAroundThem) {
    const Bytes b1 = BoundaryFrame(0, 0, 1, 2, 3, 4, 5), b2 = BoundaryFrame(0, 1, 1, 2, 3, 4, 6);
    const Bytes h1 = " 1. DESK    A 01/02/03 04:05\r\n", h2 = " 2. DESK    B 01/02/03 04:06\r\n";
    const Bytes h1b = " 1. DESK    B 01/02/03 04:06\r\n", h2a = " 2. DESK    A 01/02/03 04:05\r\n";
    const Bytes unknown = " 1. ????????? ??/??/?? ??:??\r\n";
    const Bytes mark = "      (text damaged in transfer)\r\n", tone = "     Tone only    \r\n";
    const Bytes noiseP = "\x7E\x7E\x50\x03xyz\x00\x00";  // noise that forms a data frame
    const Bytes mayBe = kRecordMayBeLostLine, cutShort = kDamageBeforeBoundaryLine, ok = kReadOkLine;
    const Bytes toneOnly = kDamageBeforeToneOnlyLine, firstLost = kFirstFramesLostLine;
    auto letters = [](int n, int lost) {  // n one-letter data frames 'a', 'b', ...; `lost` damaged
        Bytes f;
        for (int i = 0; i < n; ++i) {
            const Bytes frame = Frame(static_cast<uint8_t>(0x50 + i % 15), Bytes(1, static_cast<char>('a' + i)));
            f += i == lost ? CorruptCrc(frame) : frame;
        }
        return f;
    };
    const struct {
        const char* what;
        Bytes frames;
        Bytes log;
        std::vector<Bytes> status;
    } cases[] = {
        {"a middle frame lost: the text on both sides of the gap, marked",
         Frame('P', "one ") + CorruptCrc(Frame('Q', "two ")) + Frame('R', "three") + b1,
         h1 + "      one three\r\n" + mark, {}},
        {"the last frame lost: cut short, or the text of a call before",
         Frame('P', "one ") + CorruptCrc(Frame('Q', "two")) + b1, h1 + "      one \r\n" + mark, {cutShort}},
        {"the first frame lost: the text after it, marked; a call may have gone with it",
         CorruptCrc(Frame('P', "one")) + Frame('Q', "two") + b1, h1 + "      two\r\n" + mark, {firstLost}},
        {"a boundary frame whose sync byte was changed: frames may have been lost whole before it",
         Frame('P', "one") + Bytes("\x7E\x00", 2) + b1.substr(2), h1 + "      one\r\n" + mark, {cutShort}},
        {"a lone frame lost: never passed off as Tone only", CorruptCrc(Frame('P', "one")) + b1, h1 + mark, {toneOnly}},
        {"noise inside a record, the letters run on: marked, as a lost boundary frame could line them up",
         Frame('P', "one ") + noiseP + Frame('Q', "two") + b1, h1 + "      one two\r\n" + mark, {}},
        {"a few bytes inside a record: what is left of a frame that lost bytes",
         Frame('P', "one ") + Bytes("\x7E\x7E\x50\x03x", 5) + Frame('Q', "two") + b1,
         h1 + "      one two\r\n" + mark, {}},
        {"two bytes where a last data frame was: it lost all the rest",
         Frame('P', "one ") + Bytes("\x7E\x7E", 2) + b1, h1 + "      one \r\n" + mark, {cutShort}},
        {"an 'R' that reads 'B': the text stays",
         Frame('P', "p") + Frame('Q', "q") + CorruptCrc(Frame('B', Bytes("\x00\x01\x01\x01\x01\x01", 6))) +
             Frame('S', "s") + b1,
         h1 + "      pqs\r\n" + mark, {}},
        {"sixteen frames, the fourteenth lost: one miss, all other text", letters(16, 13) + b1,
         h1 + "      abcdefghijklmop\r\n" + mark, {}},
        {"seventeen frames, the fourteenth and fifteenth lost: a 'P' after damage, kept both ways",
         letters(17, 13).substr(0, 13 * 7) + CorruptCrc(Frame(']', "n")) + CorruptCrc(Frame('^', "o")) +
             Frame('P', "p") + Frame('Q', "q") + b1,
         unknown + "      abcdefghijklm\r\n" + mark + " 2. DESK    A 01/02/03 04:05\r\n      pq\r\n" + mark,
         {kHeaderlessAfterDamageLine}},
        {"a boundary frame lost: its text under an unknown header, the next record marked",
         Frame('P', "lost") + CorruptCrc(b1) + Frame('P', "next") + b2,
         unknown + "      lost\r\n" + mark + h2 + "      next\r\n" + mark, {kHeaderlessAfterDamageLine}},
        {"a boundary frame lost after fifteen frames: a sixteenth 'P' or a new call, kept both ways",
         DataFrames(Bytes(15, 'a'), 1) + CorruptCrc(b1) + Frame('P', "next") + b2,
         unknown + "      aaaaaaaaaaaaaaa\r\n" + mark + h2 + "      next\r\n" + mark, {kHeaderlessAfterDamageLine}},
        {"noise before a sixteenth 'P': it may be a new call, so the record is split, both marked",
         DataFrames(Bytes(15, 'a'), 1) + noiseP + Frame('P', "p") + b1,
         unknown + "      aaaaaaaaaaaaaaa\r\n" + mark + h2a + "      p\r\n" + mark, {kHeaderlessAfterDamageLine}},
        {"a boundary frame lost without a trace: a 'P' out of turn begins the next record",
         Frame('P', "lost") + Frame('Q', "x") + Frame('P', "next") + b2,
         unknown + "      lostx\r\n" + mark + h2 + "      next\r\n" + mark, {kHeaderlessOutOfTurnLine}},
        {"noise between records: a call may have been lost in it, the call after it is marked",
         b1 + noiseP + Frame('P', "next") + b2, h1 + tone + h2 + "      next\r\n" + mark, {mayBe}},
        {"a tone-only record's boundary frame lost", CorruptCrc(b1) + Frame('P', "next") + b2,
         h1b + "      next\r\n" + mark, {kDamageBeforeFirstCallLine}},
        {"noise before a tone-only record: a false mark, never Tone only", noiseP + b1, h1 + mark, {toneOnly}},
        {"a command byte damaged into one no frame has", Frame('P', "one") + Bytes("\x7E\x7E\x11\x01q\x00\x00", 7) + b1,
         h1 + "      one\r\n" + mark, {cutShort}},
        {"a data frame out of turn keeps its text, marked", Frame('P', "one") + Frame('R', "three") + b1,
         h1 + "      onethree\r\n" + mark, {}},
        {"the end frame with a record collected", Frame('P', "open") + Frame('E'),
         unknown + "      open\r\n" + mark, {kHeaderlessAtEndLine, ok, kReadDamagedLine}},
        {"the end frame after damage, taken after a quiet tick", b1 + CorruptCrc(b2) + Frame('E'), h1 + tone,
         {kDamageBeforeEndLine, ok, kReadDamagedLine}},
        {"a '0' with a record collected", Frame('P', "half") + Frame('0'), unknown + "      half\r\n" + mark,
         {kHeaderlessAtRefusalLine}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CoreHarness h;
        h.Feed(kHeader);
        h.Feed(c.frames);
        h.Tick();  // a quiet tick: an end frame after damage is taken
        EXPECT_EQ(h.window.log.Bytes(), c.log);
        EXPECT_EQ(h.window.status, c.status);
        EXPECT_TRUE(h.serial.frames.empty());
        // The next record is whole again.
        if (h.protocol.downloading()) {
            h.window.log.Clear();
            h.Feed(Frame('P', "fine") + b1);
            EXPECT_EQ(h.window.log.Bytes().substr(30), "      fine\r\n");
        }
    }
}

// Where the dialogue gives up, or frames come where it does not expect them,
// nothing goes silently: frames in (with quiet ticks between), the log, the
// status lines, how the download ended and what was sent to the box.
TEST(Dialogue, GiveUpsShowTheirTextAndHeadersBeginDownloads) {
    const Bytes desk = HeaderFrame({"DESK", "HOME"}), b1 = BoundaryFrame(0, 0, 1, 2, 3, 4, 5);
    const Bytes b2 = BoundaryFrame(1, 1, 1, 2, 3, 4, 6), end = Frame('E'), mark = kDamagedTextLine;
    const Bytes unknown = " 1. ????????? ??/??/?? ??:??\r\n";
    const std::string ok = kReadOkLine, damaged = kReadDamagedLine;
    struct Step {
        Bytes bytes;
        int quietTicks;
    };
    const struct {
        const char* what;
        std::vector<Step> steps;
        Bytes log;
        std::vector<std::string> status;
        DownloadEnd end;
        std::string sent;
    } cases[] = {
        {"a last data frame that lost all but its sync bytes: cut short, marked",
         {{desk + DataFrames("abcdefgh", 1) + Bytes("\x7E\x7E", 2) + b1 + end, 0}},
         " 1. DESK    A 01/02/03 04:05\r\n      abcdefgh\r\n" + mark,
         {kDamageBeforeBoundaryLine, ok, damaged}, DownloadEnd::Completed, ""},
        {"three misses in one record: its text shown, then the box asked again",
         {{desk + Frame('P', "aa") + Frame('R', "bb") + Frame('T', "cc") + Frame('V', "dd") + b1 + end, 0}},
         unknown + "      aabbccdd\r\n" + mark, {kHeaderlessAtMissesLine}, DownloadEnd::Restarted, "2"},
        {"a stalled download, then a new one: numbered from 1 under its own labels",
         {{desk + Frame('P', "aa") + BoundaryFrame(1, 0, 1, 2, 3, 4, 5), kIdleTicksLimit},
          {HeaderFrame({"NEW0", "NEW1"}) + Frame('P', "bb") + BoundaryFrame(1, 0, 1, 2, 3, 4, 6) + end, 0}},
         " 1. HOME    A 01/02/03 04:05\r\n      aa\r\n 1. NEW1    A 01/02/03 04:06\r\n      bb\r\n",
         {kStalledLine, kNewLogLine, ok}, DownloadEnd::Completed, ""},
        {"a new header in the middle of a record: the record shown, the new download begun",
         {{desk + Frame('P', "aa") + HeaderFrame({"NEW"}) + Frame('P', "bb") + b1 + end, 0}},
         unknown + "      aa\r\n" + mark + " 1. NEW     A 01/02/03 04:05\r\n      bb\r\n",
         {kHeaderlessAtNewLogLine, kNewLogLine, ok}, DownloadEnd::Completed, ""},
        {"an end frame's image inside a damaged frame's payload ends nothing",
         {{desk + Frame('P', "aa") + CorruptCrc(Frame('Q', "xy" + end + "zz")) + Frame('R', "bb") + b1 + end, 0}},
         " 1. DESK    A 01/02/03 04:05\r\n      aabb\r\n" + mark, {ok, damaged}, DownloadEnd::Completed, ""},
        {"an end frame found only inside a damaged frame: not taken as a clean end",
         {{desk + Frame('P', "aa") + b1 + Bytes("\x7E\x7E\x51\x08xy", 6) + end, kIdleTicksLimit + 1}},
         " 1. DESK    A 01/02/03 04:05\r\n      aa\r\n", {kStalledAtImageLine}, DownloadEnd::Stalled, ""},
        {"... nor inside a frame left open that was itself found inside a damaged frame",
         {{desk + Frame('P', "aa") + b1 + Bytes("\x7E\x7E\x51\x20xy\x7E\x5D", 8) + end.substr(2), kIdleTicksLimit + 1}},
         " 1. DESK    A 01/02/03 04:05\r\n      aa\r\n", {kStalledAtImageLine}, DownloadEnd::Stalled, ""},
        {"a header inside a damaged frame's bytes begins nothing; what follows is marked",
         {{desk + Frame('P', "aa") + Bytes("\x7E\x7E\x51\x05xy", 6) + HeaderFrame({"NEW"}) + Frame('P', "bb") + b1 + end,
           0}},
         unknown + "      aa\r\n" + mark + " 2. DESK    A 01/02/03 04:05\r\n      bb\r\n" + mark,
         {kLabelsInDoubtLine, kHeaderlessAfterDamageLine, ok, damaged}, DownloadEnd::Completed, ""},
        {"a frame found when the quiet gives up the one left open: the line is quiet after it all the same",
         {{desk + Frame('P', "aa") + b1 + Bytes("\x7E\x7E\x51\x20xy", 6) + Frame('P', "bb"), kIdleTicksLimit},
          {Bytes("\x00\x00", 2) + desk.substr(2) + Frame('P', "cc") + b2 + end, 0}},
         " 1. DESK    A 01/02/03 04:05\r\n      aa\r\n 2. ????????? ??/??/?? ??:??\r\n      bb\r\n" + mark +
             " 3. HOME    B 01/02/03 04:06\r\n      cc\r\n" + mark,
         {kRecordMayBeLostLine, kHeaderlessAtQuietLine, kGivenUpGoesOnLine}, DownloadEnd::Restarted, "2"},
        {"a lost header: the calls shown marked with their labels unknown, then the box asked again",
         {{Frame('1') + CorruptCrc(desk) + Frame('P', "aa") + b1 + Frame('P', "bb") + b2 + end, 0}},
         " 1. ????????A 01/02/03 04:05\r\n      aa\r\n" + mark + " 2. ????????B 01/02/03 04:06\r\n      bb\r\n" + mark,
         {kHeaderLostLine, kAskedAgainLine}, DownloadEnd::Restarted, "DD"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        CoreHarness h;
        for (const Step& step : c.steps) {
            h.Feed(step.bytes);
            h.Tick(step.quietTicks);
        }
        EXPECT_EQ(h.window.log.Bytes(), c.log);
        EXPECT_EQ(h.window.status, c.status);
        EXPECT_EQ(h.window.lastEnd, c.end);
        EXPECT_EQ(h.serial.commands(), c.sent);
    }
}

// The same record text damaged with a record number past 99: the number
// without the space after it, the text, the mark.
TEST(Dialogue, DamagedRecordWithAWideNumber) {
    CoreHarness h;
    h.Feed(kHeader);
    Bytes earlier;
    for (int i = 0; i < 122; ++i) earlier += BoundaryFrame(0, 0, 1, 1, 1, 1, 1);
    h.Feed(earlier);
    h.window.log.Clear();
    h.Feed(Frame('P', "abc") + CorruptCrc(Frame('Q', "d")) + BoundaryFrame(0, 0, 1, 2, 3, 4, 5));
    EXPECT_EQ(h.window.log.Bytes(), "123.DESK    A 01/02/03 04:05\r\n      abc\r\n      (text damaged in transfer)\r\n");
}

TEST(Dialogue, HeaderStartsDownload) {
    CoreHarness h;
    // An earlier download of seven calls, then a new line.
    Bytes seven;
    for (int i = 0; i < 7; ++i) seven += BoundaryFrame(0, 0, 1, 1, 1, 1, 1);
    h.Feed(HeaderFrame({"OLD"}) + seven + Frame('E'));
    h.protocol.StartOnNewLine();
    h.serial.clearWritten();
    h.window.log.Clear();
    h.window.indicatorRed = false;
    EXPECT_FALSE(h.protocol.DeviceAnswered());

    h.Feed(kHeader);
    EXPECT_TRUE(h.protocol.downloading());
    EXPECT_TRUE(h.protocol.DeviceAnswered());
    EXPECT_TRUE(h.window.indicatorRed);
    EXPECT_TRUE(h.window.timer(Timer::AutoDisp));
    // A '1' during a download is ignored.
    h.Feed(Frame('1'));
    EXPECT_TRUE(h.serial.frames.empty());
    // Numbered from 1 again, under the header's labels.
    h.Feed(BoundaryFrame(0, 0, 1, 1, 1, 1, 1));
    EXPECT_EQ(h.window.log.Bytes().substr(0, 12), " 1. DESK    ");
}

TEST(Dialogue, SequenceLettersAndMisses) {
    CoreHarness h;
    h.Feed(kHeader);
    h.window.log.Clear();
    const Bytes b = BoundaryFrame(0, 0, 1, 2, 3, 4, 5), header = " 1. DESK    A 01/02/03 04:05\r\n";
    // 'P' .. '^', 'P' again and then 'Q' are all in turn: one record, whole.
    Bytes all;
    for (uint8_t c = 'P'; c <= '^'; ++c) all += Frame(c, Bytes(1, char(c)));
    h.Feed(all + Frame('P', "P") + Frame('Q', "q") + b);
    EXPECT_EQ(h.window.log.Bytes(), header + "      PQRSTUVWXYZ[\\]^Pq\r\n");
    h.window.log.Clear();
    // '_' is never expected: a miss, its text kept, and the letters go on
    // from it ('P' after it, in turn). Two misses in a row, then a frame in
    // turn resets the count: two more do not give the download up.
    h.Feed(Frame('P', "a") + Frame('_', "x") + Frame('P', "p") + Frame('S', "s") + Frame('U', "u") +
           Frame('V', "v") + Frame('X', "x") + Frame('Z', "z") + b);
    EXPECT_TRUE(h.serial.frames.empty());
    EXPECT_EQ(h.window.log.Bytes(), " 2. DESK    A 01/02/03 04:05\r\n      axpsuvxz\r\n" + Bytes(kDamagedTextLine));
    EXPECT_TRUE(h.window.status.empty());
    EXPECT_TRUE(h.protocol.downloading());
}

// Three misses in a row in one record give the download up: the text so far
// is shown, then the device is asked again (it sends its whole memory).
// Misses do not add up across records.
TEST(Dialogue, ThirdMissInARowRestarts) {
    CoreHarness h;
    h.Feed(kHeader);
    h.Feed(Frame('P', "a") + Frame('S', "x") + BoundaryFrame(0, 0, 1, 1, 1, 1, 1) + Frame('R', "b"));
    EXPECT_EQ(h.window.records, 1);  // then the new record's first frame, out of turn: one miss
    h.Feed(Frame('T', "c"));           // two
    EXPECT_TRUE(h.protocol.downloading());
    EXPECT_TRUE(h.serial.frames.empty());
    h.Feed(Frame('V', "d"));           // three: given up
    EXPECT_FALSE(h.protocol.downloading());
    EXPECT_EQ(h.window.lastEnd, DownloadEnd::Restarted);
    EXPECT_FALSE(h.window.indicatorRed);
    EXPECT_EQ(h.window.records, 2);
    EXPECT_EQ(h.window.status, (std::vector<std::string>{kFirstFramesLostLine, kHeaderlessAtMissesLine}));
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

// A '1' whose second sync byte was damaged looks, at first, like a '0'
// frame with a long payload; the idle action finds it in those bytes and
// answers it. That answer is the device heard: no poll after it as well.
TEST(Dialogue, AnAnswerFoundByTheIdleActionIsAnsweredOnce) {
    CoreHarness h;
    h.Feed(Bytes("\x7E\x30\x31\x00\x36\xA4", 6));
    h.Tick(kIdleTicksLimit);
    EXPECT_EQ(h.serial.commands(), "D");
    EXPECT_TRUE(h.protocol.DeviceAnswered());
}

TEST(Dialogue, QuietRecordIsShownThenRestarts) {
    CoreHarness h;
    h.Feed(kHeader);
    h.Feed(Frame('P'));  // an empty first frame still begins the record
    h.Tick(39);
    EXPECT_TRUE(h.protocol.downloading());
    EXPECT_TRUE(h.window.log.Empty());
    h.Tick();
    EXPECT_FALSE(h.protocol.downloading());
    EXPECT_FALSE(h.window.indicatorRed);
    EXPECT_EQ(h.serial.commands(), "2");
    EXPECT_TRUE(h.serial.portOpen);
    EXPECT_EQ(h.window.status, std::vector<std::string>{kHeaderlessAtQuietLine});
    EXPECT_EQ(h.window.log.Bytes(), " 1. ????????? ??/??/?? ??:??\r\n      \r\n      (text damaged in transfer)\r\n");
}

// The line quiet between records (the end frame lost, or a slow box): after
// 40 quiet ticks the download is said to have stalled and the animation
// stops, but the port stays open and what the box still sends is shown,
// up to its end frame.
TEST(Dialogue, QuietLineBetweenRecordsStallsTheDownload) {
    for (const bool endFrameDamaged : {false, true}) {
        const Bytes last = endFrameDamaged
                               ? kHeader + Frame('P', "x") + BoundaryFrame(0, 0, 1, 1, 1, 1, 1) + CorruptCrc(Frame('E'))
                               : kHeader;
        CoreHarness h;
        h.Feed(last);
        const int records = h.window.records;
        h.Tick(39);
        EXPECT_TRUE(h.window.timer(Timer::AutoDisp));
        h.Tick();
        EXPECT_TRUE(h.serial.portOpen);
        EXPECT_EQ(h.serial.closes, 0);
        EXPECT_FALSE(h.window.timer(Timer::AutoDisp));
        EXPECT_EQ(h.window.hides, 1);
        const std::string stalled = endFrameDamaged ? kStalledAfterDamageLine : kStalledLine;
        EXPECT_EQ(h.window.status, std::vector<std::string>{stalled});
        EXPECT_EQ(h.window.downloadsEnded, 1);
        EXPECT_EQ(h.window.lastEnd, DownloadEnd::Stalled);
        EXPECT_TRUE(h.protocol.stalled());
        h.Tick(200);
        EXPECT_EQ(h.window.status.size(), 1u);
        EXPECT_TRUE(h.serial.frames.empty());
        // The box goes on.
        h.Feed(Frame('P', "late") + BoundaryFrame(0, 0, 1, 1, 1, 1, 2) + Frame('E'));
        EXPECT_EQ(h.window.records, records + 1);
        // The late call is marked: a new log's header may have been lost
        // whole before it. The damaged end frame is a gap before it, which
        // may have held a call, or have been a new log's header.
        std::vector<std::string> status{stalled, kResumedLine};
        if (endFrameDamaged) status.insert(status.end(), {kDamageAfterStallLine, kRecordMayBeLostLine});
        else status.push_back(kResumedInDoubtLine);
        status.insert(status.end(), {kReadOkLine, kReadDamagedLine});
        EXPECT_NE(h.window.log.Bytes().find("late\r\n" + Bytes(kDamagedTextLine)), Bytes::npos);
        EXPECT_EQ(h.window.status, status);
        EXPECT_EQ(h.window.downloadsStarted, 2);
        EXPECT_EQ(h.window.lastEnd, DownloadEnd::Completed);
        EXPECT_FALSE(h.serial.portOpen);
    }
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
        h.Tick(kIdleTicksLimit - 1);
        EXPECT_FALSE(h.protocol.downloading());
        EXPECT_EQ(h.serial.commands(), "DD");  // the reply to '1', then the restart's poll
        h.window.log.Clear();
        h.Feed(kHeader + Frame('P', "new") + BoundaryFrame(0, 0, 1, 1, 1, 1, 1));
        EXPECT_EQ(h.window.downloadsStarted, 2);
        EXPECT_TRUE(h.protocol.downloading());
        EXPECT_EQ(h.window.log.Bytes(), " 1. DESK    A 01/01/01 01:01\r\n      new\r\n");
    }
}

TEST(Dialogue, ZeroFrameDuringDownload) {
    CoreHarness h;
    h.Feed(kHeader + Frame('P', "partial"));
    h.Feed(Frame('0'));
    EXPECT_EQ(h.window.lastEnd, DownloadEnd::Refused);
    EXPECT_EQ(h.window.records, 1);  // what came of the record, under an unknown header
    EXPECT_FALSE(h.window.indicatorRed);
    EXPECT_TRUE(h.window.timer(Timer::AutoDisp));
    EXPECT_TRUE(h.serial.portOpen);
    // Waiting: data frames after it are shown, marked, their labels unknown
    // (the '0' may have been an image in a damaged frame); a header begins a
    // download.
    h.Feed(Frame('P', "more") + BoundaryFrame(0, 0, 1, 1, 1, 1, 1));
    EXPECT_EQ(h.window.records, 2);
    EXPECT_EQ(h.window.downloadsStarted, 2);
    EXPECT_EQ(h.window.status.back(), kHeaderLostLine);
    EXPECT_NE(h.window.log.Bytes().find("????????A 01/01/01 01:01\r\n      more\r\n"), Bytes::npos);
    h.Feed(kHeader);
    EXPECT_EQ(h.window.downloadsStarted, 3);
    EXPECT_EQ(h.window.status.back(), kNewLogLine);
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
    // The unclosed record is shown under an unknown header, and said.
    EXPECT_EQ(h.window.status, (std::vector<std::string>{kHeaderlessAtEndLine, kReadOkLine, kReadDamagedLine}));
    EXPECT_EQ(h.window.log.Bytes(),
              " 1. ????????? ??/??/?? ??:??\r\n      never closed\r\n      (text damaged in transfer)\r\n");
    EXPECT_TRUE(h.window.indicatorRed);
    EXPECT_EQ(h.window.lastEnd, DownloadEnd::Completed);
    // The download is over: the dialogue polls again (into the closed port).
    h.Tick(41);
    EXPECT_TRUE(h.serial.frames.empty());
    EXPECT_EQ(h.serial.lostWrites, 1);
}

// Two downloads back to back in the ring: the first ends at its end frame;
// the frames after it are a download of their own, numbered from 1.
TEST(Dialogue, FramesAfterTheEndFrameAreADownloadOfTheirOwn) {
    CoreHarness h;
    const Bytes one = kHeader + Frame('P', "a") + BoundaryFrame(0, 0, 1, 1, 1, 1, 1) + Frame('E');
    h.Feed(Frame('1') + one + one);
    EXPECT_EQ(h.window.downloadsStarted, 2);
    EXPECT_EQ(h.window.downloadsEnded, 2);
    const Bytes record = " 1. DESK    A 01/01/01 01:01\r\n      a\r\n";
    EXPECT_EQ(h.window.log.Bytes(), record + record);
    EXPECT_EQ(h.window.status, (std::vector<std::string>{kReadOkLine, kReadOkLine}));
}

// The adapter pulled during a download and plugged in again, the new line
// opened before the next tick, with the box's next header already waiting:
// the old download ends cut, the new one runs to its end frame.
TEST(Dialogue, ANewLineBeforeTheTickStartsAfresh) {
    CoreHarness h;
    h.Feed(kHeader + Frame('P', "cut"));
    h.protocol.LineClosed();
    h.protocol.StartOnNewLine();
    EXPECT_EQ(h.window.lastEnd, DownloadEnd::Cut);
    EXPECT_EQ(h.window.status, std::vector<std::string>{kHeaderlessAtCutLine});
    h.Feed(kHeader + Frame('P', "new"));
    EXPECT_TRUE(h.protocol.downloading());
    h.Feed(BoundaryFrame(0, 0, 1, 1, 1, 1, 1) + Frame('E'));
    EXPECT_EQ(h.window.downloadsEnded, 2);
    EXPECT_EQ(h.window.lastEnd, DownloadEnd::Completed);
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
    for (char c : Frame('1')) h.line.ring.Store(uint8_t(c));
    h.Tick();
    EXPECT_TRUE(h.serial.frames.empty());
    h.line.ring.RaisePending();
    h.Tick();
    EXPECT_EQ(h.serial.commands(), "D");
}

}  // namespace
}  // namespace dialscope::testing

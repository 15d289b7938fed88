// A whole download as bytes on the line, fed to the core in different ways:
// the call log and the frames sent back must come out the same every time.
#include <gtest/gtest.h>

#include <cstdio>
#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "tests/support/frames.h"

namespace dialscope::testing {
namespace {

struct Rec {
    int label, letter, d1, d2, d3, t1, t2;
    Bytes text;
};

const std::vector<std::string> kLabels = {"HOME", "OFFICE", "", "LINE 4", "FAX", "8CHARSXX", "", "MOBILE"};

std::vector<Rec> SampleRecords() {
    Bytes longText;
    for (int i = 0; i < 1300; ++i) longText += char(i % 97 == 0 ? '\0' : 'A' + i % 26);  // 18 data frames
    return {
        {0, 0, 12, 31, 99, 23, 59, "Alice 555-0100"},
        {1, 1, 1, 2, 3, 4, 5, ""},  // Tone only
        {7, 3, 7, 15, 24, 9, 5, longText},
        {5, 2, 0, 0, 0, 0, 0, Bytes("line one\r\nline two\0end", 23)},
        {2, 0, 10, 10, 10, 10, 10, Bytes(3, '\0')},
    };
}

// An independent rendering of what the log must show.
Bytes Expected(const std::vector<Rec>& recs) {
    Bytes out;
    int n = 0;
    for (const Rec& r : recs) {
        ++n;
        char head[64];
        Bytes label = kLabels[r.label];
        label.resize(8, ' ');
        std::snprintf(head, sizeof head, "%2d. %s%c %02d/%02d/%02d %02d:%02d\r\n", n, label.c_str(),
                      'A' + r.letter, r.d1, r.d2, r.d3, r.t1, r.t2);
        out += head;
        if (r.text.empty()) {
            out += "     Tone only    \r\n";
        } else {
            Bytes t = r.text;
            for (char& c : t) if (c == '\0') c = ' ';
            out += "      " + t + "\r\n";
        }
    }
    return out;
}

Bytes DownloadBytes(const std::vector<Rec>& recs, const Bytes& between = {}) {
    Bytes b = Frame('1') + between + HeaderFrame(kLabels) + between;
    for (const Rec& r : recs) {
        // Frames of the text one at a time so noise can go between them.
        Bytes frames = DataFrames(r.text);
        size_t at = 0;
        while (at < frames.size()) {
            size_t len = 6 + static_cast<uint8_t>(frames[at + 3]);
            b += frames.substr(at, len) + between;
            at += len;
        }
        b += BoundaryFrame(r.label, r.letter, r.d1, r.d2, r.d3, r.t1, r.t2) + between;
    }
    return b + Frame('E');
}

void ExpectCompleteDownload(const CoreHarness& h, const Bytes& expected) {
    EXPECT_EQ(h.window.log.Bytes(), expected);
    EXPECT_EQ(h.serial.commands(), "D");  // one reply to the '1', nothing else
    ASSERT_EQ(h.window.status.size(), 1u);
    EXPECT_EQ(h.window.status[0], "Message read OK.");
    EXPECT_FALSE(h.serial.portOpen);
}

TEST(Download, OnePieceAndByteByByte) {
    auto recs = SampleRecords();
    Bytes expected = Expected(recs);
    Bytes line = DownloadBytes(recs);
    ASSERT_GT(line.size(), 1500u);
    {
        // All at once cannot pass through the ring (2047 unread at most),
        // so fill it in the largest pieces it holds.
        CoreHarness h;
        for (size_t at = 0; at < line.size(); at += 2000) h.Feed(line.substr(at, 2000));
        ExpectCompleteDownload(h, expected);
    }
    {
        CoreHarness h;
        for (char c : line) h.Feed(Bytes(1, c));
        ExpectCompleteDownload(h, expected);
    }
}

// Every cut point: the first part in one tick, the rest in the next.
TEST(Download, SplitAtEveryBoundary) {
    std::vector<Rec> recs = {SampleRecords()[0], SampleRecords()[1], SampleRecords()[3]};
    Bytes expected = Expected(recs);
    Bytes line = DownloadBytes(recs);
    ASSERT_LT(line.size(), 2047u);
    for (size_t cut = 0; cut <= line.size(); ++cut) {
        CoreHarness h;
        h.Feed(line.substr(0, cut));
        h.Feed(line.substr(cut));
        ExpectCompleteDownload(h, expected);
        if (HasFailure()) {
            ADD_FAILURE() << "cut at " << cut;
            return;
        }
    }
}

// Noise before every frame, ending in stray 7Es right before each frame's
// sync pair: every frame is still found, whatever the ticks. Each record had
// bytes in its span that were no frame, so each is marked (that its text is
// all there is the noisy-download sweep's to judge).
TEST(Download, NoiseBetweenFramesAndRandomTicks) {
    auto recs = SampleRecords();
    const Bytes line = DownloadBytes(recs, Bytes("\x7E\x41\x7E\x7E\x7E", 5));
    CoreHarness whole;
    for (size_t at = 0; at < line.size(); at += 2000) whole.Feed(line.substr(at, 2000));
    whole.Tick();  // the end frame came after noise: a quiet tick confirms it
    const Bytes log = whole.window.log.Bytes();
    EXPECT_EQ(whole.window.status.back(), kReadDamagedLine);
    size_t marks = 0;
    for (size_t at = 0; (at = log.find(kDamagedTextLine, at)) != Bytes::npos; ++at) ++marks;
    EXPECT_EQ(marks, static_cast<size_t>(whole.window.records));
    std::mt19937 rng(7);
    for (int round = 0; round < 20; ++round) {
        CoreHarness h;
        size_t at = 0;
        while (at < line.size()) {
            size_t n = std::uniform_int_distribution<size_t>(0, 600)(rng);
            h.Feed(line.substr(at, n));
            at += n;
        }
        h.Tick();
        EXPECT_EQ(h.window.log.Bytes(), log);
        EXPECT_EQ(h.window.status, whole.window.status);
    }
}

// The ring's hand-over between a real producer thread and the ticking
// consumer: every byte arrives once, in order (run under TSan in CI).
TEST(Download, ProducerThreadAndTickingConsumer) {
    auto recs = SampleRecords();
    Bytes line = DownloadBytes(recs);
    for (int round = 0; round < 5; ++round) {
        CoreHarness h;
        h.Feed(Bytes(static_cast<size_t>(2000 - round * 400), '\0'));  // the ring's start, wrapped or not
        const uint64_t before = h.line.taken;
        std::atomic<int64_t> consumed{0};
        std::thread producer([&] {
            int64_t produced = 0;
            for (char c : line) {
                // Stay within the ring's 2047 unread bytes.
                while (produced - consumed.load(std::memory_order_acquire) >= 2000)
                    std::this_thread::yield();
                h.line.ring.Store(static_cast<uint8_t>(c));
                ++produced;
                if (produced % 97 == 0) h.line.ring.RaisePending();
            }
            h.line.ring.RaisePending();
        });
        // Tick only when the producer has raised the flag: ticks are not
        // paced here, and idle ticks would make the dialogue poll.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (h.window.status.empty() && std::chrono::steady_clock::now() < deadline) {
            if (!h.line.ring.pending()) {
                std::this_thread::yield();
                continue;
            }
            h.Tick();
            h.window.timerLog.clear();
            consumed.store(static_cast<int64_t>(h.line.taken - before), std::memory_order_release);
            std::this_thread::yield();
        }
        producer.join();
        ExpectCompleteDownload(h, Expected(recs));
    }
}

TEST(Download, SecondDownloadAppendsNumberedFromOne) {
    auto recs = SampleRecords();
    recs.resize(2);
    CoreHarness h;
    h.Feed(DownloadBytes(recs));
    h.serial.portOpen = true;
    h.protocol.StartOnNewLine();  // the supervisor re-opens the port and polls
    h.Feed(DownloadBytes(recs));
    EXPECT_EQ(h.window.log.Bytes(), Expected(recs) + Expected(recs));
}

TEST(Download, CorruptedFrameCostsOnlyItsOwnText) {
    // The long record's second 'P' (its sixteenth frame) with a bad CRC: the
    // 'Q' after it is out of turn, one miss, and the letters go on from it.
    // The record shows every frame but the lost one, then the damaged-text
    // line. Every other record is exact.
    auto recs = SampleRecords();
    Bytes line = DownloadBytes(recs);
    size_t secondP = line.find(Bytes("\x7E\x7E\x50", 3), 200);
    ASSERT_NE(secondP, Bytes::npos);
    line[secondP + 10] ^= 0x01;
    CoreHarness h;
    for (size_t at = 0; at < line.size(); at += 500) h.Feed(line.substr(at, 500));
    Bytes expected = Expected(recs);
    Bytes longText = recs[2].text;
    for (char& c : longText) if (c == '\0') c = ' ';
    size_t at = expected.find(longText);
    ASSERT_NE(at, Bytes::npos);
    expected.replace(at, longText.size(),
                     longText.substr(0, 15 * 76) + longText.substr(16 * 76) + "\r\n      (text damaged in transfer)");
    EXPECT_EQ(h.window.log.Bytes(), expected);
    EXPECT_EQ(h.window.status, (std::vector<std::string>{kReadOkLine, kReadDamagedLine}));
}

}  // namespace
}  // namespace dialscope::testing

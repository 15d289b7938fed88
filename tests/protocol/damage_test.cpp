// Damage on the line, judged by what was sent and what was spoiled (see
// tests/support/noisy_download.h), not by the program's own rules: every
// byte of every frame of a small download spoiled in turn, thousands of
// random logs spoiled anywhere, and noise that looks like frames.
#include <gtest/gtest.h>

#include <cstdio>

#include "tests/support/frames.h"
#include "tests/support/noisy_download.h"
#include "tests/support/splitmix.h"

namespace dialscope::testing {
namespace {

const NoisyDownload& Sample() {
    // Records of 0, 1, 2, 15 and 16 data frames, short pieces so that every
    // byte can be spoiled in turn.
    static const NoisyDownload d = [] {
        SplitMix64 rng{7};
        NoisyDownload n;
        for (;;) {
            n = DrawNoisyDownload([&](uint32_t k) { return rng.Below(k); });
            n.spoils.clear();
            for (auto& noise : n.noiseBefore) noise.clear();
            bool kinds[5] = {};
            for (const auto& r : n.records) {
                const size_t p = r.pieces.size();
                kinds[0] |= p == 0;
                kinds[1] |= p == 1;
                kinds[2] |= p == 2;
                kinds[3] |= p == 15;
                kinds[4] |= p == 16;
            }
            if (kinds[0] && kinds[1] && kinds[2] && kinds[3] && kinds[4]) return n;
        }
    }();
    return d;
}

// Every byte of every frame spoiled in turn, with a few values each: the
// outcome holds to every promise the judge checks.
TEST(Damage, EveryByteOfEveryFrameSpoiled) {
    NoisyDownload d = Sample();
    ASSERT_EQ(JudgeNoisyDownload(d, RunNoisyDownload(d)), "");
    int runs = 0, exact = 0;
    const Bytes clean = RunNoisyDownload(d).log;
    for (int f = 0; f < static_cast<int>(d.frames.size()); ++f) {
        for (int at = 0; at < static_cast<int>(d.frames[f].bytes.size()); ++at) {
            for (uint8_t flip : {0x01, 0x80, 0x7E ^ static_cast<uint8_t>(d.frames[f].bytes[at]), 0xFF}) {
                if (flip == 0) continue;
                d.spoils = {{f, at, flip}};
                if (HasPhantomFrame(d)) continue;
                const NoisyOutcome out = RunNoisyDownload(d);
                ++runs;
                exact += out.log == clean;
                ASSERT_EQ(JudgeNoisyDownload(d, out), "") << "frame " << f << ", byte " << at << ", flip " << int(flip);
            }
        }
    }
    std::printf("[ note     ] %d spoiled bytes: %d downloads shown exactly all the same\n", runs, exact);
}

// Random logs, one to three spoiled frames of every kind and noise between
// frames, judged for thousands of seeds.
TEST(Damage, RandomLogsSpoiledAnywhereKeepEveryIntactText) {
    int judged = 0, skipped = 0, askedAgain = 0, headerless = 0;
    for (uint64_t seed = 1; seed <= 4000; ++seed) {
        SplitMix64 rng{seed};
        const NoisyDownload d = DrawNoisyDownload([&](uint32_t k) { return rng.Below(k); });
        if (HasPhantomFrame(d)) {
            ++skipped;
            continue;
        }
        const NoisyOutcome out = RunNoisyDownload(d);
        ++judged;
        askedAgain += out.askedAgain;
        for (const auto& s : out.shown) headerless += !s.headerKnown;
        ASSERT_EQ(JudgeNoisyDownload(d, out), "") << "seed " << seed;
    }
    std::printf("[ note     ] %d downloads judged (%d skipped: a spoil made a valid frame), %d asked again, %d "
                "records shown with the header unknown\n",
                judged, skipped, askedAgain, headerless);
}

// A checksum byte damaged into 0x7E, the sync byte, costs what any other
// wrong value there costs: the frame behind it arrives whole and is taken.
TEST(Damage, ChecksumByteTurnedSyncByteCostsNoMoreThanAnyOther) {
    NoisyDownload d = Sample();
    for (int f = 1; f < static_cast<int>(d.frames.size()); ++f) {
        for (int back : {1, 2}) {
            const int at = static_cast<int>(d.frames[f].bytes.size()) - back;
            const uint8_t crc = static_cast<uint8_t>(d.frames[f].bytes[at]);
            if (crc == 0x7E) continue;
            const uint8_t other = (crc ^ 0x01) == 0x7E ? 0x02 : 0x01;
            SCOPED_TRACE("frame " + std::to_string(f) + ", checksum byte " + std::to_string(3 - back));
            d.spoils = {{f, at, static_cast<uint8_t>(crc ^ 0x7E)}};
            const NoisyOutcome sync = RunNoisyDownload(d);
            d.spoils = {{f, at, other}};
            const NoisyOutcome wrong = RunNoisyDownload(d);
            EXPECT_EQ(sync.log, wrong.log);
            EXPECT_EQ(sync.status, wrong.status);
        }
    }
}

// Noise in front of a record's first data frame, some of it shaped like a
// frame start, some like a whole data frame whose length runs over the
// frames behind it: every record is shown exactly and none is marked (where
// the noise is long enough to have been a call with no text, that call may
// have been lost, and that is said).
TEST(Damage, NoiseBetweenRecordsMarksNothing) {
    NoisyDownload d = Sample();
    const Bytes clean = RunNoisyDownload(d).log;
    const Bytes noises[] = {
        Bytes("\x7E\x7E", 2),
        Bytes("\x7E\x7E\x7E\x13", 4),
        Bytes("\x7E\x50\x02", 3),
        Bytes("\x7E\x7E\x50\x02zz\x00\x00", 8),
        Bytes("\x7E\x7E\x51\x30", 4),           // runs 48 bytes over the next frames
        Bytes("\x7E\x7E\x50\x4C\x7E\x7E", 6),  // 76 bytes, and a sync pair inside
        Bytes("\x7E\x7E\x50\xFF", 4),          // a length above 76
    };
    for (int f = 1; f < static_cast<int>(d.frames.size()); ++f) {
        if (d.frames[f].piece != 0) continue;
        for (const Bytes& noise : noises) {
            SCOPED_TRACE("noise of " + std::to_string(noise.size()) + " bytes before frame " + std::to_string(f));
            d.noiseBefore.assign(d.frames.size(), Bytes());
            d.noiseBefore[f] = noise;
            const NoisyOutcome out = RunNoisyDownload(d);
            EXPECT_EQ(out.log, clean);
            // Fewer than six bytes cannot have been a frame.
            if (noise.size() < 6) {
                EXPECT_EQ(out.status, std::vector<std::string>{kReadOkLine});
            } else {
                EXPECT_EQ(out.status, (std::vector<std::string>{kRecordMayBeLostLine, kReadOkLine}));
            }
        }
    }
}

// Misses are counted within a download: two left over at the end of one
// download do not make the first miss of the next give that one up.
TEST(Damage, MissesDoNotCarryIntoTheNextDownload) {
    CoreHarness h;
    const Bytes header = HeaderFrame({"DESK"});
    const Bytes twoMisses = header + Frame('P', "abc") + Frame('R', "x") + Frame('T', "y") +
                            BoundaryFrame(0, 0, 1, 2, 3, 4, 1) + Frame('E');
    const Bytes oneMiss = header + Frame('Q', "z") + BoundaryFrame(0, 1, 1, 2, 3, 4, 2) + Frame('E');
    h.Feed(twoMisses);
    ASSERT_EQ(h.window.downloadsEnded, 1);
    // The device is asked again later, as after a device change.
    h.serial.portOpen = true;
    h.protocol.BeginPolling();
    const std::string commands = h.serial.commands();
    h.Feed(oneMiss);
    EXPECT_EQ(h.serial.commands(), commands) << "the second download was given up";
    EXPECT_EQ(h.window.downloadsEnded, 2);
    EXPECT_EQ(h.window.lastEnd, DownloadEnd::Completed);
}

}  // namespace
}  // namespace dialscope::testing

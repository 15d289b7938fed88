// Damage on the line, judged by what was sent and what the line did to it
// (see tests/support/noisy_download.h), not by the program's own rules: every
// byte of every frame of a small download changed or lost in turn, thousands
// of random logs damaged every way a line damages them, and noise that looks
// like frames.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

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
            if (n.downloads.size() != 1 || n.downloads[0].records.size() > 6) continue;
            n.kind = DamageKind::Changed;
            n.edits.clear();
            for (auto& noise : n.noiseBefore) noise.clear();
            bool kinds[5] = {};
            for (const auto& r : n.downloads[0].records) {
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

// Every byte of every frame changed in turn (a few values each), lost, lost
// with the rest of its frame, and every frame lost whole: the outcome holds
// to every promise the judge checks.
TEST(Damage, EveryByteOfEveryFrameChangedOrLost) {
    using Edit = NoisyDownload::Edit;
    NoisyDownload d = Sample();
    ASSERT_TRUE(JudgeNoisyDownload(d, RunNoisyDownload(d)).ok());
    int runs = 0, exact = 0, failed = 0;
    std::map<std::string, std::pair<int, std::string>> faults;  // each fault: how often, the first case
    const Bytes clean = RunNoisyDownload(d).log;
    for (int f = 0; f < static_cast<int>(d.frames.size()); ++f) {
        const int size = static_cast<int>(d.frames[f].bytes.size());
        std::vector<std::pair<std::string, std::vector<Edit>>> cases;
        for (int j = 0; j < size; ++j) {
            for (uint8_t flip : {0x01, 0x80, 0x7E ^ static_cast<uint8_t>(d.frames[f].bytes[j]), 0xFF})
                if (flip != 0) cases.push_back({"byte " + std::to_string(j) + " ^" + std::to_string(flip), {{Edit::Flip, f, j, flip}}});
            cases.push_back({"byte " + std::to_string(j) + " lost", {{Edit::Lose, f, j}}});
            std::vector<Edit> tail;
            for (int k = j; k < size; ++k) tail.push_back({Edit::Lose, f, k});
            cases.push_back({"bytes " + std::to_string(j) + ".. lost", tail});
        }
        for (auto& [what, edits] : cases) {
            d.edits = edits;
            if (HasFreePhantom(d)) continue;
            const NoisyOutcome out = RunNoisyDownload(d);
            ++runs;
            exact += out.log == clean;
            const NoisyVerdict v = JudgeNoisyDownload(d, out);
            if (v.ok()) continue;
            ++failed;
            auto& [count, first] = faults[v.fault + (f == 0 ? " (the header damaged)" : "")];
            if (count++ == 0) first = "frame " + std::to_string(f) + ", " + what + ": " + v.problem;
        }
    }
    std::printf("[ note     ] %d damaged frames: %d downloads shown exactly all the same, %d judged wrong\n", runs, exact,
                failed);
    for (const auto& [fault, seen] : faults)
        std::printf("[ fault    ] %s: %d, first %s\n", fault.c_str(), seen.first, seen.second.c_str());
    EXPECT_EQ(failed, 0);
}

// Random logs, damaged by every kind the line does (DamageKind), judged for
// thousands of seeds. Prints, by kind, the miss rate (downloads with a record
// shown wrong unmarked or intact text dropped), the false-mark rate (records
// that arrived unchanged, marked all the same) and every other fault; fails
// on any fault. DIALSCOPE_DAMAGE_SEEDS=N judges N seeds;
// DIALSCOPE_DAMAGE_EXAMPLES=N prints N cases of each fault with what was sent;
// DIALSCOPE_DAMAGE_SEED=S judges seed S alone and prints what was shown.
TEST(Damage, RandomLogsDamagedEveryWayKeepTheirPromises) {
    const char* seedsVar = std::getenv("DIALSCOPE_DAMAGE_SEEDS");
    const char* examplesVar = std::getenv("DIALSCOPE_DAMAGE_EXAMPLES");
    const char* oneVar = std::getenv("DIALSCOPE_DAMAGE_SEED");
    const uint64_t first = oneVar ? std::strtoull(oneVar, nullptr, 10) : 1;
#ifdef NDEBUG
    constexpr uint64_t kSeeds = 20000;
#else
    constexpr uint64_t kSeeds = 5000;  // unoptimised builds (the sanitizers' own) judge fewer
#endif
    const uint64_t seeds = oneVar ? first : seedsVar ? std::strtoull(seedsVar, nullptr, 10) : kSeeds;
    const int examples = examplesVar ? std::atoi(examplesVar) : 1;
    struct Tally {
        int judged = 0, skipped = 0, missed = 0, faulty = 0;
        int unmarkedShown = 0, unmarkedWrong = 0, intact = 0, dropped = 0, untouched = 0, falseMarks = 0, cleanAfterDamage = 0;
        std::map<std::string, int> faults;
    };
    Tally byKind[kDamageKinds], all;
    std::map<std::string, int> printed;
    for (uint64_t seed = first; seed <= seeds; ++seed) {
        SplitMix64 rng{seed};
        const NoisyDownload d = DrawNoisyDownload([&](uint32_t k) { return rng.Below(k); });
        const bool phantom = HasFreePhantom(d);
        for (Tally* t : {&byKind[static_cast<int>(d.kind)], &all}) t->skipped += phantom;
        if (phantom && !oneVar) continue;
        const NoisyOutcome out = RunNoisyDownload(d);
        const NoisyVerdict v = JudgeNoisyDownload(d, out);
        if (oneVar) {
            std::printf("%s\n%s\n--- shown (%zu in the first sending):\n%s--- status:\n", DescribeNoisyDownload(d).c_str(),
                        phantom ? "(a frame lies free on the line: left out of the sweep)" : "",
                        out.firstAttempt, out.log.c_str());
            for (const auto& line : out.status) std::printf("  %s\n", line.c_str());
            std::printf("--- asked again at:");
            for (uint64_t w : out.asked) std::printf(" %llu", static_cast<unsigned long long>(w));
            std::printf("\n--- exit status %d; verdict: %s %s\n", CliExitStatus(out), v.fault.c_str(), v.problem.c_str());
        }
        for (Tally* t : {&byKind[static_cast<int>(d.kind)], &all}) {
            ++t->judged;
            t->missed += v.miss;
            t->faulty += !v.ok();
            t->unmarkedShown += v.unmarkedShown;
            t->unmarkedWrong += v.unmarkedWrong;
            t->intact += v.intactPieces;
            t->dropped += v.droppedPieces;
            t->untouched += v.untouched;
            t->falseMarks += v.falseMarks;
            t->cleanAfterDamage += v.cleanAfterDamage;
            if (!v.ok()) ++t->faults[v.fault];
        }
        const std::string key = std::string(DamageKindName(d.kind)) + " / " + v.fault;
        if (!v.ok() && printed[key]++ < examples)
            std::printf("[ fault    ] seed %llu, %s: %s\n  %s\n", static_cast<unsigned long long>(seed), v.fault.c_str(),
                        v.problem.c_str(), DescribeNoisyDownload(d).c_str());
    }
    auto rate = [](int n, int of) { return of ? 100.0 * n / of : 0.0; };
    std::printf("[ note     ] %-32s %6s %5s %7s %7s %7s %7s  %s\n", "kind", "judged", "skip", "miss%", "unm.wr", "dropped",
                "falsem%", "other faults");
    for (int k = 0; k <= kDamageKinds; ++k) {
        const Tally& t = k < kDamageKinds ? byKind[k] : all;
        std::string other;
        for (const auto& [fault, n] : t.faults)
            if (fault != "unmarked record wrong" && fault != "intact text dropped") other += fault + " " + std::to_string(n) + "; ";
        std::printf("[ note     ] %-32s %6d %5d %7.2f %7d %7d %7.2f  %s\n",
                    k < kDamageKinds ? DamageKindName(static_cast<DamageKind>(k)) : "all", t.judged, t.skipped,
                    rate(t.missed, t.judged), t.unmarkedWrong, t.dropped, rate(t.falseMarks, t.untouched), other.c_str());
    }
    std::printf("[ note     ] %d downloads judged (%d left out: a frame free on the line that the box never sent); "
                "miss rate %.3f %% (%d downloads; %d of %d unmarked records wrong, %d of %d intact data frames dropped); "
                "false-mark rate %.3f %% (%d of %d records that arrived unchanged); %d downloads with any fault; %d damaged "
                "but reported clean with the box's log shown exactly (allowed)\n",
                all.judged, all.skipped, rate(all.missed, all.judged), all.missed, all.unmarkedWrong, all.unmarkedShown,
                all.dropped, all.intact, rate(all.falseMarks, all.untouched), all.falseMarks, all.untouched, all.faulty,
                all.cleanAfterDamage);
    EXPECT_EQ(all.faulty, 0);
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
            d.edits = {{NoisyDownload::Edit::Flip, f, at, static_cast<uint8_t>(crc ^ 0x7E)}};
            const NoisyOutcome sync = RunNoisyDownload(d);
            d.edits = {{NoisyDownload::Edit::Flip, f, at, other}};
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
TEST(Damage, NoiseBeforeACallMarksItAndKeepsEveryText) {
    NoisyDownload d = Sample();
    const Bytes clean = RunNoisyDownload(d).log;
    const Bytes noises[] = {
        Bytes("\x7E", 1),                       // all a lost frame may leave
        Bytes("\x7E\x7E", 2),
        Bytes("\x7E\x7E\x7E\x13", 4),
        Bytes("\x7E\x50\x02", 3),
        Bytes("\x7E\x7E\x50\x02zz\x00\x00", 8),
        Bytes("\x7E\x7E\x51\x30", 4),           // runs 48 bytes over the next frames
        Bytes("\x7E\x7E\x50\x4C\x7E\x7E", 6),  // 76 bytes, and a sync pair inside
        Bytes("\x7E\x7E\x50\xFF", 4),          // a length above 76
    };
    const std::string mark = kDamagedTextLine;
    for (int f = 1; f < static_cast<int>(d.frames.size()); ++f) {
        if (d.frames[f].piece != 0) continue;
        for (const Bytes& noise : noises) {
            SCOPED_TRACE("noise of " + std::to_string(noise.size()) + " bytes before frame " + std::to_string(f));
            d.noiseBefore.assign(d.frames.size(), Bytes());
            d.noiseBefore[f] = noise;
            const NoisyOutcome out = RunNoisyDownload(d);
            // Stray bytes may be what is left of a lost frame: the call
            // after them is marked and a status line says a call may have
            // gone, but every record keeps its header and its text (a
            // marked call with no text is not said to be "Tone only").
            auto withoutToneOnly = [](Bytes log) {
                const std::string toneOnly = "     Tone only    \r\n";
                for (size_t at; (at = log.find(toneOnly)) != Bytes::npos;) log.erase(at, toneOnly.size());
                return log;
            };
            Bytes unmarked = out.log;
            int marks = 0;
            for (size_t at; (at = unmarked.find(mark)) != Bytes::npos; ++marks) unmarked.erase(at, mark.size());
            EXPECT_EQ(withoutToneOnly(unmarked), withoutToneOnly(clean));
            EXPECT_GE(marks, 1);
            ASSERT_FALSE(out.status.empty());
            EXPECT_EQ(out.status.back(), kReadDamagedLine);
            EXPECT_EQ(std::count(out.status.begin(), out.status.end(), std::string(kReadOkLine)), 1);
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

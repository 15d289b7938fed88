// A download damaged on the line, its shape taken from the input: the kind of
// damage, how many records, how many data frames each and how long, which
// hold frame images, which frames lose, gain or change which bytes, where
// noise and a stall go. Payload and noise bytes and the
// chunks the line arrives in come from a generator seeded by the input's
// first bytes, so that short inputs make long downloads. The program's
// outcome is judged by what was sent and what the line did
// (tests/support/noisy_download.h), never by the program's own rules. Only
// a line holding a frame free on it that the box never sent is left alone:
// no receiver can tell that one from the box's own. Frame images inside a
// failed frame's bytes are judged. DIALSCOPE_FUZZ_SHOW=1 prints the log and
// status lines of a failing input as well.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz/fuzz_check.h"
#include "tests/support/noisy_download.h"
#include "tests/support/splitmix.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace dialscope::testing;
    if (size < 8) return 0;
    uint64_t seed;
    std::memcpy(&seed, data, 8);
    SplitMix64 bulk{seed};
    size_t at = 8;
    // Each choice takes one byte of the input (two for a range above 256);
    // past the end every choice is 0.
    auto choice = [&](uint32_t n) -> uint32_t {
        if (n <= 1) return 0;
        uint32_t v = 0;
        for (int i = 0; i < (n > 256 ? 2 : 1); ++i) v = (v << 8) | (at < size ? data[at++] : 0);
        return v % n;
    };
    const NoisyDownload d = DrawNoisyDownload(choice, [&](uint32_t n) { return bulk.Below(n); });
    const NoisyLine line = Arrive(d);
    if (HasFreePhantom(d, line)) return 0;
    const NoisyOutcome out = RunNoisyDownload(d, line);
    const NoisyVerdict verdict = JudgeNoisyDownload(d, out, line);
    if (!verdict.ok() && std::getenv("DIALSCOPE_FUZZ_SHOW")) {
        std::fprintf(stderr, "--- log\n%.*s--- status\n", static_cast<int>(out.log.size()),
                     reinterpret_cast<const char*>(out.log.data()));
        for (const auto& line : out.status) std::fprintf(stderr, "%s\n", line.c_str());
        std::fprintf(stderr, "--- asked again at %zu points, %zu ends\n", out.asked.size(), out.ends.size());
    }
    if (!verdict.ok())
        std::fprintf(stderr, "%s: %s\n%s\n", verdict.fault.c_str(), verdict.problem.c_str(),
                     DescribeNoisyDownload(d).c_str());
    CHECK(verdict.ok());
    return 0;
}

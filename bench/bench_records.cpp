#include "bench/bench_records.h"

#include <algorithm>
#include <memory>

#include "tests/support/frames.h"
#include "tests/support/splitmix.h"

namespace dialscope::bench {

namespace {

using testing::Bytes;

using Rng = dialscope::testing::SplitMix64;

constexpr size_t kMaxShownText = 8151;

size_t TextLength(Rng& rng) {
    uint32_t r = rng.Between(0, 999);
    if (r < 200) return 0;                         // tone only
    if (r < 650) return rng.Between(10, 60);       // number and name
    if (r < 950) return rng.Between(61, 600);
    if (r < 998) return rng.Between(601, 3000);
    return rng.Between(8000, 9000);                // more than a record holds
}

Bytes Text(Rng& rng, size_t length) {
    Bytes t;
    t.reserve(length);
    while (t.size() < length) {
        uint32_t r = rng.Between(0, 63);
        if (r == 0) t += '\0';
        else if (r == 1 && t.size() + 2 <= length) t += "\r\n";
        else if (r == 2) t += static_cast<char>(rng.Between(0x80, 0xFF));
        else if (r == 3) t += '\x7E';
        else if (r < 40) t += static_cast<char>(rng.Between('0', '9'));
        else t += static_cast<char>(rng.Between('A', 'Z'));
    }
    return t;
}

size_t NumberWidth(int n) {
    if (n <= 9) return 2;
    size_t d = 0;
    for (; n > 0; n /= 10) ++d;
    return d;
}

}  // namespace

GeneratedDownload MakeDownload(int records, uint64_t seed) {
    Rng rng{seed};
    GeneratedDownload d;
    d.records = records;
    d.bytes = testing::Frame('1') +
              testing::HeaderFrame({"DESK", "HALL", "OFFICE", "FAX", "LINE 2", "", "KITCHEN", "GARAGE"});
    for (int i = 1; i <= records; ++i) {
        size_t len = TextLength(rng);
        if (len != 0) d.bytes += testing::DataFrames(Text(rng, len), 76);
        d.bytes += testing::BoundaryFrame(
            static_cast<int>(rng.Between(0, 7)), static_cast<int>(rng.Between(0, 3)),
            static_cast<int>(rng.Between(1, 12)), static_cast<int>(rng.Between(1, 31)),
            static_cast<int>(rng.Between(0, 99)), static_cast<int>(rng.Between(0, 23)),
            static_cast<int>(rng.Between(0, 59)));
        d.expectedLogBytes += NumberWidth(i) + 28 + (len == 0 ? 20 : 8 + std::min(len, kMaxShownText));
    }
    d.bytes += testing::Frame('E');
    return d;
}

std::vector<std::string> RenderedRecords(int count, uint64_t seed) {
    GeneratedDownload d = MakeDownload(count, seed);
    testing::CoreHarness core;
    std::vector<std::string> records;
    core.window.recording = false;
    core.window.onRecord = [&](const uint8_t* bytes, size_t count) {
        records.emplace_back(reinterpret_cast<const char*>(bytes), count);
    };
    for (size_t at = 0; at < d.bytes.size(); at += 1024) core.Feed(d.bytes.substr(at, 1024));
    return records;
}

}  // namespace dialscope::bench

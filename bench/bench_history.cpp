// The call history with a million calls kept:
//   history_store_one_record_1m      storing one new record (AddRecord), median
//   history_store_one_record_1m_p99  the same, 99th percentile
//   history_redownload_99_known      storing a download of 99 calls already kept, all in all
//   history_redownload_new_rows      rows that download added (must be 0)
//   history_search_1m                a search of a term of 3+ characters (trigram index)
//   history_search_short_1m          a search of a 2-character term (row by row)
//   history_list_newest_100          the newest 100 calls by the box's date
//   history_flush_after_download     the tick's Flush once a download has ended (the
//                                    search indexing and checkpoint run on their own thread)
//   history_quick_check_1m           the damage check `history` runs before it lists (quick_check)
//   history_thorough_check_1m        `history --check` (integrity_check, indexes too)
//   history_open_1m                  opening it to write, the quick check before the first
//                                    write included (before a program opens its port)
// The million calls are written straight into the file in one transaction
// (the setup, not measured); everything measured goes through CallHistory.
#include <sqlite3.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/bench_result.h"
#include "bench/history_fill.h"
#include "history/call_history.h"

namespace {

using namespace dialscope::history;
using Clock = std::chrono::steady_clock;

constexpr int kCalls = 1000000;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

dialscope::CallRecord NewRecord(int i) {
    dialscope::CallRecord f;
    const char label[] = "BENCH   ";
    std::copy(label, label + 8, f.label.begin());
    f.letterCode = 2;
    f.dateTime = {12, 8, 26, static_cast<int16_t>(i / 60 % 24), static_cast<int16_t>(i % 60)};
    f.text = "5559" + std::to_string(1000000 + i) + " NEW CALLER";
    f.hasText = true;
    return f;
}

}  // namespace

int main() {
    // About 400 MB of file: $TMPDIR when set.
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && tmp[0] ? tmp : "/tmp") + "/dialscope-bench-history-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!mkdtemp(name.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    std::string dir = name.data();
    std::string path = dir + "/calls.sqlite3";
    std::string problem;
    if (!CallHistory::Open(path, &problem)) {
        std::fprintf(stderr, "%s\n", problem.c_str());
        return 1;
    }
    auto fillStart = Clock::now();
    if (!dialscope::bench::FillHistory(path, kCalls)) return 1;
    std::printf("filled %d calls in %.1f s, file %.0f MB\n", kCalls, Ms(Clock::now() - fillStart) / 1000,
                std::filesystem::file_size(path) / 1e6);

    const auto openStart = Clock::now();
    auto h = CallHistory::Open(path, &problem);
    const double openMs = Ms(Clock::now() - openStart);
    if (!h) {
        std::fprintf(stderr, "%s\n", problem.c_str());
        return 1;
    }

    // One new record at a time, as the tick stores them during a download.
    h->BeginDownload("bench");
    std::vector<double> store;
    for (int i = 0; i < 500; ++i) {
        dialscope::CallRecord f = NewRecord(i);
        auto t0 = Clock::now();
        h->AddRecord(f, f.text);
        store.push_back(Ms(Clock::now() - t0));
    }
    DownloadSummary first = h->EndDownload(DownloadEnd::Completed);
    auto t0 = Clock::now();
    h->Flush();
    double flush = Ms(Clock::now() - t0);
    std::sort(store.begin(), store.end());
    std::printf("slowest stores:");
    for (size_t i = store.size() - 8; i < store.size(); ++i) std::printf(" %.2f", store[i]);
    std::printf(" ms\n");

    // The box's memory again: 99 calls the history keeps already.
    ListQuery newest;
    newest.limit = 99;
    newest.search = "new caller";
    std::vector<StoredCall> known = h->List(newest);
    int64_t rowsBefore = h->CountCalls();
    h->BeginDownload("bench");
    t0 = Clock::now();
    for (auto& c : known) h->AddRecord(c.fields, c.rendered);
    DownloadSummary again = h->EndDownload(DownloadEnd::Completed);
    double redownload = Ms(Clock::now() - t0);
    int64_t newRows = h->CountCalls() - rowsBefore;

    auto timeList = [&](ListQuery q, size_t* found) {
        double best = 1e9;
        for (int run = 0; run < 5; ++run) {
            auto s = Clock::now();
            *found = h->List(q).size();
            best = std::min(best, Ms(Clock::now() - s));
        }
        return best;
    };
    size_t found = 0, foundShort = 0, foundNewest = 0;
    ListQuery search;
    search.search = "0012345 caller";  // one call of the million
    double searchMs = timeList(search, &found);
    ListQuery shortTerm;
    shortTerm.search = "9x";  // in no call: every row is looked at
    double shortMs = timeList(shortTerm, &foundShort);
    ListQuery list;
    list.limit = 100;
    double listMs = timeList(list, &foundNewest);

    t0 = Clock::now();
    const size_t quickFound = h->Check(false).size();
    const double quickMs = Ms(Clock::now() - t0);
    t0 = Clock::now();
    const size_t thoroughFound = h->Check(true).size();
    const double thoroughMs = Ms(Clock::now() - t0);
    std::printf("checks found %zu and %zu problems\n", quickFound, thoroughFound);

    std::printf("first download: %d records, %d new; again: %d records, %d new, %d known; search found %zu, "
                "short %zu, newest %zu\n",
                first.records, first.newCalls, again.records, again.newCalls, again.knownCalls, found,
                foundShort, foundNewest);
    while (auto p = h->TakeProblem()) std::printf("problem: %s\n", p->words.c_str());
    using dialscope::bench::PrintResult;
    PrintResult("history_store_one_record_1m", store[store.size() / 2], "ms", "<=1");
    PrintResult("history_store_one_record_1m_p99", store[store.size() * 99 / 100], "ms");
    PrintResult("history_redownload_99_known", redownload, "ms", "<=50");
    PrintResult("history_redownload_new_rows", static_cast<double>(newRows), "rows", "<=0");
    PrintResult("history_search_1m", searchMs, "ms", "<=100");
    PrintResult("history_search_short_1m", shortMs, "ms");
    PrintResult("history_list_newest_100", listMs, "ms");
    PrintResult("history_flush_after_download", flush, "ms");
    PrintResult("history_quick_check_1m", quickMs, "ms");
    PrintResult("history_thorough_check_1m", thoroughMs, "ms");
    PrintResult("history_open_1m", openMs, "ms", "<=2000");
    h.reset();
    std::filesystem::remove_all(dir);
    return found == 1 && again.newCalls == 0 && again.knownCalls == 99 && quickFound == 0 && thoroughFound == 0 ? 0
                                                                                                             : 1;
}

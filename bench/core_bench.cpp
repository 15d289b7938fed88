// Benchmarks of the protocol core:
//   BM_BytePath       the receive ring through the frame parser, the download
//                     dialogue and the record text to the log, over a
//                     generated download; bytes per second and heap
//                     allocations per MB (window that drops the records /
//                     window that appends them to a CallLog)
//   BM_LogAppend      appending one record to a CallLog holding N records
//   BM_LogReadAndSet  the same record the old way: read the whole text, set
//                     the whole text to old text + record
// At the end one RESULT line per figure (bench/bench_result.h).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "bench/alloc_counter.h"
#include "bench/bench_records.h"
#include "bench/bench_result.h"
#include "protocol/call_log.h"
#include "protocol/protocol.h"
#include "tests/support/fakes.h"

namespace {

using namespace dialscope;

constexpr int kDownloadRecords = 3000;
constexpr uint64_t kSeed = 20240611;
// What the receive thread hands over per 100 ms tick at 57600 baud.
constexpr size_t kBytesPerTick = 576;

const bench::GeneratedDownload& Download() {
    static const bench::GeneratedDownload d = bench::MakeDownload(kDownloadRecords, kSeed);
    return d;
}

// The main window as far as the core sees it: records counted, and with
// `log` set appended to it; nothing else kept.
struct BenchWindow {
    testing::FakeWindow ops;
    CallLog* log = nullptr;
    size_t records = 0;
    size_t logBytes = 0;

    BenchWindow() {
        ops.recording = false;
        ops.onRecord = [this](const uint8_t* bytes, size_t count) {
            ++records;
            logBytes += count;
            if (log) log->Append(bytes, count);
        };
    }
};

// The received bytes and the protocol reading them, made afresh for each
// download.
struct BytePath {
    BytePath(WindowOps& window, SerialOps& serial) : protocol(line, window, serial) { protocol.BeginPolling(); }
    testing::FakeLine line;
    Protocol protocol;
};

// One whole download through the core, as the receive thread and the
// 100 ms tick would move it.
void RunDownload(BytePath& path, const std::string& bytes) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(bytes.data());
    const size_t n = bytes.size();
    for (size_t at = 0; at < n; at += kBytesPerTick) {
        size_t end = std::min(n, at + kBytesPerTick);
        for (size_t i = at; i < end; ++i) path.line.ring.Store(p[i]);
        path.line.ring.RaisePending();
        path.protocol.ComTick();
    }
}

// Figures gathered while the benchmarks run, printed as RESULT lines.
std::map<std::string, double> g_figures;

void BM_BytePath(benchmark::State& state) {
    const bool store = state.range(0) != 0;
    const auto& d = Download();
    BenchWindow window;
    testing::FakeSerial serial;
    serial.recording = false;
    serial.portOpen = true;
    std::unique_ptr<BytePath> path;
    auto log = std::make_unique<CallLog>();

    uint64_t allocations = 0;
    uint64_t bytes = 0;
    for (auto _ : state) {
        state.PauseTiming();
        path = std::make_unique<BytePath>(window.ops, serial);
        window.records = 0;
        window.logBytes = 0;
        log = std::make_unique<CallLog>();  // a new log grows from empty
        window.log = store ? log.get() : nullptr;
        const uint64_t before = bench::AllocationCount();
        state.ResumeTiming();

        RunDownload(*path, d.bytes);

        allocations += bench::AllocationCount() - before;
        bytes += d.bytes.size();
        if (window.records != static_cast<size_t>(d.records) || window.logBytes != d.expectedLogBytes) {
            state.SkipWithError("the download did not come out as generated");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    const double mb = static_cast<double>(bytes) / 1e6;
    const double perMb = mb > 0 ? static_cast<double>(allocations) / mb : 0;
    state.counters["allocs_per_MB"] = perMb;
    g_figures[store ? "byte_path_store_allocs_per_MB" : "byte_path_allocs_per_MB"] = perMb;
}
BENCHMARK(BM_BytePath)->Arg(0)->Arg(1)->ArgName("store")->Unit(benchmark::kMillisecond);

const std::vector<std::string>& Records() {
    static const std::vector<std::string> r = bench::RenderedRecords(2000, kSeed + 1);
    return r;
}

void Fill(CallLog& log, size_t count) {
    const auto& r = Records();
    for (size_t i = 0; i < count; ++i) {
        const std::string& rec = r[i % r.size()];
        log.Append(reinterpret_cast<const uint8_t*>(rec.data()), rec.size());
    }
}

// Append one record to a log of N records. The log grows from N to 2N
// records and is then built again at N (outside the timing), so that the
// occasional reallocation of a growing log is part of the cost.
void BM_LogAppend(benchmark::State& state) {
    const size_t n = static_cast<size_t>(state.range(0));
    const auto& r = Records();
    auto log = std::make_unique<CallLog>();
    Fill(*log, n);
    size_t appended = 0;
    size_t next = n;
    for (auto _ : state) {
        if (appended == n) {
            state.PauseTiming();
            log = std::make_unique<CallLog>();
            Fill(*log, n);
            appended = 0;
            state.ResumeTiming();
        }
        const std::string& rec = r[next++ % r.size()];
        log->Append(reinterpret_cast<const uint8_t*>(rec.data()), rec.size());
        ++appended;
        benchmark::DoNotOptimize(log->Bytes().data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.counters["log_MB"] = static_cast<double>(log->Bytes().size()) / 1e6;
}
BENCHMARK(BM_LogAppend)->Arg(1000)->Arg(10000)->Arg(100000)->ArgName("records");

// The same record the old way: the whole text read out (a copy), and the
// whole text set to old text + record (another). The log stays at N records
// so that every step costs what it costs at N.
void BM_LogReadAndSet(benchmark::State& state) {
    const size_t n = static_cast<size_t>(state.range(0));
    const auto& r = Records();
    CallLog log;
    Fill(log, n);
    size_t next = n;
    for (auto _ : state) {
        const std::string& rec = r[next++ % r.size()];
        std::string read = log.Bytes();
        std::string set;
        set.reserve(read.size() + rec.size());
        set.append(read).append(rec);
        benchmark::DoNotOptimize(set.data());
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
    state.counters["log_MB"] = static_cast<double>(log.Bytes().size()) / 1e6;
}
BENCHMARK(BM_LogReadAndSet)->Arg(1000)->Arg(10000)->Arg(100000)->ArgName("records")->Unit(benchmark::kMicrosecond);

// Shows the usual table and keeps what the RESULT lines need.
class Collector : public benchmark::ConsoleReporter {
public:
    // Colour only on a terminal: scripts/bench reads the output from a pipe.
    Collector() : ConsoleReporter(isatty(STDOUT_FILENO) ? OO_Defaults : OO_Tabular) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred) {
                failed = true;
                continue;
            }
            const std::string name = run.benchmark_name();
            auto counter = [&](const char* key) {
                auto it = run.counters.find(key);
                return it == run.counters.end() ? 0.0 : static_cast<double>(it->second.value);
            };
            if (name == "BM_BytePath/store:0") {
                g_figures["byte_path_MBps"] = counter("bytes_per_second") / 1e6;
            } else if (name == "BM_BytePath/store:1") {
                g_figures["byte_path_store_MBps"] = counter("bytes_per_second") / 1e6;
            } else if (name.starts_with("BM_LogAppend/records:") || name.starts_with("BM_LogReadAndSet/records:")) {
                const double itemsPerSecond = counter("items_per_second");
                g_figures[name] = itemsPerSecond > 0 ? 1e9 / itemsPerSecond : 0;  // ns per record
            }
        }
    }
    bool failed = false;
};

double Figure(const std::string& name) {
    auto it = g_figures.find(name);
    return it == g_figures.end() ? -1 : it->second;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();

    using bench::PrintResult;
    if (g_figures.count("byte_path_MBps")) {
        PrintResult("core_byte_path", Figure("byte_path_MBps"), "MB/s", ">=50");
        PrintResult("core_byte_path_allocs", Figure("byte_path_allocs_per_MB"), "allocs/MB", "<=0");
    }
    if (g_figures.count("byte_path_store_MBps")) {
        PrintResult("core_byte_path_with_log", Figure("byte_path_store_MBps"), "MB/s", ">=50");
        PrintResult("core_byte_path_with_log_allocs", Figure("byte_path_store_allocs_per_MB"), "allocs/MB");
    }
    for (const char* n : {"1000", "10000", "100000"}) {
        const std::string append = std::string("BM_LogAppend/records:") + n;
        const std::string reset = std::string("BM_LogReadAndSet/records:") + n;
        // Whatever the log's length, a record appends in a small fraction of
        // a tick; reading and setting the whole text misses this from some
        // thousand records on.
        if (g_figures.count(append))
            PrintResult(std::string("log_append_at_") + n, Figure(append), "ns/record", "<=10000");
        if (g_figures.count(reset)) PrintResult(std::string("log_read_and_set_at_") + n, Figure(reset), "ns/record");
    }
    // How much dearer a record gets from 1,000 to 100,000 records (100 would
    // be growth with the log's length). A large log's growth touches fresh
    // pages, which a small one, reusing freed heap, does not.
    if (g_figures.count("BM_LogAppend/records:1000") && g_figures.count("BM_LogAppend/records:100000"))
        PrintResult("log_append_100000_vs_1000",
                    Figure("BM_LogAppend/records:100000") / Figure("BM_LogAppend/records:1000"), "ratio");
    if (g_figures.count("BM_LogAppend/records:100000") && g_figures.count("BM_LogReadAndSet/records:100000"))
        PrintResult("log_read_and_set_vs_append_at_100000",
                    Figure("BM_LogReadAndSet/records:100000") / Figure("BM_LogAppend/records:100000"), "ratio");
    return collector.failed ? 1 : 0;
}

// The log box as the log grows: the cost of appending one record to the
// program (Core's append as the protocol calls it: the call log and the
// window's view of it) when the
// log already holds 1,000, 10,000 and 100,000 records, next to the naive way
// of showing a new record: read the box's whole text, add the record and set
// the whole text again.
//
// Figures (microseconds a record): log_view_append_at_N, log_view_reset_at_N;
// log_view_append_100000_vs_1000 (goal: at most 2, the cost must not grow
// with the log) and log_view_reset_vs_append_at_10000 (goal: the append at
// least 100 times cheaper). log_view_append_paint_at_N adds the repaint that
// follows in the event loop, for information.
#include <algorithm>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <QApplication>
#include <QPlainTextEdit>
#include <QScrollBar>

#include "bench/bench_records.h"
#include "bench/bench_result.h"
#include "bench/system_bench.h"

namespace {

using namespace dialscope;

constexpr uint64_t kSeed = 20240611;
constexpr int kAppends = 200;          // timed appends at each size
constexpr int kPaintedAppends = 50;
// The naive way is timed until this much time has gone, at least once.
constexpr double kResetBudgetSeconds = 5.0;

const std::vector<std::string>& Records() {
    static const std::vector<std::string> r = bench::RenderedRecords(2000, kSeed);
    return r;
}

// A window and the core behind it, not started: no timer runs while the
// appends are timed.
struct LogWindow {
    qt::TForm1 window;
    Core core{window, Platform{}};

    LogWindow() { window.Attach(core); }
    void Append(size_t i) {
        const std::string& r = Records()[i % Records().size()];
        core.programOps().AppendToCallLog(reinterpret_cast<const uint8_t*>(r.data()), r.size());
    }
};

struct Timing {
    double meanUs = 0, medianUs = 0;
};

Timing Summarise(std::vector<double> us) {
    Timing t;
    for (double v : us) t.meanUs += v;
    t.meanUs /= static_cast<double>(us.size());
    std::sort(us.begin(), us.end());
    t.medianUs = us[us.size() / 2];
    return t;
}

// A window with `records` records shown, settled and painted.
std::unique_ptr<LogWindow> FilledWindow(size_t records) {
    auto w = std::make_unique<LogWindow>();
    w->window.show();
    for (size_t i = 0; i < records; ++i) w->Append(i);
    QApplication::processEvents();
    return w;
}

Timing TimeAppends(size_t records, bool paint) {
    auto window = FilledWindow(records);
    std::vector<double> us;
    const int count = paint ? kPaintedAppends : kAppends;
    for (int k = 0; k < count; ++k) {
        const double t0 = bench::Now();
        window->Append(records + static_cast<size_t>(k));
        if (paint) QApplication::processEvents();
        us.push_back((bench::Now() - t0) * 1e6);
    }
    return Summarise(us);
}

// The naive way, on a text box: the whole text read out, the record added, the whole text set again and the view moved
// to the end.
Timing TimeResets(size_t records, int* steps) {
    // A text box of the log box's size that holds the text itself.
    auto box = std::make_unique<QPlainTextEdit>();
    box->setGeometry(0, 0, 609, 321);
    box->setReadOnly(true);
    box->setUndoRedoEnabled(false);
    box->show();
    std::string all;
    for (size_t i = 0; i < records; ++i) all += Records()[i % Records().size()];
    QString text = QString::fromLatin1(all.data(), static_cast<qsizetype>(all.size()));
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    box->setPlainText(text);
    QApplication::processEvents();

    std::vector<double> us;
    const double begin = bench::Now();
    for (size_t k = 0; us.empty() || bench::Now() - begin < kResetBudgetSeconds; ++k) {
        const std::string& r = Records()[(records + k) % Records().size()];
        const double t0 = bench::Now();
        QString now = box->toPlainText();
        QString record = QString::fromLatin1(r.data(), static_cast<qsizetype>(r.size()));
        record.replace(QLatin1String("\r\n"), QLatin1String("\n"));
        box->setPlainText(now + record);
        box->verticalScrollBar()->setValue(box->verticalScrollBar()->maximum());
        us.push_back((bench::Now() - t0) * 1e6);
        if (us.size() >= 50) break;
    }
    *steps = static_cast<int>(us.size());
    return Summarise(us);
}

}  // namespace

int main(int argc, char** argv) {
    (void)argc;
    bench::UseOffscreenPlatformByDefault();
    int qtArgc = 1;
    QApplication app(qtArgc, argv);

    using bench::PrintResult;
    std::map<size_t, Timing> append, reset;
    for (size_t n : {size_t{1000}, size_t{10000}, size_t{100000}}) {
        const std::string at = std::to_string(n);
        append[n] = TimeAppends(n, false);
        const Timing painted = TimeAppends(n, true);
        int steps = 0;
        reset[n] = TimeResets(n, &steps);
        std::printf("at %zu records: append %.1f us (median %.1f), with repaint %.1f us; "
                    "read and set the whole text %.0f us (median %.0f, %d steps)\n",
                    n, append[n].meanUs, append[n].medianUs, painted.meanUs, reset[n].meanUs,
                    reset[n].medianUs, steps);
        std::fflush(stdout);
        PrintResult("log_view_append_at_" + at, append[n].meanUs, "us/record");
        PrintResult("log_view_append_paint_at_" + at, painted.meanUs, "us/record");
        PrintResult("log_view_reset_at_" + at, reset[n].meanUs, "us/record");
    }
    PrintResult("log_view_append_100000_vs_1000", append[100000].meanUs / append[1000].meanUs, "ratio", "<=2");
    PrintResult("log_view_reset_vs_append_at_10000", reset[10000].meanUs / append[10000].meanUs, "ratio", ">=100");
    PrintResult("log_view_reset_vs_append_at_100000", reset[100000].meanUs / append[100000].meanUs, "ratio");
    return 0;
}

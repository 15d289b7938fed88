// The soak: one program (Core with the console's view, or with the Qt
// window's) downloads from the simulated box thousands of times on virtual
// time, with faults mixed in, its call history a real SQLite file, its ports
// real pseudo-terminals in a fake sysfs tree. The box's memory changes
// between downloads, old calls dropped and new ones added, so the history
// sees known and new calls. It prints what the run did and checks that the
// history kept exactly the distinct intact calls the box sent, that no
// descriptor or thread was left behind, and how resident memory grew.
//
//   dialscope_soak [--downloads N] [--seed S]        Core with the console's view
//   dialscope_soak_qt [--downloads N] [--seed S]     Core with the window (offscreen)
//
// The device and the receive thread run in real time, the ticks on the
// driver's virtual clock (tests/e2e/driver.h), so a download costs a few
// milliseconds whatever its time-outs.
#include <fcntl.h>
#include <malloc.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "app/cli/console.h"
#include "history/call_history.h"
#include "history/history_store.h"
#include "bench/soak/soak_calls.h"
#include "tests/e2e/driver.h"

#ifdef DIALSCOPE_SOAK_QT
#include <QApplication>
#include <QPlainTextEdit>

#include "app/qt/main_window.h"
#endif

namespace dialscope::soak {
namespace {

using namespace e2e;
namespace fs = std::filesystem;

// The face under test, with the bookkeeping the driver reads: every call goes
// to the face's own view too.
class TapView final : public testing::FakeView {
public:
    explicit TapView(View& face) : face_(face) {}
    void ShowStatusLine(std::string_view line) override {
        FakeView::ShowStatusLine(line);
        face_.ShowStatusLine(line);
    }
    void SetIndicator(bool on) override {
        FakeView::SetIndicator(on);
        face_.SetIndicator(on);
    }
    void HideAnimation() override {
        FakeView::HideAnimation();
        face_.HideAnimation();
    }
    void ShowAnimationFrame(AnimationFrame frame) override {
        FakeView::ShowAnimationFrame(frame);
        face_.ShowAnimationFrame(frame);
    }
    void WakeAt(std::optional<std::chrono::steady_clock::time_point> when) override {
        FakeView::WakeAt(when);
        face_.WakeAt(when);
    }
    void ShowLogAppended(const CallLog& log, size_t count) override {
        FakeView::ShowLogAppended(log, count);
        face_.ShowLogAppended(log, count);
    }
    void ShowLogCleared() override {
        FakeView::ShowLogCleared();
        face_.ShowLogCleared();
    }

private:
    View& face_;
};

long StatusKb(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0) return std::stol(line.substr(std::strlen(field)));
    return -1;
}
long RssKb() { return StatusKb("VmRSS:"); }
// Bytes the program holds from malloc (small blocks and mapped ones).
size_t HeapInUse() {
    const struct mallinfo2 m = mallinfo2();
    return m.uordblks + m.hblkhd;
}

// The program's threads. The toolkit's global thread pool starts workers
// ("Thread (pooled)") on demand and lets them go after 30 idle seconds, so
// they come and go during a run whatever the program does: not counted.
int CountProgramThreads(std::vector<std::string>* names) {
    std::thread([] {}).join();  // as CountThreads: a sanitizer's helper is started first
    *names = ThreadNames();
    return static_cast<int>(std::count_if(names->begin(), names->end(),
                                          [](const std::string& n) { return n != "Thread (pooled)"; }));
}
std::string RssParts() {
    return "anonymous " + std::to_string(StatusKb("RssAnon:")) + " kB, files " + std::to_string(StatusKb("RssFile:")) +
           " kB, shared " + std::to_string(StatusKb("RssShmem:")) + " kB";
}

// Open descriptors, apart from those of the history file itself: when a
// connection to it closes while another still holds its lock, SQLite keeps
// the closed one's descriptor to reuse for the next open (closing it would
// drop the lock), so whether one such descriptor is open at a given moment
// depends on when the history's own thread last worked. Those are counted
// on their own (HistoryFds), and at most one more than at the start is
// allowed. The fewest seen within a second: the history's maintenance
// thread may be holding a connection of its own.
int HistoryFds(const std::string& history) {
    int n = 0;
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
        std::error_code linkError;
        if (std::filesystem::read_symlink(e.path(), linkError) == history) ++n;
    }
    return n;
}

int SettledFds(const std::string& history) {
    int fewest = CountOpenFds() - HistoryFds(history);
    for (int i = 0; i < 200; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        fewest = std::min(fewest, CountOpenFds() - HistoryFds(history));
    }
    return fewest;
}

// The distinct calls sent, as 64-bit hashes of their identity in a table
// made and touched before the run: the soak's own bookkeeping must not grow
// the resident memory it measures.
class CallSet {
public:
    explicit CallSet(size_t most) {
        size_t n = 64;
        while (n < 4 * most) n *= 2;
        slots_.assign(n, 0);
    }
    void Insert(const std::string& key) {
        uint64_t h = 1469598103934665603ull;
        for (unsigned char c : key) h = (h ^ c) * 1099511628211ull;
        h |= 1;
        for (size_t i = h & (slots_.size() - 1);; i = (i + 1) & (slots_.size() - 1)) {
            if (slots_[i] == h) return;
            if (slots_[i] == 0) {
                slots_[i] = h;
                ++size_;
                return;
            }
        }
    }
    size_t size() const { return size_; }

private:
    std::vector<uint64_t> slots_;
    size_t size_ = 0;
};

enum class Fault { Clean, BadCrc, WrongLetter, HangUp, Silence, Busy, NoDevLink, Bounce, Count };
const char* const kFaultNames[] = {"clean", "bad checksum", "wrong letter", "hang-up mid-download", "silence",
                                   "port busy", "/dev link missing", "unplug and plug before the download"};

// Runs shorter than this print their memory figures for information only.
constexpr int kMemoryJudgedFrom = 200;

struct Options {
    int downloads = 10000;
    uint64_t seed = 1;
};

class Soak {
public:
    explicit Soak(const Options& options, View& face, bool clearsLog)
        : options_(options),
          clearsLog_(clearsLog),
          devRoot_("DIALSCOPE_DEV_ROOT", tree_.dev().string()),
          view_(face),
          core_(view_, MakePlatform()),
          driver_(core_, view_, clock_),
          rng_(options.seed) {}

    // The window: empties its status box and says how many lines it held.
    void OnEmptyStatusBox(std::function<int()> empty) { emptyStatusBox_ = std::move(empty); }

    int Run() {
        const fs::path dir = fs::temp_directory_path() / ("dialscope-soak-" + std::to_string(getpid()));
        fs::create_directories(dir);
        std::string problem;
        // Opened as each program opens it: the watcher takes the new calls
        // after every download (it prints them), the window takes none.
        history::OpenOptions historyOptions;
        historyOptions.collectNewCalls = clearsLog_;
        historyPath_ = (dir / "calls.sqlite3").string();
        auto opened = history::CallHistory::Open(historyPath_, &problem, historyOptions);
        if (!opened) {
            std::fprintf(stderr, "soak: the history cannot be opened: %s\n", problem.c_str());
            return 1;
        }
        store_ = std::make_unique<history::HistoryStore>(std::move(opened));
        core_.AttachStore(store_.get());
        if (const char* t = getenv("DIALSCOPE_SOAK_TRACE")) trace_ = std::atoi(t);
        core_.Subscribe(Listen([&](const event::DownloadEnded& e) { Ended(e.how); }, [&](const event::RecordOutput& e) {
            const CallRecord& r = e.record;
            if (current_ == trace_)
                std::fprintf(stderr, "trace: record letter %d dt %d %d %d %d %d text %zu damaged %d\n", r.letterCode,
                             r.dateTime[0], r.dateTime[1], r.dateTime[2], r.dateTime[3], r.dateTime[4], r.text.size(),
                             r.damaged);
        }));

        box_.labels = devsim::GenerateCallLog(1, options_.seed).labels;
        for (int i = 0; i < 3; ++i) box_.records.push_back(NewCall());

        driver_.StartUp();
        driver_.Steps(3 * Driver::kWatchEvery);
        std::vector<std::string> threadNamesStart;
        const int historyFdsStart = HistoryFds(historyPath_);
        int fdsStart = SettledFds(historyPath_), threadsStart = CountProgramThreads(&threadNamesStart);
        const long rssStart = RssKb();
        long rssAt100 = -1;
        size_t heapAt100 = 0;
        int64_t sqliteAt100 = 0;
        std::string partsAt100;
        size_t logAt100 = 0, logRoomAt100 = 0;

        int done = 0;
        for (; done < options_.downloads && !driver_.broken() && !::testing::Test::HasFailure(); ++done) {
            if (!OneDownload(done)) break;
            // The history's maintenance thread opens its own connection to
            // the file after a download; once it has closed it, SQLite keeps
            // that descriptor for the next open while the main connection
            // holds its lock. On a loaded machine its first pass can come
            // after the first download's count: counted from the first
            // three downloads, the most of them.
            if (done == 0) threadsStart = CountProgramThreads(&threadNamesStart);
            if (done < 3) fdsStart = std::max(done == 0 ? 0 : fdsStart, SettledFds(historyPath_));
            if (done + 1 == 100 || (options_.downloads < 100 && done == 0)) {
                // The window's status lines grow with the downloads, not
                // with the log: from here on, they are counted apart.
                if (emptyStatusBox_) emptyStatusBox_();
                heapAt100 = HeapInUse();
                rssAt100 = RssKb();
                partsAt100 = RssParts();
                sqliteAt100 = sqlite3_memory_used();
                logAt100 = core_.callLog().Bytes().size();
                logRoomAt100 = core_.callLog().Bytes().capacity() - logAt100;
            }
            if ((done + 1) % 1000 == 0) {
                // No count of the history here: a scan of the table would
                // fill SQLite's page cache, which the watcher never does.
                std::printf("soak: %d downloads, VmRSS %ld kB (%s)\n", done + 1, RssKb(), RssParts().c_str());
                std::fflush(stdout);
            }
        }
        // Whatever the last download left behind goes with the ticks that follow.
        driver_.Steps(2 * kIdleTicksLimit);
        store_->history().Flush();
        // The counts at the start were taken with the port closed after a
        // download; a last download that ended with the box saying "nothing
        // now" leaves its port, and the port's receive thread, open.
        core_.serial().closePort();
        const long rssEnd = RssKb();
        const size_t heapEnd = HeapInUse();
        const int statusLines = emptyStatusBox_ ? emptyStatusBox_() : 0;
        const size_t heapEndWithoutStatus = HeapInUse();
        const int64_t sqliteEnd = sqlite3_memory_used();
        const std::string partsEnd = RssParts();
        std::vector<std::string> threadNamesEnd;
        const int historyFdsEnd = HistoryFds(historyPath_);
        const int fdsEnd = SettledFds(historyPath_), threadsEnd = CountProgramThreads(&threadNamesEnd);
        const int64_t kept = store_->history().CountCalls();
        if (!KeptRight(kept)) {
            if (explain_) ShowDifference();
            else std::fprintf(stderr, "soak: run again with DIALSCOPE_SOAK_EXPLAIN=1 for the calls that differ\n");
        }
        const size_t logEnd = core_.callLog().Bytes().size();
        const size_t logRoomEnd = core_.callLog().Bytes().capacity() - logEnd;
        core_.AttachStore(nullptr);
        store_.reset();
        std::error_code ec;
        fs::remove_all(dir, ec);

        std::printf("\nsoak: %d of %d downloads run (seed %llu)\n", done, options_.downloads,
                    static_cast<unsigned long long>(options_.seed));
        std::printf("  faults:");
        for (int f = 0; f < static_cast<int>(Fault::Count); ++f) std::printf(" %s %d;", kFaultNames[f], faults_[f]);
        std::printf(" noise in %d\n", noisy_);
        std::printf("  downloads completed %d, restarted %d, cut %d, ended without end frame %d, refused %d\n",
                    ends_[int(DownloadEnd::Completed)], ends_[int(DownloadEnd::Restarted)],
                    ends_[int(DownloadEnd::Cut)], ends_[int(DownloadEnd::Stalled)], ends_[int(DownloadEnd::Refused)]);
        std::printf("  calls sent %d, distinct that must be kept %zu, that may be %zu, kept %lld: %s\n", sent_,
                    must_.size(), may_.size(), static_cast<long long>(kept), KeptRight(kept) ? "within" : "OUTSIDE");
        if (clearsLog_) std::printf("  new calls taken as the watcher takes them: %zu\n", newCalls_);
        std::printf("  VmRSS start %ld kB, after the first 100 downloads %ld kB, end %ld kB: growth %ld kB\n", rssStart,
                    rssAt100, rssEnd, rssEnd - rssAt100);
        std::printf("  VmRSS after the first 100 downloads: %s; at the end: %s\n", partsAt100.c_str(), partsEnd.c_str());
        std::printf("  of which SQLite's heap (its page caches, bounded by cache_size): %lld kB after the first 100 "
                    "downloads, %lld kB at the end\n",
                    static_cast<long long>(sqliteAt100 / 1024), static_cast<long long>(sqliteEnd / 1024));
        std::printf("  log kept by the program: %zu bytes at the end (%zu after the first 100 downloads); room in its "
                    "buffer not yet written %zu kB (%zu kB)\n",
                    logEnd, logAt100, logRoomEnd / 1024, logRoomAt100 / 1024);
        std::printf("  heap in use after the first 100 downloads %zu kB, at the end %zu kB", heapAt100 / 1024,
                    heapEnd / 1024);
        if (emptyStatusBox_)
            std::printf(", of which the status box's %d lines since %zu kB", statusLines,
                        (heapEnd - heapEndWithoutStatus) / 1024);
        std::printf("\n");
        std::printf("  descriptors %d -> %d, of the history file %d -> %d, threads %d -> %d\n", fdsStart, fdsEnd,
                    historyFdsStart, historyFdsEnd, threadsStart, threadsEnd);
        if (threadsEnd != threadsStart) {
            std::printf("  threads at the start:");
            for (const auto& n : threadNamesStart) std::printf(" [%s]", n.c_str());
            std::printf("\n  threads at the end:");
            for (const auto& n : threadNamesEnd) std::printf(" [%s]", n.c_str());
            std::printf("\n");
        }
        std::printf("  longest download %.1f s (virtual) against %.1f s its time-outs allow (download %d)\n",
                    longestTicks_ / 10.0, longestAllowedTicks_ / 10.0, longestAt_);
        std::printf("  downloads longer than their time-outs allow: %d (by up to %.1f s)\n", overAllowed_,
                    worstOver_ / 10.0);
        std::printf("  real time %.1f s\n",
                    std::chrono::duration<double>(Clock::now() - started_).count());

        const long growth = rssEnd - rssAt100;
        const char* name = clearsLog_ ? "soak_" : "soak_window_";
        // Memory is judged only over a run long enough to leave the warm-up
        // behind: from the 100th download, over at least 100 more. A short
        // run's figures start at the first download, where the page caches,
        // the allocator's arenas and the toolkit's caches are still filling,
        // so they are printed for information and do not decide.
        const bool memoryJudged = done >= kMemoryJudgedFrom;
        if (!memoryJudged)
            std::printf("  memory goals are judged from %d downloads on; this run's memory figures are information\n",
                        kMemoryJudgedFrom);
        const auto goal = [&](const char* bound) { return memoryJudged ? bound : "-"; };
        std::printf("RESULT %sdownloads %d downloads >=%d\n", name, done, options_.downloads);
        std::printf("RESULT %scalls_missing %lld calls <=0\n", name,
                    static_cast<long long>(std::max<int64_t>(0, static_cast<int64_t>(must_.size()) - kept) +
                                           std::max<int64_t>(0, kept - static_cast<int64_t>(may_.size()))));
        std::printf("RESULT %sfds_left %d fds <=0\n", name, fdsEnd - fdsStart);
        std::printf("RESULT %sthreads_left %d threads <=0\n", name, threadsEnd - threadsStart);
        bool memoryOk = true;
        if (clearsLog_) {
            std::printf("RESULT %srss_growth %ld kB %s\n", name, growth, goal("<=1024"));
            memoryOk = growth <= 1024;
        } else {
            // What grew with the log, on the heap: its growth less the
            // status box's lines, less SQLite's page caches (bounded; they
            // grow and shrink with its work) and less the log buffer's room
            // not yet written (a mapped block's untouched pages take no
            // memory), against the log's bytes added meanwhile.
            const double logAdded = static_cast<double>(logEnd - logAt100);
            const double withLog = static_cast<double>(heapEndWithoutStatus) - static_cast<double>(heapAt100) -
                                   static_cast<double>(sqliteEnd - sqliteAt100) -
                                   (static_cast<double>(logRoomEnd) - static_cast<double>(logRoomAt100));
            const double perLogByte = logAdded > 0 ? withLog / logAdded : 0.0;
            std::printf("RESULT %slog_memory_per_log_byte %.2f ratio %s\n", name, perLogByte, goal("<=3"));
            std::printf("RESULT %srss_growth %ld kB -\n", name, growth);
            memoryOk = perLogByte <= 3.0;
        }
        std::printf("RESULT %slongest_download_over_allowed %.1f s <=0\n", name,
                    worstOver_ / 10.0);

        const bool ok = done == options_.downloads && KeptRight(kept) &&
                        fdsEnd == fdsStart && historyFdsEnd <= historyFdsStart + 1 && threadsEnd == threadsStart && overAllowed_ == 0 &&
                        (memoryOk || !memoryJudged) && !::testing::Test::HasFailure();
        return ok ? 0 : 1;
    }

private:
    Platform MakePlatform() {
        Platform p;
        p.clock = clock_.Fn();
        p.registry = MakeSysfsRegistryFactory(tree_.sys());
        p.deviceEvents = MakeHotplugSource(tree_.sys().c_str());
        p.warningBox = [](const char* text, const char*) { std::fprintf(stderr, "soak: warning box: %s\n", text); };
        return p;
    }

    // A call the box has not had before: any label and letter, date and time
    // fields over the whole byte range the box may send, texts of every byte
    // value (the framing bytes, XON and XOFF, zero bytes), tone-only now and then.
    devsim::CallRecord NewCall() { return soak::NewCall(rng_); }

    // The box's memory between downloads: the oldest calls go, new ones come,
    // and now and then a caller calls twice within the same minute.
    void ChangeTheBox(int noise) {
        auto& r = box_.records;
        for (uint32_t drop = rng_.Below(3); drop > 0 && !r.empty(); --drop) r.erase(r.begin());
        for (uint32_t add = rng_.Below(3); add > 0; --add) r.push_back(NewCall());
        if (!r.empty() && rng_.Below(20) == 0) r.push_back(r[rng_.Below(static_cast<uint32_t>(r.size()))]);
        if (r.empty()) r.push_back(NewCall());
        devsim::SimOptions o = FastOptions(box_);
        o.faults.noiseMax = noise;
        // Two downloads at once (a start-over answered while the rest of
        // the first is parsed) fit in the ring too.
        auto fits = [&] {
            const size_t frames = devsim::BuildDownloadFrames(o.log, o.framePayload).size();
            return 2 * (DownloadBytes(o) + frames * static_cast<size_t>(noise)) < static_cast<size_t>(kRxRingSize);
        };
        while (r.size() > 1 && !fits()) {
            r.erase(r.begin());
            o.log = box_;
        }
    }

    void Ended(DownloadEnd how) {
        if (current_ == trace_) std::fprintf(stderr, "trace: end %d at step %lld\n", int(how), (long long)driver_.step());
        ++ends_[static_cast<int>(how)];
        if (how != DownloadEnd::Restarted && how != DownloadEnd::Refused) {
            ++finalEnds_;
            // The console's watcher keeps no growing log: what was shown is
            // in the history. The window keeps its log.
            if (clearsLog_) core_.Clear();
        } else {
            ++restartsThisDownload_;
        }
        if (startStep_ >= 0 && how != DownloadEnd::Restarted) {
            const int64_t ticks = driver_.step() - startStep_;
            // One idle time-out per start-over and for an end on silence, and the bytes at the line's
            // rate for every download sent, with a tick either side.
            // A damaged frame may cost one idle time-out of its own: a lost
            // header is asked for again after it, a lost end frame ends the
            // download on it.
            const bool damagedFrame = currentFault_ == static_cast<int>(Fault::BadCrc) ||
                                      currentFault_ == static_cast<int>(Fault::WrongLetter);
            const int64_t timeOuts =
                restartsThisDownload_ + ((how == DownloadEnd::Stalled || damagedFrame) ? 1 : 0);
            const int64_t allowed = silentTicks_ + timeOuts * (kIdleTicksLimit + 1) +
                                    (restartsThisDownload_ + 1) * (bytes_ * 10 / 5760 + 3);
            if (ticks > longestTicks_ || longestAt_ < 0) {
                longestTicks_ = ticks;
                longestAllowedTicks_ = allowed;
                longestAt_ = current_;
            }
            if (ticks > allowed) {
                ++overAllowed_;
                std::printf("soak: download %d (%s, %d start-overs, ended %d) took %.1f s, %.1f s allowed\n", current_,
                            kFaultNames[currentFault_], restartsThisDownload_, static_cast<int>(how), ticks / 10.0,
                            allowed / 10.0);
                worstOver_ = std::max(worstOver_, ticks - allowed);
            }
            startStep_ = -1;
        }
    }

    // Steps until done holds, noting when a download begins.
    bool StepUntil(const std::function<bool()>& done, const std::string& what, int maxSteps = 20000) {
        return driver_.StepUntil(
            [&] {
                if (startStep_ < 0 && core_.protocol().downloading()) startStep_ = driver_.step();
                // The device's own silence runs on the real clock, so on the
                // ticks' clock it lasts as long as it takes to pass.
                if (startStep_ >= 0 && events_ && events_->paused()) ++silentTicks_;
                return done();
            },
            what + " (download " + std::to_string(current_) + ")", maxSteps);
    }

    bool OneDownload(int index) {
        current_ = index;
        const int noise = rng_.Below(3) == 0 ? static_cast<int>(rng_.Between(1, 6)) : 0;
        noisy_ += noise > 0;
        ChangeTheBox(noise);
        const Fault fault = rng_.Below(3) == 0 ? Fault::Clean
                                               : static_cast<Fault>(rng_.Below(static_cast<uint32_t>(Fault::Count)));
        ++faults_[static_cast<int>(fault)];
        if (explain_) faultOf_.push_back(static_cast<int>(fault));
        currentFault_ = static_cast<int>(fault);

        SimEvents events;
        devsim::SimOptions o = FastOptions(box_);
        o.fakeAdapter = true;
        o.adapter = tree_.Adapter();
        o.onEvent = events.Sink();
        o.faults.noiseMax = noise;
        o.faults.seed = rng_.Next();
        const size_t frames = devsim::BuildDownloadFrames(o.log, o.framePayload).size();
        bytes_ = DownloadBytes(o) + frames * static_cast<size_t>(noise);
        switch (fault) {
        case Fault::BadCrc:
            o.faults.badCrcFrame = static_cast<int>(rng_.Below(static_cast<uint32_t>(frames)));
            break;
        case Fault::WrongLetter: {
            std::vector<int> data;
            const auto all = devsim::BuildDownloadFrames(o.log, o.framePayload);
            for (size_t i = 0; i < all.size(); ++i)
                if (all[i].frame.command >= 'P' && all[i].frame.command <= '^') data.push_back(static_cast<int>(i));
            if (!data.empty()) o.faults.wrongLetterFrame = data[rng_.Below(static_cast<uint32_t>(data.size()))];
            break;
        }
        case Fault::HangUp:
            o.faults.hangupAfterByte = rng_.Between(1, static_cast<uint32_t>(DownloadBytes(o) - 1));
            break;
        case Fault::Silence: {
            // A silence within a record: the program's clock runs on the
            // ticks, so any silence is longer than its time-out.
            std::vector<std::pair<int, int>> places;
            for (size_t i = 0; i < box_.records.size(); ++i) {
                const size_t n = (box_.records[i].text.size() + o.framePayload - 1) / o.framePayload;
                for (size_t k = 1; k <= n; ++k) places.emplace_back(static_cast<int>(i), static_cast<int>(k));
            }
            if (places.empty()) break;
            const auto [record, after] = places[rng_.Below(static_cast<uint32_t>(places.size()))];
            o.faults.silenceRecord = record;
            o.faults.silenceAfter = after;
            o.faults.silenceSeconds = 0.3;
            break;
        }
        default:
            break;
        }
        devsim::DownloadSetup setup;
        std::string error;
        if (!devsim::PrepareDownload(o, &setup, &error)) {
            std::fprintf(stderr, "soak: download %d cannot be laid out: %s\n", index, error.c_str());
            return false;
        }

        auto sim = std::make_unique<devsim::Simulator>(o);
        if (!sim->Start(&error)) {
            std::fprintf(stderr, "soak: the simulator did not start: %s\n", error.c_str());
            return false;
        }
        driver_.Attach(sim.get(), &events);
        const int finalBefore = finalEnds_;
        restartsThisDownload_ = 0;
        startStep_ = -1;
        silentTicks_ = 0;
        events_ = &events;

        int held = -1;
        const fs::path devLink = tree_.dev() / o.adapter.ttyName;
        if (fault == Fault::Busy) {
            // Another program holds the port with a lock.
            held = ::open(sim->SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
            if (held < 0 || ::flock(held, LOCK_EX | LOCK_NB) != 0) {
                std::fprintf(stderr, "soak: cannot hold the port: %s\n", std::strerror(errno));
                return false;
            }
            StepUntil([&] { return view_.status.size() > 0 && view_.status.back().rfind("Cannot open ", 0) == 0; },
                      "the refusal of a busy port", 200);
            driver_.Steps(static_cast<int>(rng_.Below(20)));
            ::close(held);
        } else if (fault == Fault::NoDevLink) {
            // The adapter is there but its node is not (udev still at work,
            // or a rule that removed it); then it comes and goes again.
            fs::remove(devLink);
            driver_.Steps(static_cast<int>(rng_.Between(1, 4)) * Driver::kWatchEvery);
            sim->Unplug();
            if (!WaitFor([&] { return !sim->Plugged(); })) return Broke("the simulator did not unplug");
            driver_.Steps(static_cast<int>(rng_.Between(1, 4)));
            sim->Plug();
            if (!WaitFor([&] { return sim->Plugged(); })) return Broke("the simulator did not plug");
        } else if (fault == Fault::Bounce) {
            StepUntil([&] { return core_.serial().portOpen(); }, "the port opening", 200);
            sim->Unplug();
            if (!WaitFor([&] { return !sim->Plugged(); })) return Broke("the simulator did not unplug");
            driver_.Steps(static_cast<int>(rng_.Below(8)));
            sim->Plug();
            if (!WaitFor([&] { return sim->Plugged(); })) return Broke("the simulator did not plug");
        }

        if (fault == Fault::HangUp) {
            // The device hangs up once the program has read what it sent,
            // in real time: on the ticks' clock the line may well have gone
            // quiet for longer than the program waits before that.
            StepUntil([&] { return sim->DownloadsStarted() > 0; }, "the download before the hang-up");
            if (!WaitFor([&] { return !sim->Plugged(); })) return Broke("the device did not hang up");
            // The program calls the download cut at its next tick.
            StepUntil([&] { return !core_.serial().portOpen() && !core_.protocol().downloading(); },
                      "the program taking the hang-up in", 200);
            if (finalEnds_ > finalBefore && startStep_ >= 0) startStep_ = -1;
        } else {
            StepUntil([&] { return finalEnds_ > finalBefore; }, "the end of the download");
            // The adapter is pulled out between downloads.
            sim->Stop();
            StepUntil([&] { return !core_.serial().portOpen(); }, "the port closing", 200);
        }
        sim->Stop();
        Expect(o.log, setup, sim->DownloadsStarted() >= 2 && o.faults.noiseMax == 0);
        driver_.Attach(nullptr);
        events_ = nullptr;
        // A few idle ticks between downloads, as the watcher has.
        driver_.Steps(static_cast<int>(rng_.Below(3)));
        if (current_ == trace_) {
            std::fprintf(stderr, "trace: fault %s, bad frame %d of %zu, hang-up after %lld, records %zu\n", kFaultNames[int(fault)], o.faults.badCrcFrame, frames,
                         o.faults.hangupAfterByte, box_.records.size());
            for (const auto& line : events.lines()) std::fprintf(stderr, "trace: device %s\n", line.c_str());
            for (const auto& line : view_.status) std::fprintf(stderr, "trace: status %s\n", line.c_str());
        }
        driver_.ForgetViewHistory();
        if (clearsLog_) newCalls_ += store_->history().TakeNewCalls().size();
#ifdef DIALSCOPE_SOAK_QT
        // The window lays its boxes out as its message loop would.
        QCoreApplication::processEvents();
#endif
        return !driver_.broken();
    }

    bool Broke(const char* what) {
        std::fprintf(stderr, "soak: download %d: %s\n", current_, what);
        return false;
    }

    // Which calls the history and the box disagree on (identity without the
    // occurrence: the history's rows do not show it).
    void ShowDifference() {
        history::ListQuery all;
        std::map<std::string, int> diff;
        for (const auto& call : store_->history().List(all)) {
            const auto& f = call.fields;
            std::string key(f.label.begin(), f.label.end());
            key += static_cast<char>(f.letterCode);
            for (int16_t v : f.dateTime) key += static_cast<char>(v);
            key += f.hasText ? '\1' : '\0';
            key += f.text;
            ++diff[key];
        }
        for (const std::string& key : expectedKeys_) --diff[key.substr(0, key.rfind('\0'))];
        for (const auto& [key, n] : diff) {
            if (n == 0) continue;
            std::fprintf(stderr, "soak: %+d kept, letter %d, date/time", n, key[8]);
            for (int i = 9; i < 14; ++i) std::fprintf(stderr, " %02d", static_cast<uint8_t>(key[i]));
            std::fprintf(stderr, ", %s, %zu text bytes; sent in downloads", key[14] ? "text" : "tone only", key.size() - 15);
            for (int d : sentIn_[key])
                std::fprintf(stderr, " %d.%d (%s%s)", std::abs(d) / 10, std::abs(d) % 10,
                             kFaultNames[faultOf_[std::abs(d) / 10]], d < 0 ? ", shown damaged" : "");
            std::fprintf(stderr, "\n");
        }
    }

    // The calls of one download the history must keep and may keep.
    void Expect(const devsim::CallLog& log, const devsim::DownloadSetup& setup, bool askedAgain) {
        const DownloadCalls calls = CallsOf(log, setup, askedAgain);
        sent_ += static_cast<int>(calls.may.size());
        for (const std::string& key : calls.must) {
            must_.Insert(key);
            if (explain_) expectedKeys_.insert(key);
        }
        for (const std::string& key : calls.may) {
            may_.Insert(key);
            if (explain_) sentIn_[key.substr(0, key.rfind('\0'))].push_back(current_ * 10);
        }
    }
    bool KeptRight(int64_t kept) const {
        return kept >= static_cast<int64_t>(must_.size()) && kept <= static_cast<int64_t>(may_.size());
    }

    Options options_;
    bool clearsLog_;
    FakeTree tree_;
    EnvGuard devRoot_;
    TapView view_;
    VirtualClock clock_;
    Core core_;
    Driver driver_;
    std::unique_ptr<history::HistoryStore> store_;
    std::function<int()> emptyStatusBox_;
    devsim::Rng rng_;
    devsim::CallLog box_;
    Clock::time_point started_ = Clock::now();

    int current_ = 0;
    std::string historyPath_;  // the history file this soak writes
    int ends_[8] = {};
    int finalEnds_ = 0;
    int restartsThisDownload_ = 0;
    int64_t startStep_ = -1;
    int64_t silentTicks_ = 0;
    const SimEvents* events_ = nullptr;
    size_t bytes_ = 0;
    int64_t longestTicks_ = 0, longestAllowedTicks_ = 0;
    int longestAt_ = -1;
    int overAllowed_ = 0;
    int64_t worstOver_ = 0;
    int faults_[static_cast<int>(Fault::Count)] = {};
    int noisy_ = 0;
    int sent_ = 0;
    size_t newCalls_ = 0;
    CallSet must_{static_cast<size_t>(options_.downloads) * 3 + 64};
    CallSet may_{static_cast<size_t>(options_.downloads) * 3 + 64};
    // What explains a difference, kept only when asked for (it grows).
    const bool explain_ = getenv("DIALSCOPE_SOAK_EXPLAIN") != nullptr;
    std::set<std::string> expectedKeys_;
    std::map<std::string, std::vector<int>> sentIn_;
    std::vector<int> faultOf_;
    int trace_ = -1;
    int currentFault_ = 0;
};

bool ParseOptions(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if ((a == "--downloads" || a == "--seed") && i + 1 < argc) {
            const long long v = std::atoll(argv[++i]);
            if (v < 1) return false;
            if (a == "--downloads") o->downloads = static_cast<int>(v);
            else o->seed = static_cast<uint64_t>(v);
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace
}  // namespace dialscope::soak

int main(int argc, char** argv) {
    using namespace dialscope;
    ::testing::InitGoogleTest(&argc, argv);
    soak::Options options;
    if (!soak::ParseOptions(argc, argv, &options)) {
        std::fprintf(stderr, "usage: %s [--downloads N] [--seed S]\n", argv[0]);
        return 2;
    }
#ifdef DIALSCOPE_SOAK_QT
    QApplication app(argc, argv);
    qt::TForm1 form;  // not attached: its timers and events stay out, the driver runs the core
    form.show();

    soak::Soak soak(options, form, false);
    soak.OnEmptyStatusBox([&form] {
        auto* box = form.findChild<QPlainTextEdit*>(QStringLiteral("memo_info"));
        const int lines = box->document()->blockCount();
        box->clear();
        QCoreApplication::processEvents();
        return lines;
    });
#else
    cli::ConsoleView console;
    soak::Soak soak(options, console, true);
#endif
    return soak.Run();
}


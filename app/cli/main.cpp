// dialscope-cli: the program without a window. The same Core as the window
// program, driven by a console loop: download once, watch for calls, or list
// the calls the history keeps. On Windows: download, history and contacts;
// the watcher and the web pages are Linux's.

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "app/cli/console.h"
#include "app/cli/exit_codes.h"
#include "app/cli/serve.h"
#if !defined(_WIN32)
#include "app/cli/test_call.h"
#endif
#include "app/core.h"
#include "app/save_log.h"
#include "app/version.h"
#include "history/call_history.h"
#include "history/contacts_import.h"
#include "history/export.h"
#include "history/file_system.h"
#include "history/history_store.h"
#include "history/latin1.h"
#include "history/phone_number.h"
#include "history/retention.h"
#include "history/salvage.h"
#if !defined(_WIN32)
#include "publish/instance_name.h"
#include "publish/publishing.h"
#include "publish/watch_settings.h"
#endif
#include "record/render_record.h"

namespace dialscope::cli {
namespace {

using Clock = ConsoleView::Clock;
using namespace std::chrono_literals;

enum class Format { Text, Csv, Json };

struct Common {
    std::string historyPath;
    bool noHistory = false;
    history::DateOrder dateOrder = history::DateOrder::MDY;
};

// Whether the progress line stands unfinished on the terminal: a message
// then takes its place, and the next progress line follows below it.
bool progressOnLine = false;

void Say(const std::string& line) {
    if (progressOnLine) {
        std::fputs("\r\033[K", stderr);
        progressOnLine = false;
    }
    std::fprintf(stderr, "dialscope-cli: %s\n", line.c_str());
    std::fflush(stderr);
}

int Fail(int code, const std::string& line) {
    Say(line);
    return code;
}

// The history's path: --history, else the default one; empty when there is
// no place for it (*problem says why).
std::string HistoryPath(const Common& common, std::string* problem) {
    problem->clear();
    if (!common.historyPath.empty()) return common.historyPath;
    std::string path = history::CallHistory::DefaultPath(problem);
    return problem->empty() ? path : std::string();
}

// The history, or null with the reason said once on stderr. A warning about
// the file (others may read it) is said too.
std::unique_ptr<history::CallHistory> OpenHistoryFile(const Common& common, std::string* problem,
                                                      const history::OpenOptions& options = {}) {
    const std::string path = HistoryPath(common, problem);
    if (path.empty()) return nullptr;
    auto opened = history::CallHistory::Open(path, problem, options);
    if (opened)
        if (auto warning = opened->TakeWarning()) Say(*warning);
    return opened;
}

// The history of a download or of the watcher, or null with the reason said
// on stderr.
std::unique_ptr<history::HistoryStore> OpenHistory(const Common& common, bool* failed) {
    if (common.noHistory) return nullptr;
    std::string problem;
    auto opened = OpenHistoryFile(common, &problem);
    if (!opened) {
        Say(problem);
        *failed = true;
        return nullptr;
    }
    return std::make_unique<history::HistoryStore>(std::move(opened));
}

int64_t NowMs() { return WallClockMs(); }

TextEncoding EncodingOf(Format format) { return format == Format::Text ? TextEncoding::Latin1 : TextEncoding::Utf8; }

// Appends bytes to the file (never truncating) or writes them to stdout. A
// file or a pipe gets the bytes as they are; a terminal sees the callers'
// texts, not what control characters in them would do to it.
bool WriteOut(const std::string& file, const std::string& bytes, TextEncoding encoding) {
    if (file.empty()) {
        static const bool terminal = IsTerminal(stdout);
        const std::string shown = terminal ? ForTerminal(ShownOnTerminal(bytes, encoding), encoding) : std::string();
        const std::string& out = terminal ? shown : bytes;
        // A write larger than the buffer goes straight out: its failure shows
        // in fwrite's count, not in the flush after it.
        if (std::fwrite(out.data(), 1, out.size(), stdout) == out.size() && std::fflush(stdout) == 0) return true;
        // The reader has gone (`history | head`): nobody wants the rest,
        // which is no failure of ours.
        if (ReaderGone()) {
            std::clearerr(stdout);
            return true;
        }
        return false;
    }
    return AppendBytesToFile(bytes, file);
}

// A command's exit code once what it printed has left stdout's buffer: a
// line printed with printf meets a full disk only here.
int Flushed(int code) {
    if (code != kExitOk || (std::fflush(stdout) == 0 && !std::ferror(stdout)) || ReaderGone()) return code;
    Say("Cannot write to standard output. Check the path and the free space.");
    return kExitOutput;
}

// Whether a CSV header goes first. A missing file is empty. A FIFO, a pipe or
// a device is a stream of its own, as stdout is, and gets one; it is never
// opened to be measured (a FIFO's read open would wait for a writer, and the
// writer is us).
bool FileIsEmpty(const std::string& file) {
    const auto info = history::files::Look(file);
    return !info || info->kind != history::files::Kind::Regular || info->size == 0;
}

// Whether a regular file begins with these bytes.
bool StartsWith(const std::string& file, const std::string& start) {
    std::string head(start.size(), '\0');
    std::optional<history::files::Info> info;
    std::string error;
    return history::files::ReadStart(file, head.data(), head.size(), &info, &error) ==
               static_cast<int64_t>(start.size()) &&
           head == start;
}

// The records of one download as the exporters take them.
struct DownloadRecords {
    std::vector<history::StoredCall> calls;
    std::vector<uint64_t> stored;  // each call's number in the history (0: none)
    int damaged = 0;
    void Add(const CallRecord& record, std::string_view rendered, uint64_t storedAs = 0) {
        stored.push_back(storedAs);
        history::StoredCall call;
        call.receivedAt = NowMs();
        call.fields = record;
        call.rendered = rendered;
        call.damaged = record.damaged;
        if (record.damaged) ++damaged;
        calls.push_back(std::move(call));
    }
};

// The status lines the program writes, said on stderr as they come.
struct StatusWatch {
    bool verbose = false;

    void See(std::string_view line) {
        const std::string text(line);
        // What the line did to the download (damage, a stall, a port that
        // cannot be opened), said as it happens; the banner and the end
        // frame's line are the window's.
        if (verbose || (text != kBanner && text != kReadOkLine && text != kReadDamagedLine)) Say(text);
    }
};

// What Core's events have told a download so far.
struct DownloadWatch {
    std::optional<DownloadEnd> ended;
    bool callMayBeLost = false;
    // Anything of a download of this run (a given-up one too, whose records
    // are in the output) was found damaged.
    bool damageFound = false;
    bool everStarted = false;
    bool answered = false;           // the device answered on the port last opened
    bool noDeviceAnswered = false;   // the supervisor tried every adapter: none answered
    std::set<std::string> present;   // the adapters' ports
    // The last refusal of a port by the system since a port last opened,
    // and when the first refusal came.
    std::optional<event::PortOpenFailed> refusal;
    Clock::time_point refusedSince{};
    // Refusals the status box has explained (and so the console has said).
    std::set<std::pair<std::string, OpenFailure>> explained;

    void Hear(const CoreEvent& e) {
        std::visit(Handlers{
                       [&](const event::DownloadStarted&) { everStarted = true; },
                       [&](const event::DownloadEnded& d) {
                           damageFound = damageFound || d.damageFound;
                           // A restart or a "nothing now" is not the end: the
                           // box sends its whole memory again when asked.
                           if (d.how == DownloadEnd::Restarted || d.how == DownloadEnd::Refused) return;
                           ended = d.how;
                           callMayBeLost = d.callMayBeLost;
                       },
                       [&](const event::PortOpened&) {
                           refusal.reset();
                           answered = false;
                       },
                       [&](const event::PortOpenFailed& f) {
                           refusal = f;
                           if (refusedSince == Clock::time_point{}) refusedSince = Clock::now();
                           if (f.explained) explained.insert({f.port, f.reason});
                       },
                       [&](const event::DeviceAnswered&) { answered = true; },
                       [&](const event::NoDeviceAnswered&) { noDeviceAnswered = true; },
                       [&](const event::AdapterArrived& a) { present.insert(a.port); },
                       [&](const event::AdapterRemoved& a) { present.erase(a.port); },
                   },
                   e);
    }
    // The words of the last refusal, and whether they have been said.
    std::string RefusalWords() const { return CannotOpenWords(refusal->port, refusal->error); }
    bool RefusalSaid() const { return explained.count({refusal->port, refusal->reason}) != 0; }
};

SerialPort::WarningBox ConsoleWarning() {
    return [](const char* text, const char* caption) { Say(std::string(caption) + ": " + text); };
}

// ------------------------------------------------------------------ download

struct DownloadOptions {
    std::string port;
    Format format = Format::Text;
    std::string output;
    int timeoutSeconds = 120;
};

int Download(const Common& common, const DownloadOptions& options) {
    bool historyFailed = false;
    // A history that cannot be written (read-only, damaged) stays attached:
    // what it cannot take goes to the pending file beside it when the
    // download ends.
    auto store = OpenHistory(common, &historyFailed);

    ConsoleView view;
    StatusWatch status;
    view.onStatus = [&](std::string_view line) { status.See(line); };
    Platform platform = SystemPlatform(nullptr, ConsoleWarning());
    if (!options.port.empty()) platform.deviceEvents.reset();  // no search, no events
    Core core(view, std::move(platform));
    if (store) core.AttachStore(store.get());

    DownloadRecords records;
    DownloadWatch watch;
    core.Subscribe([&](const CoreEvent& e) {
        // Core has stored the record when it tells of it: its number in the
        // history gives its ids once it is in the file.
        if (auto* r = std::get_if<event::RecordOutput>(&e)) records.Add(r->record, r->rendered, store ? store->lastRecord() : 0);
        watch.Hear(e);
    });

    try {
        core.Start();
    } catch (const std::exception& e) {
        return Fail(kExitNoAdapter, std::string("The list of serial ports cannot be read: ") +
                                        e.what());
    }
    if (!options.port.empty() && !core.UsePort(options.port))
        return Fail(kExitCannotOpen, watch.RefusalWords());

    const Clock::time_point start = Clock::now();
    const Clock::time_point deadline = start + std::chrono::seconds(options.timeoutSeconds);
    const bool progress = IsTerminal(stderr);
    Clock::time_point lastProgress{};
    int exitEarly = 0;
    std::string earlyWords;
    bool earlySaid = false;

    auto done = [&] {
        if (watch.ended) return true;
        const Clock::time_point now = Clock::now();
        if (watch.everStarted || watch.answered) return false;
        if (options.port.empty()) {
            // udev may still be making the node just after a plug-in: give
            // the search a moment before giving up.
            if (watch.present.empty() && now - start > 3s) {
                exitEarly = kExitNoAdapter;
                earlyWords = "No adapter found. Plug in the USB serial adapter (USB id 067b:2303) "
                             "or name its port with --port.";
                return true;
            }
            // The supervisor retries a refused port every two seconds; one
            // still refused after three tries is not going to open.
            if (watch.refusal && now - watch.refusedSince > 6s) {
                exitEarly = kExitCannotOpen;
                earlyWords = watch.RefusalWords();
                // The supervisor's explanation has been said as it came.
                earlySaid = watch.RefusalSaid();
                return true;
            }
            if (watch.noDeviceAnswered && !watch.refusal) {
                exitEarly = kExitNoAnswer;
                earlyWords = "The box did not answer. Check that it is connected to the adapter "
                             "and switched on.";
                return true;
            }
        } else if (now - start > 10s) {
            // Two polls have gone unanswered on the named port.
            exitEarly = kExitNoAnswer;
            earlyWords = "The box did not answer on " + options.port +
                         ". Check that it is connected to the adapter and switched on.";
            return true;
        }
        return false;
    };
    auto showProgress = [&](bool last = false) {
        if (!progress) return;
        const Clock::time_point now = Clock::now();
        if (!last && now - lastProgress < 250ms) return;
        lastProgress = now;
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(now - start).count();
        std::fprintf(stderr, "\r\033[Kdialscope-cli: %zu records, %zu bytes, %lld s", view.records,
                     view.bytes, static_cast<long long>(seconds));
        std::fputc(last ? '\n' : ' ', stderr);
        progressOnLine = !last;
        std::fflush(stderr);
    };
    const bool notStopped = RunLoop(core, done, deadline, [&] { showProgress(false); });
    showProgress(true);

    // Whatever arrived is written out, even when the download broke off. A
    // stop that comes as the download ends cuts short only the wait for the
    // history below.
    int code = kExitOk;
    if (!notStopped && !watch.ended) {
        code = kExitInterrupted;
        Say("Stopped before the download finished.");
    } else if (exitEarly != 0) {
        if (earlySaid) return exitEarly;
        return Fail(exitEarly, earlyWords);
    } else if (!watch.ended && !watch.everStarted && watch.refusal) {
        // The time ran out while the port was refused: that is why no log came.
        code = kExitCannotOpen;
        if (!watch.RefusalSaid()) Say(watch.RefusalWords());
    } else if (!watch.ended) {
        code = watch.everStarted ? kExitDamaged : kExitNoAnswer;
        Say(watch.everStarted ? "The download did not finish within " + std::to_string(options.timeoutSeconds) +
                                    " s. Try again, or allow more time with --timeout."
                              : "The box sent no log within " + std::to_string(options.timeoutSeconds) +
                                    " s. It may have nothing to send now; try again later.");
    } else if (*watch.ended == DownloadEnd::Cut) {
        code = kExitDamaged;
        Say("The line went away during the download (the adapter was pulled out?). "
            "The records that arrived are written; run the download again for the rest.");
    } else if (*watch.ended == DownloadEnd::Stalled) {
        code = kExitDamaged;
        Say("The box stopped sending before the end of its log: the last records may be missing. "
            "Run the download again.");
    } else if (records.damaged > 0) {
        code = kExitDamaged;
        Say("Some records arrived damaged. Run the download again: the box sends its whole memory "
            "each time.");
    } else if (watch.callMayBeLost || watch.damageFound) {
        code = kExitDamaged;
        Say("Part of the download arrived damaged: the records written arrived whole, but a call may be "
            "missing. Run the download again: the box sends its whole memory each time.");
    }

    // The rows carry the ids the history gave the calls (a known call keeps
    // the id it first got); a record still waiting for the file has none.
    // A history locked by another program gets the rest of the time-out to
    // take the records, unless SIGINT or SIGTERM comes; what it still cannot
    // take goes to the pending file.
    std::optional<std::string> leftOut;
    if (store) {
        const auto patience = std::max<Clock::duration>(deadline - Clock::now(), 1s);
        leftOut = store->history().Close(
            static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(patience).count()),
            [] { return StopRequested(); });
        while (auto problem = store->TakeProblem()) status.See(problem->words);
        for (size_t i = 0; i < records.calls.size(); ++i)
            if (auto ids = store->history().WrittenAs(records.stored[i])) {
                records.calls[i].id = ids->id;
                records.calls[i].downloadId = ids->downloadId;
            }
        // The callers' names from the history's contacts (CSV and JSON;
        // the text is what the window's Save writes, byte for byte).
        store->history().NameCalls(&records.calls);
    }
    std::string bytes;
    switch (options.format) {
    case Format::Text: bytes = ToFileLineEnds(core.callLog().Bytes()); break;
    case Format::Csv:
        if (options.output.empty() || FileIsEmpty(options.output)) bytes = history::CsvHeader();
        for (const auto& call : records.calls) bytes += history::CsvRow(call, common.dateOrder);
        break;
    case Format::Json:
        for (const auto& call : records.calls) bytes += history::JsonLine(call, common.dateOrder);
        break;
    }
    if (!bytes.empty() && !WriteOut(options.output, bytes, EncodingOf(options.format)))
        return Fail(kExitOutput, "Cannot write to " + (options.output.empty() ? std::string("standard output") : options.output) +
                                     ". Check the path and the free space.");
    // What the history did not take is asked of it, not read from the lines
    // it said: a download shorter than its patience ends with records still
    // waiting and nothing said but the summary.
    bool historyShort = false;
    if (store) {
        const int64_t lost = store->history().DroppedRecords();
        if (leftOut) Say(*leftOut);
        if (lost > 0)
            Say("The call history did not take " + std::to_string(lost) +
                " of this download's records: more waited for it than are kept in memory (the output has them). "
                "Run the download again once the history can be written.");
        historyShort = leftOut.has_value() || lost > 0 || store->history().damaged();
    }
    if (code == kExitOk && (historyFailed || historyShort)) code = kExitHistory;
    return code;
}

#if !defined(_WIN32)
// --------------------------------------------------------------------- watch

struct WatchOptions {
    int everyMinutes = 15;
    bool testCall = false;
    int keepDays = 0;  // 0: calls are kept for ever
    publish::PublishPlan plan;
    std::string http;  // ADDR:PORT of the pages; empty: none
    bool httpFromFile = false;  // given as http in the configuration file
};

int Watch(const Common& common, WatchOptions options) {
    bool historyFailed = false;
    auto store = OpenHistory(common, &historyFailed);
    if (!store)
        Say("Without the history every intact record of each download is printed, known or not.");
    publish::InstanceName instance(options.plan.instance);
    std::optional<publish::Publishing> publishing;
    if (store && (options.plan.mqtt || options.plan.exec)) {
        publishing.emplace(std::move(options.plan), &store->history(), common.dateOrder, &instance, Report);
        std::string error;
        if (!publishing->Start(&error)) return Fail(kExitUsage, error);
    } else if (options.plan.mqtt || options.plan.exec) {
        // Without the history a re-download of the box's memory would send
        // every call again, and nothing would say what the broker still owes.
        Say("Without the call history no call is sent to the broker or to the command. Fix the history and "
            "start the watcher again.");
    }

    // The pages in the same process: the calls it keeps reach them as it
    // takes them, with no watching of the file.
    std::unique_ptr<WebPagesThread> pages;
    if (!options.http.empty() && !store) {
        Say("Without the call history there are no pages to serve on " + options.http + ".");
    } else if (!options.http.empty()) {
        ServeOptions serve;
        serve.listen = options.http;
        std::string problem;
        int code = 0;
        pages = WebPagesThread::Start(store->history().path(), common.dateOrder, serve, &problem, &code);
        if (!pages) return Fail(code, (options.httpFromFile ? "http in the configuration file: " : "--http: ") + problem);
        Say("The calls are at " + pages->url());
    }

    ConsoleView view;
    StatusWatch status;
    status.verbose = true;
    view.onStatus = [&](std::string_view line) { status.See(line); };
    Core core(view, SystemPlatform(nullptr, ConsoleWarning()));
    if (store) core.AttachStore(store.get());
    std::optional<history::Retention> retention;
    if (store && options.keepDays > 0) retention.emplace(store->history().path(), options.keepDays);
    else if (options.keepDays > 0) Say("Without the call history no calls are removed after " + std::to_string(options.keepDays) + " days.");

    DownloadRecords records;
    Clock::time_point lastDownload = Clock::now();
    core.Subscribe(Listen(
        [&](const event::RecordOutput& r) {
            if (!store && !r.record.damaged) records.Add(r.record, r.rendered);
        },
        [&](const event::DownloadEnded& d) {
            if (d.how == DownloadEnd::Restarted || d.how == DownloadEnd::Refused) return;
            lastDownload = Clock::now();
            // The watcher keeps no growing log: what was shown is in the history.
            core.Clear();
        }));

    try {
        core.Start();
    } catch (const std::exception& e) {
        return Fail(kExitNoAdapter, std::string("The list of serial ports cannot be read: ") +
                                        e.what());
    }
    const auto every = std::chrono::minutes(options.everyMinutes);
    auto printNew = [&] {
        std::string lines;
        if (store) {
            const auto calls = store->history().TakeNewCalls();
            // The ids the broker and the command get too.
            for (const auto& call : calls) lines += publish::WatchLine(call, common.dateOrder, instance.Now());
            // Printed first: a script reading stdout is the nearest consumer.
            if (!lines.empty()) WriteOut({}, lines, TextEncoding::Utf8);
            lines.clear();
            if (pages) pages->Announce(calls);
            if (publishing) publishing->Tick(calls);
        } else {
            for (const auto& call : records.calls) lines += history::JsonLine(call, common.dateOrder);
            records.calls.clear();
        }
        if (!lines.empty()) WriteOut({}, lines, TextEncoding::Utf8);
        // Old calls go at start and then once a day, never during a download.
        // Never into a file found damaged, or not yet looked over.
        if (retention && !core.protocol().downloading() && store->history().sound())
            if (auto line = retention->Tick()) Say(*line);
        // While the adapter stays plugged in, download again now and then.
        if (Clock::now() - lastDownload > every && !core.serial().portOpen()) {
            lastDownload = Clock::now();
            core.LookAgain();
        }
    };
    RunLoop(core, [] { return false; }, Clock::time_point::max(), printNew);
    printNew();
    // "offline" to the broker and the running command stopped before the
    // history closes: the last acknowledgements are marked in it.
    if (publishing) publishing->Stop();
    // What the history could not take goes to the pending file; the port
    // closes with the core.
    int code = kExitOk;
    if (store) {
        std::optional<std::string> leftOut = store->history().Close(5000);
        while (auto problem = store->TakeProblem()) Say(problem->words);
        if (leftOut) Say(*leftOut);
        if (leftOut || store->history().damaged()) code = kExitHistory;
    }
    return code;
}

#endif

// ------------------------------------------------------------------- history

struct HistoryOptions {
    bool check = false;
    std::string salvageTo;  // --salvage NEW_FILE
    bool prune = false;
    std::string pruneBefore;
    history::ListQuery query;
    Format format = Format::Text;
    std::string output;
};

// What to do with a damaged history, in the words of the message that
// found it.
std::string SalvageAdvice(const std::string& path) {
    return "Copy it aside before anything else writes to it. " + history::DamageAdvice(path) +
           " Then put the new file in its place, restore it from a backup, or move it away so that a new one is "
           "started.";
}

// history --salvage: what could be read goes into a new file; the old one is
// only read.
int Salvage(const std::string& path, const std::string& to) {
    history::SalvageReport report;
    std::string problem;
    if (!history::Salvage(path, to, &report, &problem)) return Fail(kExitHistory, problem);
    auto count = [](int64_t n, const char* one, const char* many) {
        return std::to_string(n) + " " + (n == 1 ? one : many);
    };
    std::string said = "Saved " + count(report.calls, "call", "calls");
    if (report.damagedRecords > 0) said += " and " + count(report.damagedRecords, "damaged record", "damaged records");
    if (report.contacts > 0) said += " and " + count(report.contacts, "contact", "contacts");
    said += " from " + path + " into " + to + ", with their ids.";
    if (report.lostRecords > 0 || report.lostAtEnd)
        said += std::string(" ") + (report.lostAtEnd ? "At least " : "About ") +
                count(report.lostRecords, "record", "records") + " could not be read (damaged) and are not in it.";
    else if (report.damageFound)
        said += " Every record was read, but other parts were damaged.";
    if (report.lostDownloads > 0)
        said += " " + count(report.lostDownloads, "download's", "downloads'") + " details could not be read.";
    if (report.contactsLost) said += " Some contacts could not be read and are not in it.";
    if (report.marksLost)
        said += " Which calls the broker or command already had could not all be read: a watcher may send some "
                "calls again.";
    said += " The old file is left as it was. To use the new one, move the old file away and the new one to " + path +
            ", or give --history " + to + ".";
    std::printf("%s\n", said.c_str());
    return report.damageFound ? kExitHistory : kExitOk;
}

// history --prune --before DATE: the calls received before that day are
// removed for good.
int Prune(const std::string& path, const std::string& before) {
    const auto bound = history::LocalMidnightMs(before);
    if (!bound) return Fail(kExitUsage, "The date " + before + " is not a date of the form YYYY-MM-DD.");
    std::string problem;
    {
        auto opened = history::CallHistory::Open(path, &problem);
        if (!opened) return Fail(kExitHistory, problem);
        const auto damage = opened->QuickCheck();
        if (!damage.empty())
            return Fail(kExitHistory, "The call history " + path + " is damaged (" + damage.front() +
                                          "); nothing was removed. " + SalvageAdvice(path));
        if (!opened->writable())
            return Fail(kExitHistory, "The call history " + path +
                                          " cannot be written (the file or its folder is read-only for this user); "
                                          "nothing was removed.");
    }
    history::PruneResult removed;
    if (!history::PruneHistory(path, *bound, &removed, &problem)) return Fail(kExitHistory, problem);
    std::printf("Removed %lld %s", static_cast<long long>(removed.calls), removed.calls == 1 ? "call" : "calls");
    if (removed.damagedRecords > 0) std::printf(" and %lld damaged records", static_cast<long long>(removed.damagedRecords));
    std::printf(" received before %s from %s.\n", before.c_str(), path.c_str());
    if (removed.logKept)
        Say("Another program has the history open: the removed text stays in " + path +
            "-wal until that program folds it back.");
    return kExitOk;
}

// A listed record with its caller's name at the end of its header line, in
// the text output's 8-bit characters (a character beyond them as '?').
std::string WithName(std::string record, const std::optional<std::string>& name) {
    if (!name) return record;
    const size_t end = record.find("\r\n");
    record.insert(end == std::string::npos ? record.size() : end, "  " + history::Utf8ToLatin1Lossy(*name));
    return record;
}

int History(const Common& common, HistoryOptions options) {
    std::string problem;
    const std::string path = HistoryPath(common, &problem);
    if (path.empty()) return Fail(kExitHistory, problem);
    if (!history::files::Exists(path))
        return Fail(kExitHistory, "There is no call history at " + path +
                                      " yet. Download from the box first, or name the file "
                                      "with --history.");
    // Before the file is opened for writing: a damaged one is only read.
    if (!options.salvageTo.empty()) return Salvage(path, options.salvageTo);
    if (options.prune) return Prune(path, options.pruneBefore);
    // Looking a file over changes nothing in it.
    history::OpenOptions openOptions;
    openOptions.takeInPending = !options.check;
    auto opened = OpenHistoryFile(common, &problem, openOptions);
    if (!opened) return Fail(kExitHistory, problem);
    while (auto notice = opened->TakeNotice()) Say(*notice);
    if (options.check && !opened->readable()) {
        std::string readProblem;
        opened->List(options.query, &readProblem);
        return Fail(kExitHistory, readProblem);
    }
    if (options.check) {
        const auto found = opened->Check(true);
        if (found.empty()) {
            std::printf("The call history %s is sound: %lld calls kept.\n", path.c_str(),
                        static_cast<long long>(opened->CountCalls()));
            return kExitOk;
        }
        std::string said = "The call history " + path + " is damaged:";
        for (const auto& line : found) said += "\n  " + line;
        return Fail(kExitHistory, said + "\n" + SalvageAdvice(path));
    }
    // Damage the listing's query would not touch (an index, the search
    // table) is still damage: looked for first, said after the list.
    const auto damage = opened->readable() ? opened->QuickCheck() : std::vector<std::string>{};
    options.query.dateOrder = common.dateOrder;
    // A history this user may not read lists nothing: that is a failure,
    // not an empty history. A damaged one lists what can still be read.
    std::string readProblem;
    const auto calls = opened->List(options.query, &readProblem);
    if (!readProblem.empty() && calls.empty() && damage.empty()) return Fail(kExitHistory, readProblem);

    std::string bytes;
    switch (options.format) {
    case Format::Text:
        // The records as the window showed them, numbered afresh in the
        // listing's order (their numbers in their downloads mean nothing
        // side by side), with the line ends the window's Save writes.
        for (size_t i = 0; i < calls.size(); ++i)
            bytes += WithName(RenderRecord(calls[i].fields, static_cast<int32_t>(i + 1)), calls[i].name);
        bytes = ToFileLineEnds(bytes);
        break;
    case Format::Csv: {
        // The watcher a collected call came from is the last column, as in
        // the pages' export; rows appended to a file that a listing without
        // it began keep that file's columns.
        bool withInstance = true;
        if (options.output.empty() || FileIsEmpty(options.output)) bytes = history::CsvHeader(true);
        else withInstance = !StartsWith(options.output, history::CsvHeader(false));
        for (const auto& call : calls) bytes += history::CsvRow(call, common.dateOrder, withInstance);
        break;
    }
    case Format::Json:
        for (const auto& call : calls) bytes += history::JsonLine(call, common.dateOrder);
        break;
    }
    if (!bytes.empty() && !WriteOut(options.output, bytes, EncodingOf(options.format)))
        return Fail(kExitOutput, "Cannot write to " + (options.output.empty() ? std::string("standard output") : options.output) +
                                     ". Check the path and the free space.");
    if (!damage.empty() || !readProblem.empty())
        return Fail(kExitHistory, "The call history " + path + " is damaged (" +
                                      (damage.empty() ? readProblem : damage.front()) + "). " +
                                      (calls.empty() ? std::string("Nothing in it could be listed. ")
                                                     : "What is listed is what could still be read; other calls may be "
                                                       "missing. ") +
                                      SalvageAdvice(path));
    return kExitOk;
}

// ------------------------------------------------------------------ contacts

struct ContactsOptions {
    std::string file;          // import
    std::string number, name;  // set, remove
    Format format = Format::Text;
};

std::string Plural(int64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// Puts and removes contacts through the history's own connection, waiting
// for a history another program (a watcher) holds. Exit code, the problem said.
int WriteContacts(const Common& common, const std::vector<history::Contact>& put,
                  const std::vector<std::string>& remove, history::ContactChanges* changes) {
    std::string problem;
    auto opened = OpenHistoryFile(common, &problem);
    if (!opened) return Fail(kExitHistory, problem);
    while (auto notice = opened->TakeNotice()) Say(*notice);
    constexpr int kPatienceMs = 30000;
    const bool written = opened->ChangeContacts(put, remove, changes, &problem, [&] {
        Say("The call history " + opened->path() + " is locked by another program (a watcher or a download "
            "writing to it); waiting up to " + std::to_string(kPatienceMs / 1000) + " s for it.");
    }, kPatienceMs);
    if (!written) return Fail(kExitHistory, problem);
    return kExitOk;
}

// The whole file, or nullopt with the reason said (exit 2: a bad argument,
// as an unreadable configuration or CA file is).
std::optional<std::string> ReadImportFile(const std::string& file) {
    constexpr int64_t kMaxBytes = 64 << 20;
    std::string why;
    const auto info = history::files::Look(file, nullptr, &why);
    if (info && info->kind == history::files::Kind::Folder) why = "it is a folder";
    else if (info && info->kind == history::files::Kind::Regular && info->size > kMaxBytes)
        why = "it is larger than 64 MiB, too large for an address book";
    std::string bytes;
    if (why.empty()) {
        std::FILE* in = OpenToRead(file);
        if (!in) {
            why = std::strerror(errno);
        } else {
            char buffer[65536];
            size_t n;
            while ((n = std::fread(buffer, 1, sizeof buffer, in)) > 0 && bytes.size() <= size_t{kMaxBytes})
                bytes.append(buffer, n);
            if (std::ferror(in)) why = std::strerror(errno);
            std::fclose(in);
        }
    }
    if (!why.empty()) {
        Say("Cannot read " + file + ": " + why + ". Nothing was imported.");
        return std::nullopt;
    }
    return bytes;
}

int ImportContacts(const Common& common, const std::string& file) {
    const auto bytes = ReadImportFile(file);
    if (!bytes) return kExitUsage;
    const history::AddressBookFile book = history::ReadAddressBook(*bytes);
    if (book.kind == history::AddressBookFile::Kind::Unknown)
        return Fail(kExitUsage, "Cannot import " + file + ": " + book.problem + ". Nothing was imported.");
    const std::string source = file.substr(file.find_last_of('/') + 1);
    std::vector<history::Contact> put;
    for (const auto& n : book.numbers) put.push_back({n.number, n.name, source, NowMs()});
    history::ContactChanges changes;
    if (const int code = WriteContacts(common, put, {}, &changes); code != kExitOk) return code;

    std::string said = "Imported " + file + (book.kind == history::AddressBookFile::Kind::VCard ? " (vCard): " : " (CSV): ") +
                       Plural(changes.added, "number added", "numbers added") + ", " +
                       std::to_string(changes.updated) + " updated (another name), " +
                       std::to_string(changes.unchanged) + " unchanged, " +
                       Plural(static_cast<int64_t>(book.skipped.size()), "entry skipped", "entries skipped") +
                       (book.skipped.empty() ? "." : ":") + "\n";
    // Every reason up to a screenful; the count says how many more.
    constexpr size_t kShown = 50;
    if (!book.cutLines.empty()) {
        said += Plural(static_cast<int64_t>(book.cutLines.size()), "name was", "names were") + " longer than " +
                std::to_string(history::kLongestName) + " characters, the most the names page takes, and cut to it:";
        for (size_t i = 0; i < book.cutLines.size() && i < kShown; ++i)
            said += (i ? ", line " : " line ") + std::to_string(book.cutLines[i]);
        said += book.cutLines.size() > kShown ? " and " + std::to_string(book.cutLines.size() - kShown) + " more.\n" : ".\n";
    }
    for (size_t i = 0; i < book.skipped.size() && i < kShown; ++i)
        said += "  line " + std::to_string(book.skipped[i].line) + ": " + book.skipped[i].why + "\n";
    if (book.skipped.size() > kShown) said += "  ... and " + std::to_string(book.skipped.size() - kShown) + " more.\n";
    if (!WriteOut({}, said, TextEncoding::Utf8)) return Fail(kExitOutput, "Cannot write to standard output.");
    return kExitOk;
}

int SetContact(const Common& common, const ContactsOptions& o) {
    const auto number = history::ReadWrittenNumber(o.number);
    if (!number)
        return Fail(kExitUsage, o.number + " is not a phone number: give 3 to 15 digits, with a leading + or 00 "
                                           "for an international number (spaces, dashes, dots and brackets may stand between).");
    const std::string name = history::CleanName(o.name);
    if (name.empty()) return Fail(kExitUsage, "The name is empty: give the name to show for " + *number + ".");
    history::ContactChanges changes;
    if (const int code = WriteContacts(common, {{*number, name, "set", NowMs()}}, {}, &changes); code != kExitOk)
        return code;
    const char* what = changes.added ? "added" : changes.updated ? "updated" : "already so";
    if (!WriteOut({}, *number + ": " + name + " (" + what + ").\n", TextEncoding::Utf8))
        return Fail(kExitOutput, "Cannot write to standard output.");
    return kExitOk;
}

int RemoveContact(const Common& common, const ContactsOptions& o) {
    const auto number = history::ReadWrittenNumber(o.number);
    if (!number) return Fail(kExitUsage, o.number + " is not a phone number.");
    history::ContactChanges changes;
    if (const int code = WriteContacts(common, {}, {*number}, &changes); code != kExitOk) return code;
    if (changes.removed == 0)
        return Fail(kExitFailure, "No contact has the number " + *number +
                                      "; nothing was removed. `dialscope-cli contacts list` shows the numbers as kept.");
    if (!WriteOut({}, "Removed " + *number + ".\n", TextEncoding::Utf8))
        return Fail(kExitOutput, "Cannot write to standard output.");
    return kExitOk;
}

int ListContacts(const Common& common, const ContactsOptions& o) {
    std::string problem;
    const std::string path = HistoryPath(common, &problem);
    if (path.empty()) return Fail(kExitHistory, problem);
    if (!history::files::Exists(path)) {
        Say("There is no call history at " + path + " yet, so no contacts. Add them with `dialscope-cli contacts import FILE`.");
        return kExitOk;
    }
    auto opened = OpenHistoryFile(common, &problem);
    if (!opened) return Fail(kExitHistory, problem);
    const auto contacts = opened->Contacts(&problem);
    if (!problem.empty()) return Fail(kExitHistory, problem);
    std::string bytes;
    if (o.format == Format::Csv) bytes = "number,name,source,updated\r\n";
    for (const auto& c : contacts) {
        switch (o.format) {
        case Format::Text: {
            char number[32];
            std::snprintf(number, sizeof number, "%-16s ", c.number.c_str());
            bytes += number + c.name + "\n";
            break;
        }
        case Format::Csv:
            bytes += history::CsvCell(c.number) + "," + history::CsvCell(c.name) + "," + history::CsvCell(c.source) +
                     "," + history::IsoUtc(c.updatedAt) + "\r\n";
            break;
        case Format::Json: {
            nlohmann::ordered_json j;
            j["number"] = c.number;
            j["name"] = history::IsUtf8(c.name) ? c.name : history::Latin1ToUtf8(c.name);
            j["source"] = history::IsUtf8(c.source) ? c.source : history::Latin1ToUtf8(c.source);
            j["updated"] = history::IsoUtc(c.updatedAt);
            bytes += j.dump() + "\n";
            break;
        }
        }
    }
    if (!bytes.empty() && !WriteOut({}, bytes, TextEncoding::Utf8))
        return Fail(kExitOutput, "Cannot write to standard output.");
    return kExitOk;
}

// Names as the user writes them (any case); a wrong one is answered with
// the choices, not with the numbers the names stand for.
template <class T>
CLI::Validator Names(const std::map<std::string, T>& names, const std::string& what, const std::string& choices) {
    return CLI::Validator(
        [names, what, choices](std::string& value) {
            const auto known = names.find(CLI::detail::to_lower(value));
            if (known == names.end()) return value + " is not " + what + ": use " + choices;
            value = std::to_string(static_cast<int>(known->second));
            return std::string();
        },
        choices);
}

// A number within one of the watcher's limits, the same the configuration
// file is held to; the help shows the bounds as "INT in [1 - 10080]".
#if !defined(_WIN32)
CLI::Validator WithinLimit(const publish::Limit& limit) {
    std::ostringstream bounds;
    bounds << (limit.whole ? "INT" : "FLOAT") << " in [" << limit.min << " - " << limit.max << "]";
    return CLI::Validator(
        [&limit](std::string& value) {
            char* end = nullptr;
            const double number = std::strtod(value.c_str(), &end);
            const bool read = !value.empty() && end && *end == '\0';
            return read && limit.Allows(number) ? std::string() : "must be " + limit.Rule() + ".";
        },
        bounds.str());
}

#endif

bool ValidDate(const std::string& text) {
    int y, m, d;
    char tail;
    return text.size() == 10 && std::sscanf(text.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &tail) == 3 &&
           m >= 1 && m <= 12 && d >= 1 && d <= 31;
}

}  // namespace

int Main(int argc, char** argv) {
    CLI::App app{"Dialscope without a window: downloads the call log of a caller-ID box, "
                 "keeps every call once in the call history, and lists it."};
    app.require_subcommand(1);
    app.set_version_flag("--version", "dialscope-cli " DIALSCOPE_VERSION, "Print the program's version and exit");
    // --history and --date-order belong to every command: they may come
    // after its name too ("download --history FILE").
    app.fallthrough();
    Common common;
    const std::map<std::string, Format> formats{{"text", Format::Text}, {"csv", Format::Csv}, {"json", Format::Json}};
    const std::map<std::string, history::DateOrder> orders{
        {"mdy", history::DateOrder::MDY}, {"dmy", history::DateOrder::DMY}, {"ymd", history::DateOrder::YMD}};
    app.add_option("--history", common.historyPath, "The call history file (default: " + history::CallHistory::DefaultPath() + ")");
    app.add_option("--date-order", common.dateOrder, "How the box's three date fields are read: mdy (as it prints them), dmy or ymd")
        ->transform(Names(orders, "a date order", "mdy, dmy or ymd"))
        ->option_text("mdy|dmy|ymd");

    DownloadOptions download;
    CLI::App* downloadCmd = app.add_subcommand("download", "Download the box's log once, write its records and keep them in the history");
    downloadCmd->add_option("--port", download.port, "The serial port (ttyUSB0 or a path); default: find the adapter");
    downloadCmd->add_option("--format", download.format, "text (as the window saves it), csv or json (one object per line)")
        ->transform(Names(formats, "a format", "text, csv or json"))
        ->option_text("text|csv|json");
    downloadCmd->add_option("--output", download.output, "Append to this file instead of writing to standard output");
    downloadCmd->add_option("--timeout", download.timeoutSeconds, "Give up after this many seconds")
        ->check(CLI::Range(1, 86400));
    downloadCmd->add_flag("--no-history", common.noHistory, "Do not keep the records in the call history");

#if !defined(_WIN32)
    WatchOptions watch;
    CLI::App* watchCmd = app.add_subcommand("watch", "Run unattended: download whenever the adapter appears and every few minutes; print each new call as a JSON line");
    publish::CommandLineWatch given;
    watchCmd->add_option("--every", given.everyMinutes, "Minutes between downloads while the adapter stays plugged in")
        ->check(WithinLimit(publish::kEveryMinutes));
    std::string configPath;
    watchCmd->add_option("--config", configPath, "Read the watch options from this TOML file (options given here win); "
                         "the service uses " DIALSCOPE_WATCH_CONF);
    watchCmd->add_option("--mqtt", given.mqttUrl, "Publish each new call to this MQTT broker: mqtt[s]://[user@]host[:port][/prefix]");
    watchCmd->add_option("--mqtt-password-file", given.mqttPasswordFile, "The broker password is the first line of this file "
                         "(or set DIALSCOPE_MQTT_PASSWORD; the service is given it as the credential mqtt-password); "
                         "never give it on the command line");
    watchCmd->add_option("--mqtt-ca-file", given.mqttCaFile, "mqtts: check the broker's certificate against this CA file "
                         "instead of the system's store");
    watchCmd->add_option("--instance-id", given.instanceId, "This watcher's name in call ids and topics "
                         "(default: host name and the adapter's USB path)");
    watchCmd->add_option("--discovery-prefix", given.discoveryPrefix, "Topic prefix of the home-automation hub's MQTT "
                         "discovery (default homeassistant; \"\" for none)");
    watchCmd->add_option("--exec", given.exec, "Run this command for each new call (quoted like a shell's, run without "
                         "a shell); the call is in DIALSCOPE_CALL_* variables and as JSON on its stdin");
    watchCmd->add_option("--exec-timeout", given.execTimeoutSeconds, "Stop the command after this many seconds (default 30)")
        ->check(WithinLimit(publish::kExecTimeout));
    watchCmd->add_flag("--test-call", watch.testCall, "Send one call marked as a test to the broker and the command, "
                       "say whether each took it, and exit (needs no adapter; the history is not touched)");
    watchCmd->add_option("--http", given.http, "Also show the calls in a web browser at ADDRESS:PORT (as serve "
                         "does; this machine's 127.0.0.1, [::1] or localhost only); the address to open is said on stderr");
    watchCmd->add_option("--keep-days", given.keepDays, "Remove calls received more than this many days "
                                                "ago from the history, at start and then once a day (default: keep all)")
        ->check(WithinLimit(publish::kKeepDays));

#else
    // Not on Windows: said in plain words rather than "no such command".
    CLI::App* watchCmd = app.add_subcommand("watch", "Not available on Windows (Linux only)");
#endif

    HistoryOptions list;
    CLI::App* historyCmd = app.add_subcommand("history", "List the calls the history keeps, the last received first "
                                                          "(each with the box's own date and time)");
    historyCmd->add_option("--since", list.query.since, "From this date of the box (YYYY-MM-DD)")
        ->check([](const std::string& s) { return ValidDate(s) ? std::string() : "expected YYYY-MM-DD"; });
    historyCmd->add_option("--until", list.query.until, "Up to and including this date of the box (YYYY-MM-DD)")
        ->check([](const std::string& s) { return ValidDate(s) ? std::string() : "expected YYYY-MM-DD"; });
    historyCmd->add_option("--search", list.query.search, "Only calls whose label or text holds this, in any case");
    historyCmd->add_option("--label", list.query.label, "Only calls on the line with this label");
    historyCmd->add_flag("--damaged", list.query.includeDamaged, "Also list records that arrived damaged");
    historyCmd->add_flag("--check", list.check,
                         "Look the history file over for damage: says what is wrong and exits 7, or that it is sound");
    CLI::Option* salvageOpt = historyCmd->add_option("--salvage", list.salvageTo,
                         "Save every call that can still be read from a damaged history into this new file "
                         "(with their ids); the history itself is only read. Exits 7 when some could not be read");
    CLI::Option* pruneOpt = historyCmd->add_flag("--prune", list.prune,
                         "Remove for good the calls received before --before's date (local time)");
    CLI::Option* beforeOpt = historyCmd->add_option("--before", list.pruneBefore, "With --prune: YYYY-MM-DD")
        ->check([](const std::string& s) { return ValidDate(s) ? std::string() : "expected YYYY-MM-DD"; });
    pruneOpt->needs(beforeOpt);
    beforeOpt->needs(pruneOpt);
    salvageOpt->excludes(pruneOpt);
    historyCmd->add_option("--format", list.format, "text, csv or json")
        ->transform(Names(formats, "a format", "text, csv or json"))
        ->option_text("text|csv|json");
    historyCmd->add_option("--output", list.output, "Append to this file instead of writing to standard output");

    ContactsOptions contacts;
    CLI::App* contactsCmd = app.add_subcommand("contacts", "The names shown for callers' numbers: import an address "
                                               "book, list, set or remove them");
    contactsCmd->require_subcommand(1);
    contactsCmd->fallthrough();
    CLI::App* importCmd = contactsCmd->add_subcommand("import", "Take names and numbers from a vCard (.vcf) or CSV "
                                                      "export of an address book");
    importCmd->add_option("FILE", contacts.file, "The .vcf or .csv file")->required();
    CLI::App* listCmd = contactsCmd->add_subcommand("list", "List the contacts, by name");
    listCmd->add_option("--format", contacts.format, "text, csv or json")
        ->transform(Names(formats, "a format", "text, csv or json"))
        ->option_text("text|csv|json");
    CLI::App* setCmd = contactsCmd->add_subcommand("set", "Show NAME for calls from NUMBER");
    setCmd->add_option("NUMBER", contacts.number, "The phone number")->required();
    setCmd->add_option("NAME", contacts.name, "The name to show")->required();
    CLI::App* removeCmd = contactsCmd->add_subcommand("remove", "Remove the contact with NUMBER");
    removeCmd->add_option("NUMBER", contacts.number, "The phone number")->required();
    ServeOptions serve;
    CLI::App* serveCmd = app.add_subcommand("serve", "Show the call history in a web browser, with new calls as they come "
                                                     "(run beside the watcher); prints the address to open");
    serveCmd->add_option("--listen", serve.listen, "ADDRESS:PORT to serve on (default 127.0.0.1:8080). Another "
                                                   "address than this machine's own (127.0.0.1, [::1], localhost), "
                                                   "0.0.0.0 for all, needs --tls-cert, --tls-key and a password "
                                                   "(passwd)");
    serveCmd->add_option("--tls-cert", serve.tlsCert, "Serve over TLS with this certificate (PEM file, the chain "
                                                      "after it)");
    serveCmd->add_option("--tls-key", serve.tlsKey, "The certificate's private key (PEM file, no pass phrase)");
    serveCmd->add_option("--name", serve.names, "A name browsers reach this machine by (as in https://NAME:PORT/); "
                                                "may be given more than once");
    serveCmd->add_flag("--no-auth", serve.noAuth, "Serve without the secret token: any program or user of this "
                                                  "machine can read the calls (this machine's addresses only)");
    serveCmd->add_flag("--new-token", serve.newToken, "Make a new secret token (HISTORY.web-token) and print its "
                                                      "address: every browser signed in with the old one is signed "
                                                      "out, in this serve and in any other serving the history");
#if !defined(_WIN32)
    serveCmd->add_option("--collect", serve.collect,
                         "Also keep the calls that watchers on other machines publish to this MQTT broker "
                         "(mqtt[s]://[user@]host[:port]/prefix), each with the watcher's instance id; calls "
                         "missed while serve was away are asked for again. Password: DIALSCOPE_MQTT_PASSWORD or "
                         "--collect-password-file")
        ->option_text("URL");
    serveCmd->add_option("--collect-id", serve.collectId,
                         "The client id of serve's session at the broker (default: made from the history's path)")
        ->option_text("ID");
    serveCmd->add_option("--collect-password-file", serve.collectPasswordFile,
                         "The broker password for --collect, on the file's first line")->option_text("FILE");
    serveCmd->add_option("--collect-ca-file", serve.collectCaFile,
                         "For mqtts://: the CA certificate (PEM) that signed the broker's (default: the system's)")
        ->option_text("FILE");
#endif
    CLI::App* passwdCmd = app.add_subcommand("passwd", PasswdDescription());


#if defined(_WIN32)
    // Whatever options follow them, these commands are said to be Linux's.
    auto linuxOnlyAsked = [&]() -> std::optional<int> {
        if (watchCmd->parsed())
            return Fail(kExitUsage, "watch is not available on Windows: the Windows program downloads (download), "
                                    "lists the history (history), keeps contacts (contacts) and shows the history "
                                    "in a web browser (serve). Run the watcher on Linux.");
        return std::nullopt;
    };
#endif
    try {
        // The words as UTF-8 (on Windows from the wide command line), last
        // first as CLI11 takes them.
        if (argc > 0) app.name(argv[0]);  // as CLI11 names it from argv
        std::vector<std::string> words = Arguments(argc, argv);
        std::reverse(words.begin(), words.end());
        app.parse(words);
    } catch (const CLI::ParseError& e) {
#if defined(_WIN32)
        if (auto code = linuxOnlyAsked()) return *code;
#endif
        const int shown = app.exit(e);
        return e.get_exit_code() == 0 ? shown : kExitUsage;
    }

#if defined(_WIN32)
    if (auto code = linuxOnlyAsked()) return *code;
#else
    if (*watchCmd) {
        publish::WatchSettings config, commandLine;
        if (!configPath.empty()) {
            std::string error;
            // The service names the default file; without it the watcher runs on its options.
            const bool missingDefault = configPath == DIALSCOPE_WATCH_CONF && access(configPath.c_str(), F_OK) != 0;
            if (!missingDefault && !publish::ReadWatchConfig(configPath, &config, &error)) return Fail(kExitUsage, error);
        }
        std::string error, warning;
        if (!common.historyPath.empty()) given.history = common.historyPath;
        if (!publish::FromCommandLine(given, &commandLine, &error)) return Fail(kExitUsage, error);
        const publish::WatchSettings settings = publish::Merge(commandLine, config);
        watch.everyMinutes = settings.everyMinutes.value_or(watch.everyMinutes);
        watch.keepDays = settings.keepDays.value_or(watch.keepDays);
        common.historyPath = settings.history.value_or(std::string());
        watch.http = settings.http.value_or(std::string());
        watch.httpFromFile = settings.http && settings.http.from == publish::From::File;
        if (settings.port)
            Say(configPath + ": port is not used by watch: it downloads from every adapter that appears.");
        if (!publish::MakePlan(settings, &watch.plan, &error, &warning)) return Fail(kExitUsage, error);
        if (!warning.empty()) Say(warning);
        if (watch.testCall) return SendTestCall(watch.plan, common.dateOrder);
    }

#endif

    InstallStopSignals();
    if (*importCmd) return Flushed(ImportContacts(common, contacts.file));
    if (*listCmd) return Flushed(ListContacts(common, contacts));
    if (*setCmd) return Flushed(SetContact(common, contacts));
    if (*removeCmd) return Flushed(RemoveContact(common, contacts));
    if (*downloadCmd) return Download(common, download);
#if !defined(_WIN32)
    if (*watchCmd) return Watch(common, std::move(watch));
#endif
    if (*serveCmd) {
        std::string problem;
        const std::string path = HistoryPath(common, &problem);
        if (path.empty()) return Fail(kExitHistory, problem);
        return Serve(path, common.dateOrder, serve);
    }
    if (*passwdCmd) {
        std::string problem;
        const std::string path = HistoryPath(common, &problem);
        if (path.empty()) return Fail(kExitHistory, problem);
        return SetWebPassword(path);
    }
    return Flushed(History(common, list));
}

}  // namespace dialscope::cli

int main(int argc, char** argv) {
    dialscope::cli::PrepareConsole();
    try {
        return dialscope::cli::Main(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "dialscope-cli: %s\n", e.what());
        return dialscope::cli::kExitFailure;
    }
}

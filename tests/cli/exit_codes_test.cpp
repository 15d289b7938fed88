// Each exit status of the console program that a machine with the simulator
// can produce, with its plain-words line, and the records that arrived
// written out whatever went wrong after them.
#include <grp.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <sqlite3.h>

#include "app/cli/exit_codes.h"
#include "history/call_history.h"
#include "tests/cli/cli_support.h"
#include "tests/support/damaged_log.h"
#include "tools/devsim.h"

namespace dialscope::cli::test {
namespace {

// In the child, before exec: a user with no access to root's ttys.
void DropToNobody() {
    if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(126);
}

TEST(CliExit, EachFailureHasItsCodeAndWords) {
    struct Case {
        const char* name;
        std::vector<std::string> sim;  // empty: no adapter in the tree
        std::vector<std::string> args; // after "download"; {dir} is the scratch folder
        int code;
        const char* said;
        bool logWritten = false;       // stdout holds the expected log as Save writes it
        bool unprivileged = false;
        bool holdPort = false;         // another program holds the adapter's port (locked, as we lock it)
        bool interrupt = false;        // SIGINT once the download has started
        bool lockHistory = false;      // {dir}/h exists, readable, but another program holds its write lock
        bool fullStdout = false;       // standard output is the full device (a full disk)
    };
    const std::vector<Case> cases = {
        {"a whole download", {"--fast"}, {"--no-history"}, kExitOk, "", true},
        {"no adapter", {}, {"--no-history"}, kExitNoAdapter,
         "No adapter found. Plug in the USB serial adapter (USB id 067b:2303) or name its port with --port."},
        {"a port that is no tty", {}, {"--no-history", "--port", "{dir}/plain"}, kExitCannotOpen,
         "it is not a serial port."},
        {"a port the user may not open", {"--fast"}, {"--no-history"}, kExitCannotOpen,
         "Cannot open ttyUSB0: permission denied. Add your user to the dialout group", false, true},
        // Not "no log": the box was never asked.
        {"a port another program holds", {"--fast"}, {"--no-history", "--timeout", "4"}, kExitCannotOpen,
         "Cannot open ttyUSB0: another program is using it. Close the program that holds the port.", false, false,
         true},
        {"a silent box", {"--respond", "none"}, {"--no-history"}, kExitNoAnswer,
         "The box did not answer. Check that it is connected to the adapter and switched on."},
        {"a box with nothing to send", {"--poll-answer", "0"}, {"--no-history", "--timeout", "2"}, kExitNoAnswer,
         "The box sent no log within 2 s. It may have nothing to send now; try again later."},
        {"the line cut mid-download", {"--hangup-after-byte", "3000"}, {"--history", "{dir}/h"}, kExitDamaged,
         "The line went away during the download", true},
        {"a closing frame damaged: the record is shown marked", {"--fast", "--bad-crc-frame", "2"},
         {"--no-history"}, kExitDamaged, "A damaged frame came just before a call's closing frame", true},
        // Any byte between frames may be what is left of a lost frame.
        {"noise between frames: the records it falls among marked", {"--fast", "--noise", "3"}, {"--no-history"},
         kExitDamaged, "Some records arrived damaged.", true},
        {"the end frame damaged: the download stalls", {"--fast", "--bad-crc-frame", "70"},
         {"--no-history"}, kExitDamaged, "The box stopped sending before the end of its log", true},
        {"a history that is a folder", {"--fast"}, {"--history", "{dir}/dev"}, kExitHistory,
         "is a folder, not a file. Give the path of a file.", true},
        {"a history that is a FIFO", {"--fast"}, {"--history", "{dir}/fifo"}, kExitHistory,
         "is a named pipe (FIFO), not a file.", true},
        {"a history that is a link to a device", {"--fast"}, {"--history", "{dir}/null"}, kExitHistory,
         "is a device, not a file.", true},
        {"a history that is junk", {"--fast"}, {"--history", "{dir}/junk"}, kExitHistory,
         "is not a call history (it is not an SQLite database). It is left as it is", true},
        {"a history another program keeps locked", {"--fast"}, {"--history", "{dir}/h", "--timeout", "6"}, kExitHistory,
         "(another program kept it locked). They are kept in ", true, false, false, false, true},
        {"an output that cannot be written", {"--fast"}, {"--no-history", "--output", "{dir}/dev"}, kExitOutput,
         "Cannot write to "},
        {"an output FIFO nobody reads", {"--fast"}, {"--no-history", "--format", "csv", "--output", "{dir}/fifo"},
         kExitOutput, "Cannot write to "},
        // More than stdout's buffer holds: written at once, not at a flush.
        {"standard output on a full disk", {"--fast", "--records", "150"}, {"--no-history"}, kExitOutput,
         "Cannot write to standard output.", false, false, false, false, false, true},
        {"stopped mid-download", {"--records", "40"}, {"--no-history"}, kExitInterrupted,
         "Stopped before the download finished.", false, false, false, true},
        {"an unknown format", {}, {"--format", "xml"}, kExitUsage, "--format: xml is not a format: use text, csv or json"},
        {"the history's option after the command", {}, {"--history", "{dir}/dev", "--date-order", "ydm"}, kExitUsage,
         "--date-order: ydm is not a date order: use mdy, dmy or ymd"},
        {"no time at all", {}, {"--timeout", "0"}, kExitUsage, "--timeout"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Scratch s;
        std::unique_ptr<Sim> sim;
        std::vector<std::string> args = {"download"};
        for (std::string a : c.args) {
            if (a.rfind("{dir}", 0) == 0) a = s.path + a.substr(5);
            args.push_back(a);
        }
        WriteAll(s.File("plain"), "a plain file");
        ASSERT_EQ(mkfifo(s.File("fifo").c_str(), 0600), 0);
        std::filesystem::create_symlink("/dev/null", s.File("null"));
        const std::string junk(300, '\x7f');
        WriteAll(s.File("junk"), junk);
        // The box's download as the simulator will send it: a clean one is
        // compared with the simulator's expected log, a spoiled one judged.
        std::vector<std::string> simArgs = c.sim;
        simArgs.insert(simArgs.begin(), {"--records", "8", "--seed", "3"});  // a case's own count wins
        devsim::CommandLine parsed;
        devsim::DownloadSetup sent;
        std::vector<const char*> argv{"devsim"};
        for (const std::string& a : simArgs) argv.push_back(a.c_str());
        std::string error;
        ASSERT_TRUE(devsim::ParseCommandLine(static_cast<int>(argv.size()), argv.data(), &parsed, &error)) << error;
        ASSERT_TRUE(devsim::PrepareDownload(parsed.sim, &sent, &error)) << error;
        const bool spoiled = parsed.sim.faults.DisturbsFrames() || parsed.sim.faults.noiseMax > 0;
        if (!spoiled) simArgs.insert(simArgs.end(), {"--expect", s.File("expected.txt")});
        if (!c.sim.empty()) sim = std::make_unique<Sim>(s, simArgs);
        int held = -1;
        if (c.holdPort) {
            held = open(s.File("dev/ttyUSB0").c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
            ASSERT_GE(held, 0);
            ASSERT_EQ(flock(held, LOCK_EX | LOCK_NB), 0);
        }
        sqlite3* locker = nullptr;
        if (c.lockHistory) {
            ASSERT_TRUE(history::CallHistory::Open(s.File("h"), nullptr));
            ASSERT_EQ(sqlite3_open(s.File("h").c_str(), &locker), SQLITE_OK);
            ASSERT_EQ(sqlite3_exec(locker, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
        }
        std::function<void(Process&)> during;
        if (c.interrupt)
            during = [&](Process& p) {
                ASSERT_TRUE(WaitFor([&] { return sim->Count("download 1 start") == 1; })) << sim->Events();
                kill(p.pid(), SIGINT);
            };
        const auto start = Clock::now();
        std::function<void()> before;
        if (c.unprivileged) before = DropToNobody;
        if (c.fullStdout) before = [] { dup2(open("/dev/full", O_WRONLY), 1); };
        CliRun r = RunCli(s, args, 60s, before, during);
        if (held >= 0) close(held);
        sqlite3_close(locker);
        EXPECT_EQ(r.code, c.code) << r.err;
        if (c.said[0] == '\0') {
            EXPECT_EQ(r.err, "");
        } else {
            EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
            // Each failure is said once.
            EXPECT_EQ(r.err.find(c.said, r.err.find(c.said) + 1), std::string::npos) << r.err;
        }
        if (c.interrupt) {
            EXPECT_EQ(sim->Count("download 1 end"), 0) << "the download ended first; nothing was tested";
        }
        EXPECT_LT(Clock::now() - start, 20s);
        if (c.logWritten && spoiled) {
            std::string shown;   // the log as shown, before the saved form's line ends
            for (char ch : r.out) {
                if (ch == '\n' && !shown.empty() && shown.back() == '\r') shown.pop_back();
                shown.push_back(ch);
            }
            EXPECT_EQ(testing::CheckDamagedLog(shown, parsed.sim.log, sent.frames, sent.firstPlan,
                                               std::max(1, sim->Count("download 2 start") + 1)),
                      "")
                << r.out;
        } else if (c.logWritten) {
            const std::string expected = ReadAll(s.File("expected.txt"));
            EXPECT_FALSE(expected.empty());
            EXPECT_EQ(r.out, SavedBytes(expected));
        }
        EXPECT_EQ(ReadAll(s.File("junk")), junk) << "a file that is no history was changed";
    }
}

}  // namespace
}  // namespace dialscope::cli::test

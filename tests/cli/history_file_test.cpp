// Where the history may not be: a FIFO, a device or a home folder that is not
// there is refused at once, in plain words, and nothing is made in its place.
// A history this user may only read is listed as it is, with no file left
// beside it, and a download says its calls are not kept in it.
#include <pwd.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cstring>

#include "app/cli/exit_codes.h"
#include "history/call_history.h"
#include "tests/cli/cli_support.h"

namespace dialscope::cli::test {
namespace {

void AsNobody() {
    if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(126);
}

std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(CliHistoryFile, NoPlaceForTheHistoryIsSaidAtOnceAndNothingIsMade) {
    Scratch s;
    ASSERT_EQ(mkfifo(s.File("fifo").c_str(), 0600), 0);
    std::filesystem::create_symlink(s.File("fifo"), s.File("fifo-link"));
    std::filesystem::create_symlink(s.File("nowhere"), s.File("dangling"));
    const std::string gone = s.File("gone");
    const struct passwd* nobody = getpwuid(65534);
    const std::string nobodyHome = nobody && nobody->pw_dir ? nobody->pw_dir : "";
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::function<void()> before;
        std::string said;
    };
    std::vector<Case> cases = {
        {"a FIFO", {"--history", s.File("fifo"), "history"}, {}, "is a named pipe (FIFO), not a file."},
        {"a link to a FIFO", {"--history", s.File("fifo-link"), "history"}, {}, "is a named pipe (FIFO), not a file."},
        {"a device", {"--history", "/dev/null", "history"}, {}, "/dev/null is a device, not a file."},
        {"a link to nothing", {"--history", s.File("dangling"), "history"}, {}, "There is no call history at"},
        {"HOME names a missing folder",
         {"history"},
         [gone] {
             setenv("HOME", gone.c_str(), 1);
             unsetenv("XDG_DATA_HOME");
         },
         "The call history has no place: the home folder " + gone + " (from HOME) does not exist."},
    };
    // Without HOME the account's home is the one; nobody's is not there.
    if (!nobodyHome.empty() && !std::filesystem::exists(nobodyHome)) {
        for (const char* home : {static_cast<const char*>(nullptr), ""}) {
            cases.push_back({home ? "HOME empty" : "HOME unset",
                             {"history"},
                             [home, &s] {
                                 AsNobody();
                                 home ? setenv("HOME", home, 1) : unsetenv("HOME");
                                 unsetenv("XDG_DATA_HOME");
                                 if (chdir(s.path.c_str()) != 0) _exit(125);
                             },
                             "the home folder " + nobodyHome + " (from the user database) does not exist."});
        }
    }
    const std::vector<std::string> before = Names(s.path);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CliRun r = RunCli(s, c.args, 20s, c.before);
        EXPECT_EQ(r.code, kExitHistory) << r.err;
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
        std::vector<std::string> now = Names(s.path);
        std::erase_if(now, [](const std::string& n) { return n.rfind("cli-", 0) == 0; });
        EXPECT_EQ(now, before) << "something was made beside the history or in the current folder";
    }
}

TEST(CliHistoryFile, ReadOnlyHistoryIsReadAsItIsAndADownloadSaysItsCallsAreNotKept) {
    Scratch s;
    Sim sim(s, {"--fast", "--records", "8", "--seed", "3", "--expect", s.File("expected.txt")});
    ASSERT_EQ(chmod(sim.Pty().c_str(), 0666), 0);  // nobody may reach the box
    const std::string kept = s.File("kept.sqlite3");
    CliRun r = RunCli(s, {"--history", kept, "download"});
    ASSERT_EQ(r.code, kExitOk) << r.err;
    const std::string log = SavedBytes(ReadAll(s.File("expected.txt")));
    ASSERT_FALSE(log.empty());

    // A download that has no place for its history prints its calls all the same.
    r = RunCli(s, {"download"}, 60s, [gone = s.File("gone")] {
        setenv("HOME", gone.c_str(), 1);
        unsetenv("XDG_DATA_HOME");
    });
    EXPECT_EQ(r.code, kExitHistory) << r.err;
    EXPECT_NE(r.err.find("does not exist"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, log);
    EXPECT_FALSE(std::filesystem::exists(s.File("gone")));

    struct Case {
        const char* name;
        mode_t fileMode;
        uid_t folderOwner;
    };
    const Case cases[] = {
        {"a read-only file in the user's folder", 0444, 65534},
        {"the user's file in a folder the user may not write", 0600, 0},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string folder = s.File("folder" + std::to_string(++n));
        const std::string path = folder + "/calls.sqlite3";
        std::filesystem::create_directory(folder);
        ASSERT_EQ(chown(folder.c_str(), c.folderOwner, c.folderOwner), 0);
        ASSERT_EQ(chmod(folder.c_str(), 0755), 0);
        std::filesystem::copy_file(kept, path);
        ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
        ASSERT_EQ(chmod(path.c_str(), c.fileMode), 0);
        const std::string bytes = ReadAll(path);

        r = RunCli(s, {"--history", path, "history", "--format", "json"}, 60s, AsNobody);
        EXPECT_EQ(r.code, kExitOk) << r.err;
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 8) << r.out;

        r = RunCli(s, {"--history", path, "download"}, 60s, AsNobody);
        EXPECT_EQ(r.code, kExitHistory) << r.err;
        EXPECT_EQ(r.err.find("when it can be written again"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, log);
        EXPECT_EQ(ReadAll(path), bytes);
        const std::string pending = path + ".pending";
        if (c.fileMode == 0444) {
            // Beside the history, for the next program that can write it.
            EXPECT_NE(r.err.find("8 records could not be written to the call history " + path +
                                 " (this user may not write it). They are kept in " + pending),
                      std::string::npos)
                << r.err;
            EXPECT_EQ(Names(folder), (std::vector<std::string>{"calls.sqlite3", "calls.sqlite3.pending"}));
            ASSERT_EQ(chmod(path.c_str(), 0600), 0);
            r = RunCli(s, {"--history", path, "history"}, 60s, AsNobody);
            EXPECT_EQ(r.code, kExitOk) << r.err;
            EXPECT_NE(r.err.find("8 records an earlier run kept in " + pending + " are now in the call history (0 new calls)."),
                      std::string::npos)
                << r.err;
            EXPECT_FALSE(std::filesystem::exists(pending));
        } else {
            // Nowhere to keep them: said, and the output has them.
            EXPECT_NE(r.err.find("8 records could not be kept: the call history " + path +
                                 " cannot take them (this user may not write it), and " + pending +
                                 " cannot be written (Permission denied)."),
                      std::string::npos)
                << r.err;
            EXPECT_EQ(Names(folder), std::vector<std::string>{"calls.sqlite3"});
        }
    }
}

// A history another program holds locked is waited for within the
// download's time-out, or until SIGTERM; a full disk is not waited for.
// Locked to the end, full, or damaged, it does not get the calls: they go
// to the pending file beside it, with exit 7 and the damaged file left as
// it was, and the next run takes them in.
TEST(CliHistoryFile, CallsTheHistoryCannotTakeWaitBesideItForTheNextRun) {
    Scratch s;
    Sim sim(s, {"--fast", "--records", "8", "--seed", "3"});
    auto lock = [](const std::string& path) {
        EXPECT_TRUE(history::CallHistory::Open(path, nullptr));
        sqlite3* db = nullptr;
        EXPECT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        EXPECT_EQ(sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
        return db;
    };
    {
        SCOPED_TRACE("freed while the download waits for it");
        const std::string path = s.File("freed.sqlite3");
        sqlite3* locker = lock(path);
        CliRun r = RunCli(s, {"--history", path, "download", "--timeout", "30"}, 60s, {}, [&](Process&) {
            EXPECT_TRUE(WaitFor([&] { return NewestErr(s).find("8 records wait to be written.") != std::string::npos; }));
            sqlite3_exec(locker, "COMMIT", nullptr, nullptr, nullptr);
        });
        sqlite3_close(locker);
        EXPECT_EQ(r.code, kExitOk) << r.err;
        EXPECT_EQ(KeptCalls(s, path).size(), 8u);
        EXPECT_FALSE(std::filesystem::exists(path + ".pending"));
    }
    {
        SCOPED_TRACE("locked beyond the time-out");
        const std::string path = s.File("locked.sqlite3");
        sqlite3* locker = lock(path);
        CliRun r = RunCli(s, {"--history", path, "download", "--timeout", "5"});
        sqlite3_close(locker);
        EXPECT_EQ(r.code, kExitHistory) << r.err;
        EXPECT_NE(r.err.find("8 records could not be written to the call history " + path +
                             " (another program kept it locked). They are kept in " + path + ".pending"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(KeptCalls(s, path).size(), 8u);  // taken in by the listing
        EXPECT_FALSE(std::filesystem::exists(path + ".pending"));
    }
    {
        SCOPED_TRACE("SIGTERM while waiting for it");
        const std::string path = s.File("stopped.sqlite3");
        sqlite3* locker = lock(path);
        const auto start = Clock::now();
        CliRun r = RunCli(s, {"--history", path, "download", "--timeout", "40"}, 60s, {}, [&](Process& p) {
            EXPECT_TRUE(WaitFor([&] { return NewestErr(s).find("8 records wait to be written.") != std::string::npos; }));
            kill(p.pid(), SIGTERM);
        });
        EXPECT_LT(Clock::now() - start, 15s) << "the wait went on after SIGTERM";
        sqlite3_close(locker);
        EXPECT_EQ(r.code, kExitHistory) << r.err;
        EXPECT_NE(r.err.find("8 records could not be written to the call history " + path +
                             " (another program kept it locked). They are kept in " + path + ".pending"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(KeptCalls(s, path).size(), 8u);
    }
    {
        // Its write-ahead log is the full device: every write of the
        // history meets ENOSPC, as on a full disk, and waiting frees nothing.
        SCOPED_TRACE("the disk full");
        const std::string path = s.File("full.sqlite3");
        ASSERT_TRUE(history::CallHistory::Open(path, nullptr));
        ASSERT_EQ(mknod((path + "-wal").c_str(), S_IFCHR | 0600, makedev(1, 7)), 0) << std::strerror(errno);
        const auto start = Clock::now();
        CliRun r = RunCli(s, {"--history", path, "download", "--timeout", "40"});
        EXPECT_LT(Clock::now() - start, 15s) << "a full disk was waited for";
        EXPECT_EQ(r.code, kExitHistory) << r.err;
        EXPECT_NE(r.err.find("cannot be written: the disk is full."), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("8 records could not be written to the call history " + path +
                             " (the disk is full). They are kept in " + path + ".pending"),
                  std::string::npos)
            << r.err;
        std::filesystem::remove(path + "-wal");
        EXPECT_EQ(KeptCalls(s, path).size(), 8u);
    }
    {
        SCOPED_TRACE("damaged");
        const std::string path = s.File("damaged.sqlite3");
        ASSERT_EQ(RunCli(s, {"--history", path, "download"}).code, kExitOk);
        std::string bytes = ReadAll(path);
        for (size_t at = 4096 + 8; at < std::min<size_t>(bytes.size(), 5 * 4096); at += 37) bytes[at] ^= 0x5A;
        WriteAll(path, bytes);
        CliRun r = RunCli(s, {"--history", path, "download"});
        EXPECT_EQ(r.code, kExitHistory) << r.err;
        EXPECT_NE(r.err.find(" is damaged"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("history --check"), std::string::npos) << r.err;
        EXPECT_EQ(ReadAll(path), bytes) << "the damaged file was changed";
        // Moved away: a new history starts and takes the calls in.
        std::filesystem::rename(path, s.File("damaged-aside"));
        r = RunCli(s, {"--history", path, "download"});
        EXPECT_EQ(r.code, kExitOk) << r.err;
        EXPECT_NE(r.err.find("8 records an earlier run kept in " + path + ".pending are now in the call history (8 new calls)."),
                  std::string::npos)
            << r.err;
        EXPECT_NE(r.err.find("History: 0 new calls, 8 already kept."), std::string::npos) << r.err;
        EXPECT_EQ(KeptCalls(s, path).size(), 8u);
    }
}

}  // namespace
}  // namespace dialscope::cli::test

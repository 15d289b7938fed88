// The history file is the user's alone: the folders made for it and the
// files SQLite keeps are private whatever the umask, an existing history
// others can read is warned about once, and no home folder is ever made up.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

#include "history_support.h"

namespace dialscope::history::test {
namespace {

mode_t Mode(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

TEST(CallHistoryFile, FoldersItMakesAndItsFilesArePrivateWhateverTheUmask) {
    for (mode_t mask : {mode_t{022}, mode_t{0}}) {
        SCOPED_TRACE(mask);
        TempDir dir;
        chmod(dir.path.c_str(), 0755);  // a folder that was there: left as it is
        const std::string path = dir.path + "/share/dialscope/calls.sqlite3";
        const mode_t before = umask(mask);
        std::string problem;
        auto h = CallHistory::Open(path, &problem);
        umask(before);
        ASSERT_TRUE(h) << problem;
        h->AddRecord(Record("HOME", "5551234", {7, 15, 26, 9, 5}));
        EXPECT_EQ(Mode(dir.path), 0755u);
        EXPECT_EQ(Mode(dir.path + "/share"), 0700u);
        EXPECT_EQ(Mode(dir.path + "/share/dialscope"), 0700u);
        for (const char* suffix : {"", "-wal", "-shm"}) EXPECT_EQ(Mode(path + suffix), 0600u) << suffix;
        EXPECT_EQ(h->TakeWarning(), std::nullopt);
    }
}

TEST(CallHistoryFile, HistoryOthersCanReadIsWarnedAboutOncePerRun) {
    TempDir dir;
    chmod(dir.path.c_str(), 0755);
    const std::string path = dir.File("my calls.sqlite3");
    ASSERT_TRUE(CallHistory::Open(path, nullptr));
    chmod(path.c_str(), 0644);
    auto first = CallHistory::Open(path, nullptr);
    ASSERT_TRUE(first);
    const auto warning = first->TakeWarning();
    ASSERT_TRUE(warning);
    EXPECT_EQ(warning->substr(0, warning->find(" To keep")),
              "The call history " + path +
                  " can be read by other users of this computer, and it holds names and phone numbers.");
    // The command works as it is written, the files beside it included.
    EXPECT_NE(warning->find("To keep it private: chmod 600 '" + path + "' '" + path + "-wal'"), std::string::npos)
        << *warning;
    EXPECT_EQ(CallHistory::Open(path, nullptr)->TakeWarning(), std::nullopt);
}

TEST(CallHistoryFile, DefaultPathNeverMakesUpAHome) {
    TempDir dir;
    struct Saved {
        std::string name;
        std::optional<std::string> value;
        ~Saved() { value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str()); }
    };
    auto save = [](const char* name) {
        const char* v = getenv(name);
        return Saved{name, v ? std::optional<std::string>(v) : std::nullopt};
    };
    Saved home = save("HOME"), xdg = save("XDG_DATA_HOME");
    struct passwd* account = getpwuid(getuid());
    ASSERT_TRUE(account);
    const std::string accountHome = account->pw_dir;
    const std::string accountSaid =
        std::filesystem::is_directory(accountHome) ? "" : "(from the user database) does not exist.";
    struct Case {
        const char* name;
        std::optional<std::string> home, xdg;
        std::string path;   // empty: no path is given
        std::string said;   // empty: no problem
    };
    const Case cases[] = {
        {"HOME", dir.path, std::nullopt, dir.path + "/.local/share/dialscope/calls.sqlite3", ""},
        {"XDG_DATA_HOME wins", dir.path + "/gone", "/x/data", "/x/data/dialscope/calls.sqlite3", ""},
        {"a relative XDG_DATA_HOME is ignored", dir.path, "data", dir.path + "/.local/share/dialscope/calls.sqlite3", ""},
        {"HOME unset: the account's home", std::nullopt, std::nullopt,
         accountHome + "/.local/share/dialscope/calls.sqlite3", accountSaid},
        {"HOME empty: the account's home", "", std::nullopt, accountHome + "/.local/share/dialscope/calls.sqlite3",
         accountSaid},
        {"HOME missing", dir.path + "/gone", std::nullopt, dir.path + "/gone/.local/share/dialscope/calls.sqlite3",
         "The call history has no place: the home folder " + dir.path +
             "/gone (from HOME) does not exist. Set HOME to your home folder, or name the history file with "
             "--history."},
        {"HOME a file", dir.File(), std::nullopt, dir.File() + "/.local/share/dialscope/calls.sqlite3",
         "(from HOME) is not a folder."},
        {"HOME relative", "home", std::nullopt, "home/.local/share/dialscope/calls.sqlite3",
         "the home folder home (from HOME) is not a full path."},
    };
    std::ofstream(dir.File()) << "x";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.home ? setenv("HOME", c.home->c_str(), 1) : unsetenv("HOME");
        c.xdg ? setenv("XDG_DATA_HOME", c.xdg->c_str(), 1) : unsetenv("XDG_DATA_HOME");
        std::string problem = "left over";
        EXPECT_EQ(CallHistory::DefaultPath(&problem), c.path);
        if (c.said.empty()) EXPECT_EQ(problem, "");
        else EXPECT_NE(problem.find(c.said), std::string::npos) << problem;
    }
    EXPECT_FALSE(std::filesystem::exists(dir.path + "/gone"));
}

}  // namespace
}  // namespace dialscope::history::test

namespace dialscope::history::test {
namespace {

// Whether this process holds the read lock every open connection keeps on
// the file (SQLite's shared range, from byte 2^30 + 2), as the kernel lists
// it. Other locks come and go as the history's own thread indexes and
// checkpoints, so only this one is looked for.
bool HoldsSharedLockOn(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) != 0) return false;
    const std::string inode = ":" + std::to_string(st.st_ino);
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
        std::istringstream fields(line);
        std::string id, type, advisory, mode, pid, device, start;
        fields >> id >> type;
        if (type == "->") continue;  // a waiter holds nothing
        fields >> advisory >> mode >> pid >> device >> start;
        const bool ours = type == "POSIX" && pid == std::to_string(getpid());
        const bool file = device.size() > inode.size() &&
                          device.compare(device.size() - inode.size(), inode.size(), inode) == 0;
        if (ours && file && mode == "READ" && start == "1073741826") return true;
    }
    return false;
}

// Several connections of one process share the file's locks: opening the
// history again beside a connection (as the pages do for each change) must
// never take them away, or another program takes itself for the last one
// and removes the write-ahead log that is still in use.
TEST(CallHistoryFile, OpeningAgainKeepsTheLocksOfTheConnectionsOpen) {
    TempDir dir;
    const std::string path = dir.File();
    std::string problem;
    auto first = CallHistory::Open(path, &problem);
    ASSERT_TRUE(first) << problem;
    first->BeginDownload("/dev/ttyUSB0");
    first->AddRecord(Record("HOME", "555 0100", {7, 15, 24, 9, 30}));
    first->EndDownload(DownloadEnd::Completed);
    first->List({});
    ASSERT_TRUE(HoldsSharedLockOn(path)) << "the connection holds no lock to lose";
    for (int i = 0; i < 3; ++i) {
        auto again = CallHistory::Open(path, &problem);
        ASSERT_TRUE(again) << problem;
        again->List({});
        again.reset();
        EXPECT_TRUE(HoldsSharedLockOn(path)) << "after opening and closing it again, time " << i + 1;
    }
    // Another process opens and closes it: it must find the file in use and
    // leave the write-ahead log where it is.
    pid_t child = fork();
    if (child == 0) {
        sqlite3* db = nullptr;
        sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
        sqlite3_exec(db, "SELECT count(*) FROM records", nullptr, nullptr, nullptr);
        _exit(sqlite3_close(db) == SQLITE_OK ? 0 : 1);
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(std::filesystem::exists(path + "-wal"));
    EXPECT_TRUE(std::filesystem::exists(path + "-shm"));
    first->BeginDownload("/dev/ttyUSB0");
    first->AddRecord(Record("HOME", "555 0101", {7, 15, 24, 9, 31}));
    first->EndDownload(DownloadEnd::Completed);
    first.reset();
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), "ok");
    sqlite3_finalize(st);
    sqlite3_close(db);
    EXPECT_EQ(Query(path, "SELECT count(*) FROM records"), 2);
}

// A reader that may not write the file, opened while no writer ran, still
// sees the calls of a writer that starts afterwards (run as nobody: root
// may write anything).
TEST(CallHistoryFile, AReaderOpenedWithoutAWriterSeesTheWriterThatComes) {
    TempDir dir;
    const std::string path = dir.File();
    {
        auto made = CallHistory::Open(path, nullptr);
        ASSERT_TRUE(made);
        made->BeginDownload("/dev/ttyUSB0");
        made->AddRecord(Record("HOME", "555 0100", {7, 15, 24, 9, 30}));
        made->EndDownload(DownloadEnd::Completed);
    }
    ASSERT_FALSE(std::filesystem::exists(path + "-wal"));
    chmod(dir.path.c_str(), 0755);
    chmod(path.c_str(), 0644);
    int opened[2], written[2];
    ASSERT_EQ(pipe(opened), 0);
    ASSERT_EQ(pipe(written), 0);
    pid_t child = fork();
    if (child == 0) {
        if (setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0) _exit(10);
        auto reader = CallHistory::Open(path, nullptr);
        if (!reader || reader->writable() || reader->List({}).size() != 1) _exit(11);
        char c;
        if (write(opened[1], "o", 1) != 1 || read(written[0], &c, 1) != 1) _exit(12);
        const size_t seen = reader->List({}).size();
        _exit(seen == 2 ? 0 : 20 + static_cast<int>(seen));
    }
    close(opened[1]);
    char c;
    ASSERT_EQ(read(opened[0], &c, 1), 1);
    auto writer = CallHistory::Open(path, nullptr);
    ASSERT_TRUE(writer);
    writer->BeginDownload("/dev/ttyUSB0");
    writer->AddRecord(Record("HOME", "555 0101", {7, 15, 24, 9, 31}));
    writer->EndDownload(DownloadEnd::Completed);
    ASSERT_EQ(write(written[1], "w", 1), 1);
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10-12: the reader's setup failed; 20+n: it saw n calls";
}

}  // namespace
}  // namespace dialscope::history::test

namespace dialscope::history::test {
namespace {

// Programs started together on a history none of them has made yet: each
// opens it as a history, none takes another's half-made file for a
// database of another program. (A race: each round gives it a chance.)
TEST(CallHistoryFile, ProgramsStartedTogetherOnANewHistoryAllOpenIt) {
    TempDir dir;
    int refused = 0;
    for (int round = 0; round < 30 && refused == 0; ++round) {
        const std::string path = dir.File(("calls-" + std::to_string(round) + ".sqlite3").c_str());
        std::vector<pid_t> children;
        for (int i = 0; i < 4; ++i) {
            pid_t child = fork();
            if (child == 0) {
                std::string problem;
                auto h = CallHistory::Open(path, &problem);
                _exit(h ? 0 : problem.find("another program") != std::string::npos ? 1 : 2);
            }
            children.push_back(child);
        }
        for (pid_t child : children) {
            int status = 0;
            waitpid(child, &status, 0);
            if (WIFEXITED(status) && WEXITSTATUS(status) == 1) ++refused;
        }
    }
    EXPECT_EQ(refused, 0) << "a new history was taken for another program's database";
}

}  // namespace
}  // namespace dialscope::history::test

// The history file is the user's alone: the folders made for it and the
// files SQLite keeps are private whatever the umask, an existing history
// others can read is warned about once, and no home folder is ever made up.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>

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

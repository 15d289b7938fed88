// Where the history may not be: a FIFO, a device or a home folder that is not
// there is refused at once, in plain words, and nothing is made in its place.
// A history this user may only read is listed as it is, with no file left
// beside it, and a download says its calls are not kept in it.
#include <pwd.h>
#include <sys/stat.h>

#include "app/cli/exit_codes.h"
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
        EXPECT_NE(r.err.find("The call history " + path +
                             " cannot be written (the file or its folder is read-only for this user), so the calls "
                             "of this download are not kept in it."),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(r.err.find("when it can be written again"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, log);

        EXPECT_EQ(Names(folder), std::vector<std::string>{"calls.sqlite3"});
        EXPECT_EQ(ReadAll(path), bytes);
    }
}

}  // namespace
}  // namespace dialscope::cli::test

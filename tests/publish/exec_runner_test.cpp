#include "publish/exec_runner.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <mutex>

#include "tests/publish/rig.h"

namespace dialscope::publish {
namespace {

using testing::ReadBytes;
using testing::TempDir;
using testing::WaitUntil;

TEST(ExecRunner, SplitsLikeAShellWithoutExpandingAnything) {
    struct Case {
        const char* text;
        std::vector<std::string> argv;  // empty: refused
        const char* error;
    } cases[] = {
        {"notify-send Call", {"notify-send", "Call"}, ""},
        {"  a   'b c'  \"d \\\" e\" f\\ g ", {"a", "b c", "d \" e", "f g"}, ""},
        {"echo $HOME `id` *.txt ~ ;", {"echo", "$HOME", "`id`", "*.txt", "~", ";"}, ""},
        {"\"\\$x \\n\"", {"$x \\n"}, ""},
        // Inside double quotes \\ is one backslash, also before the closing quote.
        {"\"a\\\\b\" \"c\\\\\" d \"\\`\\\\\\\"\"", {"a\\b", "c\\", "d", "`\\\""}, ""},
        // A backslash and a line end join the lines, in quotes or not.
        {"a\\\nb \"c\\\nd\" e\\\n", {"ab", "cd", "e"}, ""},
        {"a''b \"\"", {"ab", ""}, ""},
        {"a 'b", {}, "unclosed ' quote"},
        {"a \"b", {}, "unclosed \" quote"},
        {"a\\", {}, "lone backslash"},
        {"   ", {}, "The command is empty."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        std::vector<std::string> argv;
        std::string error;
        EXPECT_EQ(SplitCommand(c.text, &argv, &error), !c.argv.empty());
        if (!c.argv.empty()) EXPECT_EQ(argv, c.argv);
        else EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }
}

struct Reports {
    std::mutex mu;
    std::vector<std::string> lines;
    ExecRunner::ReportFn Fn() {
        return [this](const std::string& s) {
            std::lock_guard<std::mutex> l(mu);
            lines.push_back(s);
        };
    }
    std::vector<std::string> Get() {
        std::lock_guard<std::mutex> l(mu);
        return lines;
    }
};

ExecCall Call(const std::string& id, const std::string& text, const std::string& json) {
    return {id, {{"DIALSCOPE_CALL_ID", id}, {"DIALSCOPE_TEXT", text}, {"DIALSCOPE_LABEL", "Line 1"}}, json};
}

// One user command acting by call id: fail, hang, or keep its
// stdin, environment and open descriptors in files named after the call.
TEST(ExecRunner, FailingHangingAndReadingCommandsEachGetTheirDueAndNothingIsExecuted) {
    TempDir dir;
    std::string d = dir.path();
    std::string script = "cd '" + d + "' || exit 9\n"
                         "case \"$DIALSCOPE_CALL_ID\" in\n"
                         "  fail) exit 3 ;;\n"
                         "  hang) sleep 60 ;;\n"
                         "  *) cat > \"$DIALSCOPE_CALL_ID.json\"; env | grep -a ^DIALSCOPE_ | sort > \"$DIALSCOPE_CALL_ID.env\";"
                         "     for f in /proc/$$/fd/*; do readlink \"$f\"; done > \"$DIALSCOPE_CALL_ID.fds\"; exit 0 ;;\n"
                         "esac\n";
    // A descriptor opened without O_CLOEXEC, the way a careless library might open a port.
    int opened = open(dir.File("port-stand-in").c_str(), O_RDWR | O_CREAT, 0600);
    int leaky = fcntl(opened, F_DUPFD, 40);  // above the descriptors the runner itself uses
    close(opened);
    ASSERT_GE(leaky, 40);
    setenv("DIALSCOPE_MQTT_PASSWORD", "secret", 1);
    Reports reports;
    ExecOptions o;
    o.argv = {"/bin/sh", "-c", script};
    // Long enough for the forks of the reading calls on a busy machine.
    o.timeLimit = std::chrono::milliseconds(1000);
    o.killGrace = std::chrono::milliseconds(300);
    std::vector<std::string> ended;  // how each run ended, as the caller is told
    ExecRunner runner(o, reports.Fn(), [&](const ExecCall& c, const ExecResult& r) {
        ended.push_back(c.id + " " + std::to_string(r.kind) + " " + std::to_string(r.code));
    });
    std::string error;
    ASSERT_TRUE(runner.Start(&error)) << error;

    std::string evil = "$(touch pwned); `touch pwned2`; rm -rf \"$HOME\" | echo x > pwned3 \xe9";
    std::string big(300000, 'x');  // more than a pipe holds: written as the command reads
    std::string bigJson = "{\"text\":\"" + big + "\"}";
    auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(runner.Submit(Call("fail", "x", "{}")));
    ASSERT_TRUE(runner.Submit(Call("hang", "x", "{}")));
    ASSERT_TRUE(runner.Submit(Call("evil", evil, "{\"text\":\"" + evil + "\"}")));
    ASSERT_TRUE(runner.Submit(Call("big", "x", bigJson)));
    ASSERT_TRUE(WaitUntil([&] { return runner.Pending() == 0; }));
    auto took = std::chrono::steady_clock::now() - start;
    close(leaky);
    unsetenv("DIALSCOPE_MQTT_PASSWORD");

    EXPECT_EQ(reports.Get(), (std::vector<std::string>{"The command for call fail failed with exit status 3.",
                                                       "The command for call hang ran longer than 1 s and was stopped."}));
    EXPECT_LT(took, std::chrono::seconds(5)) << "the hang was cut short and the next call ran";
    EXPECT_EQ(ended, (std::vector<std::string>{"fail 0 3", "hang 2 0", "evil 0 0", "big 0 0"}));
    EXPECT_EQ(ReadBytes(dir.File("evil.json")), "{\"text\":\"" + evil + "\"}");
    EXPECT_EQ(ReadBytes(dir.File("big.json")), bigJson);
    EXPECT_EQ(ReadBytes(dir.File("evil.env")),
              "DIALSCOPE_CALL_ID=evil\nDIALSCOPE_LABEL=Line 1\nDIALSCOPE_TEXT=" + evil + "\n")
        << "call fields verbatim, and no DIALSCOPE_MQTT_PASSWORD";
    for (const char* f : {"pwned", "pwned2", "pwned3"}) EXPECT_FALSE(std::filesystem::exists(dir.File(f))) << f;
    std::string fds = ReadBytes(dir.File("big.fds"));
    EXPECT_EQ(fds.find("port-stand-in"), std::string::npos) << "only stdin, stdout and stderr are inherited: " << fds;
}

TEST(ExecRunner, ACommandThatCannotStartIsToldAndAFullQueueDropsTheNewest) {
    Reports reports;
    ExecOptions missing;
    missing.argv = {"/nonexistent/on-call"};
    ExecRunner bad(missing, reports.Fn());
    std::string error;
    ASSERT_TRUE(bad.Start(&error));
    bad.Submit(Call("7", "x", "{}"));
    ASSERT_TRUE(WaitUntil([&] { return bad.Pending() == 0; }));
    bad.Stop();
    EXPECT_EQ(reports.Get(), std::vector<std::string>{
                                 "The command \"/nonexistent/on-call\" for call 7 cannot be started: No such file or "
                                 "directory."});

    // The first call holds the runner until the test opens the fifo; one more may wait.
    TempDir dir;
    std::string fifo = dir.File("gate");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    Reports full;
    ExecOptions o;
    o.argv = {"/bin/sh", "-c", "cd '" + dir.path() + "'; : > \"started-$DIALSCOPE_CALL_ID\"; "
                                "[ \"$DIALSCOPE_CALL_ID\" = a ] && read x < gate; :"};
    o.maxQueued = 1;
    ExecRunner runner(o, full.Fn());
    ASSERT_TRUE(runner.Start(&error));
    runner.Submit(Call("a", "x", "{}"));
    ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(dir.File("started-a")); }));
    EXPECT_TRUE(runner.Submit(Call("b", "x", "{}")));
    EXPECT_FALSE(runner.Submit(Call("c", "x", "{}")));
    testing::WriteBytes(fifo, "go\n");
    ASSERT_TRUE(WaitUntil([&] { return runner.Pending() == 0; }));
    EXPECT_TRUE(std::filesystem::exists(dir.File("started-b")));
    EXPECT_FALSE(std::filesystem::exists(dir.File("started-c")));
    EXPECT_EQ(full.Get(), std::vector<std::string>{"1 calls already wait for the command; call c is not run for it."});

    // Stopping the program does not wait out a hung command's time limit, and
    // what the command started gets SIGTERM too, to clean up. The cut-short run
    // is told as such (it did not run to its end), the waiting call counted.
    Reports stopped;
    std::vector<std::pair<std::string, ExecResult::Kind>> done;
    ExecOptions slow;
    slow.argv = {"/bin/sh", "-c", "cd '" + dir.path() + "'; sh -c 'trap \"echo cleaned > cleaned; exit 0\" TERM; "
                                   ": > slow-started; sleep 60 & wait' & wait"};
    slow.timeLimit = std::chrono::seconds(60);
    slow.killGrace = std::chrono::seconds(3);
    ExecRunner hung(slow, stopped.Fn(), [&](const ExecCall& c, const ExecResult& r) { done.emplace_back(c.id, r.kind); });
    ASSERT_TRUE(hung.Start(&error));
    hung.Submit(Call("d", "x", "{}"));
    hung.Submit(Call("e", "x", "{}"));
    ASSERT_TRUE(WaitUntil([&] { return std::filesystem::exists(dir.File("slow-started")); }));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(hung.Stop(), 1u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(ReadBytes(dir.File("cleaned")), "cleaned\n") << "the command's own child got no SIGTERM";
    EXPECT_EQ(stopped.Get(), std::vector<std::string>{});
    EXPECT_EQ(done, (std::vector<std::pair<std::string, ExecResult::Kind>>{{"d", ExecResult::Stopped}}));
}

}  // namespace
}  // namespace dialscope::publish

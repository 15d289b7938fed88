// The real `dialscope-cli watch` process against the device simulator in a fake
// sysfs tree and a real broker: what a subscriber and a per-call command get.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <map>
#include <set>

#include <nlohmann/json.hpp>

#include "publish/mqtt_publisher.h"
#include "publish/watch_config.h"
#include "tests/publish/rig.h"
#include "tests/publish/sim.h"

namespace dialscope {
namespace {

using testing::Broker;
using testing::JsonLines;
using testing::Sim;
using testing::ReadBytes;
using testing::Reap;
using testing::Subscriber;
using testing::TempDir;
using testing::WaitUntil;
using testing::WriteBytes;
using namespace std::chrono_literals;

std::string HostPart() {
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    std::string host(name);
    return host.substr(0, host.find('.'));
}

// The box's memory before and after one more call: the second download
// repeats the first three records.
const char* kLogA =
    "label 0 HOME\n"
    "record 0 A 07 15 24 09 05 fails\n"
    "record 0 A 07 15 24 09 06 hangs\n"
    "record 0 B 07 15 24 09 07 555 0100 reads stdin\n";
const char* kLogB =
    "label 0 HOME\n"
    "record 0 A 07 15 24 09 05 fails\n"
    "record 0 A 07 15 24 09 06 hangs\n"
    "record 0 B 07 15 24 09 07 555 0100 reads stdin\n"
    "record 0 C 07 15 24 10 00 while the broker was away\n";

TEST(WatchCli, CallsReachBrokerAndCommandOnceThroughReplugAndBrokerRestart) {
    Broker b;
    ASSERT_TRUE(b.ok) << ReadBytes(b.dir.File("broker.log"));
    TempDir dir;
    WriteBytes(dir.File("a.log"), kLogA);
    WriteBytes(dir.File("b.log"), kLogB);
    // The command: fails, hangs or keeps its stdin, by the caller's text.
    WriteBytes(dir.File("hook.sh"),
               "case \"$DIALSCOPE_CALL_TEXT\" in\n"
               "  fails) exit 3 ;;\n"
               "  hangs) exec sleep 600 ;;\n"
               "esac\n"
               "cat > \"$OUT/$DIALSCOPE_CALL_ID.json\"\n"
               "echo \"$DIALSCOPE_CALL_LETTER $DIALSCOPE_CALL_DATE $DIALSCOPE_CALL_TIME ${DIALSCOPE_CALL_NAME-none}\" > \"$OUT/$DIALSCOPE_CALL_ID.env\"\n");
    WriteBytes(dir.File("watch.conf"), "exec = [\"sh\", \"" + dir.File("hook.sh") +
                                           "\"]\nexec_timeout_seconds = 1\ndiscovery_prefix = \"hub\"\n");
    setenv("OUT", dir.path().c_str(), 1);
    setenv("DIALSCOPE_SYSFS_ROOT", dir.File("sys").c_str(), 1);
    setenv("DIALSCOPE_DEV_ROOT", dir.File("dev").c_str(), 1);
    setenv("DIALSCOPE_MQTT_PASSWORD", Broker::kPassword, 1);

    auto keeper = std::make_unique<Subscriber>(b, "#", "keeper");
    ASSERT_TRUE(keeper->ready);
    const std::string instance = publish::MakeInstanceId(HostPart() + "-1-1");
    const std::string topic = "dialscope/" + instance + "/call";

    auto sim = std::make_unique<Sim>(dir, "a.log", false);
    ASSERT_TRUE(WaitUntil([&] { return sim->Output().find("plugged ") != std::string::npos; }));
    const std::string watchOut = dir.File("watch.out");
    // One caller has a name: on stdout, to the broker and to the command.
    ASSERT_EQ(testing::Run({DIALSCOPE_CLI, "--history", dir.File("calls.sqlite3"), "contacts", "set", "5550100", "Anna"}), 0);
    const std::vector<std::string> args = {DIALSCOPE_CLI, "--history", dir.File("calls.sqlite3"), "watch", "--mqtt",
                                           "mqtt://watcher@127.0.0.1:" + std::to_string(b.port), "--config",
                                           dir.File("watch.conf")};
    pid_t watcher = testing::Spawn(args, watchOut);
    ASSERT_GT(watcher, 0);
    auto printed = [&] { return JsonLines(ReadBytes(watchOut)); };
    ASSERT_TRUE(WaitUntil([&] { return keeper->On(topic).size() >= 3; }, 30s)) << ReadBytes(watchOut);

    // The second download, after an unplug and a replug, while the broker is away.
    sim->Say("unplug");
    ASSERT_TRUE(sim->Quit());
    b.Stop(SIGTERM);
    const auto beforeRestart = keeper->On(topic);
    keeper.reset();
    sim = std::make_unique<Sim>(dir, "b.log", true);
    sim->Say("plug");
    ASSERT_TRUE(WaitUntil([&] { return printed().size() == 4; }, 30s)) << ReadBytes(watchOut);
    ASSERT_TRUE(b.Start());
    keeper = std::make_unique<Subscriber>(b, "#", "keeper");
    ASSERT_TRUE(keeper->ready);
    // Each call once, in order, as the stdout line has it, id and all. A call
    // whose acknowledgement the broker's stop cut off is sent again: the copy
    // carries the same id.
    const auto lines = printed();
    std::vector<std::string> expected;
    for (const auto& line : lines) expected.push_back(line["id"]);
    ASSERT_EQ(expected[0].rfind(instance + "-", 0), 0u) << expected[0];
    std::vector<nlohmann::json> got;
    auto collect = [&] {
        got.clear();
        auto all = beforeRestart;
        for (const auto& p : keeper->On(topic)) all.push_back(p);
        // A copy may come after later calls (each unacknowledged message
        // is sent again): it is compared with the first of its id.
        std::map<std::string, nlohmann::json> first;
        for (const auto& p : all) {
            auto j = nlohmann::json::parse(p);
            const auto [at, isNew] = first.emplace(j["id"].get<std::string>(), j);
            if (isNew) got.push_back(j);
            else EXPECT_EQ(j, at->second) << "a copy differs";
        }
        return got.size() >= 4;
    };
    ASSERT_TRUE(WaitUntil(collect, 30s)) << ReadBytes(watchOut);
    ASSERT_EQ(got.size(), 4u) << keeper->Text();
    for (size_t i = 0; i < 4; ++i) EXPECT_EQ(got[i], lines[i]) << "published and printed calls differ";
    EXPECT_EQ(lines[3]["text"], "while the broker was away");
    EXPECT_EQ(lines[2]["name"], "Anna");
    EXPECT_TRUE(lines[3]["name"].is_null());

    // What a subscriber arriving now sees: the last call, "online", the hub's sensor.
    ASSERT_TRUE(WaitUntil([&] {
        auto last = keeper->On("dialscope/" + instance + "/last");
        return !last.empty() && nlohmann::json::parse(last.back())["id"] == expected[3];
    }));
    Subscriber late(b, "#");
    ASSERT_TRUE(late.ready);
    ASSERT_TRUE(WaitUntil([&] { return !late.On("hub/sensor/dialscope_" + instance + "/last_call/config").empty(); }));
    bool retained = false;
    const auto last = late.On("dialscope/" + instance + "/last", &retained);
    ASSERT_EQ(last.size(), 1u);
    EXPECT_TRUE(retained);
    EXPECT_EQ(nlohmann::json::parse(last[0])["id"], expected[3]);
    EXPECT_EQ(late.On("dialscope/" + instance + "/status"), std::vector<std::string>{"online"})
        << ReadBytes(b.dir.File("broker.log"));
    const auto config = nlohmann::json::parse(late.On("hub/sensor/dialscope_" + instance + "/last_call/config")[0]);
    EXPECT_NE(config["value_template"].get<std::string>().find("value_json.text"), std::string::npos);

    // The command: the failing and the hanging one reported, the others got their call.
    ASSERT_TRUE(WaitUntil([&] { return ReadBytes(watchOut).find("ran longer than") != std::string::npos; }));
    // The command's DIALSCOPE_CALL_ID names its files: the same id again.
    const std::string reads = expected[2];
    ASSERT_TRUE(WaitUntil([&] { return !ReadBytes(dir.File(expected[3] + ".json")).empty(); }));
    EXPECT_EQ(nlohmann::json::parse(ReadBytes(dir.File(reads + ".json"))), lines[2]);
    EXPECT_EQ(ReadBytes(dir.File(reads + ".env")), "B 2024-07-15 09:07 Anna\n");
    const std::string err = ReadBytes(watchOut);
    EXPECT_NE(err.find("The command for call " + expected[0] + " failed with exit status 3."), std::string::npos) << err;
    EXPECT_NE(err.find("The command for call " + expected[1] + " ran longer than 1 s and was stopped."),
              std::string::npos) << err;

    // SIGTERM: "offline", exit 0.
    const size_t statuses = late.On("dialscope/" + instance + "/status").size();
    kill(watcher, SIGTERM);
    int status = -1;
    ASSERT_EQ(waitpid(watcher, &status, 0), watcher);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    ASSERT_TRUE(WaitUntil([&] { return late.On("dialscope/" + instance + "/status").size() > statuses; }));
    EXPECT_EQ(late.On("dialscope/" + instance + "/status").back(), "offline");

    // A call kept while the broker is away, then the watcher restarted: the
    // history knows the broker is owed it.
    WriteBytes(dir.File("c.log"), std::string(kLogB) + "record 0 D 07 15 24 11 00 owed across a restart\n");
    b.Stop(SIGTERM);
    keeper.reset();
    sim->Say("unplug");
    ASSERT_TRUE(sim->Quit());
    sim = std::make_unique<Sim>(dir, "c.log", true);
    watcher = testing::Spawn(args, watchOut);
    sim->Say("plug");
    ASSERT_TRUE(WaitUntil([&] { return printed().size() == 5; }, 30s)) << ReadBytes(watchOut);
    kill(watcher, SIGTERM);
    ASSERT_EQ(waitpid(watcher, &status, 0), watcher);
    ASSERT_TRUE(b.Start());
    keeper = std::make_unique<Subscriber>(b, topic, "keeper");
    ASSERT_TRUE(keeper->ready);
    watcher = testing::Spawn(args, watchOut);
    ASSERT_TRUE(WaitUntil([&] { return !keeper->On(topic).empty(); }, 30s)) << ReadBytes(watchOut);
    EXPECT_EQ(nlohmann::json::parse(keeper->On(topic)[0])["text"], "owed across a restart");
    EXPECT_EQ(printed().size(), 5u) << "the restarted watcher printed a known call";
    kill(watcher, SIGTERM);
    ASSERT_EQ(waitpid(watcher, &status, 0), watcher);
}

// The command's calls wait in the history, not in memory: a stop while calls
// wait, and a kill -9 while one runs, lose none of them. Each run appends to a
// file by call id; the command holds until the test opens the gate.
TEST(WatchCli, CommandRunsEveryCallThroughAStopAndAKill) {
    TempDir dir;
    WriteBytes(dir.File("a.log"), kLogA);
    WriteBytes(dir.File("hook.sh"),
               "echo \"$DIALSCOPE_CALL_ID start\" >> \"$OUT/ran.txt\"\n"
               "while [ ! -e \"$OUT/gate\" ]; do sleep 0.05; done\n"
               "echo \"$DIALSCOPE_CALL_ID done\" >> \"$OUT/ran.txt\"\n");
    setenv("OUT", dir.path().c_str(), 1);
    setenv("DIALSCOPE_SYSFS_ROOT", dir.File("sys").c_str(), 1);
    setenv("DIALSCOPE_DEV_ROOT", dir.File("dev").c_str(), 1);
    auto sim = std::make_unique<Sim>(dir, "a.log", false);
    ASSERT_TRUE(WaitUntil([&] { return sim->Output().find("plugged ") != std::string::npos; }));
    const std::vector<std::string> args = {DIALSCOPE_CLI, "--history", dir.File("calls.sqlite3"), "watch",
                                           "--exec", "sh " + dir.File("hook.sh")};
    const std::string out = dir.File("watch.out");
    auto lines = [&](const std::string& word) {  // the call ids of the runs' lines with this word, in order
        std::vector<std::string> ids;
        std::istringstream in(ReadBytes(dir.File("ran.txt")));
        std::string id, what;
        while (in >> id >> what)
            if (what == word) ids.push_back(id);
        return ids;
    };
    auto stop = [&](pid_t pid, int sig) {
        kill(pid, sig);
        int status = -1;
        EXPECT_EQ(waitpid(pid, &status, 0), pid);
        return status;
    };

    // Stopped while the first call's command runs and two wait.
    pid_t watcher = testing::Spawn(args, out);
    ASSERT_TRUE(WaitUntil([&] { return JsonLines(ReadBytes(out)).size() == 3 && lines("start").size() == 1; }, 30s))
        << ReadBytes(out);
    std::vector<std::string> ids;
    for (const auto& line : JsonLines(ReadBytes(out))) ids.push_back(line["id"]);
    ASSERT_EQ(lines("start"), std::vector<std::string>{ids[0]});
    int status = stop(watcher, SIGINT);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ReadBytes(out);
    EXPECT_NE(ReadBytes(out).find("3 calls have not been run through the command yet; the watcher runs them when it "
                                  "starts again."),
              std::string::npos)
        << ReadBytes(out);

    // Started again, and killed outright while the first call runs once more:
    // its command (in a process group of its own) outlives the watcher.
    watcher = testing::Spawn(args, out);
    ASSERT_TRUE(WaitUntil([&] { return lines("start").size() == 2; }, 30s)) << ReadBytes(out);
    stop(watcher, SIGKILL);
    WriteBytes(dir.File("gate"), "");
    ASSERT_TRUE(WaitUntil([&] { return lines("done").size() == 1; }));

    // The third start runs every call not known to have run, oldest first:
    // the first again (its end was not seen), then the others.
    WriteBytes(out, "");
    watcher = testing::Spawn(args, out);
    ASSERT_TRUE(WaitUntil([&] { return lines("done").size() == 4; }, 30s)) << ReadBytes(out);
    EXPECT_EQ(lines("done"), (std::vector<std::string>{ids[0], ids[0], ids[1], ids[2]}));
    status = stop(watcher, SIGTERM);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ReadBytes(out);
    EXPECT_EQ(ReadBytes(out).find("not been run"), std::string::npos) << ReadBytes(out);

    // A fourth start with one more call on the box: only that one is run, so
    // the runs the third start saw end are not run again.
    sim->Say("unplug");
    ASSERT_TRUE(sim->Quit());
    WriteBytes(dir.File("b.log"), kLogB);
    sim = std::make_unique<Sim>(dir, "b.log", true);
    watcher = testing::Spawn(args, out);
    sim->Say("plug");
    ASSERT_TRUE(WaitUntil([&] { return lines("done").size() == 5; }, 30s)) << ReadBytes(out);
    const auto added = JsonLines(ReadBytes(out));
    ASSERT_EQ(added.size(), 1u);
    EXPECT_EQ(lines("done").back(), added[0]["id"]);
    stop(watcher, SIGTERM);
}

// --test-call beside a running watcher of the same instance: the broker gets
// the marked call as a new call (call, event, last, and the hub's configs), the
// command gets it with DIALSCOPE_TEST_CALL=1; the watcher keeps its connection
// and status, and no history is touched.
TEST(WatchCli, TestCallReachesBrokerAndCommand) {
    Broker b;
    ASSERT_TRUE(b.ok);
    TempDir dir;
    setenv("DIALSCOPE_SYSFS_ROOT", dir.File("no-sys").c_str(), 1);
    setenv("DIALSCOPE_MQTT_PASSWORD", Broker::kPassword, 1);
    setenv("OUT", dir.path().c_str(), 1);
    const std::string url = "mqtt://watcher@127.0.0.1:" + std::to_string(b.port);
    Subscriber keeper(b, "#");
    ASSERT_TRUE(keeper.ready);
    pid_t watcher = testing::Spawn({DIALSCOPE_CLI, "--history", dir.File("watcher.sqlite3"), "watch", "--mqtt", url,
                                    "--instance-id", "hall"},
                                   dir.File("watcher.out"));
    ASSERT_TRUE(WaitUntil([&] { return !keeper.On("dialscope/hall/status").empty(); })) << ReadBytes(dir.File("watcher.out"));

    const std::string out = dir.File("test.out");
    const int code = testing::Run({DIALSCOPE_CLI, "--history", dir.File("sub/calls.sqlite3"), "watch", "--test-call",
                                   "--mqtt", url, "--instance-id", "hall", "--discovery-prefix", "hub", "--exec",
                                   "sh -c 'echo \"$DIALSCOPE_TEST_CALL $DIALSCOPE_CALL_ID\" > \"$OUT/env\"; cat > \"$OUT/json\"'"},
                                  out);
    EXPECT_EQ(code, 0) << ReadBytes(out);
    EXPECT_NE(ReadBytes(out).find("MQTT broker 127.0.0.1: test call published.\nCommand: ran, exit status 0.\n"),
              std::string::npos)
        << ReadBytes(out);
    const auto sent = nlohmann::json::parse(ReadBytes(dir.File("json")));
    const std::string id = sent["id"];
    EXPECT_EQ(id.rfind("hall-test-", 0), 0u) << id;
    EXPECT_EQ(sent["test"], true);
    EXPECT_EQ(sent["text"], "Dialscope test call");
    EXPECT_EQ(ReadBytes(dir.File("env")), "1 " + id + "\n");
    ASSERT_TRUE(WaitUntil([&] { return !keeper.On("dialscope/hall/last").empty(); })) << keeper.Text();
    ASSERT_EQ(keeper.On("dialscope/hall/call").size(), 1u);
    EXPECT_EQ(nlohmann::json::parse(keeper.On("dialscope/hall/call")[0]), sent);
    const auto event = nlohmann::json::parse(keeper.On("dialscope/hall/event").at(0));
    EXPECT_EQ(event["event_type"], "call");
    EXPECT_EQ(event["id"], id);
    EXPECT_EQ(event["test"], true);
    EXPECT_EQ(nlohmann::json::parse(keeper.On("dialscope/hall/last").back())["id"], id);
    EXPECT_FALSE(keeper.On("hub/event/dialscope_hall/call/config").empty());
    EXPECT_EQ(keeper.On("dialscope/hall/status"), std::vector<std::string>{"online"});
    EXPECT_EQ(ReadBytes(b.dir.File("broker.log")).find("already connected"), std::string::npos)
        << "the test call pushed the watcher off the broker";
    EXPECT_FALSE(std::filesystem::exists(dir.File("sub"))) << "the test call touched the history";
    kill(watcher, SIGTERM);
    waitpid(watcher, nullptr, 0);

    // Nothing to send to, or an output that does not take it: said, and not 0.
    EXPECT_EQ(testing::Run({DIALSCOPE_CLI, "watch", "--test-call"}, out), 2);
    EXPECT_EQ(testing::Run({DIALSCOPE_CLI, "watch", "--test-call", "--exec", "false"}, out), 1);
    EXPECT_NE(ReadBytes(out).find("Command: ran, exit status 1."), std::string::npos) << ReadBytes(out);
    unsetenv("DIALSCOPE_MQTT_PASSWORD");
}

// Bad options and configuration files are exit status 2 with words that say where.
TEST(WatchCli, BadOptionsNameTheirPlace) {
    TempDir dir;
    WriteBytes(dir.File("bad.conf"), "mqtt_url = \"mqtt://h\"\ncolour = \"red\"\n");
    WriteBytes(dir.File("junk.pem"), "not a certificate\n");
    struct Case {
        std::vector<std::string> args;
        std::string words, more = {};
    } cases[] = {
        {{"--config", dir.File("bad.conf")}, dir.File("bad.conf") + " line 2", "colour"},
        {{"--mqtt", "http://broker"}, "http://broker"},
        {{"--mqtt", "mqtt://h", "--instance-id", "a/b"}, "a/b"},
        {{"--mqtt", "mqtt://h", "--mqtt-password-file", dir.File("none")}, dir.File("none")},
        {{"--exec", "'unclosed"}, "--exec"},
        {{"--mqtt", "mqtts://h", "--mqtt-ca-file", dir.File("junk.pem")}, dir.File("junk.pem"), "holds no certificate"},
        {{"--mqtt", "mqtt://h", "--mqtt-ca-file", dir.File("junk.pem")}, "--mqtt-ca-file is for a TLS broker",
         "mqtt://h:1883/dialscope is plain mqtt://"},
        {{"--mqtt", "mqtt://h/" + std::string(70000, 'p')}, "65,535 bytes"},
        {{"--mqtt", "mqtt://h", "--discovery-prefix", "hub/+"}, "The discovery prefix has '+', '#'"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {DIALSCOPE_CLI, "--history", dir.File("h.sqlite3"), "watch"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const std::string out = dir.File("out.txt");
        WriteBytes(out, "");
        EXPECT_EQ(testing::Run(args, out), 2) << c.args[0];
        EXPECT_NE(ReadBytes(out).find(c.words), std::string::npos) << ReadBytes(out);
        EXPECT_NE(ReadBytes(out).find(c.more), std::string::npos) << ReadBytes(out);
    }
}

// Each limit is the same on the command line and in the configuration file: a
// value at either end is taken from both, one just beyond is refused by both
// (exit status 2) with words naming the option or the file and key it came from.
TEST(WatchCli, LimitsAreTheSameForTheCommandLineAndTheFile) {
    TempDir dir;
    setenv("DIALSCOPE_SYSFS_ROOT", dir.File("no-sys").c_str(), 1);
    struct Case {
        std::string option, key;
        std::vector<std::string> inside, outside;
        bool quoted = false;
    } cases[] = {
        {"--every", "every_minutes", {"1", "10080"}, {"0", "10081", "1.5"}},
        {"--keep-days", "keep_days", {"1", "36500"}, {"0", "36501"}},
        {"--exec-timeout", "exec_timeout_seconds", {"0.1", "86400"}, {"0.09", "86400.5"}},
        {"--instance-id", "instance_id", {std::string(64, 'k')}, {std::string(65, 'k')}, true},
    };
    const std::string conf = dir.File("watch.conf"), out = dir.File("out.txt");
    // The test call runs the command once and touches neither a port nor the history.
    const std::vector<std::string> base = {DIALSCOPE_CLI, "--history", dir.File("h.sqlite3"), "watch", "--test-call"};
    auto run = [&](std::vector<std::string> more) {
        std::vector<std::string> args = base;
        args.insert(args.end(), more.begin(), more.end());
        WriteBytes(out, "");
        return testing::Run(args, out);
    };
    for (const auto& c : cases) {
        for (const auto& value : c.inside) {
            SCOPED_TRACE(c.option + " " + value.substr(0, 10));
            EXPECT_EQ(run({"--exec", "true", c.option, value}), 0) << ReadBytes(out);
            WriteBytes(conf, "exec = \"true\"\n" + c.key + " = " + (c.quoted ? "\"" + value + "\"" : value) + "\n");
            EXPECT_EQ(run({"--config", conf}), 0) << ReadBytes(out);
        }
        for (const auto& value : c.outside) {
            SCOPED_TRACE(c.option + " " + value.substr(0, 10));
            EXPECT_EQ(run({"--exec", "true", c.option, value}), 2);
            EXPECT_NE(ReadBytes(out).find(c.option), std::string::npos) << ReadBytes(out);
            WriteBytes(conf, "exec = \"true\"\n" + c.key + " = " + (c.quoted ? "\"" + value + "\"" : value) + "\n");
            EXPECT_EQ(run({"--config", conf}), 2);
            EXPECT_NE(ReadBytes(out).find(conf + " line 2: '" + c.key + "'"), std::string::npos) << ReadBytes(out);
        }
    }
    unsetenv("DIALSCOPE_SYSFS_ROOT");
}

// A broker that refuses the watcher: the reason on stderr in plain words, and
// the watcher goes on (and ends with 0 on SIGTERM).
TEST(WatchCli, RefusedByTheBrokerSaysWhy) {
    Broker b;
    ASSERT_TRUE(b.ok);
    TempDir dir;
    setenv("DIALSCOPE_SYSFS_ROOT", dir.File("no-sys").c_str(), 1);
    setenv("DIALSCOPE_MQTT_PASSWORD", "wrong", 1);
    WriteBytes(dir.File("password"), std::string(Broker::kPassword) + "\n");
    chmod(dir.File("password").c_str(), 0600);
    struct Case {
        std::vector<std::string> args;
        std::string words;
    } cases[] = {
        {{"--mqtt", "mqtt://watcher@127.0.0.1:" + std::to_string(b.port)}, "refused the user name or password."},
        {{"--mqtt", "mqtts://watcher@localhost:" + std::to_string(b.tlsPort), "--mqtt-password-file",
          dir.File("password"), "--mqtt-ca-file", b.OtherCa()},
         "presented a certificate that could not be verified"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {DIALSCOPE_CLI, "--history", dir.File("h.sqlite3"), "watch",
                                         "--instance-id", "hall"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const std::string out = dir.File("out.txt");
        WriteBytes(out, "");
        pid_t watcher = testing::Spawn(args, out);
        EXPECT_TRUE(WaitUntil([&] { return ReadBytes(out).find(c.words) != std::string::npos; })) << ReadBytes(out);
        kill(watcher, SIGTERM);
        int status = -1;
        ASSERT_EQ(waitpid(watcher, &status, 0), watcher);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ReadBytes(out);
    }
}

// The service's credential (LoadCredential=) comes before the environment and
// the configuration file; a blank one (the unit's fallback when no password
// file is there) is no password, and the next source is used.
TEST(WatchCli, PasswordFromTheServiceCredential) {
    Broker b;
    ASSERT_TRUE(b.ok);
    TempDir dir;
    setenv("DIALSCOPE_SYSFS_ROOT", dir.File("no-sys").c_str(), 1);
    setenv("CREDENTIALS_DIRECTORY", dir.File("credentials").c_str(), 1);
    mkdir(dir.File("credentials").c_str(), 0700);
    WriteBytes(dir.File("wrong"), "wrong\n");
    WriteBytes(dir.File("watch.conf"), "mqtt_password_file = \"" + dir.File("wrong") + "\"\n");
    const std::string right = Broker::kPassword;
    struct Case {
        std::string credential, env;
    } cases[] = {
        {right + "\n", "wrong"},
        {right, ""},  // no line end, no environment: the file in watch.conf is not read
        {"\n", right},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string instance = "hall" + std::to_string(++n);
        SCOPED_TRACE(instance);
        WriteBytes(dir.File("credentials/mqtt-password"), c.credential);
        if (c.env.empty()) unsetenv("DIALSCOPE_MQTT_PASSWORD");
        else setenv("DIALSCOPE_MQTT_PASSWORD", c.env.c_str(), 1);
        Subscriber status(b, "dialscope/" + instance + "/status");
        ASSERT_TRUE(status.ready);
        const std::string out = dir.File("out.txt");
        WriteBytes(out, "");
        pid_t watcher = testing::Spawn({DIALSCOPE_CLI, "--history", dir.File("h.sqlite3"), "watch", "--config",
                                        dir.File("watch.conf"), "--instance-id", instance, "--mqtt",
                                        "mqtt://watcher@127.0.0.1:" + std::to_string(b.port)},
                                       out);
        EXPECT_TRUE(WaitUntil([&] { return !status.On("dialscope/" + instance + "/status").empty(); }))
            << ReadBytes(out);
        kill(watcher, SIGTERM);
        int exit = -1;
        ASSERT_EQ(waitpid(watcher, &exit, 0), watcher);
        EXPECT_EQ(ReadBytes(out).find("refused"), std::string::npos) << ReadBytes(out);
    }
    unsetenv("CREDENTIALS_DIRECTORY");
    unsetenv("DIALSCOPE_MQTT_PASSWORD");
}

// The example installed for the service reads, and so does every setting in it
// once uncommented.
TEST(WatchCli, ShippedConfigurationReads) {
    const std::string shipped = DIALSCOPE_SOURCE_DIR "/data/dialscope/watch.conf";
    publish::WatchSettings config;
    std::string error;
    ASSERT_TRUE(publish::ReadWatchConfig(shipped, &config, &error)) << error;
    EXPECT_FALSE(config.mqttUrl);
    std::istringstream in(ReadBytes(shipped));
    std::string line, all;
    while (std::getline(in, line)) {
        const auto eq = line.find(" = ");
        all += (line.size() > 1 && line[0] == '#' && std::islower(line[1]) && eq != std::string::npos ? line.substr(1) : line) + "\n";
    }
    TempDir dir;
    WriteBytes(dir.File("all.conf"), all);
    ASSERT_TRUE(publish::ReadWatchConfig(dir.File("all.conf"), &config, &error)) << error;
    EXPECT_TRUE(config.mqttUrl && config.exec && config.everyMinutes && config.instanceId);
}

}  // namespace
}  // namespace dialscope

// `serve --collect`: two real watchers, each downloading from its own simulated
// box, publish to a real broker; serve keeps every call once in its own history,
// with the watcher's instance, through its own absence and a broker restart that
// loses every queued message. What serve keeps is read through /api/calls.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <nlohmann/json.hpp>

#include "tests/publish/rig.h"
#include "tests/publish/sim.h"

namespace dialscope {
namespace {

using testing::Broker;
using testing::ReadBytes;
using testing::Reap;
using testing::Sim;
using testing::TempDir;
using testing::WaitUntil;
using testing::WriteBytes;
using namespace std::chrono_literals;

// The body of GET path on a loopback port; empty when nothing answers.
std::string Get(int port, const std::string& path) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        const std::string request =
            "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n";
        if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
            char buf[65536];
            ssize_t n;
            while ((n = read(fd, buf, sizeof buf)) > 0) reply.append(buf, static_cast<size_t>(n));
        }
    }
    close(fd);
    const size_t body = reply.find("\r\n\r\n");
    return body == std::string::npos ? std::string() : reply.substr(body + 4);
}

// A box's memory: `calls` calls with texts "<name> <n>".
std::string BoxLog(const std::string& name, int calls) {
    std::string log = "label 0 HOME\n";
    for (int i = 1; i <= calls; ++i)
        log += "record 0 A 07 15 24 09 " + std::string(i < 10 ? "0" : "") + std::to_string(i) + " " + name + " " +
               std::to_string(i) + "\n";
    return log;
}

struct Box {
    TempDir dir;
    std::string instance;
    std::unique_ptr<Sim> sim;
    pid_t watcher = -1;
    int downloads = 0;
    ~Box() { Reap(watcher, SIGTERM); }

    // The box plugged in with `calls` calls, then its watcher started: the first download.
    bool Watch(int brokerPort, int calls) {
        const std::string log = std::to_string(++downloads) + ".log";
        WriteBytes(dir.File(log), BoxLog(instance, calls));
        sim = std::make_unique<Sim>(dir, log, false);
        if (!WaitUntil([&] { return sim->Output().find("plugged ") != std::string::npos; })) return false;
        setenv("DIALSCOPE_SYSFS_ROOT", dir.File("sys").c_str(), 1);
        setenv("DIALSCOPE_DEV_ROOT", dir.File("dev").c_str(), 1);
        watcher = testing::Spawn({DIALSCOPE_CLI, "--history", dir.File("calls.sqlite3"), "watch", "--mqtt",
                                  "mqtt://watcher@127.0.0.1:" + std::to_string(brokerPort), "--instance-id", instance},
                                 dir.File("watch.out"));
        return Printed(calls);
    }
    bool Printed(int calls) {
        return WaitUntil([&] { return testing::JsonLines(ReadBytes(dir.File("watch.out"))).size() == size_t(calls); },
                         30s);
    }
    // The box's memory holds `calls` calls now; the watcher downloads them on the replug.
    bool Download(int calls) {
        const std::string log = std::to_string(++downloads) + ".log";
        WriteBytes(dir.File(log), BoxLog(instance, calls));
        if (sim) {
            sim->Say("unplug");
            if (!sim->Quit()) return false;
        }
        sim = std::make_unique<Sim>(dir, log, true);
        sim->Say("plug");
        return Printed(calls);
    }
};

struct Serve {
    TempDir& dir;
    int brokerPort, webPort = testing::FreePort();
    pid_t pid = -1;
    ~Serve() { Reap(pid, SIGTERM); }
    void Start() {
        pid = testing::Spawn({DIALSCOPE_CLI, "--history", dir.File("serve.sqlite3"), "serve", "--listen",
                              "127.0.0.1:" + std::to_string(webPort), "--no-auth", "--collect",
                              "mqtt://watcher@127.0.0.1:" + std::to_string(brokerPort)},
                             dir.File("serve.out"));
    }
    // "Kept N new calls ...: LIVE as they were published, AGAIN sent again on request."
    std::pair<int, int> Stop() {
        kill(pid, SIGTERM);
        int status = -1;
        waitpid(pid, &status, 0);
        pid = -1;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        const std::string out = ReadBytes(dir.File("serve.out"));
        const size_t at = out.rfind("Kept ");
        int all = -1, live = -1, again = -1;
        if (at != std::string::npos)
            std::sscanf(out.c_str() + at, "Kept %d new calls from the watchers: %d as they were published, %d", &all,
                        &live, &again);
        return {live, again};
    }
    // Each call serve keeps as "instance text", and how many times.
    std::map<std::string, int> Calls() const {
        std::map<std::string, int> out;
        const auto j = nlohmann::json::parse(Get(webPort, "/api/calls?limit=1000"), nullptr, false);
        if (!j.is_object() || !j["calls"].is_array()) return out;
        for (const auto& c : j["calls"])
            ++out[(c["instance"].is_string() ? c["instance"].get<std::string>() : "-") + " " + c["text"].get<std::string>()];
        return out;
    }
};

// Every call of both boxes up to the counts, each once.
std::map<std::string, int> Expected(int kitchen, int hall) {
    std::map<std::string, int> out;
    for (int i = 1; i <= kitchen; ++i) out["kitchen kitchen " + std::to_string(i)] = 1;
    for (int i = 1; i <= hall; ++i) out["hall hall " + std::to_string(i)] = 1;
    return out;
}

TEST(CollectCli, EveryCallOnceThroughServesAbsenceAndABrokerThatForgot) {
    Broker b(false);  // a restart forgets every queued and retained message
    ASSERT_TRUE(b.ok) << ReadBytes(b.dir.File("broker.log"));
    setenv("DIALSCOPE_MQTT_PASSWORD", Broker::kPassword, 1);
    TempDir dir;
    Box kitchen, hall;
    kitchen.instance = "kitchen";
    hall.instance = "hall";

    // Calls from before serve's first session: only a replay has them.
    ASSERT_TRUE(kitchen.Watch(b.port, 3));
    ASSERT_TRUE(hall.Watch(b.port, 2));
    Serve serve{dir, b.port};
    serve.Start();
    ASSERT_TRUE(WaitUntil([&] { return serve.Calls() == Expected(3, 2); }, 30s)) << ReadBytes(dir.File("serve.out"));
    // A call downloaded while serve runs comes as published.
    ASSERT_TRUE(hall.Download(3));
    ASSERT_TRUE(WaitUntil([&] { return serve.Calls() == Expected(3, 3); }, 30s)) << ReadBytes(dir.File("serve.out"));
    const auto first = serve.Stop();
    EXPECT_EQ(first.first + first.second, 6);
    EXPECT_GE(first.second, 5) << "the calls from before the first session came by replay";

    // serve away, the broker stays: its persistent session queues the calls.
    {
        testing::Subscriber seen(b, "dialscope/+/call");  // the broker has them before serve is back
        ASSERT_TRUE(seen.ready);
        ASSERT_TRUE(kitchen.Download(5));
        ASSERT_TRUE(hall.Download(4));
        ASSERT_TRUE(WaitUntil([&] {
            return seen.On("dialscope/kitchen/call").size() == 2 && seen.On("dialscope/hall/call").size() == 1;
        }));
    }
    serve.Start();
    ASSERT_TRUE(WaitUntil([&] { return serve.Calls() == Expected(5, 4); }, 30s)) << ReadBytes(dir.File("serve.out"));
    const auto second = serve.Stop();
    EXPECT_EQ(second, std::make_pair(3, 0)) << "the persistent session's queue brought them";

    // serve away, and the broker restarted without its store: the queue is gone.
    {
        // Taken by the broker (no watcher sends them again after its restart).
        testing::Subscriber seen(b, "dialscope/+/call");
        ASSERT_TRUE(seen.ready);
        ASSERT_TRUE(kitchen.Download(7));
        ASSERT_TRUE(hall.Download(6));
        ASSERT_TRUE(WaitUntil([&] {
            return seen.On("dialscope/kitchen/call").size() == 2 && seen.On("dialscope/hall/call").size() == 2;
        }));
    }
    b.Stop(SIGTERM);
    ASSERT_TRUE(b.Start());
    serve.Start();
    ASSERT_TRUE(WaitUntil([&] { return serve.Calls() == Expected(7, 6); }, 60s)) << ReadBytes(dir.File("serve.out"));
    const auto third = serve.Stop();
    EXPECT_EQ(third, std::make_pair(0, 4)) << "only the replay can bring them";
    // What the session brought and what only the replay did.
    std::printf("[ figures ] before the first session: %d as published, %d replayed\n", first.first, first.second);
    std::printf("[ figures ] serve away, broker kept its queue: %d as published, %d replayed\n", second.first,
                second.second);
    std::printf("[ figures ] serve away, broker restarted without its store: %d as published, %d replayed\n",
                third.first, third.second);

    // Garbled and hostile messages: each is left out with a line on stderr, and
    // serve and the watcher go on.
    std::string everyByte;
    for (int c = 1; c < 256; ++c) everyByte.push_back(static_cast<char>(c));
    WriteBytes(dir.File("bytes"), everyByte);
    const std::string ok = R"({"id":"kitchen-900","received":"2026-12-08T10:16:00.123Z","label":"HOME","letter":"A",)"
                           R"("date_raw":[7,15,24],"time_raw":[9,5],"text":"x","text_hex":"78","tone_only":false})";
    auto with = [&](const std::string& from, const std::string& to) {
        std::string s = ok;
        return s.replace(s.find(from), from.size(), to);
    };
    struct Case {
        std::string topic, payload;  // payload "@bytes": every byte value
    } cases[] = {
        {"dialscope/kitchen/call", "not json"},
        {"dialscope/kitchen/call", "@bytes"},
        {"dialscope/kitchen/call", "[1,2]"},
        {"dialscope/kitchen/call", with("kitchen-900", "hall-900")},
        {"dialscope/kitchen/call", with("kitchen-900", "kitchen-99999999999999999999")},
        {"dialscope/kitchen/call", with("kitchen-900", "kitchen-0")},
        {"dialscope/kitchen/call", with("2026-12-08T10:16:00.123Z", "yesterday")},
        {"dialscope/kitchen/call", with(R"("letter":"A")", R"("letter":"E")")},
        {"dialscope/kitchen/call", with("[7,15,24]", "[7,15,1e400]")},
        {"dialscope/kitchen/call", with("[7,15,24]", "[7,15,-1]")},
        {"dialscope/kitchen/call", with(R"("text_hex":"78")", R"("text_hex":"zz")")},
        {"dialscope/kitchen/call", with(R"("label":"HOME")", R"("label":"NINE CHARS")")},
        {"dialscope/kitchen/call", with("false}", "\"no\"}")},
        {"dialscope/kitchen/call", std::string(300 * 1024, '{')},
        {"dialscope/ki tchen/status", "online"},
    };
    int ignored = 0;
    auto lines = [&](const std::string& file, const std::string& what) {
        const std::string text = ReadBytes(file);
        int n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    };
    serve.Start();
    ASSERT_TRUE(WaitUntil([&] { return serve.Calls() == Expected(7, 6); }, 30s));
    for (const Case& c : cases) {
        std::vector<std::string> pub = {"mosquitto_pub", "-h", "127.0.0.1", "-p", std::to_string(b.port), "-u",
                                        Broker::kUser, "-P", Broker::kPassword, "-q", "1", "-t", c.topic};
        if (c.payload == "@bytes") pub.insert(pub.end(), {"-f", dir.File("bytes")});
        else if (c.payload.size() > 1000) {
            WriteBytes(dir.File("big"), c.payload);
            pub.insert(pub.end(), {"-f", dir.File("big")});
        } else pub.insert(pub.end(), {"-m", c.payload});
        ASSERT_EQ(testing::Run(pub), 0);
        ++ignored;
        EXPECT_TRUE(WaitUntil([&] { return lines(dir.File("serve.out"), "Ignored a message on") >= ignored; }, 10s))
            << c.topic << " " << c.payload.substr(0, 200);
        ignored = lines(dir.File("serve.out"), "Ignored a message on");
    }
    // Requests to a watcher that are no requests: ignored, the watcher answers the next.
    const std::string request = "dialscope/kitchen/replay/request";
    for (const std::string& payload :
         {std::string("{\"after\":-1,\"reply_to\":\"dialscope/kitchen/replay/x\"}"),
          std::string("{\"after\":1e300,\"reply_to\":\"dialscope/kitchen/replay/x\"}"),
          std::string("{\"after\":0,\"reply_to\":\"dialscope/hall/call\"}"),
          std::string("{\"after\":0,\"reply_to\":\"dialscope/kitchen/replay/#\"}"), everyByte}) {
        const int before = lines(kitchen.dir.File("watch.out"), "Ignored a replay request");
        ASSERT_EQ(testing::Run({"mosquitto_pub", "-h", "127.0.0.1", "-p", std::to_string(b.port), "-u", Broker::kUser,
                                "-P", Broker::kPassword, "-q", "1", "-t", request, "-m", payload}),
                  0);
        EXPECT_TRUE(WaitUntil([&] { return lines(kitchen.dir.File("watch.out"), "Ignored a replay request") > before; }))
            << payload.substr(0, 100);
    }
    // The one well-formed call among them is kept; nothing else was.
    ASSERT_EQ(testing::Run({"mosquitto_pub", "-h", "127.0.0.1", "-p", std::to_string(b.port), "-u", Broker::kUser,
                            "-P", Broker::kPassword, "-q", "1", "-t", "dialscope/kitchen/call", "-m", ok}),
              0);
    auto expected = Expected(7, 6);
    expected["kitchen x"] = 1;
    EXPECT_TRUE(WaitUntil([&] { return serve.Calls() == expected; }, 10s));
    EXPECT_EQ(kill(kitchen.watcher, 0), 0) << "the watcher ended";
    serve.Stop();
}

}  // namespace
}  // namespace dialscope

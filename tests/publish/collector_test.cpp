// The collector of `serve --collect` against the watcher's own publishing code,
// each over a real history, through a real broker. What serve keeps, and the
// mark its replay asks after, are read from its file with SQLite itself.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <mutex>
#include <nlohmann/json.hpp>

#include "history/call_history.h"
#include "history/retention.h"
#include "publish/collector.h"
#include "publish/publishing.h"
#include "tests/publish/rig.h"

namespace dialscope::publish {
namespace {

using testing::Broker;
using testing::TempDir;
using testing::WaitUntil;
using namespace std::chrono_literals;

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string Url(const Broker& b, const std::string& prefix) {
    return "mqtt://watcher@127.0.0.1:" + std::to_string(b.port) + "/" + prefix;
}

MqttOptions Options(const Broker& b, const std::string& prefix) {
    MqttOptions o;
    o.url = ParseMqttUrl(Url(b, prefix)).url;
    o.password = Broker::kPassword;
    o.discoveryPrefix.clear();
    return o;
}

// Lines said by a part that runs on threads of its own.
struct Said {
    std::mutex mu;
    std::vector<std::string> lines;
    void operator()(const std::string& line) {
        std::lock_guard<std::mutex> lock(mu);
        lines.push_back(line);
    }
    bool Has(const std::string& part) {
        std::lock_guard<std::mutex> lock(mu);
        for (const auto& l : lines)
            if (l.find(part) != std::string::npos) return true;
        return false;
    }
    std::string All() {
        std::lock_guard<std::mutex> lock(mu);
        std::string all;
        for (const auto& l : lines) all += l + "\n";
        return all;
    }
};

// Another client on the broker: sends anything, and keeps what comes on its filters.
struct Client {
    std::mutex mu;
    std::vector<std::pair<std::string, std::string>> got;
    std::unique_ptr<MqttPublisher> mqtt;
    Client(const Broker& b, const std::string& prefix, const std::string& id, std::vector<std::string> filters = {}) {
        MqttOptions o = Options(b, prefix);
        o.collector = true;  // no status, no will
        o.clientId = id;
        o.subscriptions = std::move(filters);
        mqtt = std::make_unique<MqttPublisher>(o, nullptr, nullptr);
        mqtt->SetReceiver([this](const std::string& topic, const std::string& payload) {
            std::lock_guard<std::mutex> lock(mu);
            got.emplace_back(topic, payload);
        });
        std::string error;
        EXPECT_TRUE(mqtt->Start(&error)) << error;
        EXPECT_TRUE(WaitUntil([&] { return mqtt->Connected(); }));
    }
    std::vector<std::string> Got(const std::string& topic) {
        std::lock_guard<std::mutex> lock(mu);
        std::vector<std::string> out;
        for (const auto& m : got)
            if (m.first == topic) out.push_back(m.second);
        return out;
    }
    // Answers' ends seen since the last Forget.
    size_t Replies() {
        std::lock_guard<std::mutex> lock(mu);
        size_t n = 0;
        for (const auto& m : got) n += m.second.find("\"end\":true") != std::string::npos;
        return n;
    }
    void Forget() {
        std::lock_guard<std::mutex> lock(mu);
        std::erase_if(got, [](const auto& m) { return m.second.find("\"end\":true") != std::string::npos; });
    }
};

// The watcher's publishing over a history of its own, ticked here as the
// watcher's main loop ticks it.
struct Watcher {
    TempDir dir;
    std::string instance;
    MqttOptions mqtt;
    std::unique_ptr<history::CallHistory> history;
    InstanceName name;
    Said said;
    std::unique_ptr<Publishing> publishing;
    int calls = 0;
    std::atomic<int64_t> shiftMs{0};  // the box's calls received this much before now

    Watcher(const Broker& b, const std::string& prefix, std::string id, int before)
        : instance(id), mqtt(Options(b, prefix)), name(id) {
        std::string problem;
        history::OpenOptions open;
        open.nowMs = [this] { return NowMs() - shiftMs.load(); };
        history = history::CallHistory::Open(dir.File("calls.sqlite3"), &problem, open);
        EXPECT_TRUE(history) << problem;
        Download(before);  // owed to no broker: kept before it was configured
        PublishPlan plan;
        plan.instance = instance;
        plan.mqtt = mqtt;
        publishing = std::make_unique<Publishing>(plan, history.get(), history::DateOrder::MDY, &name, std::ref(said));
        EXPECT_TRUE(publishing->Start(&problem)) << problem;
    }
    // `n` more calls from the box; those in `quiet` are marked as published
    // already, as if the broker had lost them.
    void Download(int n, const std::vector<int64_t>& quiet = {}) {
        history->BeginDownload("/dev/ttyUSB0");
        for (int i = 0; i < n; ++i) {
            CallRecord f;
            f.label = {'H', 'O', 'M', 'E', ' ', ' ', ' ', ' '};
            ++calls;
            f.dateTime = {7, 15, 26, static_cast<int16_t>(calls / 60 % 24), static_cast<int16_t>(calls % 60)};
            f.text = instance + " " + std::to_string(calls);
            f.hasText = true;
            history->AddRecord(f);
        }
        history->EndDownload(history::DownloadEnd::Completed);
        history->Flush();
        for (int64_t id : quiet) history->MarkPublished(mqtt.url.Target(), id);
        history->TakeNewCalls();
        if (publishing) Tick(true);
    }
    void Tick(bool offer = false) {
        std::vector<history::StoredCall> fresh(offer ? 1 : 0);
        publishing->Tick(fresh);
    }
};

// serve's side: the collector over a history of its own.
struct Serve {
    TempDir dir;
    std::string path = dir.File("serve.sqlite3");
    Said said;
    std::unique_ptr<Collector> collector;
    Serve(const Broker& b, const std::string& prefix, std::size_t maxUnsaved = kMaxUnsaved) {
        std::string problem;
        EXPECT_TRUE(history::CallHistory::Open(path, &problem)) << problem;  // made as serve makes it first
        collector = std::make_unique<Collector>(Options(b, prefix), path, std::ref(said), maxUnsaved);
        EXPECT_TRUE(collector->Start(&problem)) << problem;
    }
    // One number from the file (0 when there is none).
    int64_t Number(const std::string& sql) const {
        sqlite3* db = nullptr;
        int64_t n = 0;
        sqlite3_stmt* st = nullptr;
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
            sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
            n = sqlite3_column_int64(st, 0);
        sqlite3_finalize(st);
        sqlite3_close(db);
        return n;
    }
    int64_t Mark(const std::string& instance) const {
        return Number("SELECT through FROM collected WHERE instance = '" + instance + "'");
    }
    // How many of the watcher's calls 1..n are kept, each once.
    int64_t Kept(const std::string& instance, int64_t from, int64_t to) const {
        return Number("SELECT count(DISTINCT source_id) FROM records WHERE instance = '" + instance +
                      "' AND source_id BETWEEN " + std::to_string(from) + " AND " + std::to_string(to));
    }
};

std::string IsoIn(std::chrono::milliseconds from) {
    const auto t = std::chrono::system_clock::now() + from;
    const std::time_t s = std::chrono::system_clock::to_time_t(t);
    std::tm tm{};
    gmtime_r(&s, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S.000Z", &tm);
    return buf;
}

std::string ACall(const std::string& id, const std::string& received) {
    return R"({"id":")" + id + R"(","received":")" + received +
           R"(","label":"HOME","letter":"A","date_raw":[7,15,24],"time_raw":[9,5],"text":"x","text_hex":"78","tone_only":false})";
}

class Collecting : public ::testing::Test {
protected:
    static void SetUpTestSuite() { broker = new Broker(); }
    static void TearDownTestSuite() {
        delete broker;
        broker = nullptr;
    }
    static Broker* broker;
};
Broker* Collecting::broker = nullptr;

// Live calls 1..6 in a row; a forged far number, a time from the future; call
// 10 live with 7..9 lost; 7..9 by the replay; the watcher's pruned 12..14
// settled by a whole answer; serve's month-old calls 10..16 pruned: the mark
// stays, and they do not come back.
TEST_F(Collecting, TheMarkMovesOnlyOverCallsThatCameInARowOrThatAnAnswerSettled) {
    ASSERT_TRUE(broker->ok);
    const std::string prefix = "mark";
    Watcher kitchen(*broker, prefix, "kitchen", 6);
    Serve serve(*broker, prefix);
    Client other(*broker, prefix, "other", {prefix + "/kitchen/replay/request", prefix + "/kitchen/replay/+"});
    auto asked = [&] { return other.Got(prefix + "/kitchen/replay/request").size(); };
    auto lastAfter = [&] {
        return nlohmann::json::parse(other.Got(prefix + "/kitchen/replay/request").back()).value("after", int64_t{-1});
    };
    auto tick = [&](const std::function<bool()>& done) {
        return WaitUntil([&] {
            kitchen.Tick();
            return done();
        });
    };
    ASSERT_TRUE(tick([&] { return serve.Kept("kitchen", 1, 6) == 6 && serve.Mark("kitchen") == 6; }))
        << serve.said.All() << kitchen.said.All();

    // One message with a far number: kept, and it moves nothing.
    other.mqtt->Send(prefix + "/kitchen/call", ACall("kitchen-999999999999", IsoIn(0ms)));
    // A watcher's clock a little ahead is taken; far ahead, refused with a line.
    other.mqtt->Send(prefix + "/kitchen/call", ACall("kitchen-500", IsoIn(9min)));
    other.mqtt->Send(prefix + "/kitchen/call", ACall("kitchen-501", IsoIn(11min)));
    ASSERT_TRUE(tick([&] {
        return serve.Kept("kitchen", 999999999999, 999999999999) == 1 && serve.Kept("kitchen", 500, 500) == 1 &&
               serve.said.Has("Ignored a message on mark/kitchen/call: its received time is more than 10 minutes "
                              "ahead of this machine's clock.");
    })) << serve.said.All();
    EXPECT_EQ(serve.Kept("kitchen", 501, 501), 0);

    // 7..9 lost on the way, 10 live (received a month ago): kept beyond the gap, the mark stays.
    kitchen.Download(3, {7, 8, 9});
    kitchen.shiftMs = int64_t{30} * 24 * 3600 * 1000;
    kitchen.Download(1);
    ASSERT_TRUE(tick([&] { return serve.Kept("kitchen", 10, 10) == 1; })) << serve.said.All();
    EXPECT_EQ(serve.Mark("kitchen"), 6);

    // The watcher's calls 12..14 pruned there; 11..16 never went out live.
    kitchen.Download(6, {11, 12, 13, 14, 15, 16});
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(kitchen.dir.File("calls.sqlite3").c_str(), &db), SQLITE_OK);
        sqlite3_busy_timeout(db, 5000);
        EXPECT_EQ(sqlite3_exec(db, "DELETE FROM records WHERE id BETWEEN 12 AND 14", nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
    }
    // Back online: asked after 6, the answer brings 7..16 but 12..14, and ends.
    const size_t before = asked();
    other.mqtt->Send(prefix + "/kitchen/status", "online");
    ASSERT_TRUE(tick([&] { return asked() > before; }));
    EXPECT_EQ(lastAfter(), 6);
    ASSERT_TRUE(tick([&] { return serve.Mark("kitchen") == 16; }))
        << serve.Mark("kitchen") << "\n" << serve.said.All();
    EXPECT_EQ(serve.Kept("kitchen", 1, 16), 13);

    // The month-old calls 10..16 pruned from serve's history: asked after 16
    // still, they do not come back.
    history::PruneResult pruned;
    std::string problem;
    ASSERT_TRUE(history::PruneHistory(serve.path, NowMs() - int64_t{20} * 24 * 3600 * 1000, &pruned,
                                      &problem, 5000))
        << problem;
    ASSERT_EQ(pruned.calls, 4);  // 10, 11, 15 and 16
    kitchen.shiftMs = 0;
    const size_t again = asked();
    other.Forget();
    other.mqtt->Send(prefix + "/kitchen/status", "online");
    ASSERT_TRUE(tick([&] { return asked() > again; }));
    EXPECT_EQ(lastAfter(), 16);
    // The answer is in once call 17, sent after it by the same client, is.
    ASSERT_TRUE(tick([&] { return other.Replies() > 0; }));
    kitchen.Download(1);
    ASSERT_TRUE(tick([&] { return serve.Kept("kitchen", 17, 17) == 1; })) << serve.said.All();
    EXPECT_EQ(serve.Kept("kitchen", 10, 16), 0);
    EXPECT_EQ(serve.Mark("kitchen"), 17);
}

// 1,201 calls from before serve's first session: three pages of one answer.
TEST_F(Collecting, AWatcherOwingSeveralPagesDeliversThemAll) {
    ASSERT_TRUE(broker->ok);
    const std::string prefix = "pages";
    const int owed = 2 * static_cast<int>(kReplayPage) + 201;
    Watcher hall(*broker, prefix, "hall", owed);
    Serve serve(*broker, prefix);
    EXPECT_TRUE(WaitUntil(
        [&] {
            hall.Tick();
            return serve.Mark("hall") == owed;
        },
        30s))
        << serve.Kept("hall", 1, owed) << "\n" << serve.said.All() << hall.said.All();
    EXPECT_EQ(serve.Kept("hall", 1, owed), owed);
}

// serve's history locked by another program while 20 calls come, 5 of which
// fit its queue: the 15 left out are asked for once it takes the 5.
TEST_F(Collecting, CallsLeftOutWhileTheHistoryWasBusyAreAskedForAgain) {
    ASSERT_TRUE(broker->ok);
    const std::string prefix = "busy";
    Client other(*broker, prefix, "other", {prefix + "/attic/replay/+"});
    Watcher attic(*broker, prefix, "attic", 0);
    Serve serve(*broker, prefix, 5);
    ASSERT_TRUE(WaitUntil([&] {  // the first answer (nothing) is in
        attic.Tick();
        return other.Replies() > 0;
    }));
    sqlite3* lock = nullptr;
    ASSERT_EQ(sqlite3_open(serve.path.c_str(), &lock), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(lock, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    attic.Download(20);
    const bool leftOut = WaitUntil([&] {
        attic.Tick();
        return serve.said.Has("those after them are asked for again");
    });
    sqlite3_exec(lock, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(lock);
    ASSERT_TRUE(leftOut) << serve.said.All();
    EXPECT_TRUE(WaitUntil(
        [&] {
            attic.Tick();
            return serve.Kept("attic", 1, 20) == 20;
        },
        20s))
        << serve.Kept("attic", 1, 20) << "\n" << serve.said.All();
    EXPECT_EQ(serve.Mark("attic"), 20);
}

}  // namespace
}  // namespace dialscope::publish

// `watch` as a service runs it: two boxes' memories that share calls, seen
// through unplug and replug, print each call once; SIGTERM and SIGINT end it
// cleanly, with every printed call kept.
#include <csignal>

#include "tests/cli/cli_support.h"

namespace dialscope::cli::test {
namespace {

std::vector<nlohmann::json> JsonLines(const std::string& text) {
    std::vector<nlohmann::json> lines;
    size_t at = 0, nl;
    while ((nl = text.find('\n', at)) != std::string::npos) {
        lines.push_back(nlohmann::json::parse(text.substr(at, nl - at)));
        at = nl + 1;
    }
    return lines;
}

devsim::CallLog Slice(const devsim::CallLog& log, size_t from, size_t to) {
    devsim::CallLog part = log;
    part.records.assign(log.records.begin() + from, log.records.begin() + to);
    return part;
}

TEST(CliWatch, PrintsOnlyNewCallsAcrossReplugsAndEndsOnSigterm) {
    const devsim::CallLog all = devsim::GenerateCallLog(6, 11);
    Scratch s;
    const std::string out = s.File("watch.out"), err = s.File("watch.err");
    auto sim = std::make_unique<Sim>(s, std::vector<std::string>{"--log", LogFile(s, "a.txt", Slice(all, 0, 4)), "--fast"});
    Process watch({DIALSCOPE_CLI_PATH, "--history", s.File("h"), "watch", "--instance-id", "desk"}, s.Env(), out, err);
    auto printed = [&] { return JsonLines(ReadAll(out)).size(); };
    auto said = [&](const std::string& line) { return CountLines(ReadAll(err), "dialscope-cli: " + line); };

    ASSERT_TRUE(WaitFor([&] { return printed() == 4; })) << ReadAll(err);
    // Another box with an overlapping memory: only its two calls are new.
    sim.reset();
    sim = std::make_unique<Sim>(s, std::vector<std::string>{"--log", LogFile(s, "b.txt", Slice(all, 2, 6)), "--fast"}, 2);
    ASSERT_TRUE(WaitFor([&] { return said("History: 2 new calls, 2 already kept.") == 1; })) << ReadAll(err);
    // Unplugged and plugged again: the same memory, nothing new.
    sim->Control("unplug");
    ASSERT_TRUE(WaitFor([&] { return said("Device Remove.") == 2; })) << ReadAll(err);
    sim->Control("plug");
    ASSERT_TRUE(WaitFor([&] { return said("History: 0 new calls, 4 already kept.") == 1; })) << ReadAll(err);

    const auto lines = JsonLines(ReadAll(out));
    ASSERT_EQ(lines.size(), 6u);
    for (size_t i = 0; i < lines.size(); ++i) {
        EXPECT_EQ(lines[i]["text_hex"], Hex(all.records[i].text)) << i;
        EXPECT_EQ(lines[i]["id"], "desk-" + std::to_string(i + 1));  // the call id the broker gets too
        EXPECT_EQ(lines[i]["download"], i < 4 ? 1 : 2);
    }
    kill(watch.pid(), SIGTERM);
    EXPECT_EQ(watch.Wait(3s), 0) << ReadAll(err);
    EXPECT_EQ(KeptCalls(s, s.File("h")).size(), 6u);
}

TEST(CliWatch, SigintMidDownloadEndsAtOnceWithEveryPrintedCallKept) {
    Scratch s;
    // At the line's rate: about four seconds of records.
    Sim sim(s, {"--records", "40", "--seed", "2"});
    const std::string out = s.File("watch.out"), err = s.File("watch.err");
    Process watch({DIALSCOPE_CLI_PATH, "--history", s.File("h"), "watch"}, s.Env(), out, err);
    ASSERT_TRUE(WaitFor([&] { return sim.Count("download 1 start") == 1; })) << sim.Events();
    std::this_thread::sleep_for(1s);
    kill(watch.pid(), SIGINT);
    EXPECT_EQ(watch.Wait(2s), 0) << ReadAll(err);
    EXPECT_EQ(sim.Count("download 1 end"), 0) << "the download ended before the signal; nothing was tested";
    // What was printed is what the history keeps: the calls of the cut
    // download are kept and printed, none twice.
    const auto printed = JsonLines(ReadAll(out));
    const auto kept = KeptCalls(s, s.File("h"));
    EXPECT_GT(printed.size(), 0u);
    EXPECT_EQ(printed.size(), kept.size());
}

}  // namespace
}  // namespace dialscope::cli::test

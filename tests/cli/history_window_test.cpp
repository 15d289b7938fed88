// The window program keeps the history too: two downloads of overlapping
// memories through the real program (its test entry saves each finished
// download and quits) leave each call in the history once.
#include "tests/cli/cli_support.h"

namespace dialscope::cli::test {
namespace {

TEST(CliHistory, WindowProgramKeepsEachCallOnce) {
    const devsim::CallLog all = devsim::GenerateCallLog(7, 9);
    Scratch s;
    std::vector<std::string> env = s.Env();
    env.push_back("QT_QPA_PLATFORM=offscreen");
    env.push_back("DIALSCOPE_TEST_SAVE_TO=" + s.File("saved.txt"));
    const std::pair<size_t, size_t> memories[] = {{0, 5}, {2, 7}};
    int n = 0;
    std::string saved;
    for (auto [from, to] : memories) {
        devsim::CallLog log = all;
        log.records.assign(all.records.begin() + from, all.records.begin() + to);
        ++n;
        Sim sim(s, {"--log", LogFile(s, "log.txt", log), "--fast", "--expect", s.File("expected.txt")}, n);
        saved += SavedBytes(ReadAll(s.File("expected.txt")));
        Process window({DIALSCOPE_WINDOW_PATH, "--history", s.File("h")}, env, s.File("window.out"),
                       s.File("window.err"));
        EXPECT_EQ(window.Wait(30s), 0) << ReadAll(s.File("window.err"));
    }
    EXPECT_EQ(ReadAll(s.File("saved.txt")), saved);
    const auto kept = KeptCalls(s, s.File("h"));
    ASSERT_EQ(kept.size(), all.records.size());
    std::vector<std::string> want, got;
    for (const auto& r : all.records) want.push_back(Hex(r.text) + std::to_string(r.time[0] * 100 + r.time[1]));
    for (const auto& c : kept)
        got.push_back(c["text_hex"].get<std::string>() +
                      std::to_string(c["time_raw"][0].get<int>() * 100 + c["time_raw"][1].get<int>()));
    std::sort(want.begin(), want.end());
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, want);
}

}  // namespace
}  // namespace dialscope::cli::test

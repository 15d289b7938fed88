// The console program killed mid-download: every record it had rendered is
// in the history. stderr is a terminal here, so the program reports its
// progress there, which tells the test how many records it had rendered.
#include <fcntl.h>
#include <stdlib.h>

#include <algorithm>
#include <csignal>
#include <regex>

#include "tests/cli/cli_support.h"

namespace dialscope::cli::test {
namespace {

std::string Key(const std::string& textHex, int d1, int d2, int d3, int t1, int t2) {
    return textHex + "@" + std::to_string(d1) + "/" + std::to_string(d2) + "/" + std::to_string(d3) + " " +
           std::to_string(t1) + ":" + std::to_string(t2);
}

TEST(CliHistory, KilledMidDownloadKeepsEveryRenderedRecord) {
    Scratch s;
    const devsim::CallLog log = devsim::GenerateCallLog(40, 4);
    Sim sim(s, {"--log", LogFile(s, "calls.txt", log)});  // at the line's rate

    const int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    fcntl(master, F_SETFL, O_NONBLOCK);
    std::string terminal;
    auto rendered = [&] {
        char buf[1024];
        for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;) terminal.append(buf, static_cast<size_t>(n));
        static const std::regex progress(R"(dialscope-cli: (\d+) records, (\d+) bytes, (\d+) s)");
        int records = -1;
        for (std::sregex_iterator it(terminal.begin(), terminal.end(), progress), end; it != end; ++it)
            records = std::stoi((*it)[1]);
        return records;
    };
    {
        Process cli({DIALSCOPE_CLI_PATH, "--history", s.File("h"), "download"}, s.Env(), s.File("cli.out"),
                    ptsname(master));
        ASSERT_TRUE(WaitFor([&] { return rendered() >= 5; })) << terminal;
        kill(cli.pid(), SIGKILL);
        EXPECT_EQ(cli.Wait(5s), 128 + SIGKILL);
    }
    const int shown = rendered();
    close(master);
    ASSERT_LT(shown, 40) << "the download ended before the kill; nothing was tested";

    // The history holds the first records of the log, at least as many as
    // the progress line had counted.
    const auto kept = KeptCalls(s, s.File("h"));
    EXPECT_GE(static_cast<int>(kept.size()), shown);
    std::vector<std::string> want, got;
    for (size_t i = 0; i < kept.size() && i < log.records.size(); ++i) {
        const devsim::CallRecord& r = log.records[i];
        want.push_back(Key(Hex(r.text), r.date[0], r.date[1], r.date[2], r.time[0], r.time[1]));
    }
    for (const auto& c : kept)
        got.push_back(Key(c["text_hex"], c["date_raw"][0], c["date_raw"][1], c["date_raw"][2], c["time_raw"][0],
                          c["time_raw"][1]));
    std::sort(want.begin(), want.end());
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, want);
}

}  // namespace
}  // namespace dialscope::cli::test

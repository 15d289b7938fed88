// The window with the call history attached to its Core: each download ends
// with one status line counting new and known calls, and a history that
// cannot be written says so in the status box while the log goes on.
#include <sqlite3.h>

#include <QTextBlock>

#include "history/history_store.h"
#include "record/render_record.h"
#include "tests/app/temp_dir.h"
#include "tests/app/window_fixture.h"

namespace dialscope::testing {
namespace {

class HistoryStatusTest : public WindowTest {
protected:
    // One download of records named by their texts, as the protocol hands it out.
    void Download(const std::vector<std::string>& texts) {
        WindowOps& ops = core->programOps();
        ops.DownloadStarted();
        int n = 0;
        for (const std::string& text : texts) {
            CallRecord r;
            r.label = {'H', 'O', 'M', 'E', ' ', ' ', ' ', ' '};
            r.dateTime = {7, 15, 26, 9, 0};
            r.text = text;
            r.hasText = true;
            const std::string rendered = RenderRecord(r, ++n);
            AppendRecord(rendered);
            ops.RecordOutput(r, rendered);
        }
        ops.DownloadEnded(DownloadEnd::Completed);
    }
    std::string LastStatus() { return Info()->document()->lastBlock().text().toStdString(); }
};

TEST_F(HistoryStatusTest, EachDownloadSaysNewAndKeptAndAFileProblemReachesTheStatusBox) {
    TempDir dir;
    int64_t now = 1796724000000;
    history::OpenOptions options;
    options.nowMs = [&] { return now; };
    std::string problem;
    history::HistoryStore store(history::CallHistory::Open(dir.File("calls.sqlite3"), &problem, options));
    Make();
    core->AttachStore(&store);
    // Whoever waits for the end (the console program exits on it) finds the summary already said.
    std::string shownAtEnd;
    core->Subscribe(Listen([&](const event::DownloadEnded&) { shownAtEnd = LastStatus(); }));
    // The faces that word it their own way hear what kind of trouble it is.
    std::vector<StoreTrouble> troubles;
    core->Subscribe(Listen([&](const event::StoreProblem& p) { troubles.push_back(p.kind); }));

    Download({"ALICE", "BOB"});
    EXPECT_EQ(LastStatus(), "History: 2 new calls, 0 already kept.");
    EXPECT_EQ(shownAtEnd, LastStatus());
    Download({"BOB", "CAROL"});
    EXPECT_EQ(LastStatus(), "History: 1 new call, 1 already kept.");

    // Another program holds the file: the record waits, the log goes on,
    // and after three seconds the status box says why.
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(dir.File("calls.sqlite3").c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    Download({"DAVE"});
    EXPECT_EQ(LastStatus(), "History: 0 new calls, 0 already kept. 1 record waits to be written.");
    EXPECT_NE(callLog().Bytes().find("DAVE"), std::string::npos);
    now += 3000;
    core->ComTick();
    EXPECT_EQ(LastStatus(), "The call history " + dir.File("calls.sqlite3") +
                                " has been locked by another program for more than 3 seconds. Calls are kept in "
                                "memory and written when it is free.");
    EXPECT_EQ(troubles, std::vector<StoreTrouble>{StoreTrouble::Locked});
    ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);
    for (int i = 0; i < 10; ++i) core->ComTick();
    EXPECT_EQ(store.history().CountCalls(), 4);
    core->AttachStore(nullptr);
}

}  // namespace
}  // namespace dialscope::testing

#include "app/save_log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <future>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

#include "tests/app/temp_dir.h"

namespace dialscope {
namespace {

using namespace std::chrono_literals;
using testing::ReadBytes;
using testing::TempDir;
using testing::WriteBytes;

const std::string kRecord =
    "001 HOME     A 12/31 23:59\r\n"
    "    5551234\r\n";

TEST(SaveLog, EveryLfBecomesCrLf) {
    EXPECT_EQ(ToFileLineEnds(kRecord),
              "001 HOME     A 12/31 23:59\r\r\n    5551234\r\r\n");
    EXPECT_EQ(ToFileLineEnds("a\nb"), "a\r\nb");
    EXPECT_EQ(ToFileLineEnds("\xE9\r"), "\xE9\r");
    EXPECT_EQ(ToFileLineEnds(""), "");
}

TEST(SaveLog, CreatesThenAppendsKeepingEarlierContent) {
    TempDir dir;
    const std::string file = dir.File("calls.txt");

    ASSERT_TRUE(AppendTextToFile(kRecord, file));
    const std::string once = "001 HOME     A 12/31 23:59\r\r\n    5551234\r\r\n";
    EXPECT_EQ(ReadBytes(file), once);

    ASSERT_TRUE(AppendTextToFile(kRecord, file));
    EXPECT_EQ(ReadBytes(file), once + once);

    const std::string other = dir.File("other.txt");
    WriteBytes(other, "earlier notes\r\n");
    ASSERT_TRUE(AppendTextToFile(kRecord, other));
    EXPECT_EQ(ReadBytes(other), "earlier notes\r\n" + once);
}

TEST(SaveLog, LargeLogIsWrittenWhole) {
    TempDir dir;
    std::string log;
    for (int i = 0; i < 20000; ++i) log += kRecord;
    ASSERT_TRUE(AppendTextToFile(log, dir.File("big.txt")));
    EXPECT_EQ(ReadBytes(dir.File("big.txt")), ToFileLineEnds(log));
}

// Every write call takes only part of what it is offered, splitting CR LF
// pairs and records: the file must still get each byte once, in order, after
// what it held before.
TEST(SaveLog, ShortWritesGoOnFromWhereTheyStopped) {
    TempDir dir;
    const std::string file = dir.File("calls.txt");
    WriteBytes(file, "earlier\r\n");
    std::string log;
    for (int i = 0; i < 50; ++i) log += kRecord;
    for (size_t limit : {1, 7, 1000}) {
        LimitWriteSizeForTesting(limit);
        const bool ok = AppendTextToFile(log, file);
        LimitWriteSizeForTesting(0);
        EXPECT_TRUE(ok) << limit;
    }
    const std::string once = ToFileLineEnds(log);
    EXPECT_EQ(ReadBytes(file), "earlier\r\n" + once + once + once);
}

TEST(SaveLog, FailuresAreReportedAndNothingIsTruncated) {
    TempDir dir;
    // No such directory: neither open can create the file.
    EXPECT_FALSE(AppendTextToFile(kRecord, dir.File("missing/calls.txt")));
    EXPECT_FALSE(std::filesystem::exists(dir.File("missing")));

    // The parent is a regular file.
    WriteBytes(dir.File("plain"), "keep");
    EXPECT_FALSE(AppendTextToFile(kRecord, dir.File("plain") + "/calls.txt"));
    EXPECT_EQ(ReadBytes(dir.File("plain")), "keep");

    // A directory by the chosen name: the create-only fallback must not
    // touch it either.
    std::filesystem::create_directory(dir.File("folder.txt"));
    EXPECT_FALSE(AppendTextToFile(kRecord, dir.File("folder.txt")));
    EXPECT_TRUE(std::filesystem::is_directory(dir.File("folder.txt")));

    // Opens fine, refuses every write even for root.
    EXPECT_FALSE(AppendTextToFile(kRecord, "/proc/version"));

    // Opens fine, the write fails for lack of space.
    EXPECT_FALSE(AppendTextToFile(kRecord, "/dev/full"));
}

// A FIFO chosen as the file: the save never holds the window for good, a
// reader that reads gets every byte, and a reader that goes away makes the
// save fail instead of ending the program with SIGPIPE.
TEST(SaveLog, FifoNeverHoldsTheSaveAndAReaderGetsEveryByte) {
    std::string log;  // several times a pipe's 64 KiB: the save must wait for the reader
    for (int i = 0; i < 6000; ++i) log += kRecord;
    enum class Reader { kNone, kReadsAll, kNeverReads, kLeavesAfterOneRead };
    const struct {
        const char* what;
        Reader reader;
        bool ok;
    } cases[] = {
        {"no reader", Reader::kNone, false},
        {"a reader that reads", Reader::kReadsAll, true},
        {"a reader that never reads", Reader::kNeverReads, false},
        {"a reader that leaves", Reader::kLeavesAfterOneRead, false},
    };
    LimitStallForTesting(100ms);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const std::string fifo = dir.File("calls.txt");
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        int rd = -1, keep = -1;
        if (c.reader != Reader::kNone) {
            rd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
            ASSERT_GE(rd, 0);
            ASSERT_EQ(fcntl(rd, F_SETFL, 0), 0);
            // A writer of the test's own, so that the reader sees the end only
            // when the test lets it go, never before the save has opened.
            keep = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            ASSERT_GE(keep, 0);
        }
        std::string got;
        std::thread reader;
        if (c.reader == Reader::kReadsAll || c.reader == Reader::kLeavesAfterOneRead) {
            reader = std::thread([&, leaves = c.reader == Reader::kLeavesAfterOneRead] {
                char buf[4096];
                for (ssize_t n; (n = read(rd, buf, sizeof buf)) > 0;) {
                    if (leaves) break;  // gone after its first read
                    got.append(buf, size_t(n));
                }
                if (leaves) close(std::exchange(rd, -1));
            });
        }
        auto save = std::async(std::launch::async, [&] { return AppendTextToFile(log, fifo); });
        if (save.wait_for(5s) != std::future_status::ready) {
            ADD_FAILURE() << "the save was still blocked after 5 s";
            const int release = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
            char buf[65536];
            while (save.wait_for(1ms) != std::future_status::ready) (void)!read(release, buf, sizeof buf);
            close(release);
        }
        EXPECT_EQ(save.get(), c.ok);
        if (keep >= 0) close(keep);
        if (reader.joinable()) reader.join();
        if (rd >= 0) close(rd);
        if (c.reader == Reader::kReadsAll) {
            EXPECT_TRUE(got == ToFileLineEnds(log)) << got.size() << " bytes arrived";
        }
    }
    LimitStallForTesting(0ms);
}

}  // namespace
}  // namespace dialscope

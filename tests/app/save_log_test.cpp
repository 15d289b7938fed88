#include "app/save_log.h"

#include <filesystem>

#include <gtest/gtest.h>

#include "tests/app/temp_dir.h"

namespace dialscope {
namespace {

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

}  // namespace
}  // namespace dialscope

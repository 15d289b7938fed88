// The call history's Windows file system side, on the real Win32 API under
// Wine: paths, the default place, folders with names beyond the code page,
// refusing what is no history, and the pending file's lock.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "history/call_history.h"
#include "history/file_system.h"
#include "history/pending_file.h"

namespace dialscope::history {
namespace {

// A new folder under the temporary folder, removed with what it holds.
class TempFolder {
public:
    TempFolder() {
        wchar_t base[MAX_PATH];
        GetTempPathW(MAX_PATH, base);
        path_ = Utf8(base) + "dialscope-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(next_++);
        CreateDirectoryW(Wide(path_).c_str(), nullptr);
    }
    ~TempFolder() {
        std::wstring from = Wide(path_);
        from.push_back(L'\0');  // the list of paths ends in an empty one
        SHFILEOPSTRUCTW op{};
        op.wFunc = FO_DELETE;
        op.pFrom = from.c_str();
        op.fFlags = FOF_NO_UI;
        SHFileOperationW(&op);
    }
    std::string File(const std::string& name) const { return path_ + "\\" + name; }
    static std::wstring Wide(const std::string& s) {
        std::wstring w(s.size() + 1, L'\0');
        w.resize(static_cast<size_t>(MultiByteToWideChar(CP_UTF8, 0, s.c_str(), -1, w.data(), static_cast<int>(w.size()))) - 1);
        return w;
    }
    static std::string Utf8(const std::wstring& w) {
        std::string s(w.size() * 4 + 1, '\0');
        s.resize(static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, w.c_str(), -1, s.data(), static_cast<int>(s.size()), nullptr, nullptr)) - 1);
        return s;
    }

private:
    std::string path_;
    static inline int next_ = 0;
};

TEST(HistoryWin32, PathsAsSqliteAndTheFolderTakeThem) {
    const struct {
        const char* path;
        const char* folder;
        const char* uri;
    } cases[] = {
        {"C:\\Users\\a\\calls.sqlite3", "C:\\Users\\a", "/C:/Users/a/calls.sqlite3"},
        {"C:\\calls.sqlite3", "C:\\", "/C:/calls.sqlite3"},
        {"C:calls.sqlite3", "C:", "/C:calls.sqlite3"},
        {"Z:/tmp/x.sqlite3", "Z:/tmp", "/Z:/tmp/x.sqlite3"},
        {"\\\\server\\share\\calls.sqlite3", "\\\\server\\share", "//server/share/calls.sqlite3"},
        {"calls.sqlite3", ".", "calls.sqlite3"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(files::Dirname(c.path), c.folder) << c.path;
        EXPECT_EQ(files::UriPath(c.path), c.uri) << c.path;
    }
}

TEST(HistoryWin32, DefaultPlaceIsTheUsersLocalApplicationData) {
    std::string problem;
    const std::string path = CallHistory::DefaultPath(&problem);
    EXPECT_EQ(problem, "");
    const char* local = std::getenv("LOCALAPPDATA");
    ASSERT_NE(local, nullptr);
    EXPECT_EQ(path, std::string(local) + "\\Dialscope\\calls.sqlite3");
}

TEST(HistoryWin32, MadeInNewFoldersNamedBeyondTheCodePageAndOpenedAgain) {
    TempFolder temp;
    const std::string path = temp.File("\xce\xa9\xce\xbc\xce\xad\xce\xb3\xce\xb1\\\xe6\x97\xa5\xe6\x9c\xac\\calls.sqlite3");  // Ωμέγα, 日本
    std::string problem;
    {
        auto history = CallHistory::Open(path, &problem);
        ASSERT_TRUE(history) << problem;
        EXPECT_TRUE(history->writable());
        EXPECT_FALSE(history->TakeWarning());  // its folder's list protects it
    }
    EXPECT_NE(GetFileAttributesW(TempFolder::Wide(path).c_str()), INVALID_FILE_ATTRIBUTES);
    auto again = CallHistory::Open(path, &problem);
    ASSERT_TRUE(again) << problem;
    EXPECT_TRUE(again->sound());
}

TEST(HistoryWin32, WhatIsNoHistoryIsRefusedAndLeftAsItIs) {
    TempFolder temp;
    const std::string folder = temp.File("folder"), text = temp.File("notes.txt");
    CreateDirectoryW(TempFolder::Wide(folder).c_str(), nullptr);
    const std::string notes = "not a database, but long enough to have a header of one: 0123456789012345678901234567890123456789012345678901234567890123456789";
    std::string error;
    ASSERT_TRUE(files::AppendDurably(text, notes, &error)) << error;
    const struct {
        std::string path;
        const char* says;
    } cases[] = {{folder, "is a folder, not a file"}, {text, "is not a call history"}};
    for (const auto& c : cases) {
        std::string problem;
        EXPECT_FALSE(CallHistory::Open(c.path, &problem)) << c.path;
        EXPECT_NE(problem.find(c.says), std::string::npos) << problem;
    }
    EXPECT_EQ(files::Look(text)->size, static_cast<int64_t>(notes.size()));
}

TEST(HistoryWin32, PendingFileIsTakenUnderALockAndGoneAfter) {
    TempFolder temp;
    const std::string pending = PendingPath(temp.File("calls.sqlite3"));
    PendingRecord a, b;
    a.port = "COM3";
    a.rendered = "first\r\n";
    b.port = "COM3";
    b.rendered = "second \xE9\r\n";
    std::string error;
    ASSERT_TRUE(AppendPending(pending, {a}, &error)) << error;
    ASSERT_TRUE(AppendPending(pending, {b}, &error)) << error;

    auto take = PendingTake::Open(pending, &error);
    ASSERT_TRUE(take) << error;
    ASSERT_EQ(take->records().size(), 2u);
    EXPECT_EQ(take->records()[1].rendered, b.rendered);
    // A second taker finds it locked and says so.
    EXPECT_FALSE(PendingTake::Open(pending, &error));
    EXPECT_EQ(error, "another program is taking it in");

    ASSERT_TRUE(take->Done(&error)) << error;
    take.reset();
    EXPECT_FALSE(files::Exists(pending));
    // The next spill makes a new file with only its own record.
    ASSERT_TRUE(AppendPending(pending, {a}, &error)) << error;
    take = PendingTake::Open(pending, &error);
    ASSERT_TRUE(take) << error;
    EXPECT_EQ(take->records().size(), 1u);
}

}  // namespace
}  // namespace dialscope::history

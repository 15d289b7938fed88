#include <pty.h>
#include <unistd.h>

#include <filesystem>

#include <QPushButton>

#include "tests/support/frames.h"
#include "tests/app/temp_dir.h"
#include "tests/app/window_fixture.h"

namespace dialscope {
namespace {

using testing::ReadBytes;
using testing::TempDir;
using testing::WindowTest;
using testing::WriteBytes;
using qt::TForm1;
using qt::WithDefaultSuffix;

const std::string kRecord1 = "001 HOME     A 12/31 23:59\r\n    5551234\r\n";
const std::string kRecord2 = "002 OFFICE   B 01/01 00:01\r\n    Tone only\r\n";
const std::string kRecord1InFile = "001 HOME     A 12/31 23:59\r\r\n    5551234\r\r\n";

class SaveTest : public WindowTest {
protected:
    // The save dialog answers with `answer` and remembers what it was shown.
    void Dialog(QString answer) {
        form->SetSaveDialog([this, answer](QWidget*, const QString& lastName) {
            ++dialogRuns;
            lastNames << lastName;
            if (duringDialog) duringDialog();
            return answer;
        });
    }
    QString InfoText() { return Info()->toPlainText(); }

    int dialogRuns = 0;
    QStringList lastNames;
    std::function<void()> duringDialog;
    TempDir dir;
};

TEST_F(SaveTest, EmptyLogOpensNoDialog) {
    TForm1& f = Make();
    Dialog(QString::fromStdString(dir.File("calls.txt")));
    Child<QPushButton>("InfoSave")->click();
    EXPECT_EQ(dialogRuns, 0);
    EXPECT_EQ(InfoText(), QStringLiteral("Dialscope V1.3"));

    // A log emptied by Clear counts as empty too.
    AppendRecord(kRecord1);
    f.clear_infoClick();
    f.InfoSaveClick();
    EXPECT_EQ(dialogRuns, 0);
    EXPECT_FALSE(std::filesystem::exists(dir.File("calls.txt")));
}

TEST_F(SaveTest, CancelAddsNothingAndTouchesNoFile) {
    TForm1& f = Make();
    AppendRecord(kRecord1);
    Dialog(QString());
    f.InfoSaveClick();
    EXPECT_EQ(dialogRuns, 1);
    EXPECT_EQ(InfoText(), QStringLiteral("Dialscope V1.3"));
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

TEST_F(SaveTest, SavesTwiceIntoANewFileWithTheDefaultSuffix) {
    TForm1& f = Make();
    AppendRecord(kRecord1);
    Dialog(QString::fromStdString(dir.File("calls")));
    f.InfoSaveClick();

    const QString chosen = QString::fromStdString(dir.File("calls.txt"));
    EXPECT_EQ(ReadBytes(dir.File("calls.txt")), kRecord1InFile);
    EXPECT_EQ(InfoText(), QStringLiteral("Dialscope V1.3\nSave info to: ") + chosen +
                              QStringLiteral("\nSave info OK."));

    // The second save appends the whole log again; the dialog opens at the
    // name chosen before.
    AppendRecord(kRecord2);
    Dialog(chosen);
    f.InfoSaveClick();
    EXPECT_EQ(lastNames, (QStringList{QString(), chosen}));
    EXPECT_EQ(ReadBytes(dir.File("calls.txt")),
              kRecord1InFile + kRecord1InFile +
                  "002 OFFICE   B 01/01 00:01\r\r\n    Tone only\r\r\n");
    EXPECT_TRUE(InfoText().endsWith(QStringLiteral("Save info OK.\nSave info to: ") + chosen +
                                    QStringLiteral("\nSave info OK.")));
}

TEST_F(SaveTest, ExistingContentStaysInFront) {
    TForm1& f = Make();
    WriteBytes(dir.File("old.log"), "earlier\r\n");
    AppendRecord(kRecord1);
    Dialog(QString::fromStdString(dir.File("old.log")));
    f.InfoSaveClick();
    EXPECT_EQ(ReadBytes(dir.File("old.log")), "earlier\r\n" + kRecord1InFile);
    EXPECT_FALSE(std::filesystem::exists(dir.File("old.log.txt")));
}

TEST_F(SaveTest, RecordArrivingWhileTheDialogIsOpenIsNotSaved) {
    TForm1& f = Make();
    AppendRecord(kRecord1);
    Dialog(QString::fromStdString(dir.File("calls.txt")));
    duringDialog = [&] { AppendRecord(kRecord2); };
    f.InfoSaveClick();
    EXPECT_EQ(ReadBytes(dir.File("calls.txt")), kRecord1InFile);
    EXPECT_EQ(callLog().Bytes(), kRecord1 + kRecord2);
    EXPECT_TRUE(Display()->toPlainText().endsWith(QStringLiteral("Tone only")));
}

TEST_F(SaveTest, FailuresReportSaveInfoError) {
    TForm1& f = Make();
    AppendRecord(kRecord1);

    const QString missing = QString::fromStdString(dir.File("no/such/dir/calls.txt"));
    Dialog(missing);
    f.InfoSaveClick();
    EXPECT_EQ(InfoText(), QStringLiteral("Dialscope V1.3\nSave info to: ") + missing +
                              QStringLiteral("\nsave info error."));

    // A regular file where a directory should be.
    WriteBytes(dir.File("plain.txt"), "keep");
    const QString underFile = QString::fromStdString(dir.File("plain.txt/calls.txt"));
    Dialog(underFile);
    f.InfoSaveClick();
    EXPECT_TRUE(InfoText().endsWith(QStringLiteral("Save info to: ") + underFile +
                                    QStringLiteral("\nsave info error.")));
    EXPECT_EQ(ReadBytes(dir.File("plain.txt")), "keep");

    // The log box is unchanged by a failed save.
    EXPECT_EQ(callLog().Bytes(), kRecord1);
    EXPECT_TRUE(boxes.empty());
}

// A finished download is announced after its status line, from inside the
// tick that ended it; Core's Save then appends the log with its status lines
// (the test entry of the program saves downloads this way).
TEST_F(SaveTest, DownloadEndedComesAfterItsStatusLineAndSaveAppendsTheLog) {
    Make();
    std::vector<DownloadEnd> ends;
    QString infoAtEnd;
    core->Subscribe(Listen([&](const event::DownloadEnded& e) {
        ends.push_back(e.how);
        infoAtEnd = InfoText();
    }));
    const std::string download = "1" + testing::HeaderFrame({"HOME"}) +
                                 testing::BoundaryFrame(0, 0, 12, 31, 23, 23, 59) +
                                 testing::DataFrames("5551234") + testing::BoundaryFrame(0, 0, 12, 31, 23, 23, 59) +
                                 testing::Frame('E');
    // The box behind a pseudo-terminal, on the port given by name.
    int master = -1, slave = -1;
    char path[256] = {};
    ASSERT_EQ(openpty(&master, &slave, path, nullptr, nullptr), 0);
    ASSERT_TRUE(core->UsePort(path));
    ASSERT_EQ(::write(master, download.data(), download.size()), ssize_t(download.size()));
    EXPECT_TRUE(WaitUntil([&] { return !ends.empty(); }));
    ::close(slave);
    ::close(master);

    ASSERT_EQ(ends, std::vector<DownloadEnd>{DownloadEnd::Completed});
    EXPECT_TRUE(infoAtEnd.endsWith(QStringLiteral("Message read OK.")));
    ASSERT_FALSE(callLog().Empty());
    EXPECT_NE(callLog().Bytes().find("5551234"), std::string::npos);

    const std::string file = dir.File("e2e.txt");
    EXPECT_TRUE(core->Save(file));
    std::string inFile;
    for (char c : callLog().Bytes()) inFile += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_EQ(ReadBytes(file), inFile);
    EXPECT_TRUE(lastNames.isEmpty());
    EXPECT_TRUE(InfoText().endsWith(QStringLiteral("Message read OK.\nSave info to: ") +
                                    QString::fromStdString(file) + QStringLiteral("\nSave info OK.")));
}

TEST(SaveDialogName, DefaultSuffixOnlyWithoutAnExtension) {
    EXPECT_EQ(WithDefaultSuffix("/tmp/calls"), QStringLiteral("/tmp/calls.txt"));
    EXPECT_EQ(WithDefaultSuffix("/tmp/calls.log"), QStringLiteral("/tmp/calls.log"));
    EXPECT_EQ(WithDefaultSuffix("/tmp/v1.3/calls"), QStringLiteral("/tmp/v1.3/calls.txt"));
    EXPECT_EQ(WithDefaultSuffix(QString()), QString());
}

}  // namespace
}  // namespace dialscope

#include "app/win32/shell_logic.h"

#include <gtest/gtest.h>

namespace dialscope {
namespace {

TEST(ShellLogic, StatusLinesBecomeLinesOfTheirOwn) {
    EXPECT_EQ(StatusBoxAddition("", "Dialscope V1.3"), "Dialscope V1.3");
    EXPECT_EQ(StatusBoxAddition("Dialscope V1.3", "Device Remove."), "\r\nDevice Remove.");
    // The user may have typed into the box, ending it with a line break.
    EXPECT_EQ(StatusBoxAddition("notes\r\n", "Message read OK."), "Message read OK.");
    EXPECT_EQ(StatusBoxAddition("x", ""), "\r\n");
}

TEST(ShellLogic, LogViewShowsZeroBytesAsSpacesAndKeepsTheRest) {
    const uint8_t bytes[] = {'0', '0', '1', 0x00, 0xE9, 0xFF, '\r', '\n'};
    EXPECT_EQ(LogViewText(bytes, sizeof bytes), std::string("001 \xE9\xFF\r\n"));
    EXPECT_EQ(LogViewText(bytes, 0), "");
}

TEST(ShellLogic, Mnemonics) {
    EXPECT_EQ(MnemonicOf("&Clear"), 'c');
    EXPECT_EQ(MnemonicOf("&Save"), 's');
    EXPECT_EQ(MnemonicOf("E&xit"), 'x');
    EXPECT_EQ(MnemonicOf("Fish && &Chips"), 'c');
    EXPECT_EQ(MnemonicOf("Fish && Chips"), 0);
    EXPECT_EQ(MnemonicOf("Trailing&"), 0);
    EXPECT_EQ(MnemonicOf(""), 0);
}

}  // namespace
}  // namespace dialscope

#include <gtest/gtest.h>

#include "tests/support/frames.h"

namespace dialscope::testing {
namespace {

// A harness already downloading, with the labels of the worked example.
struct Downloading : CoreHarness {
    Downloading() {
        Feed(HeaderFrame({"DESK", "", "OFFICE"}));
        EXPECT_TRUE(protocol.downloading());
        window.log.Clear();
    }
    // n calls with no text, out of sight: the next record is numbered n
    // places further on.
    void Skip(int n) {
        for (int done = 0; done < n;) {
            Bytes chunk;
            for (int i = 0; i < 150 && done < n; ++i, ++done) chunk += BoundaryFrame(0, 0, 1, 1, 1, 1, 1);
            Feed(chunk);
        }
        window.log.Clear();
    }
    std::string Record(const Bytes& text, Bytes boundary) {
        size_t before = window.log.Bytes().size();
        Bytes line = DataFrames(text) + boundary;
        for (size_t at = 0; at < line.size(); at += 1500) Feed(line.substr(at, 1500));
        return window.log.Bytes().substr(before);
    }
};

TEST(RecordText, WorkedExampleByteForByte) {
    Downloading h;
    h.Skip(2);
    std::string rec = h.Record("0123456789", Frame('B', Bytes("\x12\x07\x0F\x18\x09\x05", 6)));
    EXPECT_EQ(rec, Bytes(" 3. OFFICE  B 07/15/24 09:05\r\n"
                         "      0123456789\r\n"));

    // The next record has no text: "Tone only", with nothing left over of
    // the text before.
    rec = h.Record("", Frame('B', Bytes("\x30\x01\x02\x03\x17\x3B", 6)));
    EXPECT_EQ(rec, Bytes(" 4. DESK    D 01/02/03 23:59\r\n"
                         "     Tone only    \r\n"));
}

TEST(RecordText, NumbersLabelsAndFieldBits) {
    Downloading h;
    h.Skip(8);
    EXPECT_EQ(h.Record("x", BoundaryFrame(0, 0, 0, 9, 0, 9, 0)).substr(0, 30),
              " 9. DESK    A 00/09/00 09:00\r\n");
    EXPECT_EQ(h.Record("x", BoundaryFrame(1, 0, 1, 1, 1, 1, 1)).substr(0, 14),
              "10.         A ");  // a label of eight zero bytes shows as spaces
    h.Skip(98 - 10);
    EXPECT_EQ(h.Record("x", BoundaryFrame(2, 2, 1, 1, 1, 1, 1)).substr(0, 14), "99. OFFICE  C ");
    // Bits 6 and 7 of byte 0 change nothing: 0xD2 is label 2, letter 'B'.
    Downloading again;
    EXPECT_EQ(again.Record("x", Frame('B', Bytes("\xD2\x01\x02\x03\x04\x05", 6))).substr(0, 30),
              " 1. OFFICE  B 01/02/03 04:05\r\n");
}

TEST(RecordText, PayloadBytesAsTheyCome) {
    Downloading h;
    // Zero bytes show as spaces; CR LF in the text starts a new, unindented line.
    std::string rec = h.Record(Bytes("ab\0c\r\nnext", 10), BoundaryFrame(0, 0, 1, 2, 3, 4, 5));
    EXPECT_EQ(rec.substr(30), "      ab c\r\nnext\r\n");

    // A record whose only data frame is empty is not "Tone only".
    rec = h.Record("", Frame('P') + BoundaryFrame(0, 0, 1, 2, 3, 4, 5));
    EXPECT_EQ(rec.substr(30), "      \r\n");
}

TEST(RecordText, LongRecordIsCutAt8151Bytes) {
    Downloading h;
    Bytes text;
    for (int i = 0; i < 8200; ++i) text += char('a' + i % 26);
    std::string rec = h.Record(text, BoundaryFrame(0, 0, 1, 2, 3, 4, 5));
    ASSERT_EQ(rec.size(), 30u + 6 + 8151 + 2);
    EXPECT_EQ(rec.substr(36, 8151), text.substr(0, 8151));
    EXPECT_EQ(rec.substr(rec.size() - 2), "\r\n");
}

TEST(RecordText, BoundaryWithoutPayloadOutputsNothingAndKeepsText) {
    Downloading h;
    h.Feed(Frame('P', "first") + Frame('B'));
    EXPECT_TRUE(h.window.log.Empty());
    // The record goes on with the next letter, not 'P'.
    std::string rec = h.Record("", Frame('Q', "+more") + BoundaryFrame(0, 0, 1, 2, 3, 4, 5));
    EXPECT_EQ(rec.substr(30), "      first+more\r\n");
}

// Values the device should never send get renderings that cannot pass for
// real data, and never read outside the frame.
TEST(RecordText, OutOfRangeValuesAreMarkedUnknown) {
    Downloading h;
    // Date and time above 99.
    EXPECT_EQ(h.Record("x", BoundaryFrame(0, 0, 100, 255, 99, 160, 0)).substr(0, 30),
               " 1. DESK    A ??/??/99 ??:00\r\n");
    // Label index 8 to 15: only eight labels exist.
    EXPECT_EQ(h.Record("x", BoundaryFrame(9, 1, 1, 2, 3, 4, 5)).substr(0, 14), " 2. ????????B ");
    // A boundary frame with fewer than six payload bytes.
    EXPECT_EQ(h.Record("x", Frame('B', Bytes("\x00\x05", 2))).substr(0, 30),
              " 3. DESK    A 05/??/?? ??:??\r\n");

    // From 100 on the number fills the space after it, and from 1000 on it
    // shows as stars: the label stays in its column.
    h.Skip(99 - 3);
    EXPECT_EQ(h.Record("x", BoundaryFrame(0, 0, 1, 2, 3, 4, 5)),
              "100.DESK    A 01/02/03 04:05\r\n      x\r\n");
    h.Skip(12344 - 100);
    EXPECT_EQ(h.Record("", BoundaryFrame(2, 3, 1, 2, 3, 4, 5)),
              "***.OFFICE  D 01/02/03 04:05\r\n     Tone only    \r\n");

    // A short header frame: the labels it did not carry show as '?'.
    CoreHarness s;
    s.Feed(Frame('D', Bytes(8, '\0') + "ABC"));
    s.window.log.Clear();
    s.Feed(BoundaryFrame(0, 0, 1, 2, 3, 4, 5) + BoundaryFrame(1, 0, 1, 2, 3, 4, 5));
    EXPECT_EQ(s.window.log.Bytes().substr(4, 8), "ABC?????");
    EXPECT_EQ(s.window.log.Bytes().substr(50 + 4, 8), "????????");
}

}  // namespace
}  // namespace dialscope::testing

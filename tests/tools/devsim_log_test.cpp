#include <gtest/gtest.h>

#include <climits>

#include "protocol/crc.h"
#include "tools/devsim_log.h"
#include "tools/devsim_wire.h"

namespace dialscope::devsim {
namespace {

Label L(std::string_view s) {
    Label l{};
    for (size_t i = 0; i < s.size(); ++i) l[i] = static_cast<uint8_t>(s[i]);
    return l;
}

CallRecord Rec(uint8_t label, uint8_t letter, std::array<uint8_t, 3> date, std::array<uint8_t, 2> time,
               std::string text) {
    CallRecord r;
    r.label = label;
    r.letter = letter;
    r.date = date;
    r.time = time;
    r.text = std::move(text);
    return r;
}

TEST(DevsimRender, WorkedExampleAndToneOnly) {
    LabelSet labels{};
    labels[0] = L("DESK");
    labels[2] = L("OFFICE");
    const std::string third = RenderRecord(3, labels, Rec(2, 1, {7, 15, 24}, {9, 5}, "0123456789"));
    EXPECT_EQ(third, " 3. OFFICE  B 07/15/24 09:05\r\n      0123456789\r\n");
    EXPECT_EQ(third.size(), 48u);
    EXPECT_EQ(third.substr(0, 28), " 3. OFFICE  B 07/15/24 09:05");

    const std::string fourth = RenderRecord(4, labels, Rec(0, 3, {1, 2, 3}, {23, 59}, ""));
    EXPECT_EQ(fourth, " 4. DESK    D 01/02/03 23:59\r\n     Tone only    \r\n");
    EXPECT_EQ(fourth.size(), 50u);
}

TEST(DevsimRender, NumbersLabelsZerosAndTheTextLimit) {
    LabelSet labels{};
    labels[1] = L(std::string_view("AB\0CD", 5));
    const CallRecord r = Rec(7, 0, {0, 9, 99}, {0, 9}, "x");
    // The number takes four positions: the label, letter, date and time stand
    // where record 1 has them, whatever the number.
    const std::string first = RenderRecord(1, labels, r);
    ASSERT_EQ(first.substr(0, 30), " 1.         A 00/09/99 00:09\r\n");
    for (const auto& [number, field] : std::initializer_list<std::pair<int, const char*>>{
             {9, " 9. "}, {10, "10. "}, {99, "99. "}, {100, "100."}, {999, "999."}, {1000, "***."},
             {INT_MAX, "***."}, {0, "***."}, {INT_MIN, "***."}}) {
        EXPECT_EQ(NumberField(number), field) << number;
        EXPECT_EQ(RenderRecord(number, labels, r), field + first.substr(4)) << number;
    }
    // An unnamed label is eight spaces; a zero inside a label is a space.
    EXPECT_EQ(RenderRecord(1, labels, r).substr(4, 8), "        ");
    EXPECT_EQ(RenderRecord(1, labels, Rec(1, 2, {1, 1, 1}, {1, 1}, "x")).substr(4, 9), "AB CD   C");

    const std::string zeros = RenderRecord(1, labels, Rec(0, 0, {1, 1, 1}, {1, 1}, std::string("a\0b\r\nc", 6)));
    EXPECT_EQ(zeros.substr(30), std::string("      a b\r\nc\r\n"));

    // A record with text but no bytes of it (a data frame of length 0).
    EXPECT_EQ(RenderRecord(1, labels, r, true, "").substr(30), "      \r\n");

    const std::string longText(8200, 'z');
    const std::string cut = RenderRecord(1, labels, Rec(0, 0, {1, 1, 1}, {1, 1}, longText));
    EXPECT_EQ(cut.size(), 30u + 6 + 8151 + 2);
    EXPECT_EQ(cut.substr(cut.size() - 3), "z\r\n");
}

TEST(DevsimRender, DownloadNumbersFromOne) {
    CallLog log;
    log.labels[0] = L("HOME");
    log.records = {Rec(0, 0, {1, 2, 3}, {4, 5}, "a"), Rec(0, 1, {1, 2, 3}, {4, 5}, "")};
    EXPECT_EQ(RenderDownload(log),
              " 1. HOME    A 01/02/03 04:05\r\n      a\r\n 2. HOME    B 01/02/03 04:05\r\n     Tone only    \r\n");
}

TEST(DevsimLogFile, ParsesTheDocumentedFormat) {
    const std::string file =
        "# a comment\n"
        "\n"
        "label 2 OFFICE\r\n"
        "label 0 DESK\n"
        "label 5 A\\0B\\sC\n"
        "record 2 1 07 15 24 09 05 0123456789\n"
        "record 0 D 1 2 3 23 59\n"
        "record 5 A 00 00 00 00 00 one\\r\\ntwo \\x7E\\x7e\\\\\\0 end\\s\n";
    CallLog log;
    std::string error;
    ASSERT_TRUE(ParseCallLog(file, &log, &error)) << error;
    EXPECT_EQ(log.labels[2], L("OFFICE"));
    EXPECT_EQ(log.labels[5], L(std::string_view("A\0B C", 5)));
    ASSERT_EQ(log.records.size(), 3u);
    EXPECT_EQ(log.records[0], Rec(2, 1, {7, 15, 24}, {9, 5}, "0123456789"));
    EXPECT_EQ(log.records[1], Rec(0, 3, {1, 2, 3}, {23, 59}, ""));
    EXPECT_EQ(log.records[2].text, std::string("one\r\ntwo ~~\\\0 end ", 18));

    for (const char* bad : {"record 8 0 1 1 1 1 1 x\n", "record 0 E 1 1 1 1 1\n", "record 0 0 1 1 100 1 1\n",
                            "record 0 0 1 1 1 1\n", "label 1 NINECHARS\n", "record 0 0 1 1 1 1 1 \\q\n",
                            "record 0 0 1 1 1 1 1 \\x4\n", "call 1\n"}) {
        EXPECT_FALSE(ParseCallLog(std::string("label 0 X\n") + bad, &log, &error)) << bad;
        EXPECT_EQ(error.rfind("line 2: ", 0), 0u) << error;
    }
}

TEST(DevsimLogFile, GeneratedLogsSurviveTheRoundTrip) {
    for (uint64_t seed : {1, 2, 99}) {
        const CallLog log = GenerateCallLog(40, seed);
        CallLog back;
        std::string error;
        ASSERT_TRUE(ParseCallLog(FormatCallLog(log), &back, &error)) << error;
        EXPECT_EQ(back, log) << "seed " << seed;
    }
}

TEST(DevsimGenerator, DeterministicAndVaried) {
    EXPECT_EQ(GenerateCallLog(30, 5), GenerateCallLog(30, 5));
    EXPECT_NE(GenerateCallLog(30, 5), GenerateCallLog(30, 6));
    for (uint64_t seed = 1; seed <= 20; ++seed) {
        const CallLog log = GenerateCallLog(4, seed);
        ASSERT_EQ(log.records.size(), 4u);
        EXPECT_TRUE(log.records[1].text.empty());
        EXPECT_GT(log.records[2].text.size(), 15u * 76);   // spans more than 15 data frames
        EXPECT_LE(log.records[2].text.size(), 1500u);
        EXPECT_NE(log.records[2].text.find('\0'), std::string::npos);
        EXPECT_NE(log.records[2].text.find("\r\n"), std::string::npos);
        EXPECT_NE(log.records[2].text.find("~~P"), std::string::npos);
        // 0x11 and 0x13, which a tty left with XON/XOFF swallows, as an hour, a
        // day, text and checksum bytes (checked with the program's own CRC).
        EXPECT_EQ(log.records[0].time[0], 17);
        EXPECT_EQ(log.records[0].date[1], 17);
        EXPECT_EQ(log.records[1].time[0], 19);
        EXPECT_EQ(log.records[1].date[1], 19);
        EXPECT_NE(log.records[0].text.find("\x11\x13"), std::string::npos);
        EXPECT_NE(log.records[2].text.find("\x11\x13"), std::string::npos);
        bool crc11 = false, crc13 = false;
        for (const DownloadFrame& f : BuildDownloadFrames(log)) {
            std::vector<uint8_t> body = {f.frame.command, static_cast<uint8_t>(f.frame.payload.size())};
            body.insert(body.end(), f.frame.payload.begin(), f.frame.payload.end());
            const uint16_t crc = CrcBuffer(0, body.data(), static_cast<int32_t>(body.size()));
            for (uint8_t b : {static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc)}) {
                crc11 |= b == 0x11;
                crc13 |= b == 0x13;
            }
        }
        EXPECT_TRUE(crc11 && crc13) << "seed " << seed;
        for (const CallRecord& r : log.records) {
            EXPECT_LT(r.label, 8);
            EXPECT_LT(r.letter, 4);
            for (uint8_t d : r.date) EXPECT_LE(d, 99);
            for (uint8_t t : r.time) EXPECT_LE(t, 99);
        }
    }
    // A longer log mixes the kinds.
    int tone = 0, long_ = 0;
    for (const CallRecord& r : GenerateCallLog(200, 3).records) {
        tone += r.text.empty();
        long_ += r.text.size() > 1140;
    }
    EXPECT_GT(tone, 10);
    EXPECT_GT(long_, 5);
}

}  // namespace
}  // namespace dialscope::devsim

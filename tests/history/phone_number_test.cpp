// The caller's number read out of the texts the box sends, numbers as
// address books write them, and which contact names which caller.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "history/contacts.h"
#include "history/phone_number.h"

namespace dialscope::history::test {
namespace {

const std::optional<std::string> kNone;

TEST(PhoneNumber, CallerNumberFromTheBoxsTexts) {
    const struct {
        std::string text;
        std::optional<std::string> number;
    } cases[] = {
        {"5551234", "5551234"},
        {"0123456789\r\nJ SMITH", "0123456789"},                 // a name on the next line
        {"555 0100 SMITH", "5550100"},                            // a name after a blank
        {"+1 555 0100 JOHN", "+15550100"},
        {"0049 30 1234567", "+49301234567"},                      // "00": international
        {"(030) 123-45.67", "0301234567"},
        {"+44 (0)20 7946 0000", "+442079460000"},                 // the trunk "(0)" goes
        {std::string("5551234\0\0\0", 10), "5551234"},            // zero padded
        {"0301234567\x11\x13\x05", "0301234567"},                 // flow-control bytes after it
        {"  \r\nPRIVATE\r\n5551234", "5551234"},                  // the first line with a number
        {"PRIVATE", kNone},
        {"OUT OF AREA", kNone},
        {"P", kNone},
        {"", kNone},
        {"12", kNone},                                            // fewer than 3 digits
        {"#12 CALL", kNone},
        {"0800EXT", kNone},                                       // a word glued to it
        {"12/31 RING BACK", kNone},
        {"1234567890123456", kNone},                              // more than 15 digits
        {"(HOME)\r\n5551234", "5551234"},
    };
    for (const auto& c : cases) EXPECT_EQ(CallerNumber(c.text), c.number) << '"' << c.text << '"';
}

TEST(PhoneNumber, WrittenNumbersOfAddressBooksAndWhichContactNamesACaller) {
    const struct {
        const char* written;
        std::optional<std::string> number;
    } written[] = {
        {"+49 (0)30 1234567", "+49301234567"},
        {"030/1234567", "0301234567"},
        {"tel:+1-555-555-0100", "+15555550100"},
        {"+1 555 555 0100 x23", "+15555550100"},
        {"+1 555 555 0100;ext=23", "+15555550100"},
        {"00 44 20 7946 0000", "+442079460000"},
        {"call me", kNone},
        {"+", kNone},
        {"12", kNone},
    };
    for (const auto& w : written) EXPECT_EQ(ReadWrittenNumber(w.written), w.number) << w.written;

    // Exact digits first; else national with its trunk 0 against
    // international when the last 9 digits agree; of two, the newer.
    const ContactBook book({{"+49301234567", "Anna", "a.vcf", 1},
                            {"0301234567", "Anna at home", "set", 2},  // the same line, both ways
                            {"02079460000", "Old office", "b.csv", 1},
                            {"+442079460000", "London", "b.csv", 5},
                            {"+33123456789", "Paris", "b.csv", 1},
                            {"5550100", "Bob", "set", 1}});
    const struct {
        const char* text;
        std::optional<std::string> name;
    } calls[] = {
        {"+49 30 1234567", "Anna"},              // exact beats the national form's newer name
        {"030 1234567 ANNA", "Anna at home"},
        {"0049301234567", "Anna"},
        {"020 7946 0000", "Old office"},
        {"+39 020 7946 0000", "Old office"},     // only the last 9 digits count
        {"+32 1 23 45 67 89", kNone},            // international against international: no
        {"0946 0000", kNone},                    // too few digits to match across forms
        {"555-0100", "Bob"},
        {"+1 555 0100", kNone},                  // "5550100" has no trunk 0
        {"PRIVATE", kNone},
    };
    for (const auto& c : calls) EXPECT_EQ(book.NameOfCaller(c.text), c.name) << c.text;
    EXPECT_EQ(ContactBook({{"0201234567", "A", "", 1}, {"01201234567", "B", "", 2}}).NameOfCaller("+44 20 1234567"),
              "B");  // two national candidates: the one updated last
}

}  // namespace
}  // namespace dialscope::history::test

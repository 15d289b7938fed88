// Phone numbers: the caller's number read out of a record's text, numbers
// written in an address book, both in one normalised form, and the rule by
// which an address book's number names a caller.
//
// Normalised form: the digits alone; an international number (written with
// a leading "+" or "00") is "+" and its digits, the "00" dropped. Spaces,
// dashes, dots and brackets are dropped; a "(0)" after the country code of
// an international number is the national trunk digit and is dropped too
// ("+44 (0)20 7946 0000" is "+442079460000"). A number has 3 to 15 digits.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace dialscope::history {

// The caller's number in a record's text bytes, as the box sent them: the
// first line (lines end at CR, LF, NUL or any other control byte) that
// starts, after blanks, with a digit, "+" or "(" and holds a digit before
// anything else, read up to its first
// character that is no digit, blank, dash, dot or bracket. What follows the
// number must be the line's end or a blank (a name, "555 0100 SMITH"). No
// number when no line starts so, or it has fewer than 3 or more than 15
// digits, or a word is glued to it ("0800EXT").
std::optional<std::string> CallerNumber(std::string_view text);

// A number as a person writes it in an address book: the whole field must
// be a number ("+49 (0)30 123456", "030/123456", "tel:+1-555-0100"); an
// extension ("x12", "ext. 12", ";ext=12") is left off. nullopt otherwise.
std::optional<std::string> ReadWrittenNumber(std::string_view written);

// Whether two normalised numbers are the same line: equal, or one national
// (its trunk "0" first) and one international with the same last 9 digits
// ("0301234567" and "+49301234567"). Numbers of fewer than 9 digits match
// only when equal.
bool SameLine(const std::string& a, const std::string& b);

// The last 9 digits of a normalised number that may match across the
// national and international forms; empty when it is neither an
// international number nor a national one with a trunk "0", or is shorter.
std::string CrossKey(const std::string& number);

}  // namespace dialscope::history

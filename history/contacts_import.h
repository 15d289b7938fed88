// Reading address books exported by other programs: vCard files (.vcf,
// versions 2.1, 3.0 and 4.0) and CSV files with a header row (the columns
// the big webmail and desktop address books write). Pure parsing: the
// numbers come out normalised (phone_number.h), the names as UTF-8.
#pragma once

#include <string>
#include <vector>

namespace dialscope::history {

struct ImportedNumber {
    std::string number;  // normalised
    std::string name;    // UTF-8, one line, trimmed
    int line = 0;        // where its card or row starts (from 1)
};

// An entry of the file that gives no contact, and why, in plain words
// ("no phone number (card \"Ann Lee\")", "unreadable line").
struct ImportSkip {
    int line = 0;
    std::string why;
};

// The longest name kept, in characters: what the names page takes.
constexpr size_t kLongestName = 100;

struct AddressBookFile {
    enum class Kind { VCard, Csv, Unknown } kind = Kind::Unknown;
    std::vector<ImportedNumber> numbers;  // in the file's order, each number once (the first wins)
    std::vector<ImportSkip> skipped;
    // Where an entry's name was longer than kLongestName: it is cut to it.
    std::vector<int> cutLines;
    // Kind::Unknown: why the file is no address book this program reads.
    std::string problem;
};

// The file's kind is told by its content: "BEGIN:VCARD" first is a vCard
// file, anything else is read as CSV. A UTF-8 byte order mark is dropped;
// text that is not UTF-8 is read as Latin-1 (or as the vCard's CHARSET says).
AddressBookFile ReadAddressBook(const std::string& bytes);

// A name as kept: UTF-8 (bytes that are not are read as Latin-1), control
// characters and runs of blanks made one space, trimmed.
std::string CleanName(std::string_view text);
// The characters (not bytes) of UTF-8 text.
size_t Characters(std::string_view utf8);
// name (as CleanName makes it) cut to kLongestName characters, never in a
// character's middle; *cut says whether it was.
std::string CutName(const std::string& name, bool* cut);

}  // namespace dialscope::history

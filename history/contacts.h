// The history's address book: names for callers' numbers, imported from an
// address book or set one by one, and the lookup that names a call.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace dialscope::history {

struct Contact {
    std::string number;     // normalised (phone_number.h)
    std::string name;       // UTF-8, one line
    std::string source;     // the file it was imported from, or "set" (given on the command line)
    int64_t updatedAt = 0;  // unix ms UTC
};

struct ContactChanges {
    int added = 0;      // numbers not in the book before
    int updated = 0;    // numbers that had another name (or source)
    int unchanged = 0;  // numbers that had this name already
    int removed = 0;
};

// Names by number. A caller's number is named by the contact with exactly
// that number, else by one with the same line written the other way
// (national with its trunk "0" against international, the last 9 digits
// equal: SameLine); of several such, the one updated last.
class ContactBook {
public:
    ContactBook() = default;
    explicit ContactBook(std::vector<Contact> contacts);

    std::optional<std::string> NameOf(const std::string& number) const;
    // The name for a record's text (CallerNumber), none when unknown.
    std::optional<std::string> NameOfCaller(std::string_view text) const;
    bool empty() const { return contacts_.empty(); }

private:
    std::vector<Contact> contacts_;
    std::unordered_map<std::string, size_t> exact_;
    // The last 9 digits of the national and of the international numbers.
    std::unordered_map<std::string, size_t> national_, international_;
};

}  // namespace dialscope::history

// The simulated device's call log: the records it stores, how they are made
// up from a seed or read from a text file, and the exact bytes a correct
// program shows for them after a download.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace dialscope::devsim {

using Label = std::array<uint8_t, 8>;     // zero padded, a zero shows as a space
using LabelSet = std::array<Label, 8>;

struct CallRecord {
    uint8_t label = 0;               // 0..7, index into the header's labels
    uint8_t letter = 0;              // 0..3, shown as 'A'..'D'
    std::array<uint8_t, 3> date{};   // each 0..99
    std::array<uint8_t, 2> time{};   // each 0..99
    std::string text;                // raw bytes; empty: no data frame ("Tone only")
    bool operator==(const CallRecord&) const = default;
};

struct CallLog {
    LabelSet labels{};
    std::vector<CallRecord> records;
    bool operator==(const CallLog&) const = default;
};

// The program keeps at most this many text bytes of one record.
constexpr size_t kMaxShownText = 8151;

// A deterministic log: the same count and seed give the same log. Texts vary
// from empty to about 1500 bytes and carry zero bytes, CR LF pairs, bytes
// above 0x7F and 0x7E runs now and then. With four or more records the first
// four are a short text, a tone-only record, a text longer than 15 data
// frames and a medium text, so small logs already cover every kind.
CallLog GenerateCallLog(int recordCount, uint64_t seed);

// The text file format (tools/README.md). On failure returns false and puts
// "line N: what" into *error.
bool ParseCallLog(std::string_view text, CallLog* log, std::string* error);
bool LoadCallLog(const std::string& path, CallLog* log, std::string* error);
std::string FormatCallLog(const CallLog& log);

// The first four positions of a record's header line: " 7. " and "42. " for
// 1 to 99, "100." to "999." (the number fills the space), "***." for any
// other number. The label and everything after it stay in their columns.
std::string NumberField(int number);

// The bytes the program appends to its log for one record, numbered `number`.
// `hasText` false renders the "Tone only" line; true renders six spaces and
// `text` (cut at kMaxShownText, zero bytes as spaces), even when it is empty.
std::string RenderRecord(int number, const LabelSet& labels, const CallRecord& record,
                         bool hasText, std::string_view text);
inline std::string RenderRecord(int number, const LabelSet& labels, const CallRecord& record) {
    return RenderRecord(number, labels, record, !record.text.empty(), record.text);
}

// The whole log text of one undisturbed download, records numbered from 1.
std::string RenderDownload(const CallLog& log);

// Small deterministic generator (splitmix64) used for logs, noise and faults.
class Rng {
public:
    explicit Rng(uint64_t seed) : state_(seed) {}
    uint64_t Next();
    uint32_t Below(uint32_t n) { return n == 0 ? 0 : static_cast<uint32_t>(Next() % n); }
    uint32_t Between(uint32_t lo, uint32_t hi) { return lo + Below(hi - lo + 1); }
    double Unit() { return static_cast<double>(Next() >> 11) / 9007199254740992.0; }

private:
    uint64_t state_;
};

}  // namespace dialscope::devsim

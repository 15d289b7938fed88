// Material for the benchmarks: a device download as bytes on the line, and
// call records rendered exactly as the program appends them to its log.
// Deterministic: the same arguments give the same bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>


namespace dialscope::bench {

struct GeneratedDownload {
    std::string bytes;              // '1', the header frame, the records, 'E'
    int records = 0;
    size_t expectedLogBytes = 0;    // what a correct program appends in all
};

// `records` records whose texts vary in length the way a real log's do: a
// fifth tone-only, most a caller's number and name, some long messages, now
// and then one past what a record can hold; with zero bytes, CR LF pairs,
// bytes above 0x7F and 0x7E among the text.
GeneratedDownload MakeDownload(int records, uint64_t seed);

// The records of MakeDownload(count, seed) as the program renders them, one
// string per record (header line and text line, CR LF ends), produced by
// running the download through the protocol core.
std::vector<std::string> RenderedRecords(int count, uint64_t seed);

}  // namespace dialscope::bench

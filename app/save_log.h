// Appending the call log to a text file ("&Save"). No toolkit, one file per
// system for the file calls (save_log_posix.cpp, save_log_win32.cpp), and the
// line-end conversion shared, so that both builds write the same bytes.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

namespace dialscope {

// Appends text to fileName, creating the file when it does not exist, and
// writes every LF as CR LF: the log's CR LF line ends reach the file as
// CR CR LF, the way this program's saved logs have always looked. An
// existing file is never truncated. Returns true only when every byte has
// been written and the file has been flushed to disk and closed without an
// error; a full disk or any other late failure returns false.
bool AppendTextToFile(const std::string& text, const std::string& fileName);

// Appends bytes to fileName as they are, on the same terms (created when
// missing, never truncated, true only when all is on the disk). A FIFO
// without a reader fails at once; a pipe or FIFO whose reader takes none of
// the bytes for two seconds fails then (POSIX build).
bool AppendBytesToFile(const std::string& bytes, const std::string& fileName);

// The bytes AppendTextToFile writes for text.
std::string ToFileLineEnds(const std::string& text);

// A pipe, a signal or a nearly full disk may take fewer bytes than a write
// call offers; AppendTextToFile then writes the rest from where that call
// stopped. Tests make such short writes happen by limiting every write call
// to `bytes` (0: no limit, the program's setting).
void LimitWriteSizeForTesting(size_t bytes);
// How many of `count` bytes the next write call offers.
size_t WriteCallSize(size_t count);

#if !defined(_WIN32)
// Tests shorten the two seconds a pipe may take none of the bytes to `limit`
// (0: back to the program's two seconds).
void LimitStallForTesting(std::chrono::milliseconds limit);
#endif

}  // namespace dialscope

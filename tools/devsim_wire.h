// The simulated device's frames on the wire: the CRC, the frames of a
// download, a scanner for frames coming the other way, the faults that can be
// put into a download, and what a correct program shows for an undisturbed one.
//
// Kept apart from the program's own protocol code on purpose: the simulator is
// the yardstick the program is measured against.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tools/devsim_log.h"

namespace dialscope::devsim {

constexpr size_t kMaxFramePayload = 76;
constexpr size_t kHeaderPayload = 72;    // 8 unused bytes, then 8 labels of 8 bytes
constexpr double kLineRate = 5760.0;     // 57600 baud, 10 bits per byte

// CRC-16, polynomial 0x1021, MSB first, no reflection, no final XOR.
uint16_t Crc16(const uint8_t* bytes, size_t count, uint16_t crc = 0);

struct Frame {
    uint8_t command = 0;
    std::vector<uint8_t> payload;
    bool operator==(const Frame&) const = default;
};

// 7E 7E command length payload crcHi crcLo; `corruptCrc` flips the low CRC byte.
void AppendFrame(std::vector<uint8_t>* out, const Frame& frame, bool corruptCrc = false);
std::vector<uint8_t> EncodeFrame(const Frame& frame, bool corruptCrc = false);

// Where a frame of a download comes from.
struct DownloadFrame {
    Frame frame;
    int record = -1;      // index into CallLog::records; -1 for the header and end frames
    int dataIndex = -1;   // 0-based position among the record's data frames; -1 otherwise
};

// Header 'D', then per record its data frames 'P'..'^','P',... (at most
// `maxDataPayload` bytes each, none for an empty text) and its 'B' frame,
// then 'E'.
std::vector<DownloadFrame> BuildDownloadFrames(const CallLog& log, size_t maxDataPayload = kMaxFramePayload);

// The device's command bytes as the program accepts them.
bool IsDeviceCommand(uint8_t command);

// Finds frames in a byte stream: 7E 7E command length payload crc. A command
// byte that `accept` refuses, or a length above `maxPayload`, drops the frame
// and the hunt goes on; a third 7E in a row keeps the sync. Every frame that
// is complete is reported, with whether its CRC matches.
class FrameScanner {
public:
    struct Scanned {
        Frame frame;
        bool crcOk = false;
    };
    FrameScanner(size_t maxPayload, std::function<bool(uint8_t)> accept)
        : maxPayload_(maxPayload), accept_(std::move(accept)) {}
    void Feed(const uint8_t* bytes, size_t count, std::vector<Scanned>* out);
    void Reset() { state_ = State::kHunt; }
    bool MidFrame() const { return state_ != State::kHunt; }
    uint64_t Skipped() const { return skipped_; }   // bytes that were not part of a frame

private:
    enum class State { kHunt, kSync, kCommand, kLength, kPayload, kCrcHigh, kCrcLow };
    size_t maxPayload_;
    std::function<bool(uint8_t)> accept_;
    State state_ = State::kHunt;
    Frame frame_;
    size_t want_ = 0;
    uint8_t crcHigh_ = 0;
    uint64_t skipped_ = 0;
};

// Faults put into the first download the simulator sends (noise goes into
// every download). Frame indexes count the download's frames from 0 (the
// header), as BuildDownloadFrames lists them.
struct FaultOptions {
    int noiseMax = 0;              // up to this many noise bytes in every gap between frames
    bool noiseUnsafe = false;      // allow noise that can look like a frame start
    double badCrcRate = 0.0;       // share of frames sent with a wrong CRC
    int badCrcFrame = -1;          // this frame is sent with a wrong CRC
    int wrongLetterFrame = -1;     // this data frame carries the next letter instead of its own
    int silenceRecord = -1;        // stop sending within this record ...
    int silenceAfter = 0;          // ... after its k-th data frame (k >= 1) ...
    double silenceSeconds = 0.0;   // ... for this long
    long long hangupAfterByte = -1;  // close the line after this many bytes of the download
    uint64_t seed = 1;

    bool DisturbsFrames() const {
        return badCrcRate > 0 || badCrcFrame >= 0 || wrongLetterFrame >= 0 || silenceRecord >= 0 ||
               hangupAfterByte >= 0;
    }
};

// One download as the simulator puts it on the line.
struct WireItem {
    enum class Kind { kBytes, kPause, kHangUp };
    Kind kind = Kind::kBytes;
    std::vector<uint8_t> bytes;   // kBytes
    double seconds = 0.0;         // kPause
    int frame = -1;               // index into the download's frames; -1 for noise
    bool crcGood = true;          // the frame's CRC is right
    bool whole = true;            // false: a frame cut short by the hang-up
    uint8_t command = 0;          // the command byte as sent (differs on a wrong letter)
};

struct WirePlan {
    std::vector<WireItem> items;
    size_t bytes = 0;             // bytes on the line in total
};

// Lays out one download. With `withFaults` false only noise is put in.
// Returns false with *error set when a fault names a frame or record the log
// does not have.
bool PlanDownload(const std::vector<DownloadFrame>& frames, const FaultOptions& faults,
                  bool withFaults, uint64_t noiseSeed, WirePlan* plan, std::string* error);

// The log format's marks for damage, for tests that read the log: the line
// after the text of a record shown damaged, and the header line of a record
// whose closing frame was lost (after its number, "%2d. " as for every
// record).
inline constexpr const char* kShownDamagedText = "(text damaged in transfer)";
inline constexpr const char* kShownDamagedLine = "      (text damaged in transfer)\r\n";
inline constexpr const char* kUnknownHeader = "????????? ?\?/?\?/?? ??:??\r\n";

// The log a correct program shows for the first download of `plan`, when the
// line leaves every frame alone: the box's log exactly (RenderDownload).
// What a program shows for a spoiled download (a frame damaged, out of turn
// or cut off, a silence, noise long enough to have been a frame) is not
// predicted here: tests judge that log by its properties. `available` is
// false then, and `reason` says why.
struct Prediction {
    bool available = false;
    std::string reason;
    std::string log;
};

Prediction PredictProgramLog(const CallLog& log, const WirePlan& firstDownload, const FaultOptions& faults);

}  // namespace dialscope::devsim

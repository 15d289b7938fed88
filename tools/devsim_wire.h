// The simulated device's frames on the wire: the CRC, the frames of a
// download, a scanner for frames coming the other way, the faults that can be
// put into a download, and what a correct program shows for a disturbed one.
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

// The texts a correct program shows for damage on the line.
// The mark, one line after the text that arrived of a record that may be
// incomplete (six spaces, the words, CR LF):
inline constexpr const char* kShownDamagedText = "(text damaged in transfer)";
inline constexpr const char* kShownDamagedLine = "      (text damaged in transfer)\r\n";
// Status lines for text shown under a header of "?" and "??" because its
// boundary frame did not come, by what was seen instead:
inline constexpr const char* kHeaderlessAfterDamageStatus =
    "A damaged frame came where a call may have ended: the text before it is shown with its header unknown.";
inline constexpr const char* kHeaderlessOutOfTurnStatus =
    "A new call began before the last one's closing frame: that call's text is shown with its header unknown.";
inline constexpr const char* kHeaderlessAtEndStatus =
    "The log ended before the last call's closing frame: its text is shown with its header unknown.";
inline constexpr const char* kHeaderlessAtCutStatus =
    "The line went away before a call's closing frame: its text is shown with its header unknown.";
inline constexpr const char* kHeaderlessAtQuietStatus =
    "The line went quiet before a call's closing frame: its text is shown with its header unknown.";
// Status line when a damaged frame came just before an intact boundary frame
// with text collected:
inline constexpr const char* kDamageBeforeBoundaryStatus =
    "A damaged frame came just before a call's closing frame: the text shown with it may be cut short, or may "
    "belong to a call before it whose closing frame was lost.";
// Status line when a damaged frame may have been the boundary frame of a call:
inline constexpr const char* kRecordMayBeLostStatus =
    "A call record may have been lost: a damaged frame came between two calls.";
// Status lines when the line goes quiet during a download with no record
// begun (the port stays open), and when the box sends again after that:
inline constexpr const char* kStalledStatus =
    "The box has sent nothing for 4 seconds in the middle of its log: the download has stalled. Calls that "
    "still come are shown.";
inline constexpr const char* kResumedStatus = "The box went on with its log.";
// Status line at the end frame:
inline constexpr const char* kReadOkStatus = "Message read OK.";
// The header line of a record whose boundary frame was lost, after its
// number ("%2d. " as for every record):
inline constexpr const char* kUnknownHeader = "????????? ?\?/?\?/?? ??:??\r\n";

// What a correct program shows after the first download of `plan` (the
// simulator answering its polls afterwards with undisturbed downloads).
struct Prediction {
    bool available = false;       // false: timing decides; `reason` says why
    std::string reason;
    std::string log;              // the bytes appended to the program's log
    // The status lines the download dialogue appends, in order: the damage
    // lines, then kReadOkStatus at the end frame or kStalledStatus when the
    // line goes quiet instead.
    std::vector<std::string> statusLines;
    bool readOk = false;          // the program sees an end frame ("Message read OK.")
    bool endedQuiet = false;      // the download stalls on silence (kStalledStatus)
    bool secondDownload = false;  // the program had to ask again and got a clean download
    int recordsShown = 0;         // records appended to the log, damaged ones included
    int recordsDamaged = 0;       // of those, shown with kShownDamagedLine
    int recordsHeaderless = 0;    // of those, shown under the unknown header
    int recordsMaybeLost = 0;     // kRecordMayBeLostStatus lines
    // Every record shown, in order, as the program took it from the line:
    // the label bytes of its header, its fields and the text that arrived,
    // whether it is shown damaged, and which of the program's downloads it
    // came in (0, or 1 after the program gave up and asked again).
    struct ShownCall {
        bool headerKnown = true;  // false: shown under kUnknownHeader
        Label label{};
        CallRecord record;
        bool hasText = false;
        bool damaged = false;
        int download = 0;
    };
    std::vector<ShownCall> calls;
};

// A silence shorter than this never disturbs the program; one at least
// kSilenceRestart long within a begun record always makes it drop the record
// and poll again (it gives up after 40 silent ticks of 100 ms).
constexpr double kSilenceHarmless = 3.5;
constexpr double kSilenceRestart = 4.7;

Prediction PredictProgramLog(const std::vector<DownloadFrame>& frames, const WirePlan& firstDownload,
                             const FaultOptions& faults);

}  // namespace dialscope::devsim

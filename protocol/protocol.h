// The device protocol on the main thread: the frame parser run by the 100 ms
// tick and the download dialogue, which collects each call record and hands
// it out with its rendering (RenderRecord) when the record ends. Its state
// and buffers are its own; it reads received bytes through ReceivedBytes and
// reaches the window and the serial port only through WindowOps and
// SerialOps. Nothing here allocates or throws on device bytes: the record and
// its rendering have their room reserved once, when the Protocol is made.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "protocol/interfaces.h"
#include "record/call_record.h"
#include "record/render_record.h"

namespace dialscope {

// The fixed buffers, allocated once and never resized.
constexpr int kFrameBufferSize = 80;   // command, length, <= 76 payload bytes, CRC hi, CRC lo
constexpr int kMaxPayload = 76;
constexpr int kTxFrameSize = 6;
constexpr int kLabelTableSize = 64;
// The most text bytes one record keeps; the rest of a longer record is
// dropped, and the record is output cut short.
constexpr size_t kMaxRecordText = 8151;

// Dialogue states.
constexpr uint8_t kWaiting = 0;
constexpr uint8_t kPolling = 1;
constexpr uint8_t kDownloading = 2;

// Status lines for damage on the line during a download (see the rule in
// dialogue.cpp). Each says what was seen.
//
// Text whose closing frame did not come is shown under a header of "?" and
// "??", followed by the damaged-text line; these say why.
inline constexpr const char* kHeaderlessAfterDamageLine =
    "A damaged frame came where a call may have ended: the text before it is shown with its header unknown.";
inline constexpr const char* kHeaderlessOutOfTurnLine =
    "A new call began before the last one's closing frame: that call's text is shown with its header unknown.";
inline constexpr const char* kHeaderlessAtEndLine =
    "The log ended before the last call's closing frame: its text is shown with its header unknown.";
inline constexpr const char* kHeaderlessAtRefusalLine =
    "The box broke off the download before a call's closing frame: its text is shown with its header unknown.";
inline constexpr const char* kHeaderlessAtCutLine =
    "The line went away before a call's closing frame: its text is shown with its header unknown.";
inline constexpr const char* kHeaderlessAtQuietLine =
    "The line went quiet before a call's closing frame: its text is shown with its header unknown.";
// A damaged frame just before an intact closing frame: it was one of the
// call's own data frames, or the closing frame of the call before it.
inline constexpr const char* kDamageBeforeBoundaryLine =
    "A damaged frame came just before a call's closing frame: the text shown with it may be cut short, or may "
    "belong to a call before it whose closing frame was lost.";
// A damaged frame between two calls: it may have been the closing frame of a
// call with no text.
inline constexpr const char* kRecordMayBeLostLine =
    "A call record may have been lost: a damaged frame came between two calls.";
// The line went quiet in the middle of a download with no record begun. The
// port stays open: what the box still sends is shown.
inline constexpr const char* kStalledLine =
    "The box has sent nothing for 4 seconds in the middle of its log: the download has stalled. Calls that "
    "still come are shown.";
inline constexpr const char* kResumedLine = "The box went on with its log.";
inline constexpr const char* kReadOkLine = "Message read OK.";

// How a frame's start was found (frameSync).
constexpr uint8_t kSyncWhole = 0;          // 7E 7E command
constexpr uint8_t kSyncFirstDamaged = 1;   // 7E command: one sync byte damaged
constexpr uint8_t kSyncSecondDamaged = 2;  // 7E X command: the second sync byte damaged

// Silent ticks before the idle action.
constexpr uint8_t kIdleTicksLimit = 41;

class Protocol final : public LineDialogue {
public:
    Protocol(ReceivedBytes& received, WindowOps& window, SerialOps& serial)
        : received_(received), window_(window), serial_(serial) {
        record_.text.reserve(kMaxRecordText);
        rendered_.reserve(RenderedSizeLimit(kMaxRecordText));
    }

    // Command frames.
    bool SendCommand(uint8_t command);

    // The dialogue starts by polling (start-up).
    void BeginPolling();
    // LineDialogue: a newly opened port.
    void StartOnNewLine() override;
    bool DeviceAnswered() const override { return s_.deviceAnswered != 0; }
    // The port was closed under the dialogue (the adapter went away). Bytes
    // the device sent before it went may still wait in the ring (its end
    // frame, or the header that begins a download): the next tick reads them
    // first, and only then calls a download that is still running cut.
    void LineClosed() { lineClosed_ = true; }
    // Whether a download has begun and not yet ended.
    bool downloading() const { return s_.downloadActive != 0; }
    // Whether the download under way (or the last one) went quiet with no
    // record begun; it goes on if the box sends again.
    bool stalled() const { return stalled_; }
    // Whether a damaged frame between two calls of the latest download may
    // have been a whole call (kRecordMayBeLostLine was said).
    bool callMayBeLost() const { return callMayBeLost_; }

    // The body of time_comTimer: stop time_com, parse when bytes are pending,
    // run the idle tick, start time_com again.
    void ComTick();
    void ParseReceivedBytes();

    // Download dialogue.
    void HandleFrame();
    bool CheckFrameCrc() const;
    void ClassifyFrame();
    void ClearFrameFlags();
    void IdleTick();
    void RestartDialogue();
    // The end frame.
    void EndDownload();

    // The call record being collected.
    void SaveLabelTable();
    void ClearRecordText();
    void AppendPayload();
    // The record closed by the boundary frame in FrameBuffer.
    void OutputRecord();
    // The text collected so far, under a header of "?" and "??": its
    // boundary frame was lost. `why` is the status line that says so.
    void OutputHeaderlessRecord(const char* why);

private:
    // The byte-path fuzz target's white-box checks of the state below
    // (fuzz/byte_path_fuzzer.cpp); nothing else looks inside.
    friend struct ProtocolProbe;

    void ParseByte(uint8_t byte);
    void StartFrame(uint8_t command, uint8_t sync);
    void RescanFrameBytes();
    void AbandonPartialFrame();
    void DataFrame(bool gap);
    void BoundaryFrame(bool gap);
    void BeginRecord();
    void AppendInTurn(uint8_t letter);
    void SequenceMiss(uint8_t letter);
    void ShowCollectedText(const char* why);
    void CallMayBeLost();
    void Stall();
    void Resume();
    // The device answered a poll: said to the window once per line.
    void MarkAnswered();
    void CutDownload();
    void SendPoll();
    void EndOfDownload(DownloadEnd how);
    // Numbers the record, appends its rendering to the call log, hands both
    // out and starts the next record afresh.
    void EmitRecord();

    struct State {
        int32_t txLength = 0;
        int8_t framePos = 0;
        uint8_t frameLen = 0;
        uint8_t parseState = 0;
        uint8_t frameSync = 0;   // how the current frame's start was found (kSync*)
        uint8_t got0 = 0, got1 = 0, gotB = 0, gotD = 0, gotE = 0, gotData = 0;
        uint8_t pollWithD = 0;
        uint8_t deviceAnswered = 0;
        uint8_t dialogState = 0;
        uint8_t expectedSeq = 'P';
        uint8_t seqMisses = 0;
        uint8_t idleTicks = 0;
        int32_t recordNumber = 0;
        // A data frame of a record has come (its text, perhaps empty, is in
        // record_.text); no data frame since the last record: none begun.
        uint8_t recordBegun = 0;
        // Damage on the line, and what it cost (see the rule in dialogue.cpp):
        // recordDamaged: the record being collected may be incomplete and is
        // shown with the damaged-text line after its text.
        uint8_t recordDamaged = 0;
        // damagePending: a gap (bytes that may have been lost frames) came
        // before an intact frame of the download and is not yet weighed; the
        // next data, boundary or end frame decides what it cost.
        uint8_t damagePending = 0;
        // From a header frame until the download ends: state 2 alone cannot
        // tell a download in progress from one that has ended.
        uint8_t downloadActive = 0;
    };

    ReceivedBytes& received_;
    State s_;
    uint8_t FrameBuffer[kFrameBufferSize] = {};
    uint8_t TxFrame[kTxFrameSize] = {};
    uint8_t LabelTable[kLabelTableSize] = {};
    // LineClosed() was called; acted on at the end of the next tick.
    bool lineClosed_ = false;
    // The download went quiet between records (Stall); the next frame of it
    // resumes it.
    bool stalled_ = false;
    bool callMayBeLost_ = false;
    // Frames handed to HandleFrame so far: an idle action that finds a frame
    // in the bytes of an abandoned one has heard the device.
    uint32_t framesHandled_ = 0;
    // Where bytes stand in the stream read from the ring (counted from 0 for
    // the life of the program): the byte being parsed, the command byte of
    // the frame being gathered, and the byte after the last intact frame. A
    // download's frames follow one another with nothing between them, so an
    // intact frame that does not begin where the last one ended had noise or
    // a damaged frame before it.
    uint64_t pos_ = 0;
    uint64_t frameStart_ = 0;
    uint64_t lastFrameEnd_ = 0;
    // The record being collected: its text as it arrives, its header from
    // the frame that ends it. Reused for every record (its text's room is
    // reserved once).
    CallRecord record_;
    // The bytes the log shows for the record last output.
    std::string rendered_;
    WindowOps& window_;
    SerialOps& serial_;
};

}  // namespace dialscope

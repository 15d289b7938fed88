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
// dialogue.cpp). Each says what was seen and what the log shows for it; the
// mark under a record only says its text may not be what the box sent.
//
// Text whose closing frame did not come is shown under a header of "?" and
// "??", followed by the damaged-text line; these say why.
inline constexpr const char* kHeaderlessAfterDamageLine =
    "A damaged frame came where a call may have ended: the text before it is shown with its header unknown, and "
    "the call after it is marked, as its first text may be the rest of that call.";
inline constexpr const char* kHeaderlessOutOfTurnLine =
    "A new call began before the last one's closing frame: that call's text is shown with its header unknown, and "
    "the new call is marked, as its first text may be the rest of that call.";
inline constexpr const char* kHeaderlessAtEndLine =
    "The log ended before the last call's closing frame: its text is shown with its header unknown.";
inline constexpr const char* kHeaderlessAtRefusalLine =
    "The box broke off the download before a call's closing frame: its text is shown with its header unknown.";
inline constexpr const char* kHeaderlessAtCutLine =
    "The line went away before a call's closing frame: its text is shown with its header unknown.";
inline constexpr const char* kHeaderlessAtQuietLine =
    "The line went quiet before a call's closing frame: its text is shown with its header unknown, and the box is "
    "asked to send its log again.";
inline constexpr const char* kHeaderlessAtMissesLine =
    "Three frames of one call were lost in a row: its text so far is shown with its header unknown, and the box is "
    "asked to send its log again.";
inline constexpr const char* kHeaderlessAtImageLine =
    "A damaged frame held what looked like the end of the log, before a call's closing frame: that call's text is "
    "shown with its header unknown.";
inline constexpr const char* kHeaderlessAtNewLogLine =
    "The box began its log anew before a call's closing frame: that call's text is shown with its header unknown.";
// A damaged frame (or stray bytes) just before an intact closing frame: it
// was one of the call's own data frames, or the closing frame of the call
// before it.
inline constexpr const char* kDamageBeforeBoundaryLine =
    "A damaged frame came just before a call's closing frame: the text shown with it may be cut short, or may "
    "belong to a call before it whose closing frame was lost.";
// Damage where a whole call may have gone: between two calls, before the
// first one, before a call with no text, before the end of the log.
inline constexpr const char* kRecordMayBeLostLine =
    "A damaged frame or stray bytes came between two calls: a call may have been lost there, and the call after "
    "them is marked.";
inline constexpr const char* kDamageBeforeFirstCallLine =
    "A damaged frame or stray bytes came before the first call: a call may have been lost there, and the first "
    "call is marked.";
inline constexpr const char* kDamageBeforeToneOnlyLine =
    "A damaged frame or stray bytes came just before a call with no text: the call is marked, as its text or a "
    "whole call before it may have been lost.";
inline constexpr const char* kDamageBeforeEndLine =
    "A damaged frame or stray bytes came just before the end of the log: a last call may have been lost.";
// A record whose first data frames did not come.
inline constexpr const char* kFirstFramesLostLine =
    "The first part of a call was lost on the line: the rest of its text is shown, marked.";
// The line went quiet in the middle of a download with no record begun. The
// port stays open: what the box still sends is shown.
inline constexpr const char* kStalledLine =
    "The box has sent nothing for 4 seconds and its log has not ended: the frame that ends it was lost, or the box "
    "stopped sending. Calls that still come are shown.";
inline constexpr const char* kStalledAfterDamageLine =
    "A damaged frame came and then nothing for 4 seconds: it was most likely the end of the log, but a last call "
    "may have been lost. Calls that still come are shown.";
// An end frame's image inside a damaged frame, and nothing after it.
inline constexpr const char* kStalledAtImageLine =
    "A damaged frame held what looked like the end of the log, and nothing came after it: the log may have ended "
    "there, or its last calls were lost. Calls that still come are shown.";
inline constexpr const char* kResumedLine = "The box went on with its log.";
// A stalled download goes on with no damage seen: the box may only have been
// slow, or may have begun its log anew and its header been lost whole.
inline constexpr const char* kResumedInDoubtLine =
    "The box may have begun its log anew, its first frame lost on the line: the calls after the pause are marked, "
    "as their labels and numbers may be wrong.";
// A stalled download goes on after damage: it may have been a new log's
// first frame.
inline constexpr const char* kDamageAfterStallLine =
    "The box went on after a damaged frame that may have begun a new log: the calls after it are marked, as their "
    "labels and numbers may be wrong.";
// A header frame during a download, or while waiting: a new download.
inline constexpr const char* kNewLogLine =
    "The box began sending its log anew: the calls that follow are numbered from 1, under the labels it sent.";
// A header frame's image inside a damaged frame: it may have been a new
// download's first frame, so the labels of what follows are in doubt.
inline constexpr const char* kLabelsInDoubtLine =
    "A damaged frame held what looked like the first frame of a new log: the calls after it are marked, as their "
    "labels and numbers may be wrong.";
// Data frames while polling: the download's header frame was lost, or the
// box went on with a download given up.
inline constexpr const char* kHeaderLostLine =
    "Calls came without the frame that begins the log (it was lost): they are shown with their labels unknown and "
    "marked, and the box will be asked for its log again.";
inline constexpr const char* kGivenUpGoesOnLine =
    "The box went on with the log that was given up: its calls are shown marked, and the log asked for again "
    "follows.";
inline constexpr const char* kAskedAgainLine = "The box is asked to send its log again.";
// After the end frame of a download in which damage was found.
inline constexpr const char* kReadDamagedLine =
    "Parts of the log arrived damaged: run the download again for a clean copy (the box sends its whole memory "
    "each time).";
inline constexpr const char* kReadOkLine = "Message read OK.";

// Every status line the dialogue says about the line and the downloads.
inline constexpr const char* kDialogueStatusLines[] = {
    kHeaderlessAfterDamageLine, kHeaderlessOutOfTurnLine, kHeaderlessAtEndLine, kHeaderlessAtRefusalLine,
    kHeaderlessAtCutLine, kHeaderlessAtQuietLine, kHeaderlessAtMissesLine, kHeaderlessAtImageLine,
    kHeaderlessAtNewLogLine,
    kDamageBeforeBoundaryLine, kRecordMayBeLostLine, kDamageBeforeFirstCallLine, kDamageBeforeToneOnlyLine,
    kDamageBeforeEndLine, kFirstFramesLostLine, kStalledLine, kStalledAfterDamageLine, kStalledAtImageLine,
    kResumedLine, kResumedInDoubtLine, kDamageAfterStallLine, kNewLogLine,
    kLabelsInDoubtLine, kHeaderLostLine, kGivenUpGoesOnLine, kAskedAgainLine, kReadDamagedLine, kReadOkLine};

// How a frame's start was found (frameSync).
constexpr uint8_t kSyncWhole = 0;          // 7E 7E command
constexpr uint8_t kSyncFirstDamaged = 1;   // 7E command: one sync byte damaged
constexpr uint8_t kSyncSecondDamaged = 2;  // 7E X command: the second sync byte damaged

// Why a download began without its header frame (State::headerLost).
constexpr uint8_t kHeaderFrameLost = 1;
constexpr uint8_t kRestOfGivenUp = 2;

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
    // Whether damage on the line may have taken a whole call of the latest
    // download (a status line said so).
    bool callMayBeLost() const { return callMayBeLost_; }
    // Whether anything of the latest download (or of the download it gave
    // way to) was found damaged: a frame that failed its checksum, bytes
    // that were no intact frame, a damaged sync byte, a lost first frame, a
    // give-up. Such a download is never reported clean.
    bool damageFound() const { return s_.damageFound != 0; }

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
    void DataFrame(bool gap, bool found);
    void BoundaryFrame(bool gap);
    void BeginRecord();
    void AppendInTurn(uint8_t letter);
    void SequenceMiss(uint8_t letter, bool found);
    void ShowCollectedText(const char* why);
    void CallMayBeLost(const char* why);
    void StartDownload();
    void BeginDownload();
    void BeginHeaderlessDownload();
    void HeaderDuringDownload(bool found);
    void EndFrame(uint8_t command, bool gap);
    void ConfirmPendingEnd();
    void Stall(const char* why = nullptr);
    void LineQuiet(const char* stallLine);
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
        // The frame being gathered began inside the bytes of a frame that
        // failed its checksum (or was abandoned): it may be an image inside
        // a payload, so it never begins, ends or gives up a download.
        uint8_t frameFound = 0;
        // The last frame of the download was a boundary frame found wholly
        // inside a failed frame's bytes.
        uint8_t foundBoundaryLast = 0;
        // An end frame or '0' that came after damage or inside damaged
        // bytes, held until a tick with no bytes confirms it; an intact
        // frame before that shows it was not the box's. pendingGap: damage
        // came before it.
        uint8_t pendingEnd = 0;
        uint8_t pendingGap = 0;
        uint8_t pendingFound = 0;
        // The download under way began without its header frame: it was
        // lost (kHeaderFrameLost: the box is asked again at its end), or
        // this is the rest of a download given up (kRestOfGivenUp: asked
        // already). Every record is marked.
        uint8_t headerLost = 0;
        // A header frame's image came inside damaged bytes during this
        // download: every record after it is marked.
        uint8_t labelsInDoubt = 0;
        // Anything of this download was found damaged (damageFound()).
        uint8_t damageFound = 0;
        // The dialogue gave a download up and no other has begun: data
        // frames still coming are the rest of it.
        uint8_t gaveUp = 0;
    };

    ReceivedBytes& received_;
    State s_;
    uint8_t FrameBuffer[kFrameBufferSize] = {};
    uint8_t TxFrame[kTxFrameSize] = {};
    uint8_t LabelTable[kLabelTableSize] = {};
    // LineClosed() was called; acted on at the end of the next tick.
    bool lineClosed_ = false;
    // The parser is hunting through the bytes of a failed frame.
    bool rescanning_ = false;
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
    // The bytes announced by the outermost failed frame being hunted through
    // (its length byte, its last checksum byte), and by the frames found in
    // them that ran on past them: a failed frame found among them may run on
    // past them, or be left open.
    uint64_t hostFirst_ = 0, hostEnd_ = 0;
    // The last byte of the furthest-reaching frame that failed its checksum.
    uint64_t failedEnd_ = 0;
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

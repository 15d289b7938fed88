// The device protocol on the main thread: the frame parser run by the 100 ms
// tick, the download dialogue, and the rendering of call records as text.
// Everything acts on one Link and reaches the window and the serial port only
// through WindowOps and SerialOps. Nothing here allocates or throws on device
// bytes.
#pragma once

#include <cstdint>

#include "protocol/interfaces.h"
#include "protocol/link_state.h"

namespace dialscope {

// Dialogue states.
constexpr uint8_t kWaiting = 0;
constexpr uint8_t kPolling = 1;
constexpr uint8_t kDownloading = 2;

// Status line when the text of a record was collected but its boundary frame
// never arrived intact: the record cannot be shown without its header.
inline constexpr const char* kRecordLostLine = "A call record was lost: its closing frame arrived damaged.";
// Status line when a damaged frame came between two records: it may have been
// the boundary frame of a call with no text.
inline constexpr const char* kRecordMayBeLostLine =
    "A call record may have been lost: a damaged frame came between two calls.";
// Status line when the line went quiet during a download with no record begun:
// the end frame was lost (or the device stopped between records).
inline constexpr const char* kNoEndFrameLine =
    "The download ended without its closing frame: the line went quiet. Calls after the last one shown may be "
    "missing.";
inline constexpr const char* kReadOkLine = "Message read OK.";
// The line added after the text of a record that may be incomplete.
inline constexpr const char* kDamagedTextMarker = "(text damaged in transfer)";
inline constexpr const char* kDamagedTextLine = "      (text damaged in transfer)\r\n";

// How a frame's start was found (LinkState::frameSync).
constexpr uint8_t kSyncWhole = 0;          // 7E 7E command
constexpr uint8_t kSyncFirstDamaged = 1;   // 7E command: one sync byte damaged
constexpr uint8_t kSyncSecondDamaged = 2;  // 7E X command: the second sync byte damaged

// The connection supervisor's state once the device has answered: the
// download dialogue is in charge of the port.
constexpr uint8_t kSupervisorHandedOver = 3;

// Silent ticks before the idle action.
constexpr uint8_t kIdleTicksLimit = 41;

class Protocol final : public LineDialogue {
public:
    Protocol(Link& link, WindowOps& window, SerialOps& serial)
        : link_(link), s_(link.state), window_(window), serial_(serial) {}

    Link& link() { return link_; }

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
    // The end frame (Completed), or the line gone quiet where it was due
    // (NoEndFrame).
    void EndDownload(DownloadEnd how = DownloadEnd::Completed);

    // Call record text.
    void SaveLabelTable();
    void ClearRecordText();
    void AppendPayload();
    void OutputRecord();
    void BuildRecordHeader();
    void AppendRecordToLog();

private:
    void ParseByte(uint8_t byte);
    void StartFrame(uint8_t command, uint8_t sync);
    void RescanFrameBytes();
    void AbandonPartialFrame();
    void DataFrame(bool damageBefore);
    void BeginRecord();
    void SequenceMiss();
    void SendPoll();
    void EndOfDownload(DownloadEnd how);

    Link& link_;
    LinkState& s_;
    // Output space for a record whose number needs more than two places.
    // Also where the damaged-text line is added after the text.
    uint8_t wideRecord_[kTextBufferSize + 64];
    // LineClosed() was called; acted on at the end of the next tick.
    bool lineClosed_ = false;
    // The text of the record being output as it arrived, and where its
    // rendering stands: handed out with RecordOutput.
    uint8_t rawText_[kTextBufferSize];
    const uint8_t* rendered_ = nullptr;
    size_t renderedLength_ = 0;
    WindowOps& window_;
    SerialOps& serial_;
};

}  // namespace dialscope

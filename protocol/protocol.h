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

// Status line when a record's boundary frame arrives damaged.
inline constexpr const char* kRecordLostLine = "A call record was lost: its closing frame arrived damaged.";
// Shown in place of the text of a record that lost a data frame on the line.
inline constexpr const char* kDamagedTextMarker = "(text damaged in transfer)";

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
    // The port was closed under a download (the adapter went away).
    void LineClosed() { EndOfDownload(DownloadEnd::Cut); }
    // Whether a download has begun and not yet ended.
    bool downloading() const { return downloadInProgress_; }

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
    void EndDownload();

    // Call record text.
    void SaveLabelTable();
    void ClearRecordText();
    void AppendPayload();
    void OutputRecord();
    void BuildRecordHeader();
    void AppendRecordToLog();

private:
    void ParseByte(uint8_t byte);
    void DataFrame();
    void SequenceMiss();
    void DamagedFrame();
    void SendPoll();
    void EndOfDownload(DownloadEnd how);

    Link& link_;
    LinkState& s_;
    // Output space for a record whose number needs more than two places.
    uint8_t wideRecord_[kTextBufferSize + 16];
    // From the header frame until the download is over, however it ends.
    bool downloadInProgress_ = false;
    WindowOps& window_;
    SerialOps& serial_;
};

}  // namespace dialscope

#include "protocol/crc.h"
#include "protocol/protocol.h"

namespace dialscope {

bool Protocol::CheckFrameCrc() const {
    int n = s_.framePos;
    if (n > kFrameBufferSize) n = kFrameBufferSize;
    if (n < 4) return false;  // never a whole frame; the parser does not hand these on
    const uint8_t* fb = link_.FrameBuffer;
    uint16_t c = CrcBuffer(0, fb, n - 2);
    return fb[n - 2] == (c >> 8) && fb[n - 1] == (c & 0xFF);
}

void Protocol::ClassifyFrame() {
    uint8_t cmd = link_.FrameBuffer[0];
    switch (cmd) {
    case '0': s_.got0 = 1; break;
    case '1': s_.got1 = 1; break;
    case 'B': s_.gotB = 1; break;
    case 'D': s_.gotD = 1; break;
    case 'E': s_.gotE = 1; break;
    default:
        if (cmd >= 0x50 && cmd <= 0x5F) s_.gotData = 1;
        break;
    }
}

void Protocol::ClearFrameFlags() {
    s_.got0 = s_.got1 = s_.gotB = s_.gotD = s_.gotE = s_.gotData = 0;
}

void Protocol::HandleFrame() {
    ClassifyFrame();
    if (!CheckFrameCrc()) {
        if (s_.dialogState == kDownloading) DamagedFrame();
    } else {
        // The state the frame arrived in acts on it once, even when the action
        // moves the dialogue to another state.
        switch (s_.dialogState) {
        case kWaiting:
            if (s_.got1) {
                s_.pollWithD = 1;
                SendCommand('D');
                s_.dialogState = kPolling;
            }
            break;
        case kPolling:
            if (s_.got0) {
                s_.pollWithD = 0;
                s_.deviceAnswered = 1;
                s_.dialogState = kWaiting;
            } else if (s_.got1) {
                s_.pollWithD = 1;
                s_.deviceAnswered = 1;
                SendCommand('D');
            } else if (s_.gotD) {
                s_.deviceAnswered = 1;
                SaveLabelTable();
                ClearRecordText();
                window_.SetIndicator(true);
                s_.recordNumber = 0;
                window_.EnableTimer(Timer::AutoDisp, true);
                s_.dialogState = kDownloading;
                downloadInProgress_ = true;
                window_.DownloadStarted();
            }
            break;
        case kDownloading:
            if (s_.gotData) {
                DataFrame();
            } else if (s_.gotB) {
                if (link_.FrameBuffer[1] != 0) OutputRecord();
            } else if (s_.gotE) {
                EndDownload();
            } else if (s_.got0) {
                s_.pollWithD = 0;
                ClearRecordText();
                window_.SetIndicator(false);
                s_.dialogState = kWaiting;
                EndOfDownload(DownloadEnd::Refused);
            }
            break;
        default:
            break;
        }
    }
    ClearFrameFlags();
}

// A data frame while downloading. The first data frame of a record must be
// 'P'; the following ones rotate 'Q' .. '^' and back to 'P'.
void Protocol::DataFrame() {
    uint8_t cmd = link_.FrameBuffer[0];
    if (s_.textLength == 0) {
        s_.expectedSeq = 'P';
        if (cmd != 'P') {
            SequenceMiss();
            return;
        }
        s_.seqMisses = 0;
        AppendPayload();
        s_.expectedSeq = 'Q';
        return;
    }
    if (cmd != s_.expectedSeq) {
        SequenceMiss();
        return;
    }
    s_.seqMisses = 0;
    AppendPayload();
    s_.expectedSeq = static_cast<uint8_t>(s_.expectedSeq + 1);
    if (s_.expectedSeq == 0x5F) s_.expectedSeq = 'P';
}

// The device never repeats a frame, so a damaged frame in a download is a
// piece of a record gone for good. A damaged data frame marks the record; a
// damaged boundary frame takes the record's header with it, so the text
// collected so far must not run on into the next record.
void Protocol::DamagedFrame() {
    if (s_.gotData) {
        s_.recordDamaged = 1;
    } else if (s_.gotB) {
        if (s_.textLength != 0 || s_.recordDamaged) ClearRecordText();
        window_.AppendStatusLine(kRecordLostLine);
    }
}

// A miss means a data frame went missing: the record is incomplete.
// Misses add up across records; only an in-sequence frame or the restart
// itself clears the count.
void Protocol::SequenceMiss() {
    s_.recordDamaged = 1;
    if (++s_.seqMisses >= 3) {
        s_.seqMisses = 0;
        RestartDialogue();
    }
}

void Protocol::SendPoll() {
    SendCommand(s_.pollWithD ? 'D' : '2');
}

void Protocol::IdleTick() {
    if (++s_.idleTicks < kIdleTicksLimit) return;
    s_.idleTicks = 0;
    if (s_.dialogState == kPolling) SendPoll();
    // A record has begun and the line has gone quiet: the device lost its
    // place, so start over.
    if (s_.textLength != 0 && s_.dialogState == kDownloading) RestartDialogue();
}

void Protocol::RestartDialogue() {
    ClearRecordText();
    s_.parseState = 0;
    window_.SetIndicator(false);
    SendPoll();
    s_.dialogState = kPolling;
    EndOfDownload(DownloadEnd::Restarted);
}

void Protocol::BeginPolling() {
    s_.dialogState = kPolling;
}

void Protocol::StartOnNewLine() {
    // A frame cut off on the line before this one (an adapter pulled
    // mid-frame) must not take the device's first answer on this one as the
    // rest of its payload: the parser starts afresh, and bytes of the old
    // line still unread are dropped. This runs on the consumer's thread, so
    // moving rxTail keeps the ring single-consumer.
    s_.rxTail.store(s_.rxHead.load(std::memory_order_acquire), std::memory_order_release);
    s_.parseState = 0;
    s_.deviceAnswered = 0;
    // Whatever was being downloaded came over the old line.
    EndOfDownload(DownloadEnd::Cut);
    SendCommand('2');
    s_.dialogState = kPolling;
}

// Tells the window once that the download under way is over.
void Protocol::EndOfDownload(DownloadEnd how) {
    if (!downloadInProgress_) return;
    downloadInProgress_ = false;
    window_.DownloadEnded(how);
}

void Protocol::EndDownload() {
    serial_.closePort();
    // ComTick enables time_com again as its last step.
    window_.EnableTimer(Timer::time_com, false);
    window_.EnableTimer(Timer::watch_serial, false);
    window_.EnableTimer(Timer::AutoDisp, false);
    window_.HideAnimation();
    window_.AppendStatusLine("Message read OK.");
    EndOfDownload(DownloadEnd::Completed);
}

}  // namespace dialscope

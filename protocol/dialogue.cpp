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

// Damage on the line during a download.
//
// The device never sends a frame twice, and a damaged frame says nothing
// reliable about itself: its command byte may be the damaged byte (an 'R'
// that reads 'B'), or the "frame" may be noise that happened to form 7E 7E
// and a command letter. A damaged frame is one that failed its checksum, one
// whose command byte after 7E 7E is no command at all or whose length byte
// reads above 76 (both seen by the parser), or one still open when the line
// goes quiet. (A frame with one damaged sync byte is not lost: the parser
// takes it when its checksum holds.) A damaged frame only raises
// damagePending; the next intact frame decides what was lost, from the
// sequence letters and the boundary frames:
//
//  - an intact data frame in turn ('Q' after 'P', ...) shows that no frame of
//    the record was lost: the damage was noise and marks nothing;
//  - an intact 'P' with no record begun shows that the record lost nothing
//    either (a lost first frame would make this one 'Q'); the damage was
//    noise or the boundary frame of a call with no text, so the record is
//    not marked, but kRecordMayBeLostLine is added;
//  - an intact 'P' while a record is collected, right after damage, or out
//    of turn in a record that had no miss, is the first frame of the next
//    call: the collected record lost its boundary frame. It cannot be shown
//    without its header, so it is reported with kRecordLostLine and dropped,
//    and the 'P' begins a new record. Where the 'P' could also be the collected record's next frame
//    (the record stood at '^' or at a multiple of fifteen frames), the new
//    record is marked: it may be the rest of the old one;
//  - any other data frame out of turn is a miss, as without damage (a 'P'
//    after a miss included: the letters running on past the gap): it marks
//    the record and is dropped. Dropped rather than stored after the gap, so
//    that the text shown is always the record's text from its start up to
//    the first gap, with the damaged-text line where the rest is missing,
//    and so that three misses in a row still give the download up and ask
//    the device for all of it again;
//  - an intact boundary frame after a miss shows the record with the
//    damaged-text line after its text, and never as "Tone only";
//  - an intact boundary frame right after damage does the same, as the lost
//    frame may have been the record's last or only data frame; but it may
//    also have been the previous call's boundary frame, and then the two
//    calls are merged under this header (or a call with no text is gone), so
//    kRecordMayBeLostLine is added too: never a silent merge;
//  - an intact end frame after damage, or with a record's text collected,
//    adds kRecordMayBeLostLine or kRecordLostLine before "Message read OK.".
//
// Text that was stored is never replaced: the marker is one line,
// kDamagedTextLine, after the record's text (in place of "Tone only" when it
// has none). A record with no damage since the last boundary frame keeps
// exactly the bytes it always had. A restart still drops the record being
// collected: the device sends its whole memory again.
void Protocol::HandleFrame() {
    ClassifyFrame();
    if (!CheckFrameCrc()) {
        if (s_.dialogState == kDownloading) s_.damagePending = 1;
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
                // Misses count within one download: what an earlier one
                // lost says nothing about this one.
                s_.seqMisses = 0;
                window_.SetIndicator(true);
                s_.recordNumber = 0;
                window_.EnableTimer(Timer::AutoDisp, true);
                s_.dialogState = kDownloading;
                s_.downloadActive = 1;
                window_.DownloadStarted();
            }
            break;
        case kDownloading:
            if (s_.gotData) {
                DataFrame(s_.damagePending != 0);
            } else if (s_.gotB) {
                // A boundary frame with no payload outputs nothing; the damage
                // before it is still to be decided.
                if (link_.FrameBuffer[1] != 0) {
                    if (s_.damagePending) {
                        s_.recordDamaged = 1;
                        window_.AppendStatusLine(kRecordMayBeLostLine);
                    }
                    OutputRecord();
                }
            } else if (s_.gotE) {
                if (s_.textLength != 0) {
                    window_.AppendStatusLine(kRecordLostLine);
                } else if (s_.damagePending || s_.recordDamaged) {
                    window_.AppendStatusLine(kRecordMayBeLostLine);
                }
                s_.damagePending = 0;
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
// 'P'; the following ones rotate 'Q' .. '^' and back to 'P'. `damageBefore`:
// a damaged frame came since the last intact one (the rule above).
void Protocol::DataFrame(bool damageBefore) {
    const uint8_t cmd = link_.FrameBuffer[0];
    s_.damagePending = 0;
    if (s_.textLength == 0) {
        s_.expectedSeq = 'P';
        if (cmd != 'P') {
            SequenceMiss();
            return;
        }
        if (damageBefore || s_.recordDamaged) window_.AppendStatusLine(kRecordMayBeLostLine);
        s_.recordDamaged = 0;
        BeginRecord();
        return;
    }
    // Right after damage, or out of turn in a record that lost nothing so
    // far, a 'P' begins the next call. Out of turn after a miss it is more
    // likely the letters running on past the gap: a miss like any other.
    if (cmd == 'P' && (damageBefore || (cmd != s_.expectedSeq && !s_.recordDamaged))) {
        const bool mayBeTheRest = s_.expectedSeq == '^' || s_.expectedSeq == 'P';
        window_.AppendStatusLine(kRecordLostLine);
        ClearRecordText();
        BeginRecord();
        s_.recordDamaged = mayBeTheRest ? 1 : 0;
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

// The record's first frame, a 'P'.
void Protocol::BeginRecord() {
    s_.seqMisses = 0;
    AppendPayload();
    s_.expectedSeq = 'Q';
}

// A miss means a data frame went missing: the record is incomplete.
// Misses add up across the records of a download; an in-sequence frame, the
// restart itself and the header of the next download clear the count.
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
    AbandonPartialFrame();
    if (s_.dialogState == kPolling) SendPoll();
    if (s_.dialogState != kDownloading) return;
    if (s_.textLength != 0) {
        // A record has begun and the line has gone quiet: the device lost its
        // place, so start over.
        RestartDialogue();
    } else if (s_.downloadActive && s_.connectState == kSupervisorHandedOver) {
        // Quiet between records: the device streams a download without
        // pauses, so the end frame was lost (or the device stopped). End the
        // download as the end frame would rather than stay "Transferring"
        // with the port held. Not once a device change has given the line
        // back to the supervisor: ending the download would stop it in the
        // middle of its search.
        EndDownload(DownloadEnd::NoEndFrame);
    }
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
    lineClosed_ = false;
    EndOfDownload(DownloadEnd::Cut);
    SendCommand('2');
    s_.dialogState = kPolling;
}

// Tells the window once that the download under way is over.
void Protocol::EndOfDownload(DownloadEnd how) {
    if (!s_.downloadActive) return;
    s_.downloadActive = 0;
    window_.DownloadEnded(how);
}

void Protocol::EndDownload(DownloadEnd how) {
    serial_.closePort();
    // ComTick enables time_com again as its last step.
    window_.EnableTimer(Timer::time_com, false);
    window_.EnableTimer(Timer::watch_serial, false);
    window_.EnableTimer(Timer::AutoDisp, false);
    window_.HideAnimation();
    window_.AppendStatusLine(how == DownloadEnd::Completed ? kReadOkLine : kNoEndFrameLine);
    EndOfDownload(how);
}

}  // namespace dialscope

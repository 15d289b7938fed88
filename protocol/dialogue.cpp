#include "protocol/crc.h"
#include "protocol/protocol.h"

namespace dialscope {

bool Protocol::CheckFrameCrc() const {
    int n = s_.framePos;
    if (n > kFrameBufferSize) n = kFrameBufferSize;
    if (n < 4) return false;  // never a whole frame; the parser does not hand these on
    const uint8_t* fb = FrameBuffer;
    uint16_t c = CrcBuffer(0, fb, n - 2);
    return fb[n - 2] == (c >> 8) && fb[n - 1] == (c & 0xFF);
}

void Protocol::ClassifyFrame() {
    uint8_t cmd = FrameBuffer[0];
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
// The device sends a download's frames back to back and never sends a frame
// twice. So an intact frame that does not begin where the last intact frame
// ended had something else before it: a frame that failed its checksum, one
// whose command or length byte the parser refused, one whose two sync bytes
// were both damaged, or noise. That is a gap (the parser measures it; a frame
// with one damaged sync byte is no gap, its checksum vouches for it, and
// neither are a few bytes of noise, too short to have been a frame). What
// the gap cost is decided by the intact frame after it. The rule holds to
// one thing: every byte of text from an intact data frame reaches the log,
// in order. Where the frames cannot tell two cases apart, the text is kept
// either way and the record is marked; a false mark is better than lost
// text, and nothing is ever merged without a mark.
//
// A data frame with letter L, the record expecting E:
//  - no record begun, L = 'P': the record's first frame. After a gap a call
//    with no text may have been lost in it: kRecordMayBeLostLine.
//  - no record begun, L another letter: the record's first frames were lost.
//    Its text begins here, marked; a miss; L is the new place in the
//    sequence.
//  - L = E: in turn, appended. After a gap too, but marked: the gap may
//    have been noise, or the record's boundary frame and as many of the
//    next call's first frames as line the letters up again. (E is never 'P'
//    here: a sixteenth frame and a new call's first frame look the same, so
//    that is the case below.)
//  - L = 'P' out of turn, or in turn after a gap: the collected record may
//    have lost its boundary frame. Its text is shown under a header of "?"
//    and "??", marked, and the 'P' begins a new record, marked as well (it
//    may be the rest of the old one).
//  - any other letter out of turn: frames were lost. The text is kept after
//    the text before the gap, the record is marked, and L becomes the new
//    place in the sequence, so one lost frame costs one miss. Three misses in
//    a row in one record give the download up: the record is dropped and the
//    device asked again, which makes it send its whole memory.
// A boundary frame:
//  - after a gap with text collected: the damaged frame was one of the
//    record's data frames, or the closing frame of the call before (whose
//    text is then shown under this header). Shown marked, with
//    kDamageBeforeBoundaryLine saying both.
//  - after a gap with no text: marked (never passed off as "Tone only"),
//    and kRecordMayBeLostLine.
// The end frame, a '0', or the line going quiet or away with text
// collected: the text is shown under the "?" header first. A gap before the end frame with
// no text collected: kRecordMayBeLostLine.
//
// A record with no gap from the frame before it to its boundary frame is
// shown exactly as it arrived, with no mark.
void Protocol::HandleFrame() {
    ClassifyFrame();
    // The parser has judged the gap in front of this frame; a frame that
    // failed its checksum is part of the next intact frame's gap.
    const bool gap = s_.damagePending != 0;
    if (CheckFrameCrc()) {
        ++framesHandled_;
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
                MarkAnswered();
                s_.dialogState = kWaiting;
            } else if (s_.got1) {
                s_.pollWithD = 1;
                MarkAnswered();
                SendCommand('D');
            } else if (s_.gotD) {
                MarkAnswered();
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
                stalled_ = false;
                callMayBeLost_ = false;
                window_.DownloadStarted();
            }
            break;
        case kDownloading:
            // Frames of a download that had stalled: the box went on.
            if (stalled_ && (s_.gotData || s_.gotB || s_.gotE)) Resume();
            if (s_.gotData) {
                DataFrame(gap);
            } else if (s_.gotB) {
                // A boundary frame with no payload outputs nothing; the gap
                // before it is still to be decided.
                if (FrameBuffer[1] != 0) BoundaryFrame(gap);
            } else if (s_.gotE) {
                if (s_.recordBegun) {
                    ShowCollectedText(kHeaderlessAtEndLine);
                } else if (gap) {
                    CallMayBeLost();
                }
                s_.damagePending = 0;
                EndDownload();
            } else if (s_.got0) {
                if (s_.recordBegun) ShowCollectedText(kHeaderlessAtRefusalLine);
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

// A data frame while downloading (the rule above). The first data frame of a
// record is 'P'; the following ones rotate 'Q' .. '^' and back to 'P'.
void Protocol::DataFrame(bool gap) {
    const uint8_t letter = FrameBuffer[0];
    s_.damagePending = 0;
    if (!s_.recordBegun) {
        if (gap) CallMayBeLost();
        BeginRecord();
        if (letter != 'P') SequenceMiss(letter);
        return;
    }
    if (letter == 'P' && (letter != s_.expectedSeq || gap)) {
        ShowCollectedText(gap ? kHeaderlessAfterDamageLine : kHeaderlessOutOfTurnLine);
        BeginRecord();
        s_.recordDamaged = 1;  // it may be the rest of the record just shown
        return;
    }
    AppendPayload();
    if (gap) s_.recordDamaged = 1;
    if (letter == s_.expectedSeq) {
        AppendInTurn(letter);
    } else {
        SequenceMiss(letter);
    }
}

// The record's first frame: its text begins.
void Protocol::BeginRecord() {
    s_.seqMisses = 0;
    s_.recordDamaged = 0;
    AppendPayload();
    AppendInTurn(FrameBuffer[0]);
}

void Protocol::AppendInTurn(uint8_t letter) {
    s_.seqMisses = 0;
    s_.expectedSeq = letter >= '^' ? 'P' : static_cast<uint8_t>(letter + 1);
}

// A data frame out of turn: frames of the record were lost. Its text is
// kept (appended by the caller) and the sequence goes on from its letter.
// Three in a row give the download up; the record is dropped, as the device
// sends its whole memory again when asked.
void Protocol::SequenceMiss(uint8_t letter) {
    s_.recordDamaged = 1;
    const uint8_t misses = static_cast<uint8_t>(s_.seqMisses + 1);
    AppendInTurn(letter);
    s_.seqMisses = misses;
    if (misses >= 3) {
        s_.seqMisses = 0;
        RestartDialogue();
    }
}

void Protocol::BoundaryFrame(bool gap) {
    s_.damagePending = 0;
    if (gap) {
        s_.recordDamaged = 1;
        if (s_.recordBegun) {
            window_.AppendStatusLine(kDamageBeforeBoundaryLine);
        } else {
            CallMayBeLost();
        }
    }
    OutputRecord();
    // Misses are counted within a record.
    s_.seqMisses = 0;
}

void Protocol::ShowCollectedText(const char* why) {
    OutputHeaderlessRecord(why);
    s_.seqMisses = 0;
}

void Protocol::CallMayBeLost() {
    callMayBeLost_ = true;
    window_.AppendStatusLine(kRecordMayBeLostLine);
}

void Protocol::SendPoll() {
    SendCommand(s_.pollWithD ? 'D' : '2');
}

void Protocol::IdleTick() {
    if (++s_.idleTicks < kIdleTicksLimit) return;
    s_.idleTicks = 0;
    // A frame found in the bytes of one left open is the device talking: no
    // idle action (and no second poll after the reply it may have sent).
    const uint32_t handled = framesHandled_;
    AbandonPartialFrame();
    if (framesHandled_ != handled) return;
    if (s_.dialogState == kPolling) SendPoll();
    if (s_.dialogState != kDownloading) return;
    if (s_.recordBegun) {
        // A record has begun and the line has gone quiet: the device lost its
        // place. What came of the record is shown; then start over.
        ShowCollectedText(kHeaderlessAtQuietLine);
        RestartDialogue();
    } else if (s_.downloadActive && !stalled_) {
        Stall();
    }
}

// Quiet between records. The end frame may have been lost, or the box may
// only be slow: the download is reported as stalled and the animation
// stops, but the port stays open and whatever of the download still comes
// is shown.
void Protocol::Stall() {
    stalled_ = true;
    window_.EnableTimer(Timer::AutoDisp, false);
    window_.HideAnimation();
    window_.AppendStatusLine(kStalledLine);
    EndOfDownload(DownloadEnd::Stalled);
}

void Protocol::MarkAnswered() {
    if (s_.deviceAnswered) return;
    s_.deviceAnswered = 1;
    window_.DeviceAnswered();
}

void Protocol::Resume() {
    stalled_ = false;
    window_.AppendStatusLine(kResumedLine);
    window_.EnableTimer(Timer::AutoDisp, true);
    s_.downloadActive = 1;
    window_.DownloadStarted();
}

void Protocol::RestartDialogue() {
    ClearRecordText();
    s_.parseState = 0;
    window_.SetIndicator(false);
    SendPoll();
    s_.dialogState = kPolling;
    stalled_ = false;
    EndOfDownload(DownloadEnd::Restarted);
}

void Protocol::BeginPolling() {
    s_.dialogState = kPolling;
}

void Protocol::StartOnNewLine() {
    // A frame cut off on the line before this one (an adapter pulled
    // mid-frame) must not take the device's first answer on this one as the
    // rest of its payload: the parser starts afresh, and bytes of the old
    // line still unread are dropped.
    received_.DropUnread();
    s_.parseState = 0;
    s_.deviceAnswered = 0;
    // Whatever was being downloaded came over the old line.
    lineClosed_ = false;
    CutDownload();
    SendCommand('2');
    s_.dialogState = kPolling;
}

// The line under a download went away: what was collected of a record is
// shown, and the download is over.
void Protocol::CutDownload() {
    if (s_.dialogState == kDownloading && s_.recordBegun) ShowCollectedText(kHeaderlessAtCutLine);
    stalled_ = false;
    EndOfDownload(DownloadEnd::Cut);
}

// Tells the window once that the download under way is over.
void Protocol::EndOfDownload(DownloadEnd how) {
    if (!s_.downloadActive) return;
    s_.downloadActive = 0;
    window_.DownloadEnded(how);
}

void Protocol::EndDownload() {
    serial_.closePort();
    // ComTick enables time_com again as its last step.
    window_.EnableTimer(Timer::time_com, false);
    window_.EnableTimer(Timer::watch_serial, false);
    window_.EnableTimer(Timer::AutoDisp, false);
    window_.HideAnimation();
    window_.AppendStatusLine(kReadOkLine);
    // The download is over: frames behind the end frame (a second download
    // sent right after it) are not part of it. A header among them begins a
    // new one.
    ClearRecordText();
    s_.dialogState = kPolling;
    EndOfDownload(DownloadEnd::Completed);
}

}  // namespace dialscope

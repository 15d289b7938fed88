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
// whose command or length byte the parser refused, what is left of a frame
// that lost bytes on the line (as little as one byte), or noise. That is a
// gap. So is a frame whose sync byte was changed or lost: its checksum
// vouches for it, not for what came before it (frames lost whole with it).
// A frame may also be lost whole and leave no gap; only the letters of the
// data frames show that, and nothing shows a record's last data frames, or
// a whole record, lost so. What a gap cost is decided by the intact frame
// after it.
//
// The rule holds to two things. Every byte of text from an intact data
// frame reaches the log, in order, whatever the dialogue gives up. And a
// record shown without the mark is a record the box sent, exactly, under
// its own header: a record is marked when anything but intact frames came
// in its span, from the boundary frame before it (or the header) to its
// own boundary frame, or when its letters do not run in turn. Where the
// frames cannot tell two cases apart, the text is kept either way and the
// record is marked; a false mark is better than lost text, and nothing is
// ever merged without a mark. The status lines say what was seen.
//
// A data frame with letter L, the record expecting E:
//  - no record begun, L = 'P': the record's first frame. After a gap the
//    record is marked (the gap is in its span) and a call with no text may
//    have been lost in it: kDamageBeforeFirstCallLine before the first
//    call, else kRecordMayBeLostLine.
//  - no record begun, L another letter: the record's first frames were lost.
//    Its text begins here, marked, kFirstFramesLostLine; a miss; L is the
//    new place in the sequence.
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
//    a row in one record give the download up: the text so far is shown
//    under the "?" header, marked (kHeaderlessAtMissesLine), and the device
//    is asked again, which makes it send its whole memory.
// A boundary frame after a gap is marked: with text collected, the damaged
// frame was one of the record's data frames or the closing frame of the
// call before (kDamageBeforeBoundaryLine); with none, the record's text or
// a whole call may have been lost (kDamageBeforeToneOnlyLine; never passed
// off as "Tone only").
// The end frame, a '0', or the line going quiet or away with text
// collected: the text is shown under the "?" header first. A gap before the
// end frame with no text collected: kDamageBeforeEndLine.
//
// Frames that damaged bytes can fake. A failed frame's bytes are hunted
// through again (RescanFrameBytes), and a payload may hold the image of a
// whole frame (caller text holds 7E bytes); a frame that lost its sync bytes
// shows its payload to the hunt as well. So:
//  - an end frame or a '0' after a gap, or found inside a failed frame's
//    bytes, is held until a tick with no bytes (100 ms; the device sends a
//    download back to back); an intact frame before that shows it was an
//    image, and is a gap itself. One found inside a failed frame's bytes is
//    not taken as a clean end even then: the download stalls
//    (kStalledAtImageLine), the text collected shown first;
//  - a data or boundary frame found inside a failed frame's bytes counts
//    (it may be a frame the failed one swallowed), but a 'P' found there
//    never ends the record collected, and one found there out of turn is
//    no miss toward the three that give a download up;
//  - a header frame found inside a failed frame's bytes begins nothing;
//    during a download every record after it is marked (kLabelsInDoubtLine).
//    Nor does anything found there move the dialogue while waiting, nor a
//    '0' while polling.
// Any other header frame begins a new download, numbered from 1 under its
// own labels, in every state; during a download or while waiting, with
// kNewLogLine (and what was collected shown first). A header may also come
// damaged, or be lost whole without a trace: every record after the frames
// that resume a stalled download is marked (kDamageAfterStallLine after
// damage, else kResumedInDoubtLine), as their labels and numbers may be a
// new log's. A slow box that goes on is marked so too: nothing tells it
// from a new log whose header was lost.
// Data frames while polling or waiting (found inside a failed frame's bytes
// too: the failed frame was most likely the header) came without their
// header, or after a give-up: they make a download of their own whose labels are
// unknown (kHeaderLostLine), every record marked but dated by its boundary
// frame; at its end the device is asked again (kAskedAgainLine). After a
// give-up they are the rest of the log given up (kGivenUpGoesOnLine), under
// its labels and numbers, every record marked; the box was asked again at
// the give-up.
//
// A record with no gap from the frame before it to its boundary frame and
// its letters in turn is shown exactly as it arrived, with no mark. A
// download in which anything was found damaged says so after its end
// frame (kReadDamagedLine), and damageFound() tells the console.
void Protocol::HandleFrame() {
    ClassifyFrame();
    if (CheckFrameCrc()) {
        ++framesHandled_;
        const bool found = s_.frameFound != 0;
        // An end held for quiet with an intact frame after it was not the
        // device's: its bytes are part of this frame's gap.
        if (s_.pendingEnd) {
            s_.pendingEnd = 0;
            s_.damagePending = 1;
        }
        // The parser has judged the gap in front of this frame; a frame that
        // failed its checksum is part of the next intact frame's gap.
        const bool gap = s_.damagePending != 0;
        // The state the frame arrived in acts on it once, even when the action
        // moves the dialogue to another state.
        switch (s_.dialogState) {
        case kWaiting:
            // Data frames while waiting, as while polling: the box is
            // sending a log whose header was lost (a "nothing now" before
            // them may have been an image in a payload). Their text is shown.
            if (s_.gotData) {
                MarkAnswered();
                BeginHeaderlessDownload();
                DataFrame(false, found);
                break;
            }
            // Nothing else found inside a failed frame's bytes moves the
            // dialogue on: it may be an image in a payload.
            if (found) break;
            if (s_.got1) {
                s_.pollWithD = 1;
                SendCommand('D');
                s_.dialogState = kPolling;
            } else if (s_.gotD) {
                window_.AppendStatusLine(kNewLogLine);
                BeginDownload();
            }
            break;
        case kPolling:
            if (s_.got0 && found) {
                // A "nothing now" image would stop the polls.
            } else if (s_.got0) {
                s_.pollWithD = 0;
                s_.gaveUp = 0;
                MarkAnswered();
                s_.dialogState = kWaiting;
            } else if (s_.got1) {
                s_.pollWithD = 1;
                s_.gaveUp = 0;
                MarkAnswered();
                SendCommand('D');
            } else if (s_.gotD && !found) {
                MarkAnswered();
                BeginDownload();
            } else if (s_.gotData) {
                // One found inside a failed frame's bytes too: the failed
                // frame was most likely the header, its length byte run on
                // over the first data frames.
                MarkAnswered();
                BeginHeaderlessDownload();
                DataFrame(false, found);
            }
            break;
        case kDownloading: {
            if (s_.gotD) {
                HeaderDuringDownload(found);
                break;
            }
            // Frames of a download that had stalled: the box went on, or began
            // anew and its header was damaged or lost whole (which leaves no
            // gap). Only an intact header tells, so what follows may be under
            // other labels and numbers.
            if (stalled_ && (s_.gotData || s_.gotB || s_.gotE)) {
                Resume();
                if (!s_.gotE && !s_.labelsInDoubt) {
                    s_.labelsInDoubt = 1;
                    window_.AppendStatusLine(gap ? kDamageAfterStallLine : kResumedInDoubtLine);
                }
            }
            // A boundary frame found wholly inside a failed frame's bytes
            // may be an image in its payload that closed the record early:
            // the box's own boundary frame may follow with no gap before it.
            // A call with no text right after one is marked, never passed
            // off as "Tone only". (One that ran on past them is most likely
            // the box's own, found behind a start guessed in front of it.)
            const bool afterFoundBoundary = s_.foundBoundaryLast != 0;
            s_.foundBoundaryLast = 0;
            if (s_.gotData) {
                DataFrame(gap, found);
            } else if (s_.gotB) {
                // A boundary frame with no payload outputs nothing; the gap
                // before it is still to be decided.
                if (FrameBuffer[1] != 0) {
                    BoundaryFrame(gap || (afterFoundBoundary && !s_.recordBegun));
                    s_.foundBoundaryLast = found && pos_ <= hostEnd_ ? 1 : 0;
                }
            } else if (s_.gotE || s_.got0) {
                if (gap || found) {
                    s_.pendingEnd = FrameBuffer[0];
                    s_.pendingGap = gap ? 1 : 0;
                    s_.pendingFound = found ? 1 : 0;
                    s_.damagePending = 0;
                } else {
                    EndFrame(FrameBuffer[0], false);
                }
            }
            break;
        }
        default:
            break;
        }
    }
    ClearFrameFlags();
}

// What a download's header frame starts, and a download without one.
void Protocol::StartDownload() {
    ClearRecordText();
    // Misses count within one download: what an earlier one lost says
    // nothing about this one.
    s_.seqMisses = 0;
    window_.SetIndicator(true);
    window_.EnableTimer(Timer::AutoDisp, true);
    s_.dialogState = kDownloading;
    s_.downloadActive = 1;
    s_.pendingEnd = 0;
    s_.foundBoundaryLast = 0;
    s_.headerLost = 0;
    s_.labelsInDoubt = 0;
    s_.damageFound = 0;
    s_.gaveUp = 0;
    stalled_ = false;
    callMayBeLost_ = false;
    window_.DownloadStarted();
}

void Protocol::BeginDownload() {
    SaveLabelTable();
    s_.recordNumber = 0;
    StartDownload();
    // The header's own sync byte damaged: the download met damage too.
    if (s_.frameSync != kSyncWhole) s_.damageFound = 1;
}

// Data frames while polling. After a give-up they are the rest of the
// download given up, under its labels and numbers; otherwise its header
// frame was lost, and so were its labels.
void Protocol::BeginHeaderlessDownload() {
    const bool goesOn = s_.gaveUp != 0;
    window_.AppendStatusLine(goesOn ? kGivenUpGoesOnLine : kHeaderLostLine);
    if (!goesOn) {
        for (uint8_t& b : LabelTable) b = '?';
        s_.recordNumber = 0;
    }
    StartDownload();
    s_.headerLost = goesOn ? kRestOfGivenUp : kHeaderFrameLost;
    s_.damageFound = 1;
}

// A header frame while a download is under way (or stalled): the box began
// its log anew. One found inside damaged bytes may be an image in a payload:
// it begins nothing, but what follows may be under other labels.
void Protocol::HeaderDuringDownload(bool found) {
    s_.damageFound = 1;
    if (found) {
        if (!s_.labelsInDoubt) window_.AppendStatusLine(kLabelsInDoubtLine);
        s_.labelsInDoubt = 1;
        if (s_.recordBegun) s_.recordDamaged = 1;
        return;
    }
    if (s_.recordBegun) ShowCollectedText(kHeaderlessAtNewLogLine);
    window_.AppendStatusLine(kNewLogLine);
    stalled_ = false;
    EndOfDownload(DownloadEnd::Restarted);
    BeginDownload();
}

// A data frame while downloading (the rule above). The first data frame of a
// record is 'P'; the following ones rotate 'Q' .. '^' and back to 'P'.
void Protocol::DataFrame(bool gap, bool found) {
    const uint8_t letter = FrameBuffer[0];
    s_.damagePending = 0;
    if (!s_.recordBegun) {
        BeginRecord();
        if (letter != 'P') {
            window_.AppendStatusLine(kFirstFramesLostLine);
            SequenceMiss(letter, found);
        } else if (gap) {
            s_.recordDamaged = 1;
            CallMayBeLost(s_.recordNumber == 0 ? kDamageBeforeFirstCallLine : kRecordMayBeLostLine);
        }
        return;
    }
    // A 'P' found inside a failed frame's bytes may be an image in a
    // payload: it never ends the record; its text is kept in it, marked.
    if (letter == 'P' && (letter != s_.expectedSeq || gap) && !found) {
        ShowCollectedText(gap ? kHeaderlessAfterDamageLine : kHeaderlessOutOfTurnLine);
        BeginRecord();
        s_.recordDamaged = 1;  // it may be the rest of the record just shown
        s_.damageFound = 1;
        return;
    }
    AppendPayload();
    if (gap) s_.recordDamaged = 1;
    if (letter == s_.expectedSeq) {
        AppendInTurn(letter);
    } else {
        SequenceMiss(letter, found);
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
// Three in a row give the download up: the text so far is shown, and the
// device, asked again, sends its whole memory. A frame found inside a
// failed frame's bytes may be an image in a payload, out of turn with
// nothing lost: it moves the sequence on but is no miss, so images can never
// bring an intact frame after them to the third.
void Protocol::SequenceMiss(uint8_t letter, bool found) {
    s_.recordDamaged = 1;
    s_.damageFound = 1;
    const uint8_t before = s_.seqMisses;
    AppendInTurn(letter);
    if (found) {
        s_.seqMisses = before;
        return;
    }
    const uint8_t misses = static_cast<uint8_t>(before + 1);
    if (misses < 3) {
        s_.seqMisses = misses;
        return;
    }
    ShowCollectedText(kHeaderlessAtMissesLine);
    RestartDialogue();
}

void Protocol::BoundaryFrame(bool gap) {
    s_.damagePending = 0;
    if (gap) {
        s_.recordDamaged = 1;
        if (s_.recordBegun) {
            window_.AppendStatusLine(kDamageBeforeBoundaryLine);
        } else {
            CallMayBeLost(kDamageBeforeToneOnlyLine);
        }
    }
    OutputRecord();
    // Misses are counted within a record.
    s_.seqMisses = 0;
}

// The end frame or a '0', taken: at once when it came intact with nothing
// before it, else once the line has stayed quiet after it.
void Protocol::EndFrame(uint8_t command, bool gap) {
    s_.pendingEnd = 0;
    if (command == 'E') {
        if (s_.recordBegun) {
            ShowCollectedText(kHeaderlessAtEndLine);
        } else if (gap) {
            CallMayBeLost(kDamageBeforeEndLine);
        }
        s_.damagePending = 0;
        if (s_.headerLost == kHeaderFrameLost) {
            // A log without its header is asked for again, whole.
            window_.AppendStatusLine(kAskedAgainLine);
            RestartDialogue();
        } else if (s_.headerLost == kRestOfGivenUp) {
            // The rest of a log given up: the box was asked again at the
            // give-up, and its answer comes next.
            ClearRecordText();
            window_.SetIndicator(false);
            s_.dialogState = kPolling;
            EndOfDownload(DownloadEnd::Restarted);
        } else {
            EndDownload();
        }
        return;
    }
    if (s_.recordBegun) ShowCollectedText(kHeaderlessAtRefusalLine);
    s_.pollWithD = 0;
    ClearRecordText();
    window_.SetIndicator(false);
    s_.dialogState = kWaiting;
    EndOfDownload(DownloadEnd::Refused);
}

// A tick with no bytes after an end held for quiet. A frame left open may
// hold frames the device sent after it: they are looked for first, and an
// intact one among them shows the end was an image. One that came inside a
// failed frame's bytes may be an image all the same (its frame's own end
// lost): the download goes on as if the line had gone quiet.
void Protocol::ConfirmPendingEnd() {
    AbandonPartialFrame();
    const uint8_t command = s_.pendingEnd;
    s_.pendingEnd = 0;
    if (!command || s_.dialogState != kDownloading) return;
    if (s_.pendingFound && !s_.headerLost) {
        // Taken as the end it may be, but not as a clean one: the port
        // stays open for what may still come.
        if (s_.recordBegun) ShowCollectedText(kHeaderlessAtImageLine);
        Stall(kStalledAtImageLine);
    } else if (s_.pendingFound) {
        LineQuiet(nullptr);
    } else {
        EndFrame(command, s_.pendingGap != 0);
    }
}

void Protocol::ShowCollectedText(const char* why) {
    OutputHeaderlessRecord(why);
    s_.seqMisses = 0;
}

void Protocol::CallMayBeLost(const char* why) {
    callMayBeLost_ = true;
    window_.AppendStatusLine(why);
}

void Protocol::SendPoll() {
    SendCommand(s_.pollWithD ? 'D' : '2');
}

void Protocol::IdleTick() {
    if (++s_.idleTicks < kIdleTicksLimit) return;
    s_.idleTicks = 0;
    // Frames found in the bytes of one left open came before the quiet.
    // While polling one may be the device's reply, already answered: no
    // second poll. A download is quiet after them all the same; an end
    // held among them is taken on the next quiet tick.
    const uint32_t handled = framesHandled_;
    AbandonPartialFrame();
    if (framesHandled_ != handled) {
        if (s_.dialogState == kDownloading && !s_.pendingEnd) LineQuiet(nullptr);
        return;
    }
    if (s_.dialogState == kPolling) SendPoll();
    if (s_.dialogState == kDownloading) LineQuiet(nullptr);
}

// The line quiet in a download. `stallLine`: what to say if it stalls
// (nullptr: the idle time-out's own words).
void Protocol::LineQuiet(const char* stallLine) {
    if (s_.recordBegun) {
        // A record has begun and the line has gone quiet: the device lost its
        // place. What came of the record is shown; then start over.
        ShowCollectedText(kHeaderlessAtQuietLine);
        RestartDialogue();
    } else if (s_.downloadActive && s_.headerLost) {
        // A log without its header is asked for again, whole.
        window_.AppendStatusLine(kAskedAgainLine);
        RestartDialogue();
    } else if (s_.downloadActive && !stalled_) {
        Stall(stallLine);
    }
}

// Quiet between records. The end frame may have been lost, or the box may
// only be slow: the download is reported as stalled and the animation
// stops, but the port stays open and whatever of the download still comes
// is shown, marked. Damage just before the quiet was most likely the end frame, but
// may have been a call.
void Protocol::Stall(const char* why) {
    stalled_ = true;
    window_.EnableTimer(Timer::AutoDisp, false);
    window_.HideAnimation();
    // Bytes since the last intact frame (a frame that failed its checksum,
    // or noise) are damage before the quiet.
    if (why) {
        callMayBeLost_ = true;
        window_.AppendStatusLine(why);
    } else if (s_.damagePending || pos_ + 1 != lastFrameEnd_) {
        callMayBeLost_ = true;
        window_.AppendStatusLine(kStalledAfterDamageLine);
    } else {
        window_.AppendStatusLine(kStalledLine);
    }
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
    s_.pendingEnd = 0;
    s_.damageFound = 1;
    s_.gaveUp = 1;
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
    s_.gaveUp = 0;
    SendCommand('2');
    s_.dialogState = kPolling;
}

// The line under a download went away: what was collected of a record is
// shown, and the download is over.
void Protocol::CutDownload() {
    s_.pendingEnd = 0;
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
    if (s_.damageFound) window_.AppendStatusLine(kReadDamagedLine);
    // The download is over: frames behind the end frame (a second download
    // sent right after it) are not part of it. A header among them begins a
    // new one.
    ClearRecordText();
    s_.dialogState = kPolling;
    EndOfDownload(DownloadEnd::Completed);
}

}  // namespace dialscope

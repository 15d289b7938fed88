#include "protocol/protocol.h"

namespace dialscope {

namespace {

bool IsAcceptedCommand(uint8_t b) {
    return b == '0' || b == '1' || b == 'B' || b == 'D' || b == 'E' || (b >= 0x50 && b <= 0x5F);
}

}  // namespace

void Protocol::ComTick() {
    window_.EnableTimer(Timer::time_com, false);
    // Clear the flag before draining: a byte the receive thread stores while
    // we parse raises it again and is picked up next tick.
    const bool heard = received_.TakePending();
    if (heard) {
        ParseReceivedBytes();
        s_.idleTicks = 0;
    }
    if (lineClosed_) {
        lineClosed_ = false;
        // Nothing more comes on this line: an end held for quiet was the
        // box's.
        if (s_.pendingEnd) ConfirmPendingEnd();
        CutDownload();
    } else if (!heard) {
        // A tick with no bytes: the device sends a download's frames back
        // to back, so nothing more of this download is on its way.
        if (s_.pendingEnd) ConfirmPendingEnd();
    }
    IdleTick();
    // Always last: the end of a download stops time_com from inside this tick,
    // and the tick must keep running afterwards.
    window_.EnableTimer(Timer::time_com, true);
}

void Protocol::ParseReceivedBytes() {
    // Bytes arriving while this runs are parsed in this same pass.
    uint8_t byte;
    while (received_.Next(byte)) {
        ++pos_;
        ParseByte(byte);
    }
}

// A frame may begin only where its command byte could be: after 7E 7E (a
// frame), or after one 7E with at most one other byte between (a frame whose
// sync byte was damaged on the line, taken only if its checksum holds).
void Protocol::StartFrame(uint8_t command, uint8_t sync) {
    frameStart_ = pos_;
    s_.frameFound = rescanning_ ? 1 : 0;
    s_.framePos = 0;
    FrameBuffer[s_.framePos++] = command;
    s_.frameSync = sync;
    s_.parseState = 3;
}

void Protocol::ParseByte(uint8_t b) {
    uint8_t* fb = FrameBuffer;
    switch (s_.parseState) {
    case 0:  // hunting for the first sync byte
        s_.parseState = b == 0x7E ? 1 : 0;
        break;
    case 1:  // second sync byte
        if (b == 0x7E) {
            s_.parseState = 2;
        } else if (IsAcceptedCommand(b)) {
            StartFrame(b, kSyncFirstDamaged);  // "X 7E cmd", or "7E X" with X a command
        } else {
            s_.parseState = 7;
        }
        break;
    case 7:  // 7E and one other byte: perhaps a damaged second sync byte
        if (IsAcceptedCommand(b)) {
            StartFrame(b, kSyncSecondDamaged);
        } else {
            s_.parseState = b == 0x7E ? 1 : 0;
        }
        break;
    case 2:  // command byte
        if (IsAcceptedCommand(b)) {
            StartFrame(b, kSyncWhole);
        } else if (b == 0x7E) {
            // A third 7E in a row: the first was a stray (noise, or the last
            // byte of a damaged frame's rescan) and the last two are the sync
            // pair of the frame that follows. Refusing it would lose that
            // frame, whole and undamaged.
        } else {
            // After a whole sync pair a refused byte other than a third 7E is
            // a frame whose command byte was damaged (lost, part of the gap
            // before the next intact frame), or a stray 7E, a frame's first
            // sync byte and its damaged second one: as after "7E X".
            s_.parseState = 7;
        }
        break;
    case 3:  // length byte
        // A length above 76 cannot be held in FrameBuffer. Such a frame is
        // dropped here and the hunt goes on from this byte: a corrupted
        // length byte then costs only this frame, whereas skipping the
        // announced length could swallow the frames behind it. The byte
        // taken for the command may have been a damaged second sync byte
        // (after a stray 7E, or after one sync byte), and this one the
        // frame's command.
        if (b > kMaxPayload) {
            if (IsAcceptedCommand(b)) {
                StartFrame(b, kSyncSecondDamaged);
            } else {
                s_.parseState = b == 0x7E ? 1 : 0;
            }
            break;
        }
        s_.frameLen = b;
        fb[s_.framePos++] = b;
        s_.parseState = b == 0 ? 5 : 4;
        break;
    case 4:  // payload; 0x7E is ordinary data here
        if (s_.framePos < kFrameBufferSize - 2) fb[s_.framePos++] = b;
        if (s_.framePos >= s_.frameLen + 2) s_.parseState = 5;
        break;
    case 5:  // CRC high
        fb[s_.framePos++] = b;
        s_.parseState = 6;
        break;
    case 6: {  // CRC low: the frame is complete
        fb[s_.framePos++] = b;
        const bool good = CheckFrameCrc();
        const uint8_t sync = s_.frameSync;
        const bool downloading = s_.dialogState == kDownloading;
        if (good) {
            // Its first sync byte (damaged or not) stands two places before
            // the command byte. Any byte between the last intact frame and
            // that place may be what is left of lost frames: a frame that
            // lost bytes on the line leaves as few as one, or none when the
            // next frame's length swallowed its rest. The dialogue weighs
            // the gap. So is a damaged sync byte: the checksum vouches for
            // this frame, not for what came before it (whole frames lost
            // leave nothing, and a lone 7E may be all that is left of one).
            // A frame whose sync bytes a failed frame took for its own
            // last bytes follows a frame that lost bytes, whatever was found
            // inside that one: an image that ended just where this frame
            // begins must not hide the loss.
            const uint64_t start = frameStart_ - 2;
            const bool overlapsFailed = start <= failedEnd_ && failedEnd_ < frameStart_;
            const bool gap = start != lastFrameEnd_ || sync != kSyncWhole || overlapsFailed;
            lastFrameEnd_ = pos_ + 1;
            if (downloading && gap) {
                s_.damagePending = 1;
                s_.damageFound = 1;
            }
        } else {
            if (pos_ > failedEnd_) failedEnd_ = pos_;
            if (downloading) s_.damageFound = 1;
        }
        // A frame found without both sync bytes counts only when its checksum
        // holds; otherwise it was never a frame.
        if (good || sync == kSyncWhole) HandleFrame();
        // HandleFrame may have restarted the dialogue (parseState 0 already).
        s_.parseState = 0;
        if (!good) RescanFrameBytes();
        break;
    }
    default:
        s_.parseState = 0;
        break;
    }
}

// A frame that failed its checksum may not have been a frame at all (noise
// that formed 7E 7E and a command letter, or a frame start guessed past a
// damaged sync byte), or its length byte may be the damaged byte and have
// made it run on over the frames behind it. Either way the device's next
// frames may lie inside the bytes taken for it: hunt through them again,
// from its length byte on, its command byte taken as a damaged second sync
// byte (it may have been one, after a stray 7E or a lost sync byte). A frame
// found in these bytes lies wholly inside them or runs on into the ring; one
// that fails again is rescanned the same way over fewer bytes, so this ends.
void Protocol::RescanFrameBytes() {
    uint8_t bytes[kFrameBufferSize];
    const int n = s_.framePos;
    for (int i = 1; i < n; ++i) bytes[i] = FrameBuffer[i];
    // Each byte keeps its place in the stream; the ring goes on after them.
    const uint64_t first = frameStart_, resume = pos_;
    // A frame whose command byte is the failed one's length byte was never
    // inside it: the failed frame was a start guessed past a damaged sync
    // byte. One further on lies in its payload or checksum, where it may be
    // an image the payload holds. A failed frame that was itself found
    // inside another one's bytes (and is hunted through once that one is
    // done: it ran on past it, or was left open): a frame that begins inside
    // the other's announced bytes is found inside those all the same.
    const bool outer = rescanning_;
    const bool nested = outer || s_.frameFound != 0;
    if (!nested) {
        hostFirst_ = first + 1;
        hostEnd_ = first + 3 + s_.frameLen;
    } else if (first + 3 + s_.frameLen > hostEnd_) {
        // A found frame that ran on past its host: what it announced is
        // found bytes too, for the frames found in it that are left open.
        hostEnd_ = first + 3 + s_.frameLen;
    }
    s_.parseState = 7;
    for (int i = 1; i < n; ++i) {
        pos_ = first + static_cast<uint64_t>(i);
        rescanning_ = outer || i >= 2 || (nested && pos_ > hostFirst_ && pos_ <= hostEnd_);
        ParseByte(bytes[i]);
    }
    rescanning_ = outer;
    pos_ = resume;
}

// The line has been quiet for the dialogue's 40 ticks with a frame still
// open: its bytes will not be completed. It was damaged (its length byte,
// most likely, announced more than came); the frames it swallowed are found
// again in its bytes. A frame start found among them that is left open in
// turn is given up the same way; each is shorter than the one before.
void Protocol::AbandonPartialFrame() {
    if (s_.parseState >= 3 && s_.parseState <= 6 && s_.dialogState == kDownloading) s_.damageFound = 1;
    while (s_.parseState >= 3 && s_.parseState <= 6) RescanFrameBytes();
}

}  // namespace dialscope

// The variables shared by the serial link, the protocol and the connection
// supervisor, and the fixed buffers they work on.
#pragma once

#include <atomic>
#include <cstdint>

namespace dialscope {

constexpr int32_t kRxRingSize = 2048;
constexpr int kFrameBufferSize = 80;   // command, length, <= 76 payload bytes, CRC hi, CRC lo
constexpr int kMaxPayload = 76;
constexpr int kTxFrameSize = 6;
constexpr int kTextBufferSize = 8192;
constexpr int kLabelTableSize = 64;
constexpr int kPortNameSize = 8;

struct LinkState {
    int32_t textLength = 0;
    // Written by the receive thread only: release store after the byte is in
    // its slot; the consumer loads it with acquire before reading the slot.
    std::atomic<int32_t> rxHead{0};
    // Written by the consumer only: release store once it has read the slot
    // it moves past; the receive thread loads it with acquire to know how
    // much room the ring has, and never writes it.
    std::atomic<int32_t> rxTail{0};
    uint8_t rxByte = 0;
    int8_t framePos = 0;
    uint8_t frameLen = 0;
    int32_t txLength = 0;
    // Raised by the receive thread after it has published rxHead; cleared by
    // the consumer before it drains.
    std::atomic<uint8_t> rxPending{0};
    uint8_t parseState = 0;
    uint8_t frameSync = 0;   // how the current frame's start was found (kSync*)
    uint8_t got0 = 0, got1 = 0, gotB = 0, gotD = 0, gotE = 0, gotData = 0;
    uint8_t pollWithD = 0;
    uint8_t deviceAnswered = 0;
    uint8_t dialogState = 0;
    uint8_t expectedSeq = 'P';
    uint8_t seqMisses = 0;
    uint8_t idleTicks = 0;
    uint8_t connectState = 0;
    int32_t recordNumber = 0;
    int32_t animStep = 0;
    char portName[kPortNameSize] = {};
    uint8_t portIndex = 0;
    // Damage on the line, and what it cost (see the rule in dialogue.cpp):
    // recordDamaged: the record being collected may be incomplete and is
    // shown with the damaged-text line after its text.
    uint8_t recordDamaged = 0;
    // damagePending: a gap (bytes that may have been lost frames) came
    // before an intact frame of the download and is not yet weighed; the
    // next data, boundary or end frame decides what it cost.
    uint8_t damagePending = 0;
    // From a header frame until the download ends: state 2 alone cannot tell
    // a download in progress from one that has ended.
    uint8_t downloadActive = 0;
};

// Everything the link works on, allocated once and never resized.
struct Link {
    LinkState state;
    uint8_t RxRing[kRxRingSize] = {};
    uint8_t FrameBuffer[kFrameBufferSize] = {};
    uint8_t TxFrame[kTxFrameSize] = {};
    uint8_t TextBuffer[kTextBufferSize] = {};
    uint8_t LabelTable[kLabelTableSize] = {};
};

}  // namespace dialscope

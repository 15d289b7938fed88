// Single-producer, single-consumer hand-over of received bytes.
//
// The receive thread is the only producer: it stores a byte in the slot at
// rxHead, then publishes the new rxHead with a release store, and raises
// rxPending after that. The protocol tick on the main thread is the only
// consumer: it clears rxPending first, then reads rxHead with acquire before
// every byte, so a byte whose slot it reads is always complete. No lock.
#pragma once

#include "protocol/link_state.h"

namespace dialscope {

// The slots themselves are accessed as relaxed atomics: the receive thread
// never waits for the consumer, so after a wrap it may store into a slot the
// consumer read a moment ago, with nothing else ordering the two. Relaxed
// byte loads and stores cost nothing over plain ones.
inline void StoreRingSlot(Link& link, int32_t at, uint8_t byte) noexcept {
    std::atomic_ref<uint8_t>(link.RxRing[at]).store(byte, std::memory_order_relaxed);
}

inline uint8_t LoadRingSlot(Link& link, int32_t at) noexcept {
    return std::atomic_ref<uint8_t>(link.RxRing[at]).load(std::memory_order_relaxed);
}

// Producer side (receive thread).
inline void StoreReceivedByte(Link& link, uint8_t byte) noexcept {
    int32_t head = link.state.rxHead.load(std::memory_order_relaxed);
    StoreRingSlot(link, head, byte);
    int32_t next = head == kRxRingSize - 1 ? 0 : head + 1;  // 2047 straight to 0
    link.state.rxHead.store(next, std::memory_order_release);
}

inline void RaiseRxPending(Link& link) noexcept {
    link.state.rxPending.store(1, std::memory_order_release);
}

// Producer side: how many bytes the receive thread may store without
// overwriting one the consumer has not read yet (the ring holds at most
// kRxRingSize - 1 unread). When a stalled consumer has let the ring fill,
// the receive thread leaves further bytes with the driver until it makes
// room, instead of lapping over unread ones.
inline int32_t RingRoom(const Link& link) noexcept {
    const int32_t head = link.state.rxHead.load(std::memory_order_relaxed);
    const int32_t tail = link.state.rxTail.load(std::memory_order_acquire);
    int32_t unread = head - tail;
    if (unread < 0) unread += kRxRingSize;
    return kRxRingSize - 1 - unread;
}

// Consumer side (main thread): number of unread bytes, as the consumer sees it.
inline int32_t UnreadBytes(const Link& link) noexcept {
    int32_t head = link.state.rxHead.load(std::memory_order_acquire);
    int32_t n = head - link.state.rxTail.load(std::memory_order_relaxed);
    return n < 0 ? n + kRxRingSize : n;
}

}  // namespace dialscope

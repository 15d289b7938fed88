// Single-producer, single-consumer hand-over of received bytes.
//
// The receive thread is the only producer: it stores a byte in the slot at
// rxHead, then publishes the new rxHead with a release store, and raises
// rxPending after that. The protocol tick on the main thread is the only
// consumer: it clears rxPending first, then reads rxHead with acquire before
// every byte, so a byte whose slot it reads is always complete. No lock.
#pragma once

#include <atomic>
#include <cstdint>

namespace dialscope {

constexpr int32_t kRxRingSize = 2048;

class RxRing {
public:
    // Producer side (receive thread).
    void Store(uint8_t byte) noexcept {
        int32_t head = rxHead_.load(std::memory_order_relaxed);
        StoreSlot(head, byte);
        int32_t next = head == kRxRingSize - 1 ? 0 : head + 1;  // 2047 straight to 0
        rxHead_.store(next, std::memory_order_release);
    }

    void RaisePending() noexcept { rxPending_.store(1, std::memory_order_release); }

    // Producer side: how many bytes the receive thread may store without
    // overwriting one the consumer has not read yet (the ring holds at most
    // kRxRingSize - 1 unread). When a stalled consumer has let the ring fill,
    // the receive thread leaves further bytes with the driver until it makes
    // room, instead of lapping over unread ones.
    int32_t Room() const noexcept {
        const int32_t head = rxHead_.load(std::memory_order_relaxed);
        const int32_t tail = rxTail_.load(std::memory_order_acquire);
        int32_t unread = head - tail;
        if (unread < 0) unread += kRxRingSize;
        return kRxRingSize - 1 - unread;
    }

    // Consumer side (main thread). Clears rxPending, true when it was raised.
    // The consumer clears it before it drains: a byte the receive thread
    // stores meanwhile raises it again and is picked up next time.
    bool TakePending() noexcept { return rxPending_.exchange(0, std::memory_order_acq_rel) != 0; }

    // Consumer side: number of unread bytes, as the consumer sees it.
    int32_t Unread() const noexcept {
        int32_t head = rxHead_.load(std::memory_order_acquire);
        int32_t n = head - rxTail_.load(std::memory_order_relaxed);
        return n < 0 ? n + kRxRingSize : n;
    }

    // Consumer side: the next unread byte, false when none is left. rxHead
    // is loaded afresh for every byte (acquire pairs with the receive
    // thread's release store), so bytes arriving meanwhile are read in the
    // same pass. The slot is read before rxTail moves past it (release), so
    // the receive thread never refills a slot that is still to be read.
    bool Next(uint8_t& byte) noexcept {
        int32_t tail = rxTail_.load(std::memory_order_relaxed);
        if (tail == rxHead_.load(std::memory_order_acquire)) return false;
        byte = LoadSlot(tail);
        tail = tail == kRxRingSize - 1 ? 0 : tail + 1;
        rxTail_.store(tail, std::memory_order_release);
        return true;
    }

    // Consumer side: drops every unread byte. Run on the consumer's thread,
    // moving rxTail keeps the ring single-consumer.
    void DropUnread() noexcept {
        rxTail_.store(rxHead_.load(std::memory_order_acquire), std::memory_order_release);
    }

    // For watching from outside (tests): whether rxPending is raised, and
    // where the producer will store its next byte.
    bool pending() const noexcept { return rxPending_.load(std::memory_order_acquire) != 0; }
    int32_t head() const noexcept { return rxHead_.load(std::memory_order_acquire); }

private:
    // The slots themselves are accessed as relaxed atomics: the receive thread
    // never waits for the consumer, so after a wrap it may store into a slot the
    // consumer read a moment ago, with nothing else ordering the two. Relaxed
    // byte loads and stores cost nothing over plain ones.
    void StoreSlot(int32_t at, uint8_t byte) noexcept {
        std::atomic_ref<uint8_t>(slots_[at]).store(byte, std::memory_order_relaxed);
    }
    uint8_t LoadSlot(int32_t at) noexcept {
        return std::atomic_ref<uint8_t>(slots_[at]).load(std::memory_order_relaxed);
    }

    // Written by the receive thread only: release store after the byte is in
    // its slot; the consumer loads it with acquire before reading the slot.
    std::atomic<int32_t> rxHead_{0};
    // Written by the consumer only: release store once it has read the slot
    // it moves past; the receive thread loads it with acquire to know how
    // much room the ring has, and never writes it.
    std::atomic<int32_t> rxTail_{0};
    // Raised by the receive thread after it has published rxHead; cleared by
    // the consumer before it drains.
    std::atomic<uint8_t> rxPending_{0};
    uint8_t slots_[kRxRingSize] = {};
};

}  // namespace dialscope

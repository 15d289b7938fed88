// The receive thread of one open port: sleeps in poll() on the port and on a
// stop event, moves every byte the driver has queued into RxRing, and raises
// rxPending when a stored byte has left the driver's input queue empty.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "protocol/link_state.h"

namespace dialscope {

class hReceiveThread {
public:
    // `fd` stays owned by the caller, who closes it only after Join().
    hReceiveThread(Link& link, int fd) : link_(link), fd_(fd) {}
    // Stops and joins the thread if still needed, and releases the stop event.
    ~hReceiveThread();
    hReceiveThread(const hReceiveThread&) = delete;
    hReceiveThread& operator=(const hReceiveThread&) = delete;

    // Makes the stop event and starts the loop. False (nothing left running,
    // nothing left open) when either fails.
    bool Start();
    // Safe whatever the thread is doing: the event wakes a poll() at once and
    // the flag ends a drain between two reads.
    void RequestStop();
    // Waits for the loop to return. After RequestStop() this takes no longer
    // than one non-blocking read.
    void Join();

    bool running() const { return running_.load(std::memory_order_acquire); }
    uint64_t wakeups() const { return wakeups_.load(std::memory_order_relaxed); }

private:
    void Execute();
    // Reads what the driver holds; false once the line is gone (hang-up,
    // 0-byte read, EIO) or a stop was requested.
    bool Drain();

    Link& link_;
    const int fd_;
    int stopEvent_ = -1;
    // The last drain stopped because the ring held all the unread bytes it
    // can; the thread then waits kFullRingPauseMs before reading on.
    bool ringFull_ = false;
    static constexpr int kFullRingPauseMs = 10;
    std::atomic<bool> stopRequested_{false};
    std::atomic<bool> running_{false};
    std::atomic<uint64_t> wakeups_{0};
    std::thread thread_;
};

}  // namespace dialscope

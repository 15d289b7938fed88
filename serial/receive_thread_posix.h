// The receive thread of one open port: sleeps in poll() on the port and on a
// stop event, moves every byte the driver has queued into the port's receive
// ring, and raises its pending flag when a stored byte has left the driver's
// input queue empty.
#pragma once

#include <atomic>
#include <cstdint>

#include "serial/receive_thread.h"
#include "serial/rx_ring.h"

namespace dialscope {

class hReceiveThread final : public ReceiveThread {
public:
    // `fd` stays owned by the caller, who closes it only after Join().
    hReceiveThread(RxRing& ring, int fd) : ring_(ring), fd_(fd) {}
    // Stops and joins the thread if still needed, and releases the stop event.
    ~hReceiveThread() override;

    // Makes the stop event and starts the loop; on failure nothing is left
    // running and the descriptor is untouched.
    int Start() override;
    // Safe whatever the thread is doing: the event wakes a poll() at once and
    // the flag ends a drain between two reads. The descriptor stays open, so
    // Join() then takes no longer than one non-blocking read.
    bool Stop() override;

private:
    void Execute();
    // Reads what the driver holds; false once the line is gone (hang-up,
    // 0-byte read, EIO) or a stop was requested.
    bool Drain();

    RxRing& ring_;
    const int fd_;
    int stopEvent_ = -1;
    // The last drain stopped because the ring held all the unread bytes it
    // can; the thread then waits kFullRingPauseMs before reading on.
    bool ringFull_ = false;
    static constexpr int kFullRingPauseMs = 10;
    std::atomic<bool> stopRequested_{false};
};

}  // namespace dialscope

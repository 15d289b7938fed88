// The receive thread of one open port on Windows: waits for the driver's
// "character received" event, asks the driver how many bytes it holds, and
// reads them into the port's receive ring, raising its pending flag when the
// stored bytes have left the driver's input queue empty (and at least every
// 512 bytes).
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "serial/receive_thread.h"
#include "serial/rx_ring.h"

namespace dialscope {

class hReceiveThread final : public ReceiveThread {
public:
    // `port` stays owned by the caller. The thread works on this handle only,
    // never on whatever port is open later.
    hReceiveThread(RxRing& ring, HANDLE port) : ring_(ring), port_(port) {}
    // Stops and joins the thread if still needed, and releases the events.
    ~hReceiveThread() override;

    // Makes the events and starts the loop; ENOMEM when either fails
    // (nothing is then left running).
    int Start() override;
    // Closes the port and wakes the thread; the close completes the thread's
    // pending wait and read. False (nothing changed) when the close failed.
    // Join() then waits for the loop and its pending operations to finish.
    bool Stop() override;
    // Wakes the thread whatever it waits for, leaving the port open.
    void RequestStop();

private:
    // What the system writes into while a wait or read is pending. Kept apart
    // so that a thread whose operations never completed can leave it behind
    // rather than free memory the system may still write.
    struct Io {
        OVERLAPPED readOverlapped{};
        OVERLAPPED waitOverlapped{};
        COMSTAT comStat{};
        DWORD eventMask = 0;
        DWORD readCount = 0;
        uint8_t bytes[256] = {};
    };

    // Runs `call` on the port unless a stop was asked. The port is closed
    // under the same lock, so a stopping thread never calls the system with
    // a handle that has been closed (and may have been given out again).
    template <class F>
    bool WithPort(F&& call) {
        std::lock_guard<std::mutex> lock(portLock_);
        if (stopRequested_.load(std::memory_order_relaxed)) return false;
        call();
        return true;
    }
    bool stopping() const;
    void RefreshQueueCount();
    void Execute();
    // Reads the bytes the driver says it holds; false when a stop was asked.
    bool Drain();
    // Sleeps until the stop event or `ms` milliseconds, whichever is first;
    // true when stopped.
    bool Pause(DWORD ms);
    // Waits for `event` or the stop event; true when `event` fired first.
    bool AwaitOrStop(HANDLE event);
    void SettlePending();

    RxRing& ring_;
    const HANDLE port_;
    HANDLE stopEvent_ = nullptr;
    HANDLE waitEvent_ = nullptr;
    HANDLE readEvent_ = nullptr;
    std::unique_ptr<Io> io_ = std::make_unique<Io>();
    bool waitPending_ = false;
    bool readPending_ = false;
    bool abandoned_ = false;
    uint64_t stored_ = 0;  // bytes this thread has put into the ring
    int emptyPasses_ = 0;    // passes in a row that stored nothing
    std::mutex portLock_;
    std::atomic<bool> stopRequested_{false};
};

}  // namespace dialscope

// What a port asks of its receive thread, whatever the system: start, stop,
// wait for the end, and say whether the loop still runs and how often it has
// woken. Each system's loop is in receive_thread_posix.* and
// receive_thread_win32.*; SerialPort holds one of them per open.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

namespace dialscope {

class ReceiveThread {
public:
    ReceiveThread() = default;
    // Each system's destructor stops and joins its loop before its own
    // members go.
    virtual ~ReceiveThread() = default;
    ReceiveThread(const ReceiveThread&) = delete;
    ReceiveThread& operator=(const ReceiveThread&) = delete;

    // Starts the loop: 0, or the errno of what the system refused (nothing
    // is then left running).
    virtual int Start() = 0;
    // Ends the loop's wait for good. Where only closing the port completes a
    // pending read (Windows), this closes the port too, and false means that
    // close failed and nothing changed.
    virtual bool Stop() = 0;
    // Waits for the loop to return; after Stop() not longer than one read.
    void Join() {
        if (thread_.joinable()) thread_.join();
    }

    bool running() const { return running_.load(std::memory_order_acquire); }
    uint64_t wakeups() const { return wakeups_.load(std::memory_order_relaxed); }

protected:
    std::atomic<bool> running_{false};
    std::atomic<uint64_t> wakeups_{0};
    std::thread thread_;
};

}  // namespace dialscope

#include "serial/receive_thread_win32.h"

#include "protocol/rx_ring.h"

namespace dialscope {
namespace {

// After a wait for characters that failed at once (the adapter pulled out,
// the driver refusing the call), the next try waits this long, so a dead
// port costs no processor time; a stop request still ends the pause at once.
constexpr DWORD kRetryPauseMs = 100;
// How long the ending thread waits for its cancelled wait and read to
// complete before it gives their records up for good.
constexpr DWORD kSettleMs = 2000;

}  // namespace

hReceiveThread::~hReceiveThread() {
    RequestStop();
    Join();
    if (abandoned_) {
        // The system may still complete the wait or read: leave it the
        // records and the events it would signal.
        (void)io_.release();
        return;
    }
    if (stopEvent_) CloseHandle(stopEvent_);
    if (waitEvent_) CloseHandle(waitEvent_);
    if (readEvent_) CloseHandle(readEvent_);
}

bool hReceiveThread::Start() {
    // Manual reset, as overlapped waits need; the wait event starts
    // signalled so that the first pass goes straight to its wait.
    stopEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    waitEvent_ = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    readEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!stopEvent_ || !waitEvent_ || !readEvent_) return false;
    running_.store(true, std::memory_order_release);
    try {
        thread_ = std::thread([this] { Execute(); });
    } catch (...) {
        running_.store(false, std::memory_order_release);
        return false;
    }
    return true;
}

void hReceiveThread::RequestStop() {
    {
        std::lock_guard<std::mutex> lock(portLock_);
        stopRequested_.store(true, std::memory_order_release);
    }
    if (stopEvent_) SetEvent(stopEvent_);
}

bool hReceiveThread::ClosePortAndStop() {
    {
        std::lock_guard<std::mutex> lock(portLock_);
        if (!CloseHandle(port_)) return false;
        stopRequested_.store(true, std::memory_order_release);
    }
    SetEvent(stopEvent_);
    return true;
}

void hReceiveThread::Join() {
    if (thread_.joinable()) thread_.join();
}

bool hReceiveThread::stopping() const {
    return stopRequested_.load(std::memory_order_acquire);
}

bool hReceiveThread::Pause(DWORD ms) {
    return WaitForSingleObject(stopEvent_, ms) == WAIT_OBJECT_0;
}

bool hReceiveThread::AwaitOrStop(HANDLE event) {
    // The stop event comes first, so it wins when both are signalled.
    HANDLE both[2] = {stopEvent_, event};
    return WaitForMultipleObjects(2, both, FALSE, INFINITE) == WAIT_OBJECT_0 + 1;
}

void hReceiveThread::Execute() {
    Io& io = *io_;
    ZeroMemory(&io.waitOverlapped, sizeof io.waitOverlapped);
    io.waitOverlapped.hEvent = waitEvent_;
    io.readOverlapped.hEvent = readEvent_;

    bool started = false;
    WithPort([&] { started = SetCommMask(port_, EV_RXCHAR) != 0; });
    // A thread that cannot wait for characters receives nothing; the port
    // stays open for writing until it is closed.
    while (started && !stopping()) {
        if (!AwaitOrStop(waitEvent_)) break;
        waitPending_ = false;
        wakeups_.fetch_add(1, std::memory_order_relaxed);

        BOOL done = FALSE;
        DWORD error = 0;
        const bool called = WithPort([&] {
            ResetEvent(waitEvent_);
            done = WaitCommEvent(port_, &io.eventMask, &io.waitOverlapped);
            error = done ? 0 : GetLastError();
            if (done) RefreshQueueCount();
        });
        if (!called) break;
        if (done) {
            // Something was already waiting: its bytes are read in the next
            // pass, once a wait is pending again.
            SetEvent(waitEvent_);
            continue;
        }
        if (error != ERROR_IO_PENDING) {
            // The event may stay reset after a failed call: wait a little and
            // try again rather than sleep for good or spin.
            if (Pause(kRetryPauseMs)) break;
            SetEvent(waitEvent_);
            continue;
        }
        waitPending_ = true;
        if (!WithPort([&] { RefreshQueueCount(); })) break;
        if (!Drain()) break;
    }
    SettlePending();
    running_.store(false, std::memory_order_release);
}

void hReceiveThread::RefreshQueueCount() {
    DWORD errors = 0;
    // Line errors (overrun, framing, break) are cleared by the call and
    // otherwise let pass: the frame checksums catch what they spoil.
    if (!ClearCommError(port_, &errors, &io_->comStat)) io_->comStat.cbInQue = 0;
}

bool hReceiveThread::Drain() {
    Io& io = *io_;
    bool unflagged = false;  // bytes stored since rxPending was last raised
    while (io.comStat.cbInQue > 0) {
        BOOL read = FALSE;
        DWORD error = 0;
        if (!WithPort([&] {
                ResetEvent(readEvent_);
                io.readCount = 0;
                read = ReadFile(port_, &io.byte, 1, &io.readCount, &io.readOverlapped);
                error = read ? 0 : GetLastError();
            })) {
            break;
        }
        if (!read && error == ERROR_IO_PENDING) {
            readPending_ = true;
            if (!AwaitOrStop(readEvent_)) break;
            readPending_ = false;
            if (!WithPort([&] { read = GetOverlappedResult(port_, &io.readOverlapped, &io.readCount, FALSE); })) break;
        }
        // A read that failed or brought nothing ends this drain: retrying it
        // on a port that is going away would never reach the stop test, and
        // an empty read has no byte to store.
        if (!read || io.readCount != 1) break;
        if (!WithPort([&] { RefreshQueueCount(); })) io.comStat.cbInQue = 0;
        StoreReceivedByte(link_, io.byte);
        unflagged = true;
        if (io.comStat.cbInQue == 0) {
            RaiseRxPending(link_);
            unflagged = false;
        }
    }
    // Bytes stored before a drain that ended early still reach the consumer.
    if (unflagged) RaiseRxPending(link_);
    return !stopping();
}

void hReceiveThread::SettlePending() {
    // The port's close completes a pending wait and read; their records live
    // in this object, so the thread ends only when the system is done with
    // them.
    DWORD waited = 0;
    for (HANDLE event : {waitPending_ ? waitEvent_ : nullptr, readPending_ ? readEvent_ : nullptr}) {
        if (event == nullptr) continue;
        const DWORD start = GetTickCount();
        if (WaitForSingleObject(event, waited < kSettleMs ? kSettleMs - waited : 0) != WAIT_OBJECT_0) {
            abandoned_ = true;  // the destructor must not free what the system may still write
        }
        waited += GetTickCount() - start;
    }
    waitPending_ = readPending_ = false;
}

}  // namespace dialscope

#include "serial/receive_thread_win32.h"

#include <algorithm>
#include <cerrno>


namespace dialscope {
namespace {

// After a wait for characters that failed at once (the adapter pulled out,
// the driver refusing the call), the next try waits this long, so a dead
// port costs no processor time; a stop request still ends the pause at once.
constexpr DWORD kRetryPauseMs = 100;
// How long the ending thread waits for its cancelled wait and read to
// complete before it gives their records up for good.
constexpr DWORD kSettleMs = 2000;
// rxPending is raised when a stored byte leaves the driver's queue empty. A
// line that streams without a gap while the reads only just keep pace never
// empties the queue, and the protocol tick would never be told to read while
// the ring laps over unread bytes; so it is raised after this many bytes at
// the latest. A quarter of the ring, well under one tick's worth of slack.
constexpr uint32_t kMaxUnflaggedBytes = 512;
// Passes that bring no byte, in a row, before the thread takes a pause.
constexpr int kEmptyPassesBeforePause = 8;
// How long a thread that found the ring full waits before looking again.
constexpr DWORD kFullRingPauseMs = 10;

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

int hReceiveThread::Start() {
    // Manual reset, as overlapped waits need; the wait event starts
    // signalled so that the first pass goes straight to its wait.
    stopEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    waitEvent_ = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    readEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!stopEvent_ || !waitEvent_ || !readEvent_) return ENOMEM;
    running_.store(true, std::memory_order_release);
    try {
        thread_ = std::thread([this] { Execute(); });
    } catch (...) {
        running_.store(false, std::memory_order_release);
        return ENOMEM;
    }
    return 0;
}

void hReceiveThread::RequestStop() {
    {
        std::lock_guard<std::mutex> lock(portLock_);
        stopRequested_.store(true, std::memory_order_release);
    }
    if (stopEvent_) SetEvent(stopEvent_);
}

bool hReceiveThread::Stop() {
    {
        std::lock_guard<std::mutex> lock(portLock_);
        if (!CloseHandle(port_)) return false;
        stopRequested_.store(true, std::memory_order_release);
    }
    SetEvent(stopEvent_);
    return true;
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
        const uint64_t before = stored_;

        BOOL done = FALSE;
        DWORD error = 0;
        const bool called = WithPort([&] {
            ResetEvent(waitEvent_);
            done = WaitCommEvent(port_, &io.eventMask, &io.waitOverlapped);
            error = done ? 0 : GetLastError();
            RefreshQueueCount();
        });
        if (!called) break;
        if (!done && error != ERROR_IO_PENDING) {
            // The event may stay reset after a failed call: wait a little and
            // try again rather than sleep for good or spin.
            if (Pause(kRetryPauseMs)) break;
            SetEvent(waitEvent_);
            continue;
        }
        // A wait that completed at once means characters were waiting. Some
        // drivers report that for as long as the input queue holds any, so
        // the bytes are read now either way, and the next pass starts at once.
        if (done) SetEvent(waitEvent_);
        else waitPending_ = true;
        if (!Drain()) break;

        // Passes that bring no byte, one after another, mean a port that
        // completes every wait at once (a line that has hung up): pause
        // rather than spin. A quiet line blocks in the wait instead.
        emptyPasses_ = stored_ == before ? emptyPasses_ + 1 : 0;
        if (emptyPasses_ >= kEmptyPassesBeforePause) {
            emptyPasses_ = 0;
            if (Pause(kRetryPauseMs)) break;
        }
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
    uint32_t unflagged = 0;  // bytes stored since rxPending was last raised
    while (io.comStat.cbInQue > 0) {
        const int32_t room = ring_.Room();
        if (room <= 0) {
            // The tick has not emptied the ring for a while (a busy
            // machine): the bytes wait with the driver until it makes room.
            ring_.RaisePending();
            unflagged = 0;
            if (Pause(kFullRingPauseMs)) break;
            continue;
        }
        BOOL read = FALSE;
        DWORD error = 0;
        if (!WithPort([&] {
                ResetEvent(readEvent_);
                io.readCount = 0;
                // What the driver says is waiting, in one read: a read per
                // byte costs a round trip through the system each, and under
                // Wine that fell behind the line's 5760 bytes a second.
                const DWORD want = std::min<DWORD>({io.comStat.cbInQue, static_cast<DWORD>(sizeof io.bytes),
                                                    static_cast<DWORD>(room)});
                read = ReadFile(port_, io.bytes, want, &io.readCount, &io.readOverlapped);
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
        // on a port that is going away would never reach the stop test.
        if (!read || io.readCount == 0) break;
        const DWORD got = io.readCount < sizeof io.bytes ? io.readCount : static_cast<DWORD>(sizeof io.bytes);
        if (!WithPort([&] { RefreshQueueCount(); })) io.comStat.cbInQue = 0;
        for (DWORD i = 0; i < got; ++i) ring_.Store(io.bytes[i]);
        stored_ += got;
        unflagged += got;
        if (io.comStat.cbInQue == 0 || unflagged >= kMaxUnflaggedBytes) {
            ring_.RaisePending();
            unflagged = 0;
        }
    }
    // Bytes stored before a drain that ended early still reach the consumer.
    if (unflagged > 0) ring_.RaisePending();
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

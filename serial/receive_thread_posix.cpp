#include "serial/receive_thread_posix.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>


namespace dialscope {

hReceiveThread::~hReceiveThread() {
    Stop();
    Join();
    if (stopEvent_ >= 0) ::close(stopEvent_);
}

int hReceiveThread::Start() {
    stopEvent_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (stopEvent_ < 0) return errno;
    running_.store(true, std::memory_order_release);
    try {
        thread_ = std::thread(&hReceiveThread::Execute, this);
    } catch (const std::system_error& e) {
        running_.store(false, std::memory_order_release);
        ::close(stopEvent_);
        stopEvent_ = -1;
        return e.code().value() != 0 ? e.code().value() : EAGAIN;
    }
    return 0;
}

bool hReceiveThread::Stop() {
    stopRequested_.store(true, std::memory_order_release);
    if (stopEvent_ >= 0) {
        // Closing the port would not wake a poll() on it; this does, at once.
        const uint64_t one = 1;
        ssize_t ignored = ::write(stopEvent_, &one, sizeof one);
        (void)ignored;
    }
    return true;
}

void hReceiveThread::Execute() {
    pollfd fds[2] = {{fd_, POLLIN, 0}, {stopEvent_, POLLIN, 0}};
    while (!stopRequested_.load(std::memory_order_acquire)) {
        // No time-out: an idle line costs no processor time.
        int ready = ::poll(fds, 2, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            break;
        }
        wakeups_.fetch_add(1, std::memory_order_relaxed);
        if (fds[1].revents != 0) break;  // stop event
        const short events = fds[0].revents;
        if (events & POLLNVAL) break;
        if ((events & (POLLIN | POLLHUP | POLLERR)) && !Drain()) break;
        if (ringFull_) {
            // The tick has not emptied the ring for a while (a busy machine):
            // the bytes wait with the driver until it has made room.
            pollfd stop{stopEvent_, POLLIN, 0};
            if (::poll(&stop, 1, kFullRingPauseMs) > 0) break;
            continue;
        }
        // A pulled adapter (or the far end of a pty gone) keeps reporting
        // POLLHUP/POLLERR at once on every poll: that is the end of the line,
        // not something to wait out.
        if (events & (POLLHUP | POLLERR)) break;
    }
    running_.store(false, std::memory_order_release);
}

bool hReceiveThread::Drain() {
    uint8_t chunk[64];
    // rxPending rises when a read has emptied the driver's queue. Reads of 64
    // bytes straight from the tty keep far ahead of the line, so the queue
    // runs dry after every burst the device sends.
    uint32_t unflagged = 0;  // bytes stored since rxPending was last raised
    ringFull_ = false;
    for (;;) {
        if (stopRequested_.load(std::memory_order_acquire)) {
            if (unflagged > 0) ring_.RaisePending();
            return false;
        }
        const int32_t room = ring_.Room();
        if (room <= 0) {
            ringFull_ = true;
            ring_.RaisePending();
            return true;
        }
        ssize_t got = ::read(fd_, chunk, std::min(sizeof chunk, static_cast<size_t>(room)));
        if (got > 0) {
            // What is still queued decides whether this read emptied the
            // driver's input queue; a failed query (line gone) counts as empty.
            int queued = 0;
            if (::ioctl(fd_, FIONREAD, &queued) != 0) queued = 0;
            for (ssize_t i = 0; i < got; ++i) ring_.Store(chunk[i]);
            unflagged += static_cast<uint32_t>(got);
            if (queued <= 0) {
                ring_.RaisePending();
                return true;
            }
            continue;
        }
        if (got < 0 && errno == EINTR) continue;
        // Bytes stored before the drain ended still reach the consumer.
        if (unflagged > 0) ring_.RaisePending();
        // With VMIN=1 an empty non-blocking tty gives EAGAIN; 0 means the
        // other end has hung up.
        if (got == 0) return false;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
        return false;  // EIO and the like: the adapter is gone
    }
}

}  // namespace dialscope

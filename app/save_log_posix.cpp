#include "app/save_log.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

namespace dialscope {

namespace {

using Clock = std::chrono::steady_clock;

// How long a pipe may take none of our bytes before the save gives up.
std::chrono::milliseconds stallLimit{2000};

// O_NONBLOCK: a FIFO with nobody reading it would otherwise hold the open
// (and the window with it) until a reader comes; this way the open fails at
// once with ENXIO. O_NOCTTY: a terminal chosen as the file never becomes the
// program's controlling terminal.
int OpenForAppend(const char* path) {
    int fd;
    do {
        fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) return fd;
    // Second chance: create the file. O_EXCL makes sure this never truncates
    // a file that is already there (its earlier logs would be lost).
    do {
        fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// A regular file is written as it always was, blocking; anything else (a
// pipe, a FIFO, a terminal) keeps O_NONBLOCK and is waited on with poll, for
// at most stallLimit without progress.
bool WriteAll(int fd, const char* bytes, size_t count, bool waitWithPoll) {
    auto deadline = Clock::now() + stallLimit;
    while (count > 0) {
        ssize_t n = ::write(fd, bytes, WriteCallSize(count));
        if (n < 0) {
            if (errno == EINTR) continue;
            if (waitWithPoll && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
                if (left.count() <= 0) return false;  // the reader has stopped reading
                pollfd p{fd, POLLOUT, 0};
                if (::poll(&p, 1, static_cast<int>(left.count()) + 1) < 0 && errno != EINTR) return false;
                continue;
            }
            return false;
        }
        if (n == 0) return false;  // no progress: treat like a full disk
        bytes += n;
        count -= static_cast<size_t>(n);
        deadline = Clock::now() + stallLimit;
    }
    return true;
}

// A reader that goes away in the middle must make the write fail with EPIPE,
// not end the program with SIGPIPE (the window does not ignore it). SIGPIPE
// from a write goes to the writing thread: it is blocked here for the save,
// and one that the save raised is taken away before the old mask returns.
class PipeSignalHeld {
public:
    PipeSignalHeld() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_, &old_);
        sigset_t pending;
        sigpending(&pending);
        wasPending_ = sigismember(&pending, SIGPIPE) == 1;
    }
    ~PipeSignalHeld() {
        if (!wasPending_) {
            timespec zero{0, 0};
            while (sigtimedwait(&pipe_, nullptr, &zero) > 0) {
            }
        }
        pthread_sigmask(SIG_SETMASK, &old_, nullptr);
    }
    PipeSignalHeld(const PipeSignalHeld&) = delete;
    PipeSignalHeld& operator=(const PipeSignalHeld&) = delete;

private:
    sigset_t pipe_{};
    sigset_t old_{};
    bool wasPending_ = false;
};

}  // namespace

void LimitStallForTesting(std::chrono::milliseconds limit) {
    stallLimit = limit.count() > 0 ? limit : std::chrono::milliseconds(2000);
}

bool AppendBytesToFile(const std::string& bytes, const std::string& fileName) {
    const int fd = OpenForAppend(fileName.c_str());
    if (fd < 0) return false;

    struct stat st {};
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    bool ok = true;
    if (regular) {
        const int flags = ::fcntl(fd, F_GETFL);
        ok = flags >= 0 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
        ok = ok && WriteAll(fd, bytes.data(), bytes.size(), false);
    } else {
        PipeSignalHeld held;
        ok = WriteAll(fd, bytes.data(), bytes.size(), true);
    }

    // A network or nearly full file system may accept the write and refuse
    // the data only on the way to the disk. Special files (a pipe, a tty)
    // cannot be synced and say so with EINVAL/EROFS: nothing was lost there.
    if (ok && ::fsync(fd) != 0 && errno != EINVAL && errno != EROFS) ok = false;

    // On Linux the descriptor is gone after close() even when it reports
    // EINTR, and the data has already been synced, so only other errors count.
    if (::close(fd) != 0 && errno != EINTR) ok = false;
    return ok;
}

}  // namespace dialscope

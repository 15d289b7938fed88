#include "app/save_log.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

namespace dialscope {

namespace {

int OpenForAppend(const char* path) {
    int fd;
    do {
        fd = ::open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd >= 0) return fd;
    // Second chance: create the file. O_EXCL makes sure this never truncates
    // a file that is already there (its earlier logs would be lost).
    do {
        fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

bool WriteAll(int fd, const char* bytes, size_t count) {
    while (count > 0) {
        ssize_t n = ::write(fd, bytes, WriteCallSize(count));
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return false;  // no progress: treat like a full disk
        bytes += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool AppendBytesToFile(const std::string& bytes, const std::string& fileName) {
    const int fd = OpenForAppend(fileName.c_str());
    if (fd < 0) return false;

    bool ok = WriteAll(fd, bytes.data(), bytes.size());

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

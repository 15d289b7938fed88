// The history's file system calls on Linux and other POSIX systems.
#include "history/file_system.h"

#include <fcntl.h>
#include <pwd.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace dialscope::history::files {
namespace {

Info InfoOf(const struct stat& st) {
    Info info;
    info.size = st.st_size;
    info.file = (static_cast<uint64_t>(st.st_dev) << 40) ^ static_cast<uint64_t>(st.st_ino);
    info.changed = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    info.kind = S_ISREG(st.st_mode)                          ? Kind::Regular
                : S_ISDIR(st.st_mode)                        ? Kind::Folder
                : S_ISFIFO(st.st_mode)                       ? Kind::Fifo
                : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? Kind::Device
                : S_ISSOCK(st.st_mode)                       ? Kind::Socket
                                                             : Kind::Other;
    return info;
}

bool WriteFully(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// A path as a word a shell takes as it is.
std::string ShellWord(const std::string& path) {
    if (path.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._-+,:@%") ==
        std::string::npos)
        return path;
    std::string word = "'";
    for (char c : path) word += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return word + "'";
}

// Reads up to n bytes from the start of the file through SQLite's default
// file layer; -1 with *error when it fails. The layer opens only names it
// has resolved itself (links followed), so the name is resolved by it
// first, and what that name holds is looked at once more just before.
// The size is the caller's: the layer reports a file of one byte as empty.
int64_t ReadThroughSqlite(const std::string& path, int64_t size, void* buffer, size_t n, std::string* error) {
    sqlite3_vfs* vfs = sqlite3_vfs_find(nullptr);
    if (!vfs) {
        *error = "no file layer";
        return -1;
    }
    // The layer may look past the name for parameters: room for them to end.
    std::string name(static_cast<size_t>(vfs->mxPathname) + 2, '\0');
    int rc = vfs->xFullPathname(vfs, path.c_str(), vfs->mxPathname + 1, name.data());
    if (rc != SQLITE_OK) {
        *error = sqlite3_errstr(rc);
        return -1;
    }
    struct stat st {};
    if (lstat(name.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = "it was replaced while it was being opened";
        return -1;
    }
    // The layer's own failure would not say why.
    if (faccessat(AT_FDCWD, name.c_str(), R_OK, AT_EACCESS) != 0) {
        *error = std::strerror(errno);
        return -1;
    }
    std::vector<std::max_align_t> space((static_cast<size_t>(vfs->szOsFile) + sizeof(std::max_align_t) - 1) /
                                        sizeof(std::max_align_t));
    auto* file = reinterpret_cast<sqlite3_file*>(space.data());
    int outFlags = 0;
    rc = vfs->xOpen(vfs, name.c_str(), file, SQLITE_OPEN_READONLY | SQLITE_OPEN_MAIN_DB, &outFlags);
    if (rc != SQLITE_OK) {
        // A failed open leaves no methods behind to close.
        if (file->pMethods) file->pMethods->xClose(file);
        *error = sqlite3_errstr(rc);
        return -1;
    }
    const int want = static_cast<int>(std::min<int64_t>(size, static_cast<int64_t>(n)));
    if (want > 0) rc = file->pMethods->xRead(file, buffer, want, 0);
    file->pMethods->xClose(file);
    if (rc != SQLITE_OK) {
        *error = sqlite3_errstr(rc);
        return -1;
    }
    return want;
}

}  // namespace

std::optional<Info> Look(const std::string& path, bool* missing, std::string* error) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) return InfoOf(st);
    if (missing) *missing = errno == ENOENT;
    if (error) *error = std::strerror(errno);
    return std::nullopt;
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

bool NameTaken(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0;
}

bool MayWrite(const std::string& path, bool* missing) {
    if (access(path.c_str(), W_OK) == 0) return true;
    if (missing) *missing = errno == ENOENT;
    return false;
}

std::string Dirname(const std::string& path) {
    auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The folders made here are the user's alone (0700, whatever the umask):
// the history holds names and numbers.
bool MakeFolders(const std::string& dir, std::string* error) {
    std::string partial;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = dir.find('/', pos + 1);
        partial = dir.substr(0, pos);
        if (partial.empty()) continue;
        if (mkdir(partial.c_str(), 0700) == 0) {
            chmod(partial.c_str(), 0700);
        } else if (errno != EEXIST) {
            *error = "the folder " + partial + " cannot be created: " + std::strerror(errno);
            return false;
        }
    }
    struct stat st {};
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *error = dir + " is not a folder";
        return false;
    }
    return true;
}

// The start of the file is read through SQLite's own file layer, never
// through a descriptor of ours: on POSIX, closing any descriptor of a file
// drops every lock this process holds on it, so a history that another
// connection of this process has open (serve's pages, the collector) would
// silently lose its locks, and another program would take itself for the
// last one and remove the write-ahead log under us. SQLite keeps a
// descriptor open while any of its connections holds a lock on the file.
// The kind is looked up first on a path-only descriptor (whose closing
// drops no lock): a FIFO is never opened for reading, which would wait for
// a writer.
int64_t ReadStart(const std::string& path, void* buffer, size_t n, std::optional<Info>* info, std::string* error) {
#ifdef O_PATH
    const int flags = O_PATH | O_CLOEXEC;
#else
    const int flags = O_RDONLY | O_CLOEXEC | O_NONBLOCK;
#endif
    int pinned = open(path.c_str(), flags);
    if (pinned < 0) {
        info->reset();
        if (errno == ENOENT) return 0;
        *error = std::strerror(errno);
        return -1;
    }
    struct stat st {};
    fstat(pinned, &st);
    *info = InfoOf(st);
    int64_t got = 0;
    if (S_ISREG(st.st_mode)) got = ReadThroughSqlite(path, st.st_size, buffer, n, error);
#ifdef O_PATH
    close(pinned);
#else
    // Without path-only descriptors this one is kept: closing it could
    // drop the locks of a connection open on the same file.
#endif
    return got;
}

// SQLite gives the files it keeps beside the history the history's mode.
void CreatePrivate(const std::string& path) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd >= 0) {
        fchmod(fd, 0600);
        close(fd);
    }
}

bool Remove(const std::string& path, std::string* error) {
    if (unlink(path.c_str()) == 0) return true;
    if (error) *error = std::strerror(errno);
    return false;
}

bool AppendDurably(const std::string& path, const std::string& bytes, std::string* error) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0 || !WriteFully(fd, bytes) || fsync(fd) != 0) {
        *error = std::strerror(errno);
        if (fd >= 0) close(fd);
        return false;
    }
    close(fd);
    return true;
}

std::string ReadableByOthers(const std::string& path) {
    struct stat folder {};
    if (stat(Dirname(path).c_str(), &folder) != 0) return {};
    std::string files;
    for (const char* suffix : {"", "-wal", "-shm"}) {
        struct stat st {};
        const std::string file = path + suffix;
        if (stat(file.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        if (((st.st_mode & S_IRGRP) && (folder.st_mode & S_IXGRP)) ||
            ((st.st_mode & S_IROTH) && (folder.st_mode & S_IXOTH)))
            files += " " + ShellWord(file);
    }
    if (files.empty()) return {};
    return "The call history " + path +
           " can be read by other users of this computer, and it holds names and phone numbers. "
           "To keep it private: chmod 600" + files;
}

std::string UriPath(const std::string& path) { return path; }

std::string DefaultHistoryPath(std::string* problem) {
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg && xdg[0] == '/') return std::string(xdg) + "/dialscope/calls.sqlite3";
    // The home folder: HOME, or when that is unset or empty the account's own.
    std::string home, from = "HOME";
    if (const char* env = std::getenv("HOME"); env && env[0]) {
        home = env;
    } else {
        from = "the user database";
        std::vector<char> buffer(16384);
        struct passwd entry {};
        struct passwd* found = nullptr;
        if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir)
            home = found->pw_dir;
    }
    const std::string what = "The call history has no place: ";
    const std::string fix = " Set HOME to your home folder, or name the history file with --history.";
    struct stat st {};
    if (home.empty()) {
        *problem = what + "HOME is not set and the user database names no home folder for this user." + fix;
        return {};
    }
    // The history is never made inside a home folder that is not there (a
    // mistyped HOME, an account without one): the home is not ours to create.
    if (home[0] != '/')
        *problem = what + "the home folder " + home + " (from " + from + ") is not a full path." + fix;
    else if (stat(home.c_str(), &st) != 0)
        *problem = what + "the home folder " + home + " (from " + from + ") does not exist." + fix;
    else if (!S_ISDIR(st.st_mode))
        *problem = what + "the home folder " + home + " (from " + from + ") is not a folder." + fix;
    if (home.size() > 1 && home.back() == '/') home.pop_back();
    return home + "/.local/share/dialscope/calls.sqlite3";
}

struct LockedFile::Handle {
    int fd = -1;
    std::string path;
};

LockedFile::LockedFile(std::unique_ptr<Handle> handle) : handle_(std::move(handle)) {}

LockedFile::~LockedFile() {
    if (handle_->fd >= 0) close(handle_->fd);
}

std::unique_ptr<LockedFile> LockedFile::Open(const std::string& path, Mode mode, bool wait, std::string* error) {
    error->clear();
    // Appending reads too: the last byte says whether a line was left cut.
    const int flags = mode == Mode::Append ? O_RDWR | O_CREAT | O_APPEND : O_RDWR;
    for (int attempt = 0; attempt < 10; ++attempt) {
        int fd = open(path.c_str(), flags | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK, 0600);
        if (fd < 0) {
            if (errno != ENOENT || (flags & O_CREAT)) *error = std::strerror(errno);
            return nullptr;
        }
        struct stat held {}, named {};
        if (fstat(fd, &held) != 0 || !S_ISREG(held.st_mode)) {
            *error = "it is not a regular file";
            close(fd);
            return nullptr;
        }
        if (flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB)) != 0) {
            *error = errno == EWOULDBLOCK ? "another program is taking it in" : std::strerror(errno);
            close(fd);
            return nullptr;
        }
        if (stat(path.c_str(), &named) == 0 && named.st_dev == held.st_dev && named.st_ino == held.st_ino) {
            if (mode == Mode::Append) fchmod(fd, 0600);
            auto handle = std::make_unique<Handle>();
            handle->fd = fd;
            handle->path = path;
            return std::unique_ptr<LockedFile>(new LockedFile(std::move(handle)));
        }
        close(fd);
    }
    *error = "it keeps being replaced";
    return nullptr;
}

int64_t LockedFile::Size() const {
    struct stat st {};
    return fstat(handle_->fd, &st) == 0 ? st.st_size : 0;
}

bool LockedFile::ReadAt(int64_t at, void* buffer, size_t n, std::string* error) const {
    size_t got = 0;
    auto* bytes = static_cast<char*>(buffer);
    errno = 0;
    while (got < n) {
        ssize_t r = pread(handle_->fd, bytes + got, n - got, static_cast<off_t>(at + static_cast<int64_t>(got)));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        got += static_cast<size_t>(r);
    }
    if (got == n) return true;
    *error = std::strerror(errno ? errno : EIO);
    return false;
}

bool LockedFile::AppendDurably(const std::string& bytes, std::string* error) {
    if (WriteFully(handle_->fd, bytes) && fsync(handle_->fd) == 0) return true;
    *error = std::strerror(errno);
    return false;
}

bool LockedFile::RemoveLocked(std::string* error) { return Remove(handle_->path, error); }

}  // namespace dialscope::history::files

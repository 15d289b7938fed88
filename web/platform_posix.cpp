#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "ports/port_scan.h"
#include "ports/registry_sysfs.h"

#include "web/platform.h"

namespace dialscope::web {

namespace {

bool IsToken(const std::string& s) {
    if (s.size() != 64) return false;
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

}  // namespace

bool RandomHex(size_t count, std::string* hex, std::string* problem) {
    std::vector<unsigned char> bytes(count);
    size_t got = 0;
    while (got < count) {
        const ssize_t n = getrandom(bytes.data() + got, count - got, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *problem = std::string("No random numbers for the web page's token: ") + std::strerror(errno) + ".";
            return false;
        }
        got += static_cast<size_t>(n);
    }
    static constexpr char kHex[] = "0123456789abcdef";
    hex->clear();
    for (unsigned char b : bytes) *hex += {kHex[b >> 4], kHex[b & 15]};
    return true;
}

// The program's own port scan over sysfs, as the watcher sees the adapters.
AdapterState FindAdapter() {
    AdapterState state;
    try {
        PortList ports;
        ScanPortsNt(ports, MakeSysfsRegistryFactory());
        state.known = true;
        if (const int32_t at = ports.FirstPresentPort()) {
            state.present = true;
            state.port = ports.GetPortField(at, 2);
        }
    } catch (const RegistryError&) {
        state.known = false;
    }
    return state;
}

bool LoadOrMakeToken(const std::string& path, std::string* token, std::string* problem) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        struct stat st {};
        std::string text(128, '\0');
        ssize_t n = -1;
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) n = read(fd, text.data(), text.size());
        close(fd);
        if (!S_ISREG(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
            *problem = "The web page's token file " + path +
                       " belongs to another user or others may read it; it is not used. Remove it (a new one is "
                       "made), or make it yours alone: chmod 600 " + path;
            return false;
        }
        if (n > 0) {
            text.resize(static_cast<size_t>(n));
            while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
            if (IsToken(text)) {
                *token = text;
                return true;
            }
        }
        // Empty or spoiled (a crash while it was written): made afresh.
        unlink(path.c_str());
    } else if (errno != ENOENT) {
        *problem = "The web page's token file " + path + " cannot be read: " + std::strerror(errno) + ".";
        return false;
    }
    if (!RandomHex(32, token, problem)) return false;
    const std::string temp = path + ".new";
    unlink(temp.c_str());
    fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    const std::string line = *token + "\n";
    const bool written = fd >= 0 && fchmod(fd, 0600) == 0 &&
                         write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()) && fsync(fd) == 0;
    const int err = errno;
    if (fd >= 0) close(fd);
    if (!written || rename(temp.c_str(), path.c_str()) != 0) {
        unlink(temp.c_str());
        *problem = "The web page's token cannot be kept in " + path + ": " + std::strerror(written ? errno : err) +
                   ". Check that its folder may be written.";
        return false;
    }
    return true;
}

}  // namespace dialscope::web

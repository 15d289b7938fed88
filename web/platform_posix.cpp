// The system calls of web/ on Linux: random bytes, files of secrets only
// this user may read, the machine's names, the limit of open descriptors.
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "web/platform.h"

namespace dialscope::web {

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

SecretFile ReadSecretFile(const std::string& path, const std::string& what, std::string* text, std::string* problem) {
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return SecretFile::Missing;
        *problem = "The file of " + what + " " + path + " cannot be read: " + std::strerror(errno) + ".";
        return SecretFile::Refused;
    }
    struct stat st {};
    text->assign(4096, '\0');
    ssize_t n = -1;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) n = read(fd, text->data(), text->size());
    const int err = errno;
    close(fd);
    if (!S_ISREG(st.st_mode) || st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
        *problem = "The file of " + what + " " + path +
                   " belongs to another user or others may read it; it is not used. Make it yours alone "
                   "(chmod 600 " + path + ") or remove it.";
        return SecretFile::Refused;
    }
    if (n < 0) {
        *problem = "The file of " + what + " " + path + " cannot be read: " + std::strerror(err) + ".";
        return SecretFile::Refused;
    }
    text->resize(static_cast<size_t>(n));
    return SecretFile::Found;
}

bool WriteSecretFile(const std::string& path, const std::string& what, const std::string& text, std::string* problem) {
    const std::string temp = path + ".new";
    unlink(temp.c_str());
    const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    const bool written = fd >= 0 && fchmod(fd, 0600) == 0 &&
                         write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) && fsync(fd) == 0;
    const int err = errno;
    if (fd >= 0) close(fd);
    if (!written || rename(temp.c_str(), path.c_str()) != 0) {
        const int why = written ? errno : err;
        unlink(temp.c_str());
        *problem = "The " + what + " cannot be kept in " + path + ": " + std::strerror(why) +
                   ". Check that its folder may be written.";
        return false;
    }
    return true;
}

std::vector<std::string> MachineNames() {
    std::vector<std::string> names;
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) == 0 && host[0]) names.emplace_back(host);
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return names;
    for (const ifaddrs* i = list; i; i = i->ifa_next) {
        if (!i->ifa_addr || !(i->ifa_flags & IFF_UP)) continue;
        const int family = i->ifa_addr->sa_family;
        if (family != AF_INET && family != AF_INET6) continue;
        char text[NI_MAXHOST];
        const socklen_t size = family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
        if (getnameinfo(i->ifa_addr, size, text, sizeof text, nullptr, 0, NI_NUMERICHOST) != 0) continue;
        std::string name = text;
        if (name.find('%') != std::string::npos) continue;  // link-local with a zone: no browser names it so
        names.push_back(family == AF_INET6 ? "[" + name + "]" : name);
    }
    freeifaddrs(list);
    return names;
}

size_t RaiseOpenFileLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
    // "No limit" is not taken for descriptors (Linux stops at fs.nr_open):
    // a million, else 65536, is more than the pages ever hold.
    for (const rlim_t wanted : {limit.rlim_max, rlim_t{1} << 20, rlim_t{65536}}) {
        if (wanted == RLIM_INFINITY || wanted <= limit.rlim_cur || wanted > limit.rlim_max) continue;
        rlimit raised = limit;
        raised.rlim_cur = wanted;
        if (setrlimit(RLIMIT_NOFILE, &raised) == 0) {
            limit = raised;
            break;
        }
    }
    return limit.rlim_cur == RLIM_INFINITY ? size_t{1} << 20 : static_cast<size_t>(limit.rlim_cur);
}

}  // namespace dialscope::web

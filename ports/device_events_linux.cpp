#include "ports/device_events_linux.h"

#include <linux/netlink.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace dialscope {

namespace {

// The kernel's own uevents go to multicast group 1 (udevd re-sends its
// processed copies, in libudev's format, to group 2).
constexpr uint32_t kKernelUeventGroup = 1;
// A uevent is at most a couple of kilobytes; anything the buffer cannot take
// whole arrives truncated and is dropped.
constexpr size_t kUeventBufferSize = 16384;
// Bounds one ReadEvents call during an event storm; the descriptor stays
// readable and the window comes back for the rest.
constexpr int kMaxReadsPerCall = 64;

DeviceEvent MakeEvent(uint32_t code) {
    DeviceEvent event;
    event.message = WM_DEVICECHANGE_ID;
    event.eventCode = code;
    event.deviceType = DBT_DEVTYP_DEVICEINTERFACE_TYPE;
    return event;
}

// Back-to-back identical events need one refresh only.
void Push(std::vector<DeviceEvent>& events, const DeviceEvent& event) {
    if (!events.empty() && events.back().eventCode == event.eventCode) return;
    events.push_back(event);
}

// Events were lost: make the port logic look at both sides again.
void PushLost(std::vector<DeviceEvent>& events) {
    Push(events, MakeEvent(DBT_DEVICEREMOVECOMPLETE_CODE));
    Push(events, MakeEvent(DBT_DEVICEARRIVAL_CODE));
}

}  // namespace

uint8_t GetPlatformFamily() { return kFamilyNt; }

std::optional<DeviceEvent> ParseUevent(const char* data, size_t len) {
    if (data == nullptr || len == 0) return std::nullopt;
    const std::string_view message(data, len);
    if (message.starts_with("libudev")) return std::nullopt;

    // "<action>@<devpath>" then NUL-terminated KEY=VALUE fields.
    const size_t headerEnd = message.find('\0');
    if (headerEnd == std::string_view::npos) return std::nullopt;
    const std::string_view header = message.substr(0, headerEnd);
    const size_t at = header.find('@');
    if (at == std::string_view::npos || at == 0 || at + 1 >= header.size() ||
        header[at + 1] != '/')
        return std::nullopt;
    const std::string_view headerAction = header.substr(0, at);

    std::optional<std::string_view> action, subsystem;
    size_t pos = headerEnd + 1;
    while (pos < message.size()) {
        const size_t end = message.find('\0', pos);
        // A last field without its NUL was cut short: ignore it.
        if (end == std::string_view::npos) break;
        const std::string_view field = message.substr(pos, end - pos);
        pos = end + 1;
        const size_t eq = field.find('=');
        if (eq == std::string_view::npos) continue;
        const std::string_view key = field.substr(0, eq);
        const std::string_view value = field.substr(eq + 1);
        if (key == "ACTION" && !action) action = value;
        else if (key == "SUBSYSTEM" && !subsystem) subsystem = value;
    }
    if (!action || !subsystem || *action != headerAction || *subsystem != "tty")
        return std::nullopt;
    if (*action == "add") return MakeEvent(DBT_DEVICEARRIVAL_CODE);
    if (*action == "remove") return MakeEvent(DBT_DEVICEREMOVECOMPLETE_CODE);
    return std::nullopt;
}

UeventSource::UeventSource() {
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK,
                          NETLINK_KOBJECT_UEVENT);
    if (fd < 0) return;
    // A bigger queue rides out the burst of a hub full of devices; the kernel
    // may cap it, which is fine.
    const int bufferSize = 1 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bufferSize, sizeof bufferSize);
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_pid = 0;  // the kernel picks our port id
    address.nl_groups = kKernelUeventGroup;
    if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return;
    }
    fd_ = fd;
}

UeventSource::~UeventSource() {
    if (fd_ >= 0) close(fd_);
}

std::vector<DeviceEvent> UeventSource::ReadEvents() {
    std::vector<DeviceEvent> events;
    if (fd_ < 0) return events;
    std::vector<char> buffer(kUeventBufferSize);
    for (int i = 0; i < kMaxReadsPerCall; ++i) {
        sockaddr_nl sender{};
        iovec part{buffer.data(), buffer.size()};
        msghdr header{};
        header.msg_name = &sender;
        header.msg_namelen = sizeof sender;
        header.msg_iov = &part;
        header.msg_iovlen = 1;
        const ssize_t n = recvmsg(fd_, &header, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            // The socket's queue overflowed and the kernel dropped messages.
            if (errno == ENOBUFS) {
                PushLost(events);
                continue;
            }
            break;  // EAGAIN: drained
        }
        if (header.msg_flags & MSG_TRUNC) continue;
        // Only the kernel (port id 0) sends to this group.
        if (header.msg_namelen < sizeof sender || sender.nl_pid != 0) continue;
        ++messagesRead_;
        if (auto event = ParseUevent(buffer.data(), static_cast<size_t>(n))) Push(events, *event);
    }
    return events;
}

SysfsTreeSource::SysfsTreeSource(const std::string& sysfsRoot) {
    const int fd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (fd < 0) return;
    const std::string dir = sysfsRoot + "/class/tty";
    if (inotify_add_watch(fd, dir.c_str(),
                          IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM | IN_ONLYDIR) < 0) {
        close(fd);
        return;
    }
    fd_ = fd;
}

SysfsTreeSource::~SysfsTreeSource() {
    if (fd_ >= 0) close(fd_);
}

std::vector<DeviceEvent> SysfsTreeSource::ReadEvents() {
    std::vector<DeviceEvent> events;
    if (fd_ < 0) return events;
    alignas(inotify_event) char buffer[4096];
    for (int i = 0; i < kMaxReadsPerCall; ++i) {
        const ssize_t n = read(fd_, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;  // EAGAIN: drained
        }
        if (n == 0) break;
        size_t offset = 0;
        while (offset + sizeof(inotify_event) <= static_cast<size_t>(n)) {
            inotify_event event;
            std::memcpy(&event, buffer + offset, sizeof event);
            offset += sizeof event + event.len;
            if (event.mask & IN_Q_OVERFLOW) {
                PushLost(events);
                continue;
            }
            if (event.len == 0) continue;  // about the directory itself
            if (event.mask & (IN_CREATE | IN_MOVED_TO))
                Push(events, MakeEvent(DBT_DEVICEARRIVAL_CODE));
            else if (event.mask & (IN_DELETE | IN_MOVED_FROM))
                Push(events, MakeEvent(DBT_DEVICEREMOVECOMPLETE_CODE));
        }
    }
    return events;
}

std::unique_ptr<DeviceEventSource> MakeDeviceEventSource(void*) {
    return MakeHotplugSource(std::getenv("DIALSCOPE_SYSFS_ROOT"));
}

// Device changes reach Linux programs through the sources above, never as
// window messages.
std::optional<DeviceEvent> DecodeWindowMessage(uint32_t, uintptr_t, intptr_t) { return std::nullopt; }

std::unique_ptr<HotplugSource> MakeHotplugSource(const char* sysfsRoot) {
    if (sysfsRoot != nullptr && sysfsRoot[0] != '\0')
        return std::make_unique<SysfsTreeSource>(sysfsRoot);
    return std::make_unique<UeventSource>();
}

}  // namespace dialscope

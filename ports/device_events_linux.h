// The Linux device-event sources behind MakeDeviceEventSource: the kernel's
// uevent stream (netlink), or, for a fake sysfs tree, inotify on
// <root>/class/tty. Either way they come out as DeviceEvents of the
// device-interface type, the kind the NT-layout port logic counts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ports/device_event.h"
#include "ports/device_events.h"

namespace dialscope {

// A source of the NT family: registered when its descriptor is up.
class HotplugSource : public DeviceEventSource {
public:
    uint8_t PlatformFamily() override { return GetPlatformFamily(); }
    bool Register(uint8_t) override { return ok(); }
    // False when the descriptor could not be set up.
    virtual bool ok() const = 0;
};

// One kernel uevent message to an event: a tty "add" is an arrival, a tty
// "remove" a removal; anything else, libudev's re-broadcasts, and malformed
// or truncated input give none. Safe on any bytes.
std::optional<DeviceEvent> ParseUevent(const char* data, size_t len);

// The kernel's uevent multicast group.
class UeventSource final : public HotplugSource {
public:
    UeventSource();
    ~UeventSource() override;
    UeventSource(const UeventSource&) = delete;
    UeventSource& operator=(const UeventSource&) = delete;

    int fd() const override { return fd_; }
    std::vector<DeviceEvent> ReadEvents() override;
    bool ok() const override { return fd_ >= 0; }
    // Kernel messages received so far, those that give no event included.
    size_t messagesRead() const { return messagesRead_; }

private:
    int fd_ = -1;
    size_t messagesRead_ = 0;
};

// Entries appearing in and vanishing from <sysfsRoot>/class/tty of a fake
// tree. Real sysfs raises no inotify events; use UeventSource there.
class SysfsTreeSource final : public HotplugSource {
public:
    explicit SysfsTreeSource(const std::string& sysfsRoot);
    ~SysfsTreeSource() override;
    SysfsTreeSource(const SysfsTreeSource&) = delete;
    SysfsTreeSource& operator=(const SysfsTreeSource&) = delete;

    int fd() const override { return fd_; }
    std::vector<DeviceEvent> ReadEvents() override;
    bool ok() const override { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// SysfsTreeSource on sysfsRoot, or UeventSource when it is null or empty.
std::unique_ptr<HotplugSource> MakeHotplugSource(const char* sysfsRoot);


}  // namespace dialscope

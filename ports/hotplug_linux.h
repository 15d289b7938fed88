// Where device arrivals and removals come from on Linux: the kernel's uevent
// stream (netlink), or, for a fake sysfs tree, inotify on <root>/class/tty.
// Either way they come out as DeviceEvents of the device-interface type, the
// kind the NT-layout port logic counts.
//
// The window watches fd() (readable = events waiting) and calls ReadEvents()
// on the main thread, handing each event to DeviceMonitor::OnWindowMessage.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ports/device_change.h"
#include "ports/device_event.h"

namespace dialscope {

// Linux presents the NT registry layout (through the sysfs view).
uint8_t GetPlatformFamily();

class HotplugSource {
public:
    virtual ~HotplugSource() = default;
    // -1 when the source could not be set up.
    virtual int fd() const = 0;
    // Everything waiting now, oldest first; never blocks.
    virtual std::vector<DeviceEvent> ReadEvents() = 0;
    // False when the registration for events failed.
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

// SysfsTreeSource on $DIALSCOPE_SYSFS_ROOT when that is set and not empty,
// else UeventSource.
std::unique_ptr<HotplugSource> MakeHotplugSource();
// The same with the root given (null or empty: the kernel's stream).
std::unique_ptr<HotplugSource> MakeHotplugSource(const char* sysfsRoot);

// Start-up hooks for DeviceMonitor: family 2, registered when the source is
// up. The source must outlive the call to StartPortDiscovery.
PlatformHooks LinuxPlatformHooks(const HotplugSource* source);

}  // namespace dialscope

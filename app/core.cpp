#include "app/core.h"

#if defined(_WIN32)
#include "ports/registry_win32.h"
#else
#include "ports/registry_sysfs.h"
#endif

namespace dialscope {

#if defined(_WIN32)
Core::Core(Link& link, WindowOps& window, SerialPort::WarningBox warn, RegistryFactory registry,
           PlatformHooks platform)
    : link_(link),
      serial_(link, std::move(warn)),
      protocol_(link, window, serial_),
      platform_(std::move(platform)),
      monitor_(ports_, registry ? std::move(registry) : MakeWin32RegistryFactory(), link.state,
               serial_, window),
      supervisor_(
          link.state, ports_, serial_, window,
          [this](uint8_t command) { return protocol_.SendCommand(command); },
          [this] { return serial_.lastOpenErrno(); }, [this] { return serial_.portOpen(); }) {}

void Core::StartPortDiscovery() { monitor_.StartPortDiscovery(platform_); }

#else
Core::Core(Link& link, WindowOps& window, SerialPort::WarningBox warn, RegistryFactory registry,
           std::unique_ptr<HotplugSource> hotplug)
    : link_(link),
      serial_(link, std::move(warn)),
      protocol_(link, window, serial_),
      hotplug_(hotplug ? std::move(hotplug) : MakeHotplugSource()),
      monitor_(ports_, registry ? std::move(registry) : MakeSysfsRegistryFactory(), link.state,
               serial_, window),
      supervisor_(
          link.state, ports_, serial_, window,
          [this](uint8_t command) { return protocol_.SendCommand(command); },
          [this] { return serial_.lastOpenErrno(); }, [this] { return serial_.portOpen(); }) {}

void Core::StartPortDiscovery() {
    monitor_.StartPortDiscovery(LinuxPlatformHooks(hotplug_.get()));
}

int Core::hotplugFd() const {
    return hotplug_ && hotplug_->ok() ? hotplug_->fd() : -1;
}

std::vector<DeviceEvent> Core::ReadDeviceEvents() {
    if (!hotplug_ || !hotplug_->ok()) return {};
    return hotplug_->ReadEvents();
}
#endif

Core::~Core() = default;

}  // namespace dialscope

// Everything behind the window, put together: the serial port, the protocol,
// the port list with its device-change handling, the connection supervisor
// and the hot-plug event source. Plain C++: the Qt window drives it through
// its timers and a socket notifier, tests drive it with a fake window.
#pragma once

#include <memory>
#include <vector>

#include "ports/device_change.h"
#include "ports/device_event.h"
#if !defined(_WIN32)
#include "ports/hotplug_linux.h"
#endif
#include "ports/port_list.h"
#include "ports/registry_reader.h"
#include "ports/supervisor.h"
#include "protocol/interfaces.h"
#include "protocol/link_state.h"
#include "protocol/protocol.h"
#include "serial/serial_port.h"

namespace dialscope {

class Core {
public:
#if defined(_WIN32)
    // registry defaults to the system registry; platform is what start-up
    // needs of the window (version query, notification registration).
    Core(Link& link, WindowOps& window, SerialPort::WarningBox warn, RegistryFactory registry,
         PlatformHooks platform);
#else
    // registry and hotplug default to the system's: the sysfs view and the
    // kernel's event stream (or a fake tree's, when DIALSCOPE_SYSFS_ROOT is set).
    Core(Link& link, WindowOps& window, SerialPort::WarningBox warn,
         RegistryFactory registry = {}, std::unique_ptr<HotplugSource> hotplug = {});
#endif
    ~Core();

    // Port discovery at start-up: family, event registration, first scan.
    // A registry error escapes to the caller.
    void StartPortDiscovery();

    void ComTick() { protocol_.ComTick(); }
    void WatchSerialTick() { supervisor_.Tick(); }

#if !defined(_WIN32)
    // The hot-plug source's descriptor (readable when events wait), -1 when
    // no events can be had.
    int hotplugFd() const;
    std::vector<DeviceEvent> ReadDeviceEvents();
#endif
    // The window's device-change step for one event; a registry error escapes.
    int DeviceChange(const DeviceEvent& event) { return monitor_.OnWindowMessage(event); }

    SerialPort& serial() { return serial_; }
    Protocol& protocol() { return protocol_; }
    PortList& ports() { return ports_; }

private:
    Link& link_;
    SerialPort serial_;
    Protocol protocol_;
    PortList ports_;
#if defined(_WIN32)
    PlatformHooks platform_;
#else
    std::unique_ptr<HotplugSource> hotplug_;
#endif
    DeviceMonitor monitor_;
    Supervisor supervisor_;
};

}  // namespace dialscope

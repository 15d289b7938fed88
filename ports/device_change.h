// Keeps the port list in step with adapters being plugged in and removed, and
// restarts the connection supervisor's search after a change. Runs on the main thread,
// inside the window's message dispatch, like the supervisor's ticks; nothing
// here is locked.
#pragma once

#include <cstdint>
#include <functional>

#include "ports/device_event.h"
#include "ports/device_events.h"
#include "ports/port_list.h"
#include "ports/registry_reader.h"
#include "ports/supervisor.h"
#include "protocol/interfaces.h"

namespace dialscope {

// Decode results.
constexpr int kNoDeviceChange = 0;
constexpr int kPortsArrived = 1;
constexpr int kPortsRemoved = 2;

class DeviceMonitor {
public:
    DeviceMonitor(PortList& ports, RegistryFactory registry, PortSearch& search, SerialOps& serial,
                  WindowOps& window);

    // Family, registration (its result only recorded), first scan. The scan's
    // RegistryError reaches the caller.
    void StartPortDiscovery(DeviceEventSource& events);
    bool RegisterPortNotifications(DeviceEventSource& events);
    void ScanPorts();

    // 0 nothing to do, 1 an arrival changed the list, 2 a removal changed it.
    int DecodeDeviceChange(const DeviceEvent& event);
    bool RefreshPortsWin9x(bool removal);
    bool RefreshPortsNt(bool removal);

    // The main window's device-change step, run for every message before the
    // default handling. Returns the decode result.
    int OnWindowMessage(const DeviceEvent& event);

    uint8_t platformFamily() const { return platformFamily_; }
    bool registered() const { return registered_; }

private:
    PortList& ports_;
    RegistryFactory registry_;
    PortSearch& search_;
    SerialOps& serial_;
    WindowOps& window_;
    uint8_t platformFamily_ = kFamilyNone;
    bool registered_ = false;
};

}  // namespace dialscope

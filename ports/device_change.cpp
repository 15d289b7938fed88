#include "ports/device_change.h"

#include <algorithm>
#include <string>
#include <utility>

#include "ports/port_scan.h"

namespace dialscope {

DeviceMonitor::DeviceMonitor(PortList& ports, RegistryFactory registry, PortSearch& search,
                             SerialOps& serial, WindowOps& window)
    : ports_(ports), registry_(std::move(registry)), search_(search), serial_(serial), window_(window) {}

void DeviceMonitor::StartPortDiscovery(DeviceEventSource& events) {
    const uint8_t family = events.PlatformFamily();
    platformFamily_ = (family == kFamilyWin9x || family == kFamilyNt) ? family : kFamilyNone;
    RegisterPortNotifications(events);
    ScanPorts();
}

bool DeviceMonitor::RegisterPortNotifications(DeviceEventSource& events) {
    // A failed registration is not reported: plugging and unplugging then go
    // unnoticed, while the start-up scan runs all the same.
    registered_ = (platformFamily_ == kFamilyWin9x || platformFamily_ == kFamilyNt) &&
                  events.Register(platformFamily_);
    return registered_;
}

void DeviceMonitor::ScanPorts() {
    if (platformFamily_ == kFamilyWin9x) ScanPortsWin9x(ports_, registry_);
    else if (platformFamily_ == kFamilyNt) ScanPortsNt(ports_, registry_);
}

int DeviceMonitor::DecodeDeviceChange(const DeviceEvent& event) {
    if (event.message != WM_DEVICECHANGE_ID) return kNoDeviceChange;
    bool removal;
    int changed;
    if (event.eventCode == DBT_DEVICEARRIVAL_CODE) {
        removal = false;
        changed = kPortsArrived;
    } else if (event.eventCode == DBT_DEVICEREMOVECOMPLETE_CODE) {
        removal = true;
        changed = kPortsRemoved;
    } else {
        return kNoDeviceChange;
    }
    int result = kNoDeviceChange;
    if (event.deviceType == DBT_DEVTYP_PORT_TYPE && platformFamily_ == kFamilyWin9x &&
        RefreshPortsWin9x(removal))
        result = changed;
    if (event.deviceType == DBT_DEVTYP_DEVICEINTERFACE_TYPE && platformFamily_ == kFamilyNt &&
        RefreshPortsNt(removal))
        result = changed;
    return result;
}

bool DeviceMonitor::RefreshPortsWin9x(bool removal) {
    if (ports_.PortCount() == 0) {
        // An adapter installed after start-up leaves the list empty until an
        // arrival: look again then, or it would never be found in this run.
        if (removal) return false;
        ScanPortsWin9x(ports_, registry_);
        return ports_.PortCount() > 0;
    }
    if (removal) {
        bool changed = false;
        for (int32_t p = 1; p <= ports_.PortCount(); ++p) {
            if (ports_.GetPortField(p, 3) != "1") continue;
            if (!IsInterfaceReferenced(registry_, ports_.GetPortField(p, 4))) {
                ports_.SetPortField(p, 3, "0");
                changed = true;
            }
        }
        return changed;
    }
    bool found = false;
    for (int32_t p = 1; p <= ports_.PortCount(); ++p) {
        if (ports_.GetPortField(p, 3) == "1") continue;
        if (IsInterfaceReferenced(registry_, ports_.GetPortField(p, 4))) {
            ports_.SetPortField(p, 2, LookUpUsbPortName(registry_, ports_.GetPortField(p, 1)));
            ports_.SetPortField(p, 3, "1");
            found = true;
        }
    }
    if (!found) {
        ports_.ClearPorts();
        ScanPortsWin9x(ports_, registry_);
    }
    return true;
}

bool DeviceMonitor::RefreshPortsNt(bool removal) {
    if (ports_.PortCount() == 0) {
        // Where instance keys exist only while the adapter is plugged in (the
        // sysfs view), an empty list is the normal state before the first
        // plug: look again on an arrival.
        if (removal) return false;
        ScanPortsNt(ports_, registry_);
        return ports_.PortCount() > 0;
    }
    if (removal) {
        bool changed = false;
        for (int32_t p = 1; p <= ports_.PortCount(); ++p) {
            if (ports_.GetPortField(p, 3) != "1") continue;
            if (FindSerialCommValue(registry_, ports_.GetPortField(p, 2)).empty()) {
                ports_.SetPortField(p, 4, "");
                ports_.SetPortField(p, 3, "0");
                changed = true;
            }
        }
        return changed;
    }
    bool found = false;
    for (int32_t p = 1; p <= ports_.PortCount(); ++p) {
        if (ports_.GetPortField(p, 3) == "1") continue;
        const std::string value = FindSerialCommValue(registry_, ports_.GetPortField(p, 2));
        if (!value.empty()) {
            ports_.SetPortField(p, 4, value);
            ports_.SetPortField(p, 3, "1");
            found = true;
        }
    }
    if (!found) {
        ports_.ClearPorts();
        ScanPortsNt(ports_, registry_);
    }
    return true;
}

int DeviceMonitor::OnWindowMessage(const DeviceEvent& event) {
    const int result = DecodeDeviceChange(event);
    if (result == kPortsArrived) {
        search_.Restart(false);
    } else if (result == kPortsRemoved) {
        const std::string name = search_.portName();
        bool closed = false;
        if (!name.empty() && ports_.PortPresentByName(name) == 0) {
            serial_.closePort();
            closed = true;
            window_.AppendStatusLine("Device Remove.");
        }
        search_.Restart(closed);
    }
    return result;
}

}  // namespace dialscope

// A device-change notification as the port logic reads it: the window
// message id, the event code and the device type of its broadcast header.
#pragma once

#include <cstdint>

namespace dialscope {

constexpr uint32_t WM_DEVICECHANGE_ID = 0x0219;
constexpr uint32_t DBT_DEVICEARRIVAL_CODE = 0x8000;
constexpr uint32_t DBT_DEVICEREMOVECOMPLETE_CODE = 0x8004;
constexpr uint32_t DBT_DEVTYP_PORT_TYPE = 3;
constexpr uint32_t DBT_DEVTYP_DEVICEINTERFACE_TYPE = 5;

struct DeviceEvent {
    uint32_t message = WM_DEVICECHANGE_ID;
    uint32_t eventCode = 0;
    uint32_t deviceType = 0;
};

}  // namespace dialscope

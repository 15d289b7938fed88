// Where the Windows program learns of adapters coming and going: the version
// query that picks the registry layout, the registration of the main window
// for device notifications, and WM_DEVICECHANGE read as a DeviceEvent.
#pragma once

#include <windows.h>

#include <cstdint>
#include <optional>

#include "ports/device_change.h"
#include "ports/device_event.h"

namespace dialscope {

// 1 for the 9x family, 2 for the NT family, 0 otherwise or when the version
// query fails.
uint8_t GetPlatformFamily();

// Registers `window` for device-interface events of the family's class
// (USB devices on 9x, ports on NT); true when the system gave a handle.
bool RegisterPortNotifications(HWND window, uint8_t family);

// The start-up hooks for `window`.
PlatformHooks Win32PlatformHooks(HWND window);

// The event a window message carries, when it is a device change. The
// device type is read only for arrivals and completed removals, and only
// when the message carries a broadcast header.
std::optional<DeviceEvent> DecodeWindowMessage(UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace dialscope
